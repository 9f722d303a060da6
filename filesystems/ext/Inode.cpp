#include "filesystems/ext/Inode.h"

#include "filesystems/ext/Definitions.h"
#include "filesystems/ext/ExtentTree.h"
#include "foundation/ByteOrder.h"

using namespace ext;

uint16_t ExtInode::Type() const { return mode & kModeTypeMask; }
bool ExtInode::IsDirectory() const { return Type() == kModeDirectory; }
bool ExtInode::IsRegular() const { return Type() == kModeRegular; }
bool ExtInode::IsSymlink() const { return Type() == kModeSymlink; }
bool ExtInode::UsesExtents() const { return (flags & kFlagExtents) != 0; }
bool ExtInode::HasInlineData() const { return (flags & kFlagInlineData) != 0; }
bool ExtInode::IsDeleted() const { return deleteTime != 0 || links == 0; }

ExtInode ParseExtInode(const uint8_t* p) {
  ExtInode n;
  n.mode = Le16(p + kInodeMode);
  n.sizeHigh = Le32(p + kInodeSizeHigh);
  n.size = Le32(p + kInodeSizeLow) | uint64_t(n.sizeHigh) << 32;
  n.accessTime = Le32(p + kInodeAccessTime);
  n.changeTime = Le32(p + kInodeChangeTime);
  n.modifyTime = Le32(p + kInodeModifyTime);
  n.deleteTime = Le32(p + kInodeDeleteTime);
  n.links = Le16(p + kInodeLinks);
  n.flags = Le32(p + kInodeFlags);
  n.blockArea = p + kInodeBlockArea;
  n.raw = p;
  return n;
}

bool UnixModePlausible(uint16_t mode) {
  const uint8_t high = uint8_t(mode >> 8), low = uint8_t(mode);
  if (!(high & 0x01)) return false;  // owner read
  const bool typeOk = (high >= 0x40 && high <= 0x4F) || (high >= 0x80 && high <= 0x8F) || (high >= 0xA0 && high <= 0xAF);
  if (!typeOk || !(low & 0x80)) return false;  // owner write
  if ((low & 0x18) && !(low & 0x20)) return false;  // group write or execute need group read
  if ((low & 0x03) && !(low & 0x04)) return false;  // other write or execute need other read
  return true;
}

namespace {

bool FastSymlinkPlausible(const uint8_t* area, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    if (area[i] == 0) return false;
    if (i && area[i] == '/' && area[i - 1] == '/') return false;
  }
  return !(length && area[length - 1] == '/');
}

bool PointersFitSize(const ExtInode& n, const ExtInodeContext& c) {
  const uint64_t blocks = n.size / c.blockSize + (n.size % c.blockSize ? 1 : 0);
  const uint8_t* a = n.blockArea;
  if (Le32(a + 4 * kTripleIndirect) && blocks <= c.doubleLimit) return false;
  if (Le32(a + 4 * kDoubleIndirect) && blocks <= c.singleLimit) return false;
  if (blocks <= kDirectPointers) {
    for (uint64_t i = blocks; i < 15; ++i)
      if (Le32(a + 4 * i)) return false;
  }
  return true;
}

}  // namespace

bool IsExtInode(const uint8_t* p, const ExtInodeContext& c, bool strict) {
  const ExtInode n = ParseExtInode(p);
  if (strict && !UnixModePlausible(n.mode)) return false;
  if (Le32(p + kInodeFragAddr) || p[117] || p[118] || p[119]) return false;
  // With metadata_csum the low half of the word at 124 is the checksum.
  if (c.checksums ? Le16(p + kInodeReserved) != 0 : Le32(p + kInodeChecksumLow) != 0) return false;
  if (!n.UsesExtents() && n.sizeHigh > 511) return false;
  // Extents number a file's blocks in 32 bits: a larger size would have the
  // recovery write holes without end.
  const uint64_t maxBlock = c.haveVolume ? c.blockSize : 65536;
  if (n.UsesExtents() && n.size && (n.size - 1) / maxBlock > UINT32_MAX) return false;
  // Inline data is not read: its block area holds bytes, not pointers.
  if (!n.HasInlineData()) {
    // A target of 60 bytes or more needs a block of its own.
    if (n.IsSymlink() && n.size < kInodeBlockAreaBytes && !n.UsesExtents()) {
      if (!FastSymlinkPlausible(n.blockArea, uint32_t(n.size))) return false;
    } else if (!n.UsesExtents()) {
      if (c.haveVolume && !PointersFitSize(n, c)) return false;
    } else if (!c.haveVolume && !ExtExtentHeaderValid(n.blockArea, kInodeBlockAreaBytes)) {
      return false;
    }
    if (n.IsDirectory() && (n.sizeHigh || n.size % c.blockSize || n.size % 512)) return false;
  }
  if (n.flags & 0x07) return false;
  return true;
}

bool IsUnixInodeBlock(const uint8_t* data, size_t bytes, uint32_t inodeSize, const ExtInodeContext& c, bool strict) {
  if (inodeSize < kInodeBaseBytes) return false;
  for (size_t at = 0; at + inodeSize <= bytes; at += inodeSize)
    if (!IsExtInode(data + at, c, strict)) return false;
  return true;
}
