#include "storage/DestinationSafety.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>
#include <vector>

#include "storage/DiskList.h"
#include "storage/SysBlock.h"

namespace {

// Loop backing files and overlay layers lead to further paths; a chain
// deeper than this is refused rather than followed.
constexpr int kMaxDepth = 6;

std::string ParentPath(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// stat of the path, or of its nearest existing ancestor (a destination
// folder may not exist yet).
bool StatNearest(std::string path, struct stat* st) {
  for (int guard = 0; guard < 4096 && !path.empty(); ++guard) {
    if (stat(path.c_str(), st) == 0) return true;
    std::string parent = ParentPath(path);
    if (parent == path) break;
    path = parent;
  }
  return false;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  char ra[PATH_MAX], rb[PATH_MAX];
  if (realpath(a.c_str(), ra) && realpath(b.c_str(), rb)) return std::string(ra) == rb;
  return a == b;
}

std::vector<DiskExtent> SourceExtents(const SourceIdentity& s) {
  if (s.diskNumber >= 0) {
    const CPhysDisk* d = theDiskList().Disk(size_t(s.diskNumber));
    uint64_t count = s.byteCount;
    if (count == 0) count = d && d->diskBytes > s.firstByte ? d->diskBytes - s.firstByte : UINT64_MAX - s.firstByte;
    return {DiskExtent{s.diskNumber, s.firstByte, count}};
  }
  if (!s.devicePath.empty()) return theDrvList().GetVolumeExtents(s.devicePath);
  return {};
}

bool Overlap(const DiskExtent& a, const DiskExtent& b) {
  if (a.diskNumber != b.diskNumber || a.lengthBytes == 0 || b.lengthBytes == 0) return false;
  uint64_t aEnd = a.startByte + std::min(a.lengthBytes, UINT64_MAX - a.startByte);
  uint64_t bEnd = b.startByte + std::min(b.lengthBytes, UINT64_MAX - b.startByte);
  return a.startByte < bEnd && b.startByte < aEnd;
}

// A device and everything it is built on: the devices below it and, for a
// partition, its disk.
void DeviceChain(const std::string& name, int depth, std::set<std::string>* chain) {
  if (depth > kMaxDepth || name.empty() || !chain->insert(name).second) return;
  std::string parent;
  if (!sysblock::ResolveName(name, &parent)) return;
  if (!parent.empty()) DeviceChain(parent, depth + 1, chain);
  for (const std::string& s : sysblock::ListDir(sysblock::DeviceFolder(name) + "/slaves"))
    DeviceChain(s, depth + 1, chain);
}

bool PathSafe(const std::string& path, const SourceIdentity& source, int depth);

// Whether a file system on the block device `name` is clear of the source.
bool DeviceSafe(const std::string& name, const SourceIdentity& source, int depth) {
  std::set<std::string> chain;
  DeviceChain(name, 0, &chain);
  // A loop device writes into its backing file, wherever that lives.
  for (const std::string& dev : chain) {
    if (dev.rfind("loop", 0) != 0) continue;
    std::string backing = sysblock::ReadAttr(sysblock::DeviceFolder(dev) + "/loop/backing_file");
    if (backing.empty()) continue;
    if (source.isImage && SameFile(backing, source.imagePath)) return false;
    if (!source.isImage && !PathSafe(backing, source, depth + 1)) return false;
  }
  if (source.isImage) return true;
  std::vector<DiskExtent> src = SourceExtents(source);
  std::vector<DiskExtent> dst = theDrvList().GetVolumeExtents(name);
  if (!src.empty() && !dst.empty()) {
    for (const DiskExtent& a : src)
      for (const DiskExtent& b : dst)
        if (Overlap(a, b)) return false;
    return true;
  }
  // Devices off the list: refuse the source's own device and anything on it.
  if (source.devicePath.empty()) return true;
  return chain.count(sysblock::KernelNameOfPath(source.devicePath)) == 0;
}

bool PathSafe(const std::string& path, const SourceIdentity& source, int depth) {
  if (depth > kMaxDepth) return false;
  if (source.isImage && SameFile(path, source.imagePath)) return false;
  struct stat st;
  if (!StatNearest(path, &st)) return false;
  std::string name;
  if (sysblock::ResolveDevNumber(major(st.st_dev), minor(st.st_dev), &name, nullptr)) return DeviceSafe(name, source, depth);
  // No block device behind the number: a file system without a disk, one
  // with an anonymous number (btrfs), or an overlay.
  std::vector<sysblock::MountEntry> mounts = sysblock::ReadMountInfo();
  for (const sysblock::MountEntry& m : mounts) {
    if (m.major != major(st.st_dev) || m.minor != minor(st.st_dev)) continue;
    if (m.fsType == "overlay") {
      for (const std::string& layer : sysblock::OverlayLayers(m.superOptions))
        if (!PathSafe(layer, source, depth + 1)) return false;
      return true;
    }
    if (m.source.rfind("/dev/", 0) == 0) return DeviceSafe(sysblock::KernelNameOfPath(m.source), source, depth);
    // A FUSE file system over an image file (ntfs-3g IMG DIR) writes into
    // that file: it is as safe as the file itself.
    struct stat fileSt;
    if (!m.source.empty() && m.source[0] == '/' && stat(m.source.c_str(), &fileSt) == 0 && S_ISREG(fileSt.st_mode))
      return PathSafe(m.source, source, depth + 1);
    return true;
  }
  return true;
}

}  // namespace

SourceIdentity SourceOfDevice(const std::string& devicePath, uint64_t firstByte, uint64_t byteCount) {
  SourceIdentity s;
  s.devicePath = devicePath;
  s.firstByte = firstByte;
  s.byteCount = byteCount;
  std::vector<DiskExtent> ext = theDrvList().GetVolumeExtents(devicePath);
  if (ext.size() == 1) {
    const DiskExtent& e = ext[0];
    uint64_t skip = std::min(firstByte, e.lengthBytes);
    uint64_t left = e.lengthBytes - skip;
    s.diskNumber = e.diskNumber;
    s.firstByte = e.startByte + skip;
    s.byteCount = byteCount == 0 ? left : std::min(byteCount, left);
    if (s.byteCount == 0) s.byteCount = 1;  // an empty window still names its place
  }
  return s;
}

SourceIdentity SourceOfImage(const std::string& imagePath) {
  SourceIdentity s;
  s.isImage = true;
  s.imagePath = imagePath;
  return s;
}

bool IsDestinationSafe(const std::string& destinationPath, const SourceIdentity& source) {
  if (destinationPath.empty()) return false;
  return PathSafe(destinationPath, source, 0);
}

bool IsDiskSafe(int diskNumber, const SourceIdentity& source) {
  const CPhysDisk* disk = theDiskList().Disk(size_t(diskNumber < 0 ? SIZE_MAX : size_t(diskNumber)));
  if (!disk) return true;
  if (!disk->backingFile.empty()) {
    if (source.isImage && SameFile(disk->backingFile, source.imagePath)) return false;
    if (!source.isImage && !PathSafe(disk->backingFile, source, 1)) return false;
  }
  if (source.isImage) return true;
  std::vector<DiskExtent> src = SourceExtents(source);
  for (const DiskExtent& e : src)
    if (e.diskNumber == diskNumber) return false;
  if (src.empty() && !source.devicePath.empty()) {
    std::set<std::string> chain;
    DeviceChain(sysblock::KernelNameOfPath(source.devicePath), 0, &chain);
    if (chain.count(disk->kernelName)) return false;
  }
  return true;
}
