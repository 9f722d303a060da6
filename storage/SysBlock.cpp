#include "storage/SysBlock.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "platform/Platform.h"

namespace sysblock {

namespace {

std::string BaseName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string DirName(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!realpath(path.c_str(), buf)) return {};
  return buf;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The kernel name and parent disk of a resolved sysfs device folder.
void NamesOfFolder(const std::string& folder, std::string* kernelName, std::string* parentDisk) {
  std::string real = RealPath(folder);
  if (real.empty()) real = folder;
  if (kernelName) *kernelName = BaseName(real);
  if (parentDisk) {
    parentDisk->clear();
    if (Exists(real + "/partition")) *parentDisk = BaseName(DirName(real));
  }
}

}  // namespace

std::string ReadAttr(const std::string& path) {
  std::vector<uint8_t> bytes = ReadAttrBytes(path, 65536);
  std::string s(bytes.begin(), bytes.end());
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::vector<uint8_t> ReadAttrBytes(const std::string& path, size_t max) {
  std::vector<uint8_t> out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  // Grown as the file gives bytes: `max` may be megabytes for a file of a
  // few kilobytes.
  size_t have = 0;
  while (have < max) {
    if (have == out.size()) out.resize(std::min(max, std::max<size_t>(4096, have * 2)));
    ssize_t n = read(fd, out.data() + have, out.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += size_t(n);
  }
  close(fd);
  out.resize(have);
  return out;
}

bool ReadU64(const std::string& path, uint64_t* value) {
  std::string s = ReadAttr(path);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  if (i == s.size()) return false;
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    if (!IsDigit(s[i])) return false;
    uint64_t d = uint64_t(s[i] - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *value = v;
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return KernelNameLess(a, b); });
  return names;
}

bool ParseDevNumber(std::string_view text, uint32_t* major, uint32_t* minor) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 >= text.size()) return false;
  uint64_t parts[2] = {0, 0};
  std::string_view pieces[2] = {text.substr(0, colon), text.substr(colon + 1)};
  for (int k = 0; k < 2; ++k) {
    if (pieces[k].size() > 10) return false;
    for (char c : pieces[k]) {
      if (!IsDigit(c)) return false;
      parts[k] = parts[k] * 10 + uint64_t(c - '0');
    }
    if (parts[k] > UINT32_MAX) return false;
  }
  *major = uint32_t(parts[0]);
  *minor = uint32_t(parts[1]);
  return true;
}

std::string DeviceFolder(const std::string& kernelName) {
  if (kernelName.empty() || kernelName.find('/') != std::string::npos || kernelName == "." || kernelName == "..")
    return {};
  std::string root = plat::SysfsRoot();
  std::string p = root + "/class/block/" + kernelName;
  if (Exists(p + "/dev")) return p;
  p = root + "/block/" + kernelName;
  if (Exists(p + "/dev")) return p;
  // A partition sits in its disk's folder.
  for (const std::string& disk : ListDir(root + "/block")) {
    p = root + "/block/" + disk + "/" + kernelName;
    if (Exists(p + "/partition")) return p;
  }
  return {};
}

bool ResolveDevNumber(uint32_t major, uint32_t minor, std::string* kernelName, std::string* parentDisk) {
  std::string p = plat::SysfsRoot() + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
  if (!Exists(p)) return false;
  NamesOfFolder(p, kernelName, parentDisk);
  return kernelName == nullptr || !kernelName->empty();
}

bool ResolveName(const std::string& kernelName, std::string* parentDisk) {
  std::string folder = DeviceFolder(kernelName);
  if (folder.empty()) return false;
  NamesOfFolder(folder, nullptr, parentDisk);
  return true;
}

std::string KernelNameOfPath(const std::string& devicePath) {
  if (devicePath.find('/') == std::string::npos) return devicePath;
  // A node straight in /dev is named after its kernel device.
  if (devicePath.rfind("/dev/", 0) == 0 && devicePath.find('/', 5) == std::string::npos) {
    std::string name = devicePath.substr(5);
    if (!DeviceFolder(name).empty()) return name;
  }
  struct stat st;
  if (stat(devicePath.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
    std::string name;
    if (ResolveDevNumber(major(st.st_rdev), minor(st.st_rdev), &name, nullptr)) return name;
  }
  return BaseName(devicePath);
}

bool KernelNameLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    bool da = IsDigit(a[i]), db = IsDigit(b[j]);
    size_t ie = i, je = j;
    while (ie < a.size() && IsDigit(a[ie]) == da) ++ie;
    while (je < b.size() && IsDigit(b[je]) == db) ++je;
    std::string_view ra = a.substr(i, ie - i), rb = b.substr(j, je - j);
    if (da != db) return da;  // digits before letters
    if (da) {
      while (ra.size() > 1 && ra[0] == '0') ra.remove_prefix(1);
      while (rb.size() > 1 && rb[0] == '0') rb.remove_prefix(1);
    }
    if (ra.size() != rb.size()) return ra.size() < rb.size();
    if (ra != rb) return ra < rb;
    i = ie;
    j = je;
  }
  if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
  return a < b;
}

