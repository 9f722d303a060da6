// The registry of disk-image files the user has loaded: each image's path,
// its size in bytes taken once when it is registered, and its partition
// table. Drives take an image's size from here, the virtual-disk drives
// register their files here, and the view lists the paths.
//
// Paths name files the Linux way: two paths are the same image when they
// are the same text or name the same file (device and inode), so a second
// spelling through a link finds the first entry; letter case matters, since
// "a.img" and "A.img" can be two different files.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Text.h"

class PartitionTable;

// Reads the partition table of an image file as a device of deviceSectors
// 512-byte sectors; null when there is none. Without one installed (tests
// install theirs) the file's table is read (PartitionTable::ReadFromFile).
using ImagePartitionReader = std::shared_ptr<PartitionTable> (*)(const std::string& path, uint64_t deviceSectors);
void SetImagePartitionReader(ImagePartitionReader reader);

class CImgFile {
 public:
  static constexpr uint32_t kCapacityStep = 8;

  CImgFile();
  virtual ~CImgFile();
  CImgFile(const CImgFile&) = delete;
  CImgFile& operator=(const CImgFile&) = delete;

  // Index of the image, or -1 when it is not registered.
  int Find(WStringView path) const;
  // Registers the image: size from the file's status, partition table read
  // from the file as a device of ceil(size / 512) sectors. 0 when added or
  // already registered; -1 when the status cannot be read or the path is not
  // a regular file (nothing is added; the last error says why).
  int AddW(WStringView path);
  int Add(const WString& path) { return AddW(path); }
  // Size in bytes, 0 for an unknown image.
  uint64_t GetSize(WStringView path) const;
  std::shared_ptr<PartitionTable> GetPartitionTable(WStringView path) const;
  // The device size the partition table was read with (sectors of 512), 0
  // for an unknown image.
  uint64_t GetTableDeviceSectors(WStringView path) const;

  uint32_t Count() const;
  uint32_t Capacity() const;
  // Every registered path in order, for the view's lists.
  std::vector<WString> Paths() const;

 private:
  struct Entry {
    WString path;
    uint64_t size = 0;
    uint64_t deviceSectors = 0;
    uint64_t dev = 0, ino = 0;  // identity of the file when registered
    std::shared_ptr<PartitionTable> table;
  };
  int FindLocked(WStringView path) const;

  mutable std::mutex m_;
  std::vector<Entry> entries_;
  uint32_t capacity_ = kCapacityStep;
};

// The program's registry.
CImgFile& theImageFiles();
