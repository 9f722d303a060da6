#include "engine/SegmentProfile.h"

#include <algorithm>
#include <cstring>

#include "carving/HdrAscii.h"
#include "foundation/AppState.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Text.h"

namespace {
// Segments larger than this are refused (one is held in memory).
constexpr uint64_t kMaxSegmentBytes = 256ull << 20;
}  // namespace

SegmentProfile::~SegmentProfile() { Close(); }

bool SegmentProfile::Open(const SegmentProfileOptions& o, uint32_t sectorBytes, const std::string& folder) {
  Close();
  if (o.segmentSizeInSectors <= 0 || o.blockSizeInSectors <= 0 || o.segmentSizeInSectors % o.blockSizeInSectors ||
      o.firstSector < 0)
    return false;
  shift_ = 9;
  while ((1u << shift_) < sectorBytes && shift_ < 16) shift_++;
  // The segment buffer is sized with the drive's sector size.
  const uint64_t bytes = uint64_t(o.segmentSizeInSectors) << shift_;
  if (bytes > kMaxSegmentBytes) return false;
  first_ = o.firstSector;
  segmentSectors_ = uint64_t(o.segmentSizeInSectors);
  blockSectors_ = uint64_t(o.blockSizeInSectors);
  blocksPerSegment_ = segmentSectors_ / blockSectors_;
  const std::string path = (folder.empty() ? std::string(".") : folder) + "/SegProf.bin";
  if (FILE* exists = std::fopen(path.c_str(), "rb")) {
    std::fclose(exists);
    if (ShowMessage(kMbYesNo | kMbIconQuestion, u"Overwrite %s?", FromUtf8(path)) != kIdYes) return false;
  }
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) {
    ShowError(u"Cannot create %s", FromUtf8(path));
    return false;
  }
  segment_.assign(size_t(bytes), 0);
  table_.assign(size_t((blocksPerSegment_ * 8 + 4095) / 4096 * 4096), 0);
  segmentIndex_ = -1;
  dirty_ = false;
  return true;
}

void SegmentProfile::Add(const uint8_t* data, uint64_t bytes, int64_t first) {
  if (!file_) return;
  const uint64_t sectors = bytes >> shift_;
  for (uint64_t done = 0; done < sectors;) {
    const int64_t s = first + int64_t(done);
    if (s < first_) {  // before the first sector: dropped
      done += std::min<uint64_t>(sectors - done, uint64_t(first_ - s));
      continue;
    }
    const int64_t index = (s - first_) / int64_t(segmentSectors_);
    if (index != segmentIndex_) {
      if (dirty_) ProfileSegment();
      segmentIndex_ = index;
      std::fill(segment_.begin(), segment_.end(), 0);
    }
    const uint64_t inSegment = uint64_t(s - first_) % segmentSectors_;
    const uint64_t n = std::min(sectors - done, segmentSectors_ - inSegment);
    if (data) std::memcpy(segment_.data() + (inSegment << shift_), data + (done << shift_), size_t(n << shift_));
    dirty_ = true;
    done += n;
    if (inSegment + n == segmentSectors_) {
      ProfileSegment();
      segmentIndex_ = -1;
    }
  }
}

void SegmentProfile::ProfileBlock(const uint8_t* b, size_t bytes, uint8_t entry[8]) {
  uint8_t type = kUnknown, flags = 0;
  uint16_t v16 = 0xFFFF;
  uint32_t v32 = 0;
  if (bytes >= 8) {
    if (std::memcmp(b, "INDX", 4) == 0) {
      // The header recogniser's one row so far: an NTFS index buffer.
      type = 1;
      flags = 0x80;
      if (bytes >= 24) {
        v16 = Le16(b + 6);
        v32 = Le32(b + 16);
      }
    } else if (b[0] == 0 && b[1] == 1 && b[2] == 0 && b[3] == 0 && b[4] == 0) {
      type = kSig243;
    } else if (b[0] == 1 && b[1] == 3 && b[2] == 2 && b[3] == 0 && Le16(b + 4) == 131) {
      type = kSig244;
    } else if (bytes >= 28 && b[0] == 'M' && b[1] == 'Z' && b[2] == 0x90 && b[3] == 0 && Le32(b + 24) == 64) {
      type = kSig245;
    } else if (b[0] == 0x8B && b[1] == 0x14 && b[2] == 0x1F && b[3] == 0xF2 && b[7] == 0) {
      type = kSig250;
      v32 = Le32(b + 4);
    } else if (bytes >= 512 && (std::memcmp(b, "<!DO", 4) == 0 || std::memcmp(b, "<!Do", 4) == 0 ||
                                std::memcmp(b, "<!do", 4) == 0 || std::memcmp(b, "<htm", 4) == 0 ||
                                std::memcmp(b, "<?xm", 4) == 0)) {
      const uint16_t t = HdrAscii::SigFind(b, 512);
      if (t != 255) type = uint8_t(t);
    }
  }
  entry[0] = type;
  entry[1] = flags;
  entry[2] = uint8_t(v16);
  entry[3] = uint8_t(v16 >> 8);
  for (int i = 0; i < 4; i++) entry[4 + i] = uint8_t(v32 >> (8 * i));
}

void SegmentProfile::ProfileSegment() {
  if (!file_ || segmentIndex_ < 0) return;
  TracePrintfA("Segnum %ld\n", int32_t(segmentIndex_));
  std::fill(table_.begin(), table_.end(), 0);
  const size_t blockBytes = size_t(blockSectors_ << shift_);
  for (uint64_t i = 0; i < blocksPerSegment_; i++)
    ProfileBlock(segment_.data() + i * blockBytes, blockBytes, table_.data() + i * 8);
  if (std::fwrite(table_.data(), 1, table_.size(), file_) != table_.size())
    ShowError(u"Cannot write the segment profile");
  dirty_ = false;
}

void SegmentProfile::Close() {
  if (!file_) return;
  if (dirty_) ProfileSegment();
  std::fclose(file_);
  file_ = nullptr;
}
