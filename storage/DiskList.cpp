#include "storage/DiskList.h"

#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "foundation/Messages.h"
#include "foundation/SectRanges.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "foundation/Utilities.h"
#include "platform/Platform.h"
#include "storage/DeviceId.h"
#include "storage/SysBlock.h"

namespace {

constexpr size_t kPhysicalDrivePrefixLength = 13;  // "PhysicalDrive"
constexpr size_t kMaxBlockEntries = 4096;           // beyond this the listing is refused as too long
constexpr int kMaxStackDepth = 8;

bool AllLetters(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < 'a' || c > 'z') return false;
  return true;
}
bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// The kind of a whole disk by kernel name, empty for names that are not one
// (partitions, ram, zram, mmc boot areas, hidden NVMe paths, dm, md).
std::string DiskKind(std::string_view name) {
  auto tail = [&](std::string_view prefix) { return name.substr(prefix.size()); };
  if (name.rfind("sd", 0) == 0 && AllLetters(tail("sd"))) return "sd";
  if (name.rfind("vd", 0) == 0 && AllLetters(tail("vd"))) return "vd";
  if (name.rfind("xvd", 0) == 0 && AllLetters(tail("xvd"))) return "xvd";
  if (name.rfind("mmcblk", 0) == 0 && AllDigits(tail("mmcblk"))) return "mmcblk";
  if (name.rfind("loop", 0) == 0 && AllDigits(tail("loop"))) return "loop";
  if (name.rfind("nvme", 0) == 0) {
    std::string_view t = tail("nvme");
    size_t n = t.find('n');
    if (n != std::string_view::npos && AllDigits(t.substr(0, n)) && AllDigits(t.substr(n + 1))) return "nvme";
  }
  return {};
}

bool IsStackedName(std::string_view name) {
  return (name.rfind("dm-", 0) == 0 && AllDigits(name.substr(3))) || (name.rfind("md", 0) == 0 && AllDigits(name.substr(2)));
}

uint32_t SaneBlockSize(uint64_t v) {
  if (v < 512 || v > 65536 || (v & (v - 1)) != 0) return 512;
  return uint32_t(v);
}

std::string StripDevicePrefix(std::string_view name) {
  if (name.size() >= 4 && name[0] == '\\' && name[1] == '\\' && (name[2] == '.' || name[2] == '?') && name[3] == '\\')
    name.remove_prefix(4);
  return std::string(name);
}

bool IsPhysicalDriveName(std::string_view name) {
  return name.size() > kPhysicalDrivePrefixLength &&
         EqualsNoCase(name.substr(0, kPhysicalDrivePrefixLength), std::string_view("PhysicalDrive")) &&
         AllDigits(name.substr(kPhysicalDrivePrefixLength));
}

struct Candidate {
  std::string name, kind, folder;
  uint64_t size512 = 0;
  std::string backing;
};

bool CandidateLess(const Candidate& a, const Candidate& b) {
  // Loop devices come after the real disks, so binding one never renumbers a disk.
  bool la = a.kind == "loop", lb = b.kind == "loop";
  if (la != lb) return lb;
  if (a.kind != b.kind) return a.kind < b.kind;
  return sysblock::KernelNameLess(a.name, b.name);
}

// A partition folder read into a volume, checked against its disk's size.
bool ReadPartition(const std::string& folder, const std::string& name, int diskNumber, uint64_t diskBytes,
                   VolumeInfo* v) {
  uint64_t start = 0, size = 0, number = 0;
  if (!sysblock::ReadU64(folder + "/start", &start) || !sysblock::ReadU64(folder + "/size", &size)) return false;
  if (start > (UINT64_MAX >> 9) || size > (UINT64_MAX >> 9)) return false;
  uint64_t startByte = start << 9, lengthBytes = size << 9;
  if (startByte >= diskBytes) return false;
  lengthBytes = std::min(lengthBytes, diskBytes - startByte);
  sysblock::ReadU64(folder + "/partition", &number);
  v->kind = VolumeInfo::kPartition;
  v->kernelName = name;
  v->devicePath = "/dev/" + name;
  v->partitionNumber = int(std::min<uint64_t>(number, 1u << 30));
  sysblock::ParseDevNumber(sysblock::ReadAttr(folder + "/dev"), &v->devMajor, &v->devMinor);
  v->sizeBytes = lengthBytes;
  v->extents = {DiskExtent{diskNumber, startByte, lengthBytes}};
  return true;
}

}  // namespace

