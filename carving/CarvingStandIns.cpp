#include "carving/CarvingStandIns.h"

#include <chrono>

#include "carving/FileTypes.h"

int HdrParse::Parse(int, const uint8_t*, size_t) { return -1; }

int HdrParse::ParseMore(const uint8_t*, size_t, int64_t) { return kFileTypePending; }

int HdrParse::Flush() { return kFileTypePending; }

uint16_t HdrAscii::SigFind(const uint8_t*, size_t) { return kNoFileType; }

int ReadOfficeXmlProps(int64_t, int64_t, const void*, uint8_t* refinedType, WString* name, uint64_t* fileTime) {
  if (refinedType) *refinedType = 0;
  if (name) *name = u"Unknown";
  if (fileTime) {
    using namespace std::chrono;
    constexpr int64_t kTicksFrom1601To1970 = 11644473600LL * 10000000LL;
    auto ticks = duration_cast<duration<int64_t, std::ratio<1, 10000000>>>(system_clock::now().time_since_epoch());
    *fileTime = uint64_t(ticks.count() + kTicksFrom1601To1970);
  }
  return 0;
}
