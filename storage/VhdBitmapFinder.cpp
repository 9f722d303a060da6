#include "storage/VhdBitmapFinder.h"

#include <algorithm>
#include <cstring>

#include "foundation/AppState.h"
#include "foundation/Trace.h"

namespace {
constexpr uint32_t kMaxWindow = 1u << 20;
constexpr int64_t kMaxPadding = 1 << 20;
}  // namespace

VhdBitmapFinder::~VhdBitmapFinder() {
  if (started_) Flush();
}

bool VhdBitmapFinder::Init(uint32_t window, uint32_t lookAhead, uint32_t sectorSize, int64_t threshold,
                           int64_t padding) {
  if (window == 0 || window > kMaxWindow || lookAhead == 0 || lookAhead > kMaxWindow) return false;
  if (sectorSize < 512 || sectorSize > 65536 || (sectorSize & (sectorSize - 1))) return false;
  if (padding < 0 || padding > kMaxPadding) return false;
  window_ = window;
  sectorSize_ = sectorSize;
  // One more sector for each bitmap sector the look-ahead spans.
  lookAhead_ = lookAhead + lookAhead / (8 * sectorSize);
  threshold_ = std::max<int64_t>(threshold, 1);
  padding_ = padding;
  slots_ = size_t(lookAhead_) + 3 * size_t(window_) + size_t(padding_);
  classes_.assign(slots_, kZero);
  bytes_.assign(slots_ * sectorSize_, 0);
  started_ = false;
  runCount_ = 0;
  runFirst_ = -1;
  reported_ = 0;
  return true;
}

uint8_t VhdBitmapFinder::Classify(const uint8_t* s, uint32_t bytes) {
  bool zero = false, full = false;
  for (uint32_t i = 0; i < bytes; ++i) {
    if (s[i] == 0x00) zero = true;
    else if (s[i] == 0xFF) full = true;
    else return kData;
  }
  if (zero && full) return kCandidate;
  return full ? kFull : kZero;
}

void VhdBitmapFinder::AddRange(int64_t firstSector, const uint8_t* data, uint64_t bytes) {
  if (slots_ == 0 || firstSector < 0) return;
  if (started_ && firstSector != end_) Flush();
  if (!started_) {
    origin_ = end_ = next_ = firstSector;
    started_ = true;
  }
  const uint64_t sectors = bytes / sectorSize_;
  for (uint64_t done = 0; done < sectors;) {
    const uint32_t n = uint32_t(std::min<uint64_t>(window_, sectors - done));
    Append(data ? data + done * sectorSize_ : nullptr, n);
    done += n;
  }
  if (const uint32_t tail = uint32_t(bytes % sectorSize_)) {
    // A last partial sector counts as if zeros completed it.
    std::vector<uint8_t> last(sectorSize_, 0);
    if (data) memcpy(last.data(), data + sectors * sectorSize_, tail);
    Append(last.data(), 1);
  }
}

void VhdBitmapFinder::Append(const uint8_t* data, uint32_t sectors) {
  for (uint32_t i = 0; i < sectors; ++i) {
    const size_t slot = Slot(end_);
    const uint8_t* s = data ? data + size_t(i) * sectorSize_ : nullptr;
    const uint8_t c = s ? Classify(s, sectorSize_) : kZero;
    classes_[slot] = c;
    if (c == kCandidate) memcpy(bytes_.data() + slot * sectorSize_, s, sectorSize_);
    ++end_;
  }
  // A sector is inspected once the sectors it describes are in.
  const int64_t need = padding_ + int64_t(lookAhead_);
  while (next_ + need <= end_) Inspect(next_++);
}

bool VhdBitmapFinder::Confirmed(int64_t sector) const {
  const uint8_t* bits = bytes_.data() + Slot(sector) * sectorSize_;
  const uint32_t span = std::min<uint32_t>(8 * sectorSize_, lookAhead_ - 1);
  for (uint32_t k = 0; k < span / 8; ++k) {
    if (bits[k] != 0x00) continue;  // sectors in the file: anything goes
    const int64_t first = sector + 1 + padding_ + int64_t(k) * 8;
    for (int64_t q = first; q < first + 8; ++q)
      if (classes_[Slot(q)] != kZero) return false;
  }
  return true;
}

void VhdBitmapFinder::Inspect(int64_t sector) {
  if (classes_[Slot(sector)] != kCandidate) return;
  if (!Confirmed(sector)) {
    EndRun();
    return;
  }
  if (runCount_ == 0) runFirst_ = sector;
  ++runCount_;
}

void VhdBitmapFinder::EndRun() {
  if (runCount_ >= threshold_) {
    TracePrintfA("VHD bm @ %I64d %ld\n", runFirst_, int32_t(std::min<int64_t>(runCount_, INT32_MAX)));
    ++reported_;
  }
  runCount_ = 0;
  runFirst_ = -1;
}

void VhdBitmapFinder::Flush() {
  if (!started_) return;
  const int64_t last = end_;
  for (int chunk = 0; chunk < 4 || next_ < last; ++chunk) Append(nullptr, window_);
  EndRun();
  started_ = false;
}

std::unique_ptr<VhdBitmapFinder> MakeVhdBitmapFinder(const AppState& state) {
  if (!state.vhdBitmapFinder) return nullptr;
  auto finder = std::make_unique<VhdBitmapFinder>();
  if (!finder->Init(2048, 4096, 512, state.vhdBitmapFinder->minimumChainLength, state.vhdBitmapFinder->padding))
    return nullptr;
  return finder;
}
