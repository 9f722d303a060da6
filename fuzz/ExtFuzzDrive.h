// A drive whose source serves the fuzz input as a disk image, and an ext
// volume on it made from the input's own superblock (1024 bytes in), with
// its geometry held to what the image can be.
#pragma once
#include <cstdint>
#include <cstring>
#include <map>
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
// Opening a drive starts its reader thread with its buffers, which cost
// more than a whole input's parse: one drive is kept per image size, a
// power of two from 8 KiB, and the input is laid at its start (zeros after
// it).
struct Mounted {
  Drive* drive = nullptr;
  explicit Mounted(const uint8_t* data, size_t size) {
    size_t bytes = 8192;
    while (bytes < size) bytes *= 2;
    std::vector<uint8_t>& image = Image();
    image.assign(bytes, 0);
    if (size) memcpy(image.data(), data, size);
    // Kept for the process (and reachable from here at its exit).
    static auto* drives = new std::map<size_t, Drive*>;
    Drive*& d = (*drives)[bytes];
    if (!d) {
      d = CreateDrive(ImageName());
      if (!d) return;
      try {
        d->InitDrive(ImageName());
      } catch (...) {
        DeleteDrive(&d);
        return;
      }
    }
    d->SourceChanged();
    drive = d;
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
