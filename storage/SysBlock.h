// What the system says of its block devices: sysfs attributes, the mount
// table, and a small read-only probe of file-system labels.
//
// All sysfs paths hang from plat::SysfsRoot() and the mount table from
// plat::ProcRoot(), so tests can use a fixture tree. sysfs "start" and
// "size" are 512-byte units whatever the device's logical block size.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Text.h"

namespace sysblock {

// An attribute's text without its trailing line end; empty when unreadable.
std::string ReadAttr(const std::string& path);
// The raw bytes of an attribute (binary ones such as vpd_pg80), at most max.
std::vector<uint8_t> ReadAttrBytes(const std::string& path, size_t max = 4096);
// A decimal attribute; false when missing or not a number.
bool ReadU64(const std::string& path, uint64_t* value);
bool Exists(const std::string& path);
// Entry names of a folder (no "." and ".."), sorted; empty when unreadable.
std::vector<std::string> ListDir(const std::string& path);
// "8:1" -> 8, 1.
bool ParseDevNumber(std::string_view text, uint32_t* major, uint32_t* minor);

// The sysfs folder of a block device by kernel name: class/block/<name>, or
// a whole disk block/<name>, or a partition block/<disk>/<name>; empty when
// there is none.
std::string DeviceFolder(const std::string& kernelName);
// Kernel name and, for a partition, its disk from a device number through
// dev/block/MAJ:MIN; false when the number has no block device.
bool ResolveDevNumber(uint32_t major, uint32_t minor, std::string* kernelName, std::string* parentDisk);
// The same for a kernel name ("sda1" -> parent "sda"); false when unknown.
bool ResolveName(const std::string& kernelName, std::string* parentDisk);
// The kernel name a path names: "/dev/sda1" -> "sda1"; a block device node
// by its device number, else the last component (for /dev/mapper names and
// fixture trees).
std::string KernelNameOfPath(const std::string& devicePath);

// Kernel order: digit runs compare as numbers and letter runs by length
// first, so sdz < sdaa and loop9 < loop10.
bool KernelNameLess(std::string_view a, std::string_view b);

// ---- mount table ----

struct MountEntry {
  uint32_t major = 0, minor = 0;
  std::string root;        // the mounted part of the file system
  std::string mountPoint;  // unescaped
  std::string fsType;
  std::string source;      // unescaped
  std::string superOptions;
};
// Parses /proc/self/mountinfo text; malformed lines are skipped.
std::vector<MountEntry> ParseMountInfo(std::string_view text);
std::vector<MountEntry> ReadMountInfo();
// "\040" and the other octal escapes of the mount table.
std::string UnescapeMountField(std::string_view field);
// The layers of an overlay mount: upperdir, workdir and each lowerdir.
std::vector<std::string> OverlayLayers(std::string_view superOptions);

// ---- file-system label probe (read-only) ----

struct FsLabel {
  std::string fsType;  // "ext4"-like family name: "ext", "ntfs", "vfat", "exfat", "xfs"; empty when unknown
  WString label;
};
// Reads len bytes at offset into buf; false when it cannot.
using ByteReader = std::function<bool(uint64_t offset, void* buf, size_t len)>;
// ext2/3/4, NTFS, FAT12/16/32, exFAT and XFS superblocks.
FsLabel ProbeLabel(const ByteReader& read, uint64_t deviceBytes);
// The same on a file or block device opened O_RDONLY.
FsLabel ProbeLabelOfPath(const std::string& path);

}  // namespace sysblock
