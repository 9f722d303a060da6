// A drive whose source serves the fuzz input as a disk image, and an ext
// volume on it made from the input's own superblock (1024 bytes in), with
// its geometry held to what the image can be.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "filesystems/ext/ExtVolume.h"
#include "fuzz/FuzzImageSource.h"
#include "storage/Drive.h"

namespace extfuzz {

using fuzzimage::Image;
using fuzzimage::ImageName;

inline void Initialize() { fuzzimage::InstallImageSource("/tmp/fuzz-ext-XXXXXX"); }

// The input as a whole-sector image of at least 8 KiB; a drive over it.
struct Mounted {
  Drive* drive = nullptr;
  explicit Mounted(const uint8_t* data, size_t size) {
    std::vector<uint8_t>& image = Image();
    const size_t bytes = size < 8192 ? 8192 : (size + 511) / 512 * 512;
    image.assign(bytes, 0);
    if (size) memcpy(image.data(), data, size);
    drive = CreateDrive(ImageName());
    if (!drive) return;
    try {
      drive->InitDrive(ImageName());
    } catch (...) {
      DeleteDrive(&drive);
      return;
    }
  }
  ~Mounted() {
    if (drive) DeleteDrive(&drive);
  }
};

// The volume of the input's superblock, or null when it is none.
inline std::unique_ptr<CExt3Vol> MakeVolume(Drive* drive) {
  if (!drive) return nullptr;
  auto v = std::make_unique<CExt3Vol>();
  v->drive = drive;
  if (!InitUnixVol(v.get(), Image().data() + 1024, 0, 512)) return nullptr;
  InitRootNode(v.get());
  return v;
}

}  // namespace extfuzz