// ---- mount table ----

std::string UnescapeMountField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int v = 0;
      bool ok = true;
      for (size_t k = 1; k <= 3 && ok; ++k) {
        char c = field[i + k];
        if (c < '0' || c > '7') ok = false;
        else v = v * 8 + (c - '0');
      }
      if (ok && v < 256) {
        out.push_back(char(v));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> entries;
  while (!text.empty()) {
    size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    std::vector<std::string_view> f;
    size_t p = 0;
    while (p < line.size()) {
      while (p < line.size() && line[p] == ' ') ++p;
      size_t e = p;
      while (e < line.size() && line[e] != ' ') ++e;
      if (e > p) f.push_back(line.substr(p, e - p));
      p = e;
    }
    // id parent maj:min root mountpoint options [optional...] - type source superoptions
    size_t dash = 6;
    while (dash < f.size() && f[dash] != "-") ++dash;
    if (f.size() < 7 || dash + 2 >= f.size()) continue;
    MountEntry m;
    if (!ParseDevNumber(f[2], &m.major, &m.minor)) continue;
    m.root = UnescapeMountField(f[3]);
    m.mountPoint = UnescapeMountField(f[4]);
    m.fsType = UnescapeMountField(f[dash + 1]);
    m.source = UnescapeMountField(f[dash + 2]);
    if (dash + 3 < f.size()) m.superOptions = std::string(f[dash + 3]);
    entries.push_back(std::move(m));
  }
  return entries;
}

std::vector<MountEntry> ReadMountInfo() {
  std::vector<uint8_t> bytes = ReadAttrBytes(plat::ProcRoot() + "/self/mountinfo", size_t(16) << 20);
  return ParseMountInfo(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<std::string> OverlayLayers(std::string_view superOptions) {
  // Options are split at unescaped commas, lower layers at unescaped colons.
  auto split = [](std::string_view s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == sep || s[i + 1] == '\\')) {
        cur.push_back('\\');
        cur.push_back(s[++i]);
      } else if (s[i] == sep) {
        parts.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(s[i]);
      }
    }
    parts.push_back(cur);
    return parts;
  };
  auto unescape = [](const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == ',' || s[i + 1] == ':' || s[i + 1] == '\\')) ++i;
      out.push_back(s[i]);
    }
    return UnescapeMountField(out);
  };
  std::vector<std::string> layers;
  for (const std::string& opt : split(superOptions, ',')) {
    size_t eq = opt.find('=');
    if (eq == std::string::npos) continue;
    std::string key = opt.substr(0, eq), value = opt.substr(eq + 1);
    if (key == "upperdir" || key == "workdir") {
      if (!value.empty()) layers.push_back(unescape(value));
    } else if (key == "lowerdir" || key == "lowerdir+" || key == "datadir+") {
      for (const std::string& l : split(value, ':'))
        if (!l.empty()) layers.push_back(unescape(l));
    }
  }
  return layers;
}

// ---- label probe ----

