#include "filesystems/Families.h"

#include "filesystems/exfat/ExFatFamily.h"
#include "filesystems/ext/ExtFamily.h"
#include "filesystems/fat/FatFamily.h"
#include "filesystems/hfs/HfsFamily.h"
#include "filesystems/ntfs/NtfsFamily.h"
#include "filesystems/refs/RefsFamily.h"
#include "filesystems/ufs/UfsFamily.h"
#include "filesystems/vmfs/VmfsFamily.h"
#include "filesystems/xfs/XfsFamily.h"
#include "filesystems/zfs/ZfsFamily.h"

void RegisterFileSystemFamilies() {
  // The order the sector classifier meets their boot sectors in: a probe
  // asked earlier wins a sector two families could claim.
  RegisterNtfsFamily();
  RegisterFatFamily();
  RegisterExFatFamily();
  RegisterExtFamily();
  RegisterXfsFamily();
  RegisterHfsFamily();
  RegisterUfsFamily();
  RegisterVmfsFamily();
  RegisterRefsFamily();
  RegisterZfsFamily();
}
