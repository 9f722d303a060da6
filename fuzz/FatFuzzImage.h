// The fuzz input as a small disk image: a FAT volume at sector 0 of a drive
// whose block source serves the input (zero-padded to whole sectors).
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/Startup.h"
#include "foundation/Globals.h"
#include "storage/BlockSource.h"
#include "storage/Drive.h"
#include "tests/support/NullScanSink.h"

namespace fatfuzz {

inline std::vector<uint8_t>& Image() {
  static std::vector<uint8_t> image;
  return image;
}

class MemorySource : public BlockSource {
 public:
  int64_t ReadAt(void* buffer, size_t length, uint64_t offset) override {
    const auto& d = Image();
    if (offset >= d.size()) return 0;
    const size_t n = std::min<uint64_t>(length, d.size() - offset);
    std::memcpy(buffer, d.data() + offset, n);
    return int64_t(n);
  }
  bool GetFacts(DeviceFacts* facts) const override {
    facts->sizeBytes = Image().size();
    return true;
  }
};

inline void Start() {
  InstallSubsystems();
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  SetBlockSourceOpener([](const std::string&, bool) { return std::make_unique<MemorySource>(); });
}

inline constexpr size_t kImageBytes = size_t(1) << 20;

// The drive over the input (zero-padded to 1 MiB); opened once, its source
// reads whatever the image holds now. Null when it cannot be opened.
inline Drive* Open(const uint8_t* data, size_t size) {
  auto& image = Image();
  image.assign(data, data + std::min(size, kImageBytes));
  image.resize(kImageBytes, 0);
  static Drive* drive = [] {
    auto* d = new Drive();
    try {
      d->InitDrive(u"/fuzz/fat.img");
    } catch (...) {
      delete d;
      return static_cast<Drive*>(nullptr);
    }
    return d;
  }();
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
