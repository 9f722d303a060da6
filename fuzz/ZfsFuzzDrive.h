// A drive whose image is a vdev's front (4 MiB of zeros) and then the fuzz
// input's data, so that a DVA offset of 0 is the data's first byte; a ZFS
// volume over it. The drive is opened once and its one-request cache
// emptied for each input; only the bytes the previous input wrote are
// cleared again.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "app/Startup.h"
#include "filesystems/zfs/Definitions.h"
#include "filesystems/zfs/ZfsVolume.h"
#include "fuzz/FuzzImageSource.h"
#include "storage/Drive.h"

namespace zfsfuzz {

inline constexpr size_t kDataBytes = size_t(1) << 20;
inline constexpr size_t kImageBytes = zfs::kVdevDataOffset + kDataBytes;

inline void Start() {
  InstallSubsystems();
  fuzzimage::InstallImageSource("/tmp/fuzz-zfs-XXXXXX");
}

// The drive over the data; null when it cannot be opened.
inline Drive* Open(const uint8_t* data, size_t size) {
  auto& image = fuzzimage::Image();
  static size_t dirty = 0;
  if (image.size() != kImageBytes) image.assign(kImageBytes, 0);
  std::memset(image.data() + zfs::kVdevDataOffset, 0, dirty);
  dirty = std::min(size, kDataBytes);
  if (dirty) std::memcpy(image.data() + zfs::kVdevDataOffset, data, dirty);
  static Drive* drive = [] {
    auto* d = new Drive();
    try {
      d->InitDrive(fuzzimage::ImageName());
    } catch (...) {
      delete d;
      return static_cast<Drive*>(nullptr);
    }
    return d;
  }();
  if (drive) drive->SetExclusionSet(nullptr);
  return drive;
}

// A volume on the drive with the reader's limits of a plain vdev.
inline std::unique_ptr<CZFSVol> Volume(Drive* drive) {
  auto v = std::make_unique<CZFSVol>();
  v->drive = drive;
  v->SetSectorSize(512);
  v->SetClusterSize(512);
  v->sizeSectors = kImageBytes / 512;
  v->maxDvaSectors = zfs::kMaxBlockBytes / 512;
  return v;
}

}  // namespace zfsfuzz
