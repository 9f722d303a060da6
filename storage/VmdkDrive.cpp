#include "storage/VmdkDrive.h"

#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/VmdkFormat.h"

void VMDKDrive::InitDrive(WStringView name) {
  TRACE_FN("VMDKDrive::Init");
  ImageChainDrive::InitDrive(name);
}

void VMDKDrive::OpenFormat() {
  TRACE_FN("VMDKDrive::InitFiles");
  VmdkLayout layout;
  if (!OpenVmdkLayout(FileBytes(), &layout)) throw DvCodeError{0};
  extentKind = layout.extentKind;
  SetGeometry(vmdk::kSector, layout.sectorCount);
  map_ = std::move(layout.map);
}
