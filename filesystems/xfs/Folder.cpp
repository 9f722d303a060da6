#include "filesystems/xfs/Folder.h"

#include <cstring>

#include "filesystems/xfs/Definitions.h"
#include "foundation/ByteOrder.h"

namespace xfs {

size_t XfsDirBlockHeader(const uint8_t* block, bool* single) {
  const uint32_t magic = GetBigEndian(block, 4);
  const bool one = magic == kDirBlockMagic || magic == kDirBlock3Magic;
  if (single) *single = one;
  if (magic == kDirBlockMagic || magic == kDirDataMagic) return kDirHeaderBytes;
  if (magic == kDirBlock3Magic || magic == kDirData3Magic) return kDir3HeaderBytes;
  return 0;
}

size_t XfsDirEntryBytes(size_t n, bool ftype) {
  const size_t raw = kDeName + n + (ftype ? 1 : 0) + kDeTagBytes;
  return (raw + kDeAlign - 1) / kDeAlign * kDeAlign;
}

XfsDirBlockResult ParseXfsDirBlock(const uint8_t* block, size_t bytes, bool ftype, XfsDirVisitor& visitor) {
  XfsDirBlockResult r;
  bool single = false;
  const size_t header = XfsDirBlockHeader(block, &single);
  if (!header || bytes <= header) {
    r.failed = true;
    return r;
  }
  size_t end = bytes;
  if (single && bytes >= header + kBlockTailBytes) {
    // The leaf entries and the tail close a single-block folder.
    const uint64_t leaves = GetBigEndian(block + bytes - kBlockTailBytes, 4);
    if (leaves * kLeafEntryBytes + header + kBlockTailBytes < bytes)
      end = bytes - size_t(leaves) * kLeafEntryBytes - kBlockTailBytes;
  }
  for (size_t at = header; end > at && end - at > 9;) {
    const uint16_t tag = GetBigEndian16(block + at);
    if (tag == kDeUnusedTag) {
      const uint16_t length = GetBigEndian16(block + at + kDeUnusedLength);
      if (length == 0 || length % kDeAlign || length > end - at) break;
      at += length;
      continue;
    }
    const uint8_t n = block[at + kDeNameLength];
    const size_t size = XfsDirEntryBytes(n, ftype);
    if (size > end - at) {
      r.failed = true;
      break;
    }
    XfsDirEntry e;
    e.inode = GetBigEndian64(block + at + kDeInode, 8);
    e.name = block + at + kDeName;
    e.nameLength = n;
    e.fileType = ftype ? block[at + kDeName + n] : 0;
    e.offset = at;
    const bool valid = n > 0 && !std::memchr(e.name, 0, n) && GetBigEndian16(block + at + size - kDeTagBytes) == at &&
                       visitor.ValidInode(e.inode);
    if (valid) {
      visitor.Entry(e);
      r.entries++;
    } else {
      r.failed = true;
    }
    at += size;
  }
  return r;
}

XfsShortformResult ParseXfsShortform(const uint8_t* fork, size_t bytes, bool ftype, bool special,
                                     XfsDirVisitor* visitor) {
  XfsShortformResult r;
  if (!fork || bytes < kSfParent + 4) return r;
  const uint8_t count = fork[kSfCount], count8 = fork[kSfCount8];
  // The count is every entry's; the second counts the entries whose numbers
  // need 8 bytes, and then every number is stored in 8.
  if (count8 > count) return r;
  const size_t w = count8 ? 8 : 4;
  size_t at;
  if (special) {
    if (count8 || bytes < kSfSpecialEntries) return r;
    r.parent = GetBigEndian(fork + kSfSpecialParent, 4);
    at = kSfSpecialEntries;
  } else {
    if (bytes < kSfParent + w) return r;
    r.parent = GetBigEndian64(fork + kSfParent, int(w));
    at = kSfParent + w;
  }
  r.ok = true;
  for (int i = 0; i < count; ++i) {
    XfsDirEntry e;
    size_t next;
    if (special) {
      if (at + kSfSpecialName > bytes) break;
      e.nameLength = fork[at];
      e.name = fork + at + kSfSpecialName;
      if (at + kSfSpecialName + e.nameLength + 4 > bytes) break;
      e.inode = GetBigEndian(fork + at + kSfSpecialName + e.nameLength, 4);
      next = at + e.nameLength + kSfSpecialEntryExtra;
    } else {
      if (at + 1 + kSfEntryTagBytes > bytes) break;
      e.nameLength = fork[at];
      e.offset = GetBigEndian16(fork + at + 1);
      e.name = fork + at + 1 + kSfEntryTagBytes;
      const size_t typeAt = at + 1 + kSfEntryTagBytes + e.nameLength;
      const size_t inodeAt = typeAt + (ftype ? 1 : 0);
      if (inodeAt + w > bytes) break;
      if (ftype) e.fileType = fork[typeAt];
      e.inode = GetBigEndian64(fork + inodeAt, int(w));
      next = inodeAt + w;
    }
    at = next;
    if (!e.nameLength || std::memchr(e.name, 0, e.nameLength)) continue;
    if (visitor && !visitor->ValidInode(e.inode)) continue;
    r.entries++;
    if (visitor) visitor->Entry(e);
  }
  return r;
}

}  // namespace xfs
