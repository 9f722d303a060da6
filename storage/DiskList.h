// The machine's whole disks, the block devices of its volumes and the
// user's per-drive attributes.
//
// Disks come from sysfs (plat::SysfsRoot()): the whole disks of the kinds
// sd, nvme, vd, xvd and mmcblk that have a "device" link, and loop devices
// that have a backing file; never ram, zram or unbound loops. They are
// ordered by kind and then in kernel order (sdz before sdaa, loop9 before
// loop10), and "PhysicalDriveN" is the N-th of that order, so the number of
// a disk stays the same as long as the machine's disks stay the same.
//
// A volume is a partition, a dm or an md device; its extents on the whole
// disks take the place of the drive-letter disk extents. Partitions come
// with their start and size from sysfs (always in 512-byte units); dm and md
// devices cover the whole of each device below them (their internal mapping
// is not read), which errs on the safe side for the destination check.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Text.h"

class CSectRanges;

// One piece of a block device on a whole disk of the list.
struct DiskExtent {
  int diskNumber = -1;
  uint64_t startByte = 0;
  uint64_t lengthBytes = 0;
  bool operator==(const DiskExtent&) const = default;
};

// What the system says of a volume's block device.
struct VolumeInfo {
  enum Kind { kPartition = 1, kDeviceMapper = 2, kMd = 3 };
  Kind kind = kPartition;
  std::string kernelName;  // "sda1", "dm-0", "md0"
  std::string devicePath;  // "/dev/sda1"
  uint32_t devMajor = 0, devMinor = 0;
  int partitionNumber = 0;       // partitions only
  std::string mapperName;        // dm only: dm/name
  uint64_t sizeBytes = 0;        // sysfs size x 512
  std::vector<DiskExtent> extents;
  std::string mountPoint;        // first mount point, empty when not mounted
  std::string fsType;            // from the mount table, else from the label probe
  WString label;                 // from the label probe (empty when unknown)
};

// Geometry as the old geometry reply gave it. Linux has no cylinders: the
// counts come from HDIO_GETGEO when the device answers, else 255 heads and
// 63 sectors per track over the disk's size.
struct DiskGeometry {
  uint64_t cylinders = 0;
  uint32_t mediaType = 12;  // fixed medium
  uint32_t tracksPerCylinder = 255;
  uint32_t sectorsPerTrack = 63;
  uint32_t bytesPerSector = 512;
};

// The sector count of a disk: the cylinder product, unless the size in
// bytes gives more sectors (the extended reply wins then).
uint64_t SectorCountFromGeometry(const DiskGeometry& geometry, uint64_t diskBytes);

class CPhysDisk {
 public:
  CPhysDisk() = default;
  virtual ~CPhysDisk();
  CPhysDisk(const CPhysDisk&) = delete;
  CPhysDisk& operator=(const CPhysDisk&) = delete;

  std::string deviceName;  // "PhysicalDrive0" (after the "\\.\" prefix)
  std::string devicePath;  // "/dev/sda"
  std::string kernelName;  // "sda"
  uint32_t devMajor = 0, devMinor = 0;
  uint64_t sectorCount = 0;         // logical sectors
  uint32_t sectorSize = 512;        // logical sector size
  uint32_t physicalSectorSize = 512;
  uint64_t maxTransferBytes = 0;    // queue/max_hw_sectors_kb x 1024, 0 when unknown
  DiskGeometry geometry;            // plain reply
  DiskGeometry geometryEx;          // extended reply (same counts)
  uint64_t diskBytes = 0;           // size of the extended reply
  WString model;                    // empty when unknown
  WString serial;                   // empty when unknown
  WString vendor;                   // device/vendor, kept apart from the model
  std::string backingFile;          // loop devices: the file behind them
  bool removable = false;
  bool readOnly = false;
  // Where a default volume starts: the first partition's first sector, else 63.
  uint32_t defaultBootSector = 63;
  std::vector<VolumeInfo> partitions;  // by partition number

  // The number after "PhysicalDrive", -1 when the name has none.
  int DiskNumber() const;
  uint64_t SizeBytes() const { return sectorCount * uint64_t(sectorSize); }
  // "Disk 0 (465.76 GB) - model - serial"; without a serial the last part
  // is left out, without a model "Disk 0 - 465.76 GB".
  WString GetDisplayName() const;
};

// How the list is built. Opening the devices (geometry, pass-through
// identification, label probe) is done only for the machine's own sysfs: a
// fixture tree names devices that are not its own.
struct DiskListOptions {
  bool probeDevices = true;
  bool ataPassThrough = true;  // try ATA IDENTIFY before SCSI INQUIRY
};

class CDiskList {
 public:
  CDiskList() = default;
  CDiskList(const CDiskList&) = delete;
  CDiskList& operator=(const CDiskList&) = delete;