uint64_t SectorCountFromGeometry(const DiskGeometry& g, uint64_t diskBytes) {
  uint64_t product = g.cylinders * uint64_t(g.tracksPerCylinder) * uint64_t(g.sectorsPerTrack);
  uint64_t fromBytes = g.bytesPerSector ? diskBytes / g.bytesPerSector : 0;
  return std::max(product, fromBytes);
}

// ---- CPhysDisk ----

CPhysDisk::~CPhysDisk() = default;

int CPhysDisk::DiskNumber() const {
  if (!IsPhysicalDriveName(deviceName)) return -1;
  std::string_view digits = std::string_view(deviceName).substr(kPhysicalDrivePrefixLength);
  if (digits.size() > 9) return -1;
  return std::stoi(std::string(digits));
}

WString CPhysDisk::GetDisplayName() const {
  WString number = deviceName.size() > kPhysicalDrivePrefixLength
                       ? FromUtf8(std::string_view(deviceName).substr(kPhysicalDrivePrefixLength))
                       : WString();
  WString size = FormatSize(int64_t(std::min<uint64_t>(SizeBytes(), uint64_t(INT64_MAX))));
  if (model.empty()) return FormatW(u"%s%s - %s", Msg(351), number, size);
  if (serial.empty()) return FormatW(u"%s%s (%s) - %s", Msg(351), number, size, model);
  return FormatW(u"%s%s (%s) - %s - %s", Msg(351), number, size, model, serial);
}

// ---- CDiskList ----

namespace {

struct BuildContext {
  std::vector<const CPhysDisk*> disks;
  const std::vector<VolumeInfo>* stacked = nullptr;
};

// The extents of a kernel device on the listed disks: a disk whole, a
// partition as listed (or as sysfs says when it appeared later), anything
// else through the devices below it, whole.
void ExtentsOfName(const BuildContext& ctx, const std::string& name, int depth, std::vector<DiskExtent>* out) {
  if (depth > kMaxStackDepth || name.empty()) return;
  for (const CPhysDisk* d : ctx.disks) {
    if (d->kernelName == name) {
      out->push_back(DiskExtent{d->DiskNumber(), 0, d->diskBytes});
      return;
    }
    for (const VolumeInfo& p : d->partitions)
      if (p.kernelName == name) {
        out->insert(out->end(), p.extents.begin(), p.extents.end());
        return;
      }
  }
  if (ctx.stacked)
    for (const VolumeInfo& v : *ctx.stacked)
      if (v.kernelName == name) {
        out->insert(out->end(), v.extents.begin(), v.extents.end());
        return;
      }
  std::string parent;
  if (!sysblock::ResolveName(name, &parent)) return;
  std::string folder = sysblock::DeviceFolder(name);
  if (!parent.empty()) {
    for (const CPhysDisk* d : ctx.disks)
      if (d->kernelName == parent) {
        VolumeInfo v;
        if (ReadPartition(folder, name, d->DiskNumber(), d->diskBytes, &v))
          out->insert(out->end(), v.extents.begin(), v.extents.end());
        return;
      }
    // A partition of a stacked device lies somewhere on all of it.
    ExtentsOfName(ctx, parent, depth + 1, out);
    return;
  }
  for (const std::string& slave : sysblock::ListDir(folder + "/slaves")) ExtentsOfName(ctx, slave, depth + 1, out);
}

}  // namespace

void CDiskList::Refresh() {
  DiskListOptions options;
  options.probeDevices = plat::SysfsRoot() == "/sys";
  Refresh(options);
}

