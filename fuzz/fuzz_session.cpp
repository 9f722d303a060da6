// Fuzz target: arbitrary bytes read as a session file, every section in
// order and every list item, as a load does before the worker takes over.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "engine/Session.h"
#include "fuzz/FuzzStartup.h"
#include "platform/Errors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("session", MFD_CLOEXEC);
  if (fd < 0) return 0;
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      close(fd);
      return 0;
    }
    done += size_t(n);
  }
  lseek(fd, 0, SEEK_SET);
  SLSession s(u"fuzz.dvs");
  s.AdoptDescriptor(fd);
  try {
    SessionParms parms;
    int two[2];
    s.LoadParms(&parms);
    s.ReadTwoBytes(&two[0], &two[1]);
    s.LoadPartitions();
    s.LoadExclusionRanges(1 << 24);
    s.LoadInodes();
    const int64_t n = s.LoadListItems();
    WString path;
    for (int64_t k = 0; k < n; k++) s.ReadNextNode(&path);
  } catch (const DvCodeError&) {
  }
  return 0;
}
