// The fuzz input as a small disk image: a FAT volume at sector 0 of a drive
// whose block source serves the image the input lays out.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/Startup.h"
#include "foundation/Globals.h"
#include "platform/Text.h"
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

// A regular file the drive is named after (the drive checks that the name
// exists; its reads come from the image).
inline WString& ImageName() {
  static WString name;
  return name;
}

inline void Start() {
  char path[] = "/tmp/fuzz-fat-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  ImageName() = FromUtf8(path);
  atexit([] { unlink(ToUtf8(ImageName()).c_str()); });
  InstallSubsystems();
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  SetBlockSourceOpener([](const std::string&, bool) { return std::make_unique<MemorySource>(); });
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
  if (drive) drive->SetExclusionSet(nullptr);
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