void CDiskList::Refresh(const DiskListOptions& options) {
  const std::string root = plat::SysfsRoot();
  std::vector<std::string> names = sysblock::ListDir(root + "/block");
  if (names.size() > kMaxBlockEntries) {
    ShowMessage(kMbOk | kMbIconError, Msg(150));
    names.resize(kMaxBlockEntries);
  }
  std::vector<Candidate> candidates;
  std::vector<std::string> stackedNames;
  for (const std::string& name : names) {
    if (IsStackedName(name)) {
      stackedNames.push_back(name);
      continue;
    }
    Candidate c;
    c.kind = DiskKind(name);
    if (c.kind.empty()) continue;
    c.name = name;
    c.folder = root + "/block/" + name;
    if (c.kind == "loop") {
      c.backing = sysblock::ReadAttr(c.folder + "/loop/backing_file");
      if (c.backing.empty()) continue;
    } else if (!sysblock::Exists(c.folder + "/device")) {
      continue;
    }
    if (!sysblock::ReadU64(c.folder + "/size", &c.size512)) {
      int err = errno ? errno : EIO;
      ShowMessage(kMbOk | kMbIconError, Msg(154), err, name.substr(0, 128), FromUtf8(strerror(err)));
      continue;
    }
    if (c.size512 == 0 || c.size512 > (UINT64_MAX >> 9)) continue;  // no medium: the old "device not ready"
    candidates.push_back(std::move(c));
  }
  std::sort(candidates.begin(), candidates.end(), CandidateLess);

  std::vector<std::unique_ptr<CPhysDisk>> disks;
  for (const Candidate& c : candidates) {
    auto d = std::make_unique<CPhysDisk>();
    d->deviceName = "PhysicalDrive" + std::to_string(disks.size());
    d->devicePath = "/dev/" + c.name;
    d->kernelName = c.name;
    d->backingFile = c.backing;
    sysblock::ParseDevNumber(sysblock::ReadAttr(c.folder + "/dev"), &d->devMajor, &d->devMinor);
    uint64_t v = 0;
    d->sectorSize = sysblock::ReadU64(c.folder + "/queue/logical_block_size", &v) ? SaneBlockSize(v) : 512;
    d->physicalSectorSize =
        sysblock::ReadU64(c.folder + "/queue/physical_block_size", &v) ? SaneBlockSize(v) : d->sectorSize;
    d->removable = sysblock::ReadU64(c.folder + "/removable", &v) && v != 0;
    d->readOnly = sysblock::ReadU64(c.folder + "/ro", &v) && v != 0;
    d->diskBytes = c.size512 << 9;

    DeviceIdentity id = IdentifyFromSysfs(c.folder);
    uint64_t segments = 0;
    sysblock::ReadU64(c.folder + "/queue/max_segments", &segments);
    if (options.probeDevices && (id.model.empty() || id.serial.empty()) && c.kind == "sd")
      IdentifyByPassThrough(d->devicePath, options.ataPassThrough, id.maxTransferBytes,
                            uint32_t(std::min<uint64_t>(segments, UINT32_MAX)), &id);
    d->model = id.model;
    d->serial = id.serial;
    d->vendor = id.vendor;
    d->maxTransferBytes = id.maxTransferBytes;

    // Geometry: HDIO_GETGEO when the device answers, else 255/63.
    DiskGeometry g;
    g.bytesPerSector = d->sectorSize;
    if (options.probeDevices) {
      int fd = open(d->devicePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        if (traceMft) TracePrintfA("Open %s\n", d->devicePath);
        hd_geometry geo{};
        if (ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
          g.tracksPerCylinder = geo.heads;
          g.sectorsPerTrack = geo.sectors;
        }
        close(fd);
      }
    }
    uint64_t perCylinder = uint64_t(g.tracksPerCylinder) * g.sectorsPerTrack;
    g.cylinders = d->diskBytes / d->sectorSize / perCylinder;
    d->geometry = g;
    d->geometryEx = g;
    d->sectorCount = SectorCountFromGeometry(g, d->diskBytes);
    if (traceIo)
      TracePrintfA("EX Cyl %I64d, Trk %ld, Sec %ld, size %ld, Tot %I64d\n", int64_t(g.cylinders),
                   int32_t(g.tracksPerCylinder), int32_t(g.sectorsPerTrack), int32_t(g.bytesPerSector),
                   int64_t(d->sectorCount));

    int number = int(disks.size());
    for (const std::string& entry : sysblock::ListDir(c.folder)) {
      std::string folder = c.folder + "/" + entry;
      if (!sysblock::Exists(folder + "/partition")) continue;
      VolumeInfo p;
      if (ReadPartition(folder, entry, number, d->diskBytes, &p)) d->partitions.push_back(std::move(p));
    }
    std::sort(d->partitions.begin(), d->partitions.end(),
              [](const VolumeInfo& a, const VolumeInfo& b) { return a.partitionNumber < b.partitionNumber; });
    uint64_t firstStart = UINT64_MAX;
    for (const VolumeInfo& p : d->partitions) firstStart = std::min(firstStart, p.extents[0].startByte);
    if (firstStart != UINT64_MAX && firstStart / d->sectorSize <= UINT32_MAX)
      d->defaultBootSector = uint32_t(firstStart / d->sectorSize);
    disks.push_back(std::move(d));
  }

  std::vector<VolumeInfo> stacked;
  BuildContext ctx;
  for (const auto& d : disks) ctx.disks.push_back(d.get());
  for (const std::string& name : stackedNames) {
    std::string folder = root + "/block/" + name;
    VolumeInfo v;
    v.kind = name[0] == 'd' ? VolumeInfo::kDeviceMapper : VolumeInfo::kMd;
    v.kernelName = name;
    v.devicePath = "/dev/" + name;
    sysblock::ParseDevNumber(sysblock::ReadAttr(folder + "/dev"), &v.devMajor, &v.devMinor);
    uint64_t size = 0;
    if (sysblock::ReadU64(folder + "/size", &size) && size <= (UINT64_MAX >> 9)) v.sizeBytes = size << 9;
    if (v.kind == VolumeInfo::kDeviceMapper) v.mapperName = sysblock::ReadAttr(folder + "/dm/name");
    for (const std::string& slave : sysblock::ListDir(folder + "/slaves")) ExtentsOfName(ctx, slave, 1, &v.extents);
    stacked.push_back(std::move(v));
  }

  // Mount points and file-system types; labels from our own probe.
  std::vector<sysblock::MountEntry> mounts = sysblock::ReadMountInfo();
  std::vector<std::string> sourceNames;
  for (const sysblock::MountEntry& m : mounts)
    sourceNames.push_back(m.source.rfind("/dev/", 0) == 0 ? sysblock::KernelNameOfPath(m.source) : std::string());
  auto fill = [&](VolumeInfo& v) {
    // The mount of the whole file system when there is one, else the first
    // (btrfs subvolumes and bind mounts show only a part).
    const sysblock::MountEntry* best = nullptr;
    for (size_t i = 0; i < mounts.size(); ++i) {
      const sysblock::MountEntry& m = mounts[i];
      bool same = (m.major == v.devMajor && m.minor == v.devMinor && (v.devMajor | v.devMinor) != 0) ||
                  sourceNames[i] == v.kernelName;
      if (!same) continue;
      if (!best || (best->root != "/" && m.root == "/")) best = &m;
    }
    if (best) {
      v.mountPoint = best->mountPoint;
      v.fsType = best->fsType;
    }
    if (options.probeDevices) {
      sysblock::FsLabel l = sysblock::ProbeLabelOfPath(v.devicePath);
      v.label = l.label;
      if (v.fsType.empty()) v.fsType = l.fsType;
    }
  };
  for (auto& d : disks)
    for (VolumeInfo& p : d->partitions) fill(p);
  for (VolumeInfo& v : stacked) fill(v);

  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto& d : disks_) retired_.push_back(std::move(d));
  disks_ = std::move(disks);
  stacked_ = std::move(stacked);
  built_ = true;
}