  // Reads sysfs and the mount table again. Entries handed out before stay
  // valid (they are retired, not freed), so a reader on another thread never
  // sees freed memory.
  void Refresh();
  void Refresh(const DiskListOptions& options);

  size_t Count() const;
  // The i-th disk (PhysicalDrive i), null past the end.
  const CPhysDisk* Disk(size_t index) const;
  // By "PhysicalDriveN" or "\\.\PhysicalDriveN" (case-insensitive); null
  // when there is no such disk.
  const CPhysDisk* FindDisk(std::string_view name) const;
  const CPhysDisk* FindDisk(WStringView name) const;
  // By kernel name ("sda") or device path ("/dev/sda").
  const CPhysDisk* FindByKernelName(std::string_view name) const;
  // The whole disk that holds a block device (a whole disk, a partition, or
  // a dm/md device through the devices below it: the disk of its first
  // extent), with the device's extents; null when no listed disk holds it.
  const CPhysDisk* DiskOfDevice(const std::string& devicePath, std::vector<DiskExtent>* extents = nullptr) const;
  // The extents of a block device on these disks (see CDrvList).
  std::vector<DiskExtent> DeviceExtents(const std::string& devicePath) const;
  // The disk a drive name opens: "\\.\PhysicalDriveN" by its number, a
  // block-device path by the disk of its first extent; null otherwise.
  const CPhysDisk* DiskOfDriveName(WStringView name) const;
  // Every volume device: partitions of the listed disks, then dm and md.
  std::vector<VolumeInfo> Volumes() const;
  // Appends each disk's display name (the view's Look-in list).
  void PopulateCombo(std::vector<WString>& entries) const;

 private:
  void EnsureBuilt() const;
  const CPhysDisk* FindByKernelNameLocked(std::string_view name) const;

  mutable std::recursive_mutex mutex_;
  mutable bool built_ = false;
  std::vector<std::unique_ptr<CPhysDisk>> disks_;
  std::vector<VolumeInfo> stacked_;  // dm and md devices
  std::vector<std::unique_ptr<CPhysDisk>> retired_;
};

// The process-wide list, built from sysfs on first use.
CDiskList& theDiskList();

// The disk-extent lookups of the volumes (the old per-letter extent table).
class CDrvList {
 public:
  // The extents of a block device ("/dev/sda1", "sda1", "/dev/dm-0") on the
  // listed disks; empty when the device is unknown. A whole disk is one
  // extent covering it.
  std::vector<DiskExtent> GetVolumeExtents(const std::string& devicePath) const;
  // The volume device whose first extent lies on that disk at that byte
  // offset, with the sum of its extent lengths; empty when there is none.
  // (Volumes have device paths here where the old list had letters.)
  std::string GetDriveLetter(int diskNumber, uint64_t startByte, uint64_t* totalLength) const;
};
CDrvList& theDrvList();

// The user's attributes of one drive (by name).
struct DrvInfo {
  explicit DrvInfo(WString driveName);
  ~DrvInfo();
  DrvInfo(const DrvInfo&) = delete;
  DrvInfo& operator=(const DrvInfo&) = delete;

  WString name;
  WString second;
  // Values the view's dialogs set and read; all bits set means unset.
  int64_t values64[4] = {-1, -1, -1, -1};
  uint32_t values32[4] = {~0u, ~0u, ~0u, ~0u};
  uint32_t retryPiece = 0x10000;
  uint8_t flags[2] = {1, 1};
  uint32_t counters[2] = {0, 0};
  std::unique_ptr<CSectRanges> exclusions;  // byte ranges never to be read, or null
  std::vector<uint8_t> buffer;
};

// The list of DrvInfo, unique by name. "PhysicalDriveN", "\\.\PhysicalDriveN",
// "/dev/<kernel name>" and "<kernel name>" all name the same disk; other
// names compare with ASCII case folding, except paths (beginning with "/"),
// which Linux keeps case-sensitive.
class CDrvAttr {
 public:
  // Replaces (and deletes) an entry of the same name, else appends.
  DrvInfo* AddDrvInfo(std::unique_ptr<DrvInfo> info);
  bool DeleteDrvInfo(WStringView name);
  bool FindDrvInfoPtr(const DrvInfo* info) const;
  DrvInfo* FindDrvInfo(WStringView name) const;
  // Copies the exclusion set of the named drive into *out under the list's
  // lock; false when the drive has no entry or no exclusion set.
  bool CopyExclusions(WStringView name, CSectRanges* out) const;
  size_t Count() const;
  // The names of the entries, in order.
  std::vector<WString> Names() const;
  void Clear();

  // Whether two names name the same drive (the rule above).
  static bool SameDriveName(WStringView a, WStringView b);

 private:
  DrvInfo* FindLocked(WStringView name) const;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<DrvInfo>> items_;
};
CDrvAttr& theDrvAttr();
