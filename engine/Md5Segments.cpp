#include "engine/Md5Segments.h"

#include <algorithm>

#include "foundation/AppState.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Text.h"

Md5Segments::Md5Segments(const std::vector<Md5Output>& outputs, uint32_t sectorBytes)
    : ss_(sectorBytes ? sectorBytes : 512) {
  for (const Md5Output& spec : outputs) {
    if (spec.segmentSize <= 0 || spec.segmentSize > (1 << 20)) continue;
    Output o;
    o.blockSectors = uint32_t(spec.segmentSize);
    o.blockBytes = uint64_t(o.blockSectors) * ss_;
    // 16 bytes a block, for 1 MiB worth of blocks' sector counts at a time.
    o.capacity = std::max<size_t>(16, size_t(16) * (1048576 / o.blockSectors));
    o.gathered.reserve(o.capacity);
    if (!spec.file.empty()) {
      const std::string path = ToUtf8(spec.file);
      FILE* exists = std::fopen(path.c_str(), "rb");
      bool write = true;
      if (exists) {
        std::fclose(exists);
        write = ShowMessage(kMbYesNo | kMbIconQuestion, u"Overwrite %s?", spec.file) == kIdYes;
      }
      if (write) o.file = std::fopen(path.c_str(), "wb");
    }
    outputs_.push_back(std::move(o));
  }
}

Md5Segments::~Md5Segments() { Close(); }

void Md5Segments::Add(const uint8_t* data, size_t bytes, int64_t first) {
  for (Output& o : outputs_) {
    size_t at = 0;
    while (at < bytes) {
      if (o.inBlock == 0) o.blockFirst = first + int64_t(at / ss_);
      const size_t n = size_t(std::min<uint64_t>(bytes - at, o.blockBytes - o.inBlock));
      o.md5.Update(data + at, n);
      o.inBlock += n;
      at += n;
      if (o.inBlock == o.blockBytes) Finish(o);
    }
  }
}

void Md5Segments::Finish(Output& o) {
  uint8_t digest[kMd5DigestSize];
  o.md5.Final(digest);
  o.inBlock = 0;
  if (!o.file) {
    uint64_t lo = 0, hi = 0;
    for (int i = 7; i >= 0; i--) lo = (lo << 8) | digest[i];
    for (int i = 15; i >= 8; i--) hi = (hi << 8) | digest[i];
    TracePrintfA("MD5_%d %I64d %I64u %I64u\n", int(o.blockSectors), o.blockFirst, lo, hi);
    return;
  }
  o.gathered.insert(o.gathered.end(), digest, digest + kMd5DigestSize);
  if (o.gathered.size() >= o.capacity) Flush(o);
}

void Md5Segments::Flush(Output& o) {
  if (o.file && !o.gathered.empty()) std::fwrite(o.gathered.data(), 1, o.gathered.size(), o.file);
  o.gathered.clear();
}

void Md5Segments::Close() {
  for (Output& o : outputs_) {
    // A last block cut by the range's end is hashed as it stands.
    if (o.inBlock) Finish(o);
    Flush(o);
    if (o.file) std::fclose(o.file);
    o.file = nullptr;
  }
  outputs_.clear();
}
