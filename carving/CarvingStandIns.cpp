// Neutral stand-ins for the carving driver and the Office property reader,
// so that the engine and the file-system readers can be built and run
// before the carving parsers exist; the carving parsers replace these
// bodies under the same headers.
#include "carving/HdrAscii.h"
#include "carving/HdrParse.h"
#include "carving/OfficeProps.h"

#include "volumes/FileTypes.h"
#include "foundation/TimeUtil.h"

int HdrParse::Parse(int, const uint8_t*, size_t) { return -1; }

int HdrParse::ParseMore(const uint8_t*, size_t, int64_t) { return kFileTypePending; }

int HdrParse::Flush() { return kFileTypePending; }

uint16_t HdrAscii::SigFind(const uint8_t*, size_t) { return kNoFileType; }

int ReadOfficeXmlProps(int64_t, int64_t, const void*, uint8_t* refinedType, WString* name, uint64_t* fileTime) {
  if (refinedType) *refinedType = 0;
  if (name) *name = u"Unknown";
  if (fileTime) *fileTime = CurrentFileTime();
  return 0;
}
