// The fuzz input as a sparse disk image: every drive opened after
// `Install` reads zeros except for the pieces the input places, so a small
// input can put structures at offsets megabytes apart (a VMFS volume's
// header at 1 MiB and its file system at 17 MiB).
//
//   u64 image size, then pieces: u32 offset, u16 length, `length` bytes
//
// The drive is named after a real empty file (it checks the name exists),
// removed at exit.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Globals.h"
#include "platform/Text.h"
#include "storage/BlockSource.h"
#include "storage/Drive.h"

namespace sparseimage {

struct Piece {
  uint64_t offset;
  std::vector<uint8_t> bytes;
};

struct Image {
  uint64_t size = 0;
  std::vector<Piece> pieces;
};

inline Image& Current() {
  static Image image;
  return image;
}

// The input into the current image; its size held to `limit`.
inline void Load(const uint8_t* data, size_t size, uint64_t limit) {
  Image& image = Current();
  image = Image{};
  if (size < 8) return;
  memcpy(&image.size, data, 8);
  image.size = std::min<uint64_t>(image.size, limit) / 512 * 512;
  for (size_t at = 8; at + 6 <= size;) {
    uint32_t offset;
    uint16_t length;
    memcpy(&offset, data + at, 4);
    memcpy(&length, data + at + 4, 2);
    at += 6;
    const size_t n = std::min<size_t>(length, size - at);
    image.pieces.push_back(Piece{offset, std::vector<uint8_t>(data + at, data + at + n)});
    at += n;
  }
}

class Source : public BlockSource {
 public:
  int64_t ReadAt(void* buffer, size_t length, uint64_t offset) override {
    const Image& image = Current();
    if (offset >= image.size) return 0;
    const size_t n = size_t(std::min<uint64_t>(length, image.size - offset));
    auto* out = static_cast<uint8_t*>(buffer);
    memset(out, 0, n);
    for (const Piece& p : image.pieces) {
      const uint64_t a = std::max(offset, p.offset), b = std::min(offset + n, p.offset + p.bytes.size());
      if (a < b) memcpy(out + (a - offset), p.bytes.data() + (a - p.offset), size_t(b - a));
    }
    return int64_t(n);
  }
  bool GetFacts(DeviceFacts* facts) const override {
    facts->sizeBytes = Current().size;
    return true;
  }
};

inline WString& Name() {
  static WString name;
  return name;
}

inline void Install(const char* pattern) {
  std::string path(pattern);
  const int fd = mkstemp(path.data());
  if (fd >= 0) close(fd);
  Name() = FromUtf8(path);
  atexit([] { unlink(ToUtf8(Name()).c_str()); });
  SetBlockSourceOpener(
      [](const std::string&, bool) -> std::unique_ptr<BlockSource> { return std::make_unique<Source>(); });
}

// A drive over the current image; null when it cannot be opened.
struct Mounted {
  Drive* drive = nullptr;
  Mounted() {
    drive = CreateDrive(Name());
    if (!drive) return;
    try {
      drive->InitDrive(Name());
    } catch (...) {
      DeleteDrive(&drive);
    }
  }
  ~Mounted() {
    if (drive) DeleteDrive(&drive);
  }
};

}  // namespace sparseimage
