// Bodies that wait for their subsystems: the Office property reader comes
// with the ZIP parser.
#include "carving/OfficeProps.h"
#include "foundation/TimeUtil.h"

int ReadOfficeXmlProps(int64_t, int64_t, const void*, uint8_t* refinedType, WString* name, uint64_t* fileTime) {
  if (refinedType) *refinedType = 0;
  if (name) *name = u"Unknown";
  if (fileTime) *fileTime = CurrentFileTime();
  return 0;
}
