#include "filesystems/vmfs/VmfsDescriptor.h"

#include "filesystems/vmfs/Definitions.h"
#include "foundation/ByteOrder.h"

using namespace vmfs;

VmfsDescriptor ReadVmfsDescriptor(const uint8_t* s) {
  VmfsDescriptor d;
  d.valid = Le32(s) == kFdMagic;
  d.type = Le32(s + kFdType);
  d.size = Le64(s + kFdSize);
  d.modifyTime = Le32(s + kFdModifyTime);
  d.changeTime = Le32(s + kFdChangeTime);
  d.mode = Le32(s + kFdMode);
  d.word584 = Le32(s + kFdWord584);
  d.data = s + kFdAddresses;
  return d;
}
