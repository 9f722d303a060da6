#include "storage/SourceKind.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "storage/VhdFormat.h"

namespace {

bool At(const uint8_t* data, size_t bytes, size_t offset, const char* magic, size_t n) {
  return offset <= bytes && n <= bytes - offset && memcmp(data + offset, magic, n) == 0;
}

uint32_t Le32At(const uint8_t* data, size_t bytes, size_t offset) {
  return offset + 4 <= bytes ? Le32(data + offset) : 0;
}

uint16_t Be16At(const uint8_t* data, size_t bytes, size_t offset) {
  return offset + 2 <= bytes ? uint16_t(data[offset] << 8 | data[offset + 1]) : 0;
}

// Formats whose magic is at the start of the file.
ImageContent HeadContent(const uint8_t* head, size_t n) {
  if (At(head, n, 0, "vhdxfile", 8)) return ImageContent::kVhdx;
  if (At(head, n, 0, "KDMV", 4) || At(head, n, 0, "COWD", 4) || At(head, n, 0, "# Disk DescriptorFile", 21))
    return ImageContent::kVmdk;
  if (At(head, n, 0, "QFI\xfb", 4)) return ImageContent::kQcow;
  if (At(head, n, 0, "QED\0", 4)) return ImageContent::kQed;
  if (Le32At(head, n, 0x40) == 0xBEDA107F) return ImageContent::kVdi;
  if (At(head, n, 0, "WithoutFreeSpace", 16) || At(head, n, 0, "WithouFreSpacExt", 16)) return ImageContent::kParallels;
  return ImageContent::kPlain;
}

// File systems and containers no family reads.
WString ForeignFileSystem(const uint8_t* d, size_t n) {
  // By their own magic numbers at their own places.
  const uint16_t hfs = Be16At(d, n, 1024), hfsVersion = Be16At(d, n, 1026);
  if (hfs == 0x482B && hfsVersion == 4) return u"an HFS+ volume";
  if (hfs == 0x4858 && hfsVersion == 5) return u"an HFSX volume";
  if (hfs == 0x4244) return u"an HFS volume";
  if (At(d, n, 32, "NXSB", 4)) return u"an APFS container";
  if (At(d, n, 0, "XFSB", 4)) return u"an XFS volume";
  if (At(d, n, 65536 + 64, "_BHRfS_M", 8)) return u"a Btrfs volume";
  for (const uint32_t magic : {0x00011954u, 0x54190100u})
    if (Le32At(d, n, 8192 + 1372) == magic) return u"a UFS1 volume";
  for (const uint32_t magic : {0x19540119u, 0x19015419u})
    if (Le32At(d, n, 65536 + 1372) == magic || Le32At(d, n, 8192 + 1372) == magic) return u"a UFS2 volume";
  if (At(d, n, 3, "ReFS\0\0\0\0", 8)) return u"a ReFS volume";
  if (At(d, n, 3, "-FVE-FS-", 8)) return u"a BitLocker encrypted volume";
  if (At(d, n, 0, "LUKS\xba\xbe", 6)) return u"a LUKS encrypted volume";
  if (Le32At(d, n, 1024) == 0xF2F52010) return u"an F2FS volume";
  if (At(d, n, 0, "hsqs", 4)) return u"a SquashFS file system";
  if (At(d, n, 32769, "CD001", 5)) return u"an ISO 9660 file system (a CD or DVD image)";
  if (At(d, n, 512, "LABELONE", 8) || At(d, n, 0, "LABELONE", 8)) return u"an LVM physical volume";
  if (Le32At(d, n, 4096) == 0xA92B4EFC || Le32At(d, n, 0) == 0xA92B4EFC) return u"a Linux software RAID member";
  if (At(d, n, 4096 - 10, "SWAPSPACE2", 10)) return u"a Linux swap area";
  return {};
}

}  // namespace

