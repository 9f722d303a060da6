// The fuzz input as a disk image in memory: every drive opened after
// `InstallImageSource` reads `Image()`. The drive is named after a real
// empty file (it checks the name exists), removed at exit.
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

namespace fuzzimage {

inline std::vector<uint8_t>& Image() {
  static std::vector<uint8_t> image;
  return image;
}

class ImageSource : public BlockSource {
 public:
  int64_t ReadAt(void* buffer, size_t length, uint64_t offset) override {
    const std::vector<uint8_t>& image = Image();
    if (offset >= image.size()) return 0;
    const size_t n = std::min<uint64_t>(length, image.size() - offset);
    std::memcpy(buffer, image.data() + offset, n);
    return int64_t(n);
  }
  bool GetFacts(DeviceFacts* facts) const override {
    facts->sizeBytes = Image().size();
    return true;
  }
};

inline WString& ImageName() {
  static WString name;
  return name;
}

// `pattern`: a mkstemp template such as "/tmp/fuzz-ext-XXXXXX".
inline void InstallImageSource(const char* pattern) {
  std::string path(pattern);
  const int fd = mkstemp(path.data());
  if (fd >= 0) close(fd);
  ImageName() = FromUtf8(path);
  atexit([] { unlink(ToUtf8(ImageName()).c_str()); });
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  SetBlockSourceOpener([](const std::string&, bool) -> std::unique_ptr<BlockSource> {
    return std::make_unique<ImageSource>();
  });
}

}  // namespace fuzzimage
