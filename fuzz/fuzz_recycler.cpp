// Recycle-bin records of arbitrary content: a $I file, an INFO2 file and the
// remapping of a bin item against what they mapped.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "volumes/Node.h"
#include "volumes/Recycler.h"
#include "fuzz/FuzzStartup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> content(data, data + size);
  Recycler r;
  r.AddRBI(content.data(), content.size(), u"$IAB12CD.txt");
  BufferInfo2Source source(content.data(), content.size());
  r.AddInfo2Records(source, u"C:\\Recycled\\", 4096);

  const char16_t* paths[] = {u"C:\\$RECYCLE.BIN\\S-1-5-21-1004336348-1177238915-682003330-1000\\",
                             u"C:\\$RECYCLE.BIN\\$RAB12CD.txt\\sub\\", u"C:\\Recycled\\", u"C:\\Recycled\\Dc1\\x\\",
                             u"\\RECYCLER\\S-1-5-21-1004336348-1177238915-682003330-1000\\", u"\\$Recycle.Bin\\"};
  const char16_t* names[] = {u"$RAB12CD.txt", u"inner", u"Dc1.txt", u"Dc0"};
  for (const char16_t* p : paths) {
    for (const char16_t* n : names) {
      WString path = p;
      for (uint8_t family : {kNodeFat, kNodeNtfs}) {
        WString each = path;
        RecycledItem item{n, family, false};
        if (r.Remap(&each, &item, 0, 0) && (item.name.empty() || each.size() >= kRecyclerMaxPath)) std::abort();
      }
    }
  }
  return 0;
}
