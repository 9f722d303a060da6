#include "storage/VhdDrive.h"

#include "foundation/PathUtil.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/VhdFormat.h"

void VHDDrive::InitDrive(WStringView name) {
  TRACE_FN("VHDDrive::Init");
  ImageChainDrive::InitDrive(name);
}

void VHDDrive::OpenFormat() {
  TRACE_FN("VHDDrive::InitFiles");
  // The sector size of the disk under the file only matters for the trace:
  // image files are read buffered, and VHD sectors are 512 bytes.
  const WString lastError = theTrace().LastErrorText();
  const int32_t lastCode = theTrace().LastErrorCode();
  const int host = GetPathSectorSize(FromUtf8(devicePath_));
  theTrace().SetLastError(lastError, lastCode);  // a file on tmpfs has no disk: not an error here
  VhdLayout layout;
  if (!OpenVhdLayout(FileBytes(), host > 0 ? uint32_t(host) : 0, &layout)) throw DvCodeError{0};
  diskType = layout.diskType;
  SetGeometry(layout.sectorSize, layout.sectorCount);
  map_ = std::move(layout.map);
  link_ = std::move(layout.link);
  NoteCut(layout.cut);
}