void CDiskList::EnsureBuilt() const {
  if (!built_) const_cast<CDiskList*>(this)->Refresh();
}

size_t CDiskList::Count() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  EnsureBuilt();
  return disks_.size();
}

const CPhysDisk* CDiskList::Disk(size_t index) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  EnsureBuilt();
  return index < disks_.size() ? disks_[index].get() : nullptr;
}

const CPhysDisk* CDiskList::FindDisk(std::string_view name) const {
  std::string n = StripDevicePrefix(name);
  if (!IsPhysicalDriveName(n)) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  EnsureBuilt();
  for (const auto& d : disks_)
    if (EqualsNoCase(std::string_view(d->deviceName), std::string_view(n))) return d.get();
  return nullptr;
}

const CPhysDisk* CDiskList::FindDisk(WStringView name) const { return FindDisk(ToUtf8(name)); }

const CPhysDisk* CDiskList::FindByKernelNameLocked(std::string_view name) const {
  if (name.rfind("/dev/", 0) == 0) name.remove_prefix(5);
  for (const auto& d : disks_)
    if (d->kernelName == name) return d.get();
  return nullptr;
}

const CPhysDisk* CDiskList::FindByKernelName(std::string_view name) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  EnsureBuilt();
  return FindByKernelNameLocked(name);
}

std::vector<DiskExtent> CDiskList::DeviceExtents(const std::string& devicePath) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  EnsureBuilt();
  BuildContext ctx;
  for (const auto& d : disks_) ctx.disks.push_back(d.get());
  ctx.stacked = &stacked_;
  std::vector<DiskExtent> out;
  ExtentsOfName(ctx, sysblock::KernelNameOfPath(devicePath), 0, &out);
  return out;
}

const CPhysDisk* CDiskList::DiskOfDevice(const std::string& devicePath, std::vector<DiskExtent>* extents) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<DiskExtent> ext = DeviceExtents(devicePath);
  if (extents) *extents = ext;
  if (ext.empty() || ext[0].diskNumber < 0 || size_t(ext[0].diskNumber) >= disks_.size()) return nullptr;
  return disks_[size_t(ext[0].diskNumber)].get();
}

