// The fuzz input as a small disk image: a FAT volume at sector 0 of a drive
// whose block source serves the image the input lays out.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "app/Startup.h"
#include "fuzz/FuzzImageSource.h"
#include "storage/Drive.h"
#include "tests/support/NullScanSink.h"

namespace fatfuzz {

using fuzzimage::Image;
using fuzzimage::ImageName;

inline void Start() {
  InstallSubsystems();
  fuzzimage::InstallImageSource("/tmp/fuzz-fat-XXXXXX");
}

inline constexpr size_t kImageBytes = size_t(1) << 20;

// The input: pieces "u32 offset, u16 length, bytes" laid over a zeroed
// 1 MiB image (offsets wrap), so that a small input places a boot sector,
// tables and folders megabytes of mutation apart; only the bytes written
// by the previous input are cleared again.
inline void Lay(const uint8_t* data, size_t size) {
  auto& image = Image();
  static std::vector<std::pair<size_t, size_t>> dirty;
  if (image.size() != kImageBytes) image.assign(kImageBytes, 0);
  for (const auto& [at, n] : dirty) std::memset(image.data() + at, 0, n);
  dirty.clear();
  size_t at = 0;
  while (at + 6 <= size) {
    uint32_t offset;
    uint16_t length;
    std::memcpy(&offset, data + at, 4);
    std::memcpy(&length, data + at + 4, 2);
    at += 6;
    offset %= kImageBytes;
    const size_t n = std::min<size_t>({length, size - at, kImageBytes - offset});
    std::memcpy(image.data() + offset, data + at, n);
    dirty.emplace_back(offset, n);
    at += n;
  }
}

// The drive over the laid-out image; opened once, its one-request cache
// emptied for each input. Null when it cannot be opened.
inline Drive* Open(const uint8_t* data, size_t size) {
  Lay(data, size);
  static Drive* drive = [] {
    auto* d = new Drive();
    try {
      d->InitDrive(ImageName());
    } catch (...) {
      delete d;
      return static_cast<Drive*>(nullptr);
    }
    return d;
  }();
  if (drive) drive->SourceChanged();
  return drive;
}

// An engine that keeps what it is given and shows nothing.
class Sink : public NullScanSink {
 public:
  int StoreFileItem(WStringView, WStringView path, int64_t nodeIndex) override {
    if (!nodes.GetAt(nodeIndex) || path.empty() || path[0] != u'\\') __builtin_trap();
    return 1;
  }
};

}  // namespace fatfuzz
