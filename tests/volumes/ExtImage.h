// A minimal ext4 inode and directory reader for the fixture images (enough
// to take the raw names, times and extent roots that mke2fs and the kernel
// wrote, and hand them to the code under test).
#pragma once
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"

namespace fixtures {

using Bytes = std::vector<uint8_t>;

// One bulk read (a byte-wise iterator is slow under the sanitizers).
inline Bytes ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) return Bytes();
  const std::streamoff size = f.tellg();
  Bytes data(size > 0 ? size_t(size) : 0);
  f.seekg(0);
  if (!data.empty() && !f.read(reinterpret_cast<char*>(data.data()), std::streamsize(data.size()))) data.clear();
  return data;
}

// An ext2/3/4 image read whole into memory (the fixtures are a few MiB).
class ExtImage {
 public:
  bool Open(const std::string& path) {
    image_ = ReadAll(path);
    if (image_.size() < 2048) return false;
    const uint8_t* sb = &image_[1024];
    if (GetLittleEndian(sb + 0x38, 2) != 0xEF53) return false;
    blockSize_ = 1024u << GetLittleEndian(sb + 0x18, 4);
    inodesPerGroup_ = GetLittleEndian(sb + 0x28, 4);
    inodeSize_ = GetLittleEndian(sb + 0x58, 2);
    firstDataBlock_ = GetLittleEndian(sb + 0x14, 4);
    const bool is64 = GetLittleEndian(sb + 0x60, 4) & 0x80;
    descSize_ = is64 ? GetLittleEndian(sb + 0xFE, 2) : 32;
    return blockSize_ >= 1024 && inodesPerGroup_ > 0 && inodeSize_ >= 128 && descSize_ >= 32;
  }

  uint32_t BlockSize() const { return blockSize_; }
  const Bytes& Data() const { return image_; }

  const uint8_t* Block(uint64_t block) const {
    if ((block + 1) * blockSize_ > image_.size()) return nullptr;
    return &image_[block * blockSize_];
  }

  // The inode record, or null.
  const uint8_t* Inode(uint32_t number) const {
    if (number == 0) return nullptr;
    const uint32_t group = (number - 1) / inodesPerGroup_, index = (number - 1) % inodesPerGroup_;
    const uint64_t descAt = uint64_t(firstDataBlock_ + 1) * blockSize_ + uint64_t(group) * descSize_;
    if (descAt + descSize_ > image_.size()) return nullptr;
    uint64_t table = GetLittleEndian(&image_[descAt + 8], 4);
    if (descSize_ >= 64) table |= uint64_t(GetLittleEndian(&image_[descAt + 0x28], 4)) << 32;
    const uint64_t at = table * blockSize_ + uint64_t(index) * inodeSize_;
    if (at + inodeSize_ > image_.size()) return nullptr;
    return &image_[at];
  }

  static uint64_t Size(const uint8_t* inode) {
    return GetLittleEndian(inode + 4, 4) | uint64_t(GetLittleEndian(inode + 0x6C, 4)) << 32;
  }
  // The inode's 60-byte block area (the extent tree's root).
  static const uint8_t* BlockArea(const uint8_t* inode) { return inode + 0x28; }
  // Modification time: seconds since 1970 and nanoseconds.
  void ModificationTime(const uint8_t* inode, int64_t* seconds, uint32_t* nanoseconds) const {
    int64_t s = int32_t(GetLittleEndian(inode + 0x10, 4));
    uint32_t ns = 0;
    if (inodeSize_ > 128 && 128 + GetLittleEndian(inode + 0x80, 2) >= 0x8C) {
      const uint32_t extra = GetLittleEndian(inode + 0x88, 4);
      s += int64_t(extra & 3) << 32;
      ns = extra >> 2;
    }
    *seconds = s;
    *nanoseconds = ns;
  }

  struct Entry {
    uint32_t inode;
    uint8_t type;  // 1 file, 2 folder
    Bytes name;    // raw bytes
  };
  // The entries of a folder whose data lies in `blocks` (linear folders).
  std::vector<Entry> Entries(const std::vector<uint64_t>& blocks) const {
    std::vector<Entry> out;
    for (uint64_t b : blocks) {
      const uint8_t* p = Block(b);
      if (!p) continue;
      for (uint32_t at = 0; at + 8 <= blockSize_;) {
        const uint32_t inode = GetLittleEndian(p + at, 4);
        const uint32_t recLen = GetLittleEndian(p + at + 4, 2);
        const uint32_t nameLen = p[at + 6];
        if (recLen < 8 || at + recLen > blockSize_ || 8 + nameLen > recLen) break;
        // The checksum tail (inode 0, type 0xDE) and empty slots carry no name.
        if (inode != 0 && nameLen > 0) out.push_back({inode, p[at + 7], Bytes(p + at + 8, p + at + 8 + nameLen)});
        at += recLen;
      }
    }
    return out;
  }

 private:
  Bytes image_;
  uint32_t blockSize_ = 0, inodesPerGroup_ = 0, inodeSize_ = 0, firstDataBlock_ = 0, descSize_ = 0;
};

}  // namespace fixtures
