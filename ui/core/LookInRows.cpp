#include "ui/core/LookInRows.h"

#include "foundation/Messages.h"
#include "foundation/Utilities.h"
#include "storage/DiskList.h"

WString VolumeRowText(WStringView device, int64_t sizeBytes, WStringView label, WStringView mountPoint) {
  WString row(device);
  auto append = [&row](const WString& part) {
    if (row.size() + part.size() < 64) row += part;
  };
  if (sizeBytes > 0) append(u" (" + FormatSize(sizeBytes) + u")");
  if (!label.empty()) append(u" - " + WString(label));
  if (!mountPoint.empty()) append(u" [" + WString(mountPoint) + u"]");
  return row;
}

std::vector<LookInRow> MachineLookInRows() {
  std::vector<LookInRow> rows;
  CDiskList& disks = theDiskList();
  for (const VolumeInfo& v : disks.Volumes()) {
    LookInRow r;
    r.group = 2;
    r.source = FromUtf8(v.devicePath);
    r.text = VolumeRowText(r.source, int64_t(v.sizeBytes), v.label, FromUtf8(v.mountPoint));
    rows.push_back(std::move(r));
  }
  for (size_t i = 0; i < disks.Count(); i++) {
    const CPhysDisk* d = disks.Disk(i);
    if (!d) continue;
    LookInRow r;
    r.group = 3;
    // The device path says which disk "Disk N" is.
    r.text = d->devicePath.empty() ? d->GetDisplayName() : d->GetDisplayName() + u" - " + FromUtf8(d->devicePath);
    r.source = u"\\\\.\\" + FromUtf8(d->deviceName);
    rows.push_back(std::move(r));
  }
  LookInRow refresh;
  refresh.group = 4;
  refresh.text = Msg(99);
  rows.push_back(std::move(refresh));
  return rows;
}