ImageContent ProbeImageContent(const uint8_t* head, size_t headBytes, const uint8_t* tail, uint64_t size) {
  const ImageContent byHead = HeadContent(head, headBytes);
  if (byHead != ImageContent::kPlain) return byHead;
  // A dynamic or differencing VHD starts with a copy of its footer; a fixed
  // one ends with the footer alone (checked by its checksum: the last
  // sector of a raw disk may hold anything).
  if (headBytes >= vhd::kFooterBytes && IsVhdFooterCopy(ParseVhdFooter(head))) return ImageContent::kVhd;
  if (tail && size >= vhd::kFooterBytes) {
    uint64_t diskBytes = 0;
    if (IsFixedVhdFooter(tail, size, &diskBytes)) return ImageContent::kVhd;
    const VhdFooter f = ParseVhdFooter(tail);
    if (f.cookie && f.checksumOk) return ImageContent::kVhd;
    if (memcmp(tail, "koly", 4) == 0) return ImageContent::kDmg;
  }
  return ImageContent::kPlain;
}

ImageContent ProbeImageFile(WStringView path) {
  const std::string p = ToUtf8(path);
  // Never blocks on a FIFO: only a regular file is read.
  const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return ImageContent::kPlain;
  struct stat st;
  ImageContent kind = ImageContent::kPlain;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const uint64_t size = uint64_t(st.st_size);
    uint8_t head[4096] = {}, tail[vhd::kFooterBytes] = {};
    const ssize_t h = pread(fd, head, sizeof head, 0);
    bool haveTail = false;
    if (size >= sizeof tail) haveTail = pread(fd, tail, sizeof tail, off_t(size - sizeof tail)) == ssize_t(sizeof tail);
    if (h > 0) kind = ProbeImageContent(head, size_t(h), haveTail ? tail : nullptr, size);
  }
  close(fd);
  return kind;
}

int VirtualDiskKindOf(WStringView name) {
  if (name.starts_with(u"VHD(")) return 1;
  if (name.starts_with(u"VMDK(")) return 2;
  if (name.find(u'<') == WStringView::npos && !name.empty() && name[0] == u'/') {
    switch (ProbeImageFile(name)) {
      case ImageContent::kVhd:
      case ImageContent::kVhdx: return 1;
      case ImageContent::kVmdk: return 2;
      default: break;
    }
  }
  if (Drive::IsVhdName(name)) return 1;
  if (Drive::IsVmdkName(name)) return 2;
  return 0;
}

WString ForeignImageName(ImageContent kind) {
  switch (kind) {
    case ImageContent::kQcow: return u"a QEMU qcow2 disk image";
    case ImageContent::kQed: return u"a QEMU QED disk image";
    case ImageContent::kVdi: return u"a VirtualBox VDI disk image";
    case ImageContent::kParallels: return u"a Parallels disk image";
    case ImageContent::kDmg: return u"an Apple disk image (DMG)";
    default: return {};
  }
}

ForeignContent DescribeForeignContent(const uint8_t* d, size_t n) {
  // Another disk-image format read as a disk of raw sectors.
  if (WString name = ForeignImageName(HeadContent(d, n)); !name.empty()) return {std::move(name), true};
  return {ForeignFileSystem(d, n), false};
}

ForeignContent DescribeForeignContentAt(Drive& drive, uint64_t sector) {
  const uint32_t ss = drive.SectorSize();
  if (!ss || sector >= drive.SectorCount()) return {};
  const uint64_t sectors = std::min<uint64_t>((kForeignProbeBytes + ss - 1) / ss, drive.SectorCount() - sector);
  const uint32_t bytes = uint32_t(std::min<uint64_t>(sectors * ss, drive.TransferSize() ? drive.TransferSize() : ss));
  std::vector<uint8_t> buffer(bytes);
  const uint32_t errors = drive.TotalErrors();
  const WString lastError = theTrace().LastErrorText();
  const int32_t lastCode = theTrace().LastErrorCode();
  uint8_t* p = nullptr;
  try {
    p = drive.ReadSectors(int64_t(sector), bytes, drive.RetryPiece(), buffer.data(), true);
  } catch (const DvCodeError&) {
    p = nullptr;
  }
  theTrace().SetLastError(lastError, lastCode);
  // Zeros standing for unreadable sectors name nothing.
  if (!p || drive.TotalErrors() != errors) return {};
  return DescribeForeignContent(buffer.data(), buffer.size());
}