// The disk list names the machine's devices with their file system and
// label, as blkid does, before any scan: storage lies below the file-system
// families and builds no volume, so it reads these few fields itself. What
// a scan reads is the families' business (filesystems/<family>/).
namespace {

// ext2/3/4: the superblock 1024 bytes in.
constexpr size_t kExtSuperBlock = 1024;
constexpr size_t kExtMagic = 0x38, kExtCompat = 0x5C, kExtIncompat = 0x60, kExtVolumeName = 0x78;
constexpr size_t kExtVolumeNameBytes = 16;
constexpr uint16_t kExtMagicValue = 0xEF53;
constexpr uint32_t kExtCompatHasJournal = 0x4;
constexpr uint32_t kExtIncompatExt4 = 0x40 | 0x80 | 0x200;  // extents, 64-bit, flex_bg
// XFS: the superblock at 0.
constexpr size_t kXfsLabel = 108, kXfsLabelBytes = 12;
// Boot sectors of NTFS, exFAT and FAT.
constexpr size_t kOemName = 3, kOemNameBytes = 8;
constexpr size_t kBytesPerSector = 0x0B, kSectorsPerCluster = 0x0D;
constexpr size_t kFatCount = 0x10, kFat16Size = 0x16, kBootSignature = 510;
constexpr size_t kFat16Extended = 0x24, kFat32Extended = 0x40;  // the extended boot block
constexpr size_t kExtendedSignature = 2, kExtendedLabel = 7, kExtendedLabelBytes = 11;
constexpr uint8_t kExtendedSignatureValue = 0x29;
constexpr size_t kNtfsMftCluster = 0x30, kNtfsRecordSize = 0x40;
constexpr size_t kExfatHeapOffset = 0x58, kExfatRootCluster = 0x60, kExfatSectorShift = 0x6C, kExfatClusterShift = 0x6D;
// An NTFS file record and its attributes.
constexpr uint32_t kNtfsVolumeRecord = 3;  // $Volume
constexpr size_t kRecordUsaOffset = 4, kRecordUsaCount = 6, kRecordFirstAttribute = 0x14;
constexpr size_t kAttrLength = 4, kAttrNonResident = 8, kAttrValueLength = 0x10, kAttrValueOffset = 0x14;
constexpr uint32_t kAttrEnd = 0xFFFFFFFFu, kAttrVolumeName = 0x60;
// exFAT folder entries.
constexpr size_t kExfatEntryBytes = 32, kExfatLabelLength = 1, kExfatLabelText = 2, kExfatLabelChars = 11;
constexpr uint8_t kExfatLabelEntry = 0x83;

// A fixed-width label field: up to the first zero byte, trailing blanks off.
WString FixedText(const uint8_t* p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  while (len > 0 && p[len - 1] == ' ') --len;
  return FromUtf8(std::string_view(reinterpret_cast<const char*>(p), len));
}

WString Utf16LeText(const uint8_t* p, size_t chars) {
  WString s;
  for (size_t i = 0; i < chars; ++i) {
    char16_t c = char16_t(Le16(p + 2 * i));
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

bool ProbeNtfsLabel(const ByteReader& read, const uint8_t* boot, uint64_t deviceBytes, WString* label) {
  uint32_t bytesPerSector = Le16(boot + kBytesPerSector);
  if (bytesPerSector < 256 || bytesPerSector > 4096 || (bytesPerSector & (bytesPerSector - 1))) return false;
  uint32_t spcCode = boot[kSectorsPerCluster];
  uint64_t sectorsPerCluster = spcCode <= 0x80 ? spcCode : (spcCode >= 0xF4 ? (1ull << (256 - spcCode)) : 0);
  if (sectorsPerCluster == 0) return false;
  uint64_t clusterBytes = sectorsPerCluster * bytesPerSector;
  int8_t recCode = int8_t(boot[kNtfsRecordSize]);
  uint64_t recordBytes;
  if (recCode > 0) recordBytes = uint64_t(recCode) * clusterBytes;
  else if (recCode < 0 && recCode >= -31) recordBytes = 1ull << (-recCode);
  else return false;
  if (recordBytes < 512 || recordBytes > 65536) return false;
  uint64_t mftCluster = Le64(boot + kNtfsMftCluster);
  if (mftCluster == 0 || mftCluster > deviceBytes / clusterBytes) return false;
  uint64_t offset = mftCluster * clusterBytes + kNtfsVolumeRecord * recordBytes;
  if (offset + recordBytes > deviceBytes) return false;
  std::vector<uint8_t> rec(recordBytes);
  if (!read(offset, rec.data(), rec.size())) return false;
  if (memcmp(rec.data(), "FILE", 4) != 0) return false;
  // Undo the update sequence: the last two bytes of every 512-byte block.
  uint32_t usaOffset = Le16(&rec[kRecordUsaOffset]), usaCount = Le16(&rec[kRecordUsaCount]);
  if (usaCount == 0 || usaOffset + 2ull * usaCount > recordBytes || (usaCount - 1) * 512ull > recordBytes) return false;
  for (uint32_t i = 1; i < usaCount; ++i) {
    size_t end = size_t(i) * 512 - 2;
    if (Le16(&rec[end]) != Le16(&rec[usaOffset])) return false;
    rec[end] = rec[usaOffset + 2 * i];
    rec[end + 1] = rec[usaOffset + 2 * i + 1];
  }
  size_t pos = Le16(&rec[kRecordFirstAttribute]);
  for (int guard = 0; guard < 64 && pos + 16 <= recordBytes; ++guard) {
    uint32_t type = Le32(&rec[pos]);
    if (type == kAttrEnd) break;
    uint32_t length = Le32(&rec[pos + kAttrLength]);
    if (length < 16 || pos + length > recordBytes) break;
    if (type == kAttrVolumeName && rec[pos + kAttrNonResident] == 0 && length >= 24) {
      uint32_t valueLength = Le32(&rec[pos + kAttrValueLength]);
      uint32_t valueOffset = Le16(&rec[pos + kAttrValueOffset]);
      if (uint64_t(valueOffset) + valueLength > length) return false;
      *label = Utf16LeText(&rec[pos + valueOffset], valueLength / 2);
      return true;
    }
    pos += length;
  }
  return true;  // NTFS without a volume name
}

bool ProbeExfatLabel(const ByteReader& read, const uint8_t* boot, uint64_t deviceBytes, WString* label) {
  uint32_t bpsShift = boot[kExfatSectorShift], spcShift = boot[kExfatClusterShift];
  if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift) return false;
  uint64_t heapOffset = Le32(boot + kExfatHeapOffset), rootCluster = Le32(boot + kExfatRootCluster);
  if (rootCluster < 2) return false;
  uint64_t clusterBytes = 1ull << (bpsShift + spcShift);
  uint64_t offset = (heapOffset << bpsShift) + (rootCluster - 2) * clusterBytes;
  // The label is one of the first entries of the root folder.
  uint64_t len = std::min<uint64_t>(clusterBytes, 65536);
  if (offset >= deviceBytes || len > deviceBytes - offset) return false;
  std::vector<uint8_t> dir(len);
  if (!read(offset, dir.data(), dir.size())) return false;
  for (size_t p = 0; p + kExfatEntryBytes <= dir.size(); p += kExfatEntryBytes) {
    uint8_t type = dir[p];
    if (type == 0) break;
    if (type == kExfatLabelEntry) {
      *label = Utf16LeText(&dir[p + kExfatLabelText], std::min<size_t>(dir[p + kExfatLabelLength], kExfatLabelChars));
      break;
    }
  }
  return true;
}

}  // namespace

FsLabel ProbeLabel(const ByteReader& read, uint64_t deviceBytes) {
  FsLabel r;
  if (deviceBytes < 2048) return r;
  std::vector<uint8_t> head(4096, 0);
  size_t headLen = size_t(std::min<uint64_t>(deviceBytes, head.size()));
  if (!read(0, head.data(), headLen)) return r;
  const uint8_t* sb = head.data() + kExtSuperBlock;
  if (Le16(sb + kExtMagic) == kExtMagicValue) {
    uint32_t compat = Le32(sb + kExtCompat), incompat = Le32(sb + kExtIncompat);
    r.fsType = (incompat & kExtIncompatExt4) ? "ext4" : (compat & kExtCompatHasJournal) ? "ext3" : "ext2";
    r.label = FixedText(sb + kExtVolumeName, kExtVolumeNameBytes);
    return r;
  }
  if (memcmp(head.data(), "XFSB", 4) == 0) {
    r.fsType = "xfs";
    r.label = FixedText(head.data() + kXfsLabel, kXfsLabelBytes);
    return r;
  }
  if (memcmp(head.data() + kOemName, "NTFS    ", kOemNameBytes) == 0) {
    WString label;
    if (ProbeNtfsLabel(read, head.data(), deviceBytes, &label)) {
      r.fsType = "ntfs";
      r.label = label;
    }
    return r;
  }
  if (memcmp(head.data() + kOemName, "EXFAT   ", kOemNameBytes) == 0) {
    WString label;
    if (ProbeExfatLabel(read, head.data(), deviceBytes, &label)) {
      r.fsType = "exfat";
      r.label = label;
    }
    return r;
  }
  const uint8_t* b = head.data();
  uint32_t bps = Le16(b + kBytesPerSector);
  if (b[kBootSignature] == 0x55 && b[kBootSignature + 1] == 0xAA && (b[0] == 0xEB || b[0] == 0xE9) && bps >= 512 &&
      bps <= 4096 && (bps & (bps - 1)) == 0 && b[kSectorsPerCluster] != 0 && b[kFatCount] != 0) {
    r.fsType = "vfat";
    // FAT32 (no 16-bit table size) keeps its extended boot block further on.
    const uint8_t* ext = Le16(b + kFat16Size) == 0 ? b + kFat32Extended : b + kFat16Extended;
    if (ext[kExtendedSignature] == kExtendedSignatureValue) {
      WString label = FixedText(ext + kExtendedLabel, kExtendedLabelBytes);
      if (label != u"NO NAME") r.label = label;
    }
  }
  return r;
}

FsLabel ProbeLabelOfPath(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st;
  uint64_t size = 0;
  if (fstat(fd, &st) == 0) {
    if (S_ISBLK(st.st_mode)) {
      if (ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
    } else if (S_ISREG(st.st_mode)) {
      size = uint64_t(st.st_size);
    }
  }
  ByteReader reader = [fd](uint64_t offset, void* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
      ssize_t n = pread(fd, static_cast<char*>(buf) + done, len - done, off_t(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += size_t(n);
    }
    return true;
  };
  FsLabel r = ProbeLabel(reader, size);
  close(fd);
  return r;
}

}  // namespace sysblock