const CPhysDisk* CDiskList::DiskOfDriveName(WStringView wname) const {
  std::string name = StripDevicePrefix(ToUtf8(wname));
  size_t lt = name.find('<');
  if (lt != std::string::npos) name.resize(lt);
  if (IsPhysicalDriveName(name)) return FindDisk(std::string_view(name));
  if (name.empty() || name[0] != '/') return nullptr;
  struct stat st;
  if (stat(name.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return nullptr;
  return DiskOfDevice(name);
}

std::vector<VolumeInfo> CDiskList::Volumes() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  EnsureBuilt();
  std::vector<VolumeInfo> out;
  for (const auto& d : disks_) out.insert(out.end(), d->partitions.begin(), d->partitions.end());
  out.insert(out.end(), stacked_.begin(), stacked_.end());
  return out;
}

void CDiskList::PopulateCombo(std::vector<WString>& entries) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  EnsureBuilt();
  for (const auto& d : disks_) entries.push_back(d->GetDisplayName());
}

CDiskList& theDiskList() {
  static CDiskList list;
  return list;
}

// ---- CDrvList ----

std::vector<DiskExtent> CDrvList::GetVolumeExtents(const std::string& devicePath) const {
  return theDiskList().DeviceExtents(devicePath);
}

std::string CDrvList::GetDriveLetter(int diskNumber, uint64_t startByte, uint64_t* totalLength) const {
  for (const VolumeInfo& v : theDiskList().Volumes()) {
    if (v.extents.empty() || v.extents[0].diskNumber != diskNumber || v.extents[0].startByte != startByte) continue;
    if (totalLength) {
      uint64_t total = 0;
      for (const DiskExtent& e : v.extents) total += e.lengthBytes;
      *totalLength = total;
    }
    return v.devicePath;
  }
  if (totalLength) *totalLength = 0;
  return {};
}

CDrvList& theDrvList() {
  static CDrvList list;
  return list;
}

// ---- DrvInfo and CDrvAttr ----

DrvInfo::DrvInfo(WString driveName) : name(std::move(driveName)) {}
DrvInfo::~DrvInfo() = default;

namespace {

// The disk a name spells, as "PhysicalDriveN", or empty.
std::string CanonicalDiskName(WStringView name) {
  std::string n = StripDevicePrefix(ToUtf8(name));
  if (IsPhysicalDriveName(n)) {
    // "PhysicalDrive007" and "physicaldrive7" are disk 7.
    std::string digits = n.substr(kPhysicalDrivePrefixLength);
    size_t nz = digits.find_first_not_of('0');
    return "PhysicalDrive" + (nz == std::string::npos ? std::string("0") : digits.substr(nz));
  }
  const CPhysDisk* d = theDiskList().FindByKernelName(n);
  return d ? d->deviceName : std::string();
}

}  // namespace

bool CDrvAttr::SameDriveName(WStringView a, WStringView b) {
  bool pathA = !a.empty() && a[0] == u'/', pathB = !b.empty() && b[0] == u'/';
  if (pathA && pathB && a == b) return true;
  if (!pathA && !pathB && EqualsNoCase(a, b)) return true;
  std::string ca = CanonicalDiskName(a);
  return !ca.empty() && ca == CanonicalDiskName(b);
}

DrvInfo* CDrvAttr::FindLocked(WStringView name) const {
  for (const auto& item : items_)
    if (SameDriveName(item->name, name)) return item.get();
  return nullptr;
}

DrvInfo* CDrvAttr::AddDrvInfo(std::unique_ptr<DrvInfo> info) {
  if (!info) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  DrvInfo* raw = info.get();
  for (auto& item : items_)
    if (SameDriveName(item->name, info->name)) {
      item = std::move(info);  // the old entry is deleted here
      return raw;
    }
  items_.push_back(std::move(info));
  return raw;
}

bool CDrvAttr::DeleteDrvInfo(WStringView name) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = items_.begin(); it != items_.end(); ++it)
    if (SameDriveName((*it)->name, name)) {
      items_.erase(it);
      return true;
    }
  return false;
}

bool CDrvAttr::FindDrvInfoPtr(const DrvInfo* info) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& item : items_)
    if (item.get() == info) return true;
  return false;
}

DrvInfo* CDrvAttr::FindDrvInfo(WStringView name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FindLocked(name);
}

bool CDrvAttr::CopyExclusions(WStringView name, CSectRanges* out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  DrvInfo* info = FindLocked(name);
  if (!info || !info->exclusions || !out) return false;
  out->CopyFrom(*info->exclusions);
  return true;
}

size_t CDrvAttr::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_.size();
}

std::vector<WString> CDrvAttr::Names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<WString> out;
  for (const auto& item : items_) out.push_back(item->name);
  return out;
}

void CDrvAttr::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  items_.clear();
}

CDrvAttr& theDrvAttr() {
  static CDrvAttr attr;
  return attr;
}
