// A drive whose source serves the fuzz input as a disk image, and an ext
// volume on it made from the input's own superblock (1024 bytes in), with
// its geometry held to what the image can be.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/ext/ExtVolume.h"
#include "foundation/Globals.h"
#include "platform/Text.h"
#include "storage/BlockSource.h"
#include "storage/Drive.h"

namespace extfuzz {

inline std::vector<uint8_t>& Image() {
  static std::vector<uint8_t> image;
  return image;
}

class InputSource : public BlockSource {
 public:
  int64_t ReadAt(void* buffer, size_t length, uint64_t offset) override {
    const std::vector<uint8_t>& image = Image();
    if (offset >= image.size()) return 0;
    const size_t n = length < image.size() - offset ? length : size_t(image.size() - offset);
    memcpy(buffer, image.data() + offset, n);
    return int64_t(n);
  }
  bool GetFacts(DeviceFacts* facts) const override {
    facts->sizeBytes = Image().size();
    return true;
  }
};

// A regular file the drive is named after (the drive checks the name; its
// reads come from the input).
inline WString& ImageName() {
  static WString name;
  return name;
}

inline void Initialize() {
  char path[] = "/tmp/fuzz-ext-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  ImageName() = FromUtf8(path);
  atexit([] { unlink(ToUtf8(ImageName()).c_str()); });
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  SetBlockSourceOpener([](const std::string&, bool) -> std::unique_ptr<BlockSource> {
    return std::make_unique<InputSource>();
  });
}

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
    g_currentDrive = drive;
  }
  ~Mounted() {
    g_currentDrive = nullptr;
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
