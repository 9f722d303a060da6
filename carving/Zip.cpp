#include "carving/Zip.h"

#include <algorithm>
#include <cstring>

#include "carving/ZipFormat.h"
#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "volumes/FileTypes.h"

using namespace zipfmt;

namespace {

// Walk states beyond the base's 1 (a record signature).
constexpr uint8_t kSig = 1;
constexpr uint8_t kLocal = 2;
constexpr uint8_t kName = 3;
constexpr uint8_t kCentral = 4;
constexpr uint8_t kEnd = 5;
constexpr uint8_t kDescriptor = 6;
constexpr uint8_t kZip64End = 7;
constexpr uint8_t kZip64Locator = 8;
constexpr uint8_t kExtra = 9;

// A Zip64 end record says how long it is; more than this is no end record.
constexpr uint64_t kMaxZip64EndBytes = uint64_t(1) << 20;

bool IsStopSignature(const uint8_t* p) {
  if (p[0] != 'P' || p[1] != 'K') return false;
  const uint8_t a = p[2], b = p[3];
  return (a == 1 && b == 2) || (a == 3 && b == 4) || (a == 5 && b == 6) || (a == 7 && b == 8) ||
         (a == '0' && b == '0');
}

}  // namespace

int HdrZIP::Reset() {
  HdrNode::Reset();
  want_ = have_ = 0;
  locals_ = centrals_ = ends_ = descriptors_ = 0;
  nameHave_ = 0;
  extra_.clear();
  extra_.shrink_to_fit();
  member_ = Member();
  saved_ = SavedSizes();
  scanner_.reset();
  scannerLimit_ = kScannerLimit;
  tailLength_ = 0;
  return 0;
}

int HdrZIP::Parse(const uint8_t* b, size_t length) {
  if (!b || length == 0) return Reject();
  if (state == kHdrIdle) state = kSig;
  const int r = Walk(b, length);
  if (r != 0) return r;
  KeepTail(b, length);
  return Pending(length);
}

int HdrZIP::Fail(uint64_t position) {
  if (traceMft.load(std::memory_order_relaxed)) {
    const uint32_t ss = sectorSize ? sectorSize : 512;
    TracePrintfA("Error at %I64d %04x\n", headerSector + int64_t(position / ss), uint32_t(position % ss));
  }
  scanner_.reset();
  return Reject();
}

bool HdrZIP::Collect(const uint8_t* b, size_t length, uint64_t* c, size_t want) {
  const size_t n = std::min<uint64_t>(want - have_, length - *c);
  std::memcpy(record_ + have_, b + *c, n);
  have_ += n;
  *c += n;
  return have_ == want;
}

bool HdrZIP::ByteAt(const uint8_t* b, size_t length, uint64_t at, uint8_t* out) const {
  if (at >= consumed && at - consumed < length) {
    *out = b[at - consumed];
    return true;
  }
  if (at < consumed && consumed - at <= tailLength_) {
    *out = tail_[tailLength_ - (consumed - at)];
    return true;
  }
  return false;
}

void HdrZIP::KeepTail(const uint8_t* b, size_t length) {
  constexpr size_t kTail = sizeof tail_;
  if (length >= kTail) {
    std::memcpy(tail_, b + length - kTail, kTail);
    tailLength_ = kTail;
    return;
  }
  const size_t keep = std::min<size_t>(tailLength_, kTail - length);
  std::memmove(tail_, tail_ + tailLength_ - keep, keep);
  std::memcpy(tail_ + keep, b, length);
  tailLength_ = uint32_t(keep + length);
}

bool HdrZIP::DescriptorFits(const uint8_t* b, size_t length, uint64_t sigAt) const {
  const uint64_t start = scanner_->dataStart;
  auto bytes = [&](uint64_t at, size_t n, uint8_t* out) {
    for (size_t i = 0; i < n; ++i)
      if (!ByteAt(b, length, at + i, out + i)) return false;
    return true;
  };
  // A descriptor of `size` bytes (with or without its signature) ends at
  // the new record; its compressed size must be the data before it.
  auto fits = [&](size_t size, bool signature, bool wide) {
    if (sigAt < start || sigAt - start < size) return false;
    const uint64_t at = sigAt - size;
    uint8_t d[24];
    if (!bytes(at, size, d)) return false;
    const uint8_t* sizes = d + (signature ? 8 : 4);
    if (signature && Le32(d) != kDescriptorSig) return false;
    const uint64_t compressed = wide ? Le64(sizes) : Le32(sizes);
    return compressed == at - start;
  };
  if (fits(kDescriptorBytes, true, false) || fits(kDescriptorBytes - 4, false, false)) return true;
  return member_.zip64 && (fits(kDescriptor64Bytes, true, true) || fits(kDescriptor64Bytes - 4, false, true));
}

int HdrZIP::Walk(const uint8_t* b, size_t length) {
  uint64_t c = cursor;
  while (c < length) {
    switch (state) {
      case kSig: {
        uint64_t sigAt = 0;
        if (scanner_) {
          bool found = false;
          // A record that began in the last bytes of the previous buffer.
          if (c == 0 && tailLength_ > 0) {
            uint8_t w[7];
            const size_t fromTail = std::min<size_t>(3, tailLength_);
            const size_t fromHere = std::min<size_t>(3, length);
            std::memcpy(w, tail_ + tailLength_ - fromTail, fromTail);
            std::memcpy(w + fromTail, b, fromHere);
            for (size_t j = 0; j < fromTail && j + 4 <= fromTail + fromHere && !found; ++j) {
              const uint64_t at = consumed - (fromTail - j);
              if (at >= scanner_->dataStart && IsStopSignature(w + j)) {
                found = true;
                sigAt = at;
              }
            }
          }
          for (uint64_t i = c; !found && i < length;) {
            const void* p = std::memchr(b + i, 'P', size_t(length - i));
            if (!p) break;
            i = uint64_t(static_cast<const uint8_t*>(p) - b);
            if (length - i < 4) break;  // looked at again with the next buffer
            if (IsStopSignature(b + i)) {
              found = true;
              sigAt = consumed + i;
            }
            ++i;
          }
          // Where reads end does not decide: a record found past the limit
          // is too late as well.
          if (!found) {
            if (consumed + length - scanner_->dataStart >= scannerLimit_) return Fail(consumed + length);
            c = length;
            break;
          }
          if (sigAt - scanner_->dataStart >= scannerLimit_) return Fail(sigAt);
          for (size_t k = 0; k < 4; ++k) ByteAt(b, length, sigAt + k, record_ + k);
          have_ = 4;
          c = sigAt + 4 - consumed;
        } else {
          if (have_ == 0) recordAt_ = consumed + c;
          if (!Collect(b, length, &c, 4)) break;
          sigAt = recordAt_;
        }
        recordAt_ = sigAt;
        if (int r = OnSignature(b, length, &c, sigAt)) return r;
        break;
      }
      case kLocal:
        if (!Collect(b, length, &c, kLocalBytes)) break;
        member_.flags = Le16(record_ + kLocalFlags);
        member_.method = Le16(record_ + kLocalMethod);
        member_.crc = Le32(record_ + kLocalCrc);
        member_.compressed = Le32(record_ + kLocalCompressed);
        member_.uncompressed = Le32(record_ + kLocalUncompressed);
        member_.nameLength = Le16(record_ + kLocalNameLength);
        member_.extraLength = Le16(record_ + kLocalExtraLength);
        member_.zip64 = false;
        nameHave_ = 0;
        nameLeft_ = member_.nameLength;
        have_ = 0;
        state = kName;
        break;
      case kName: {
        const uint64_t take = std::min<uint64_t>(nameLeft_, length - c);
        if (nameHave_ < sizeof namePrefix_) {
          const size_t n = std::min<size_t>(size_t(take), sizeof namePrefix_ - nameHave_);
          std::memcpy(namePrefix_ + nameHave_, b + c, n);
          nameHave_ += uint32_t(n);
        }
        c += take;
        nameLeft_ -= uint32_t(take);
        if (nameLeft_ > 0) break;
        if (refinedType == 0) {
          const size_t n = member_.nameLength;
          if (NameStartsNoCase(namePrefix_, n, "word/_rels/")) refinedType = kTypeDocx;
          else if (NameStartsNoCase(namePrefix_, n, "ppt/_rels/")) refinedType = kTypePptx;
          else if (NameStartsNoCase(namePrefix_, n, "xl/_rels/")) refinedType = kTypeXlsx;
        }
        extra_.clear();
        state = kExtra;
        break;
      }
      case kExtra: {
        const size_t take = std::min<uint64_t>(member_.extraLength - extra_.size(), length - c);
        extra_.insert(extra_.end(), b + c, b + c + take);
        c += take;
        if (extra_.size() < member_.extraLength) break;
        if (int r = OnLocalHeaderDone(consumed + c, &c)) return r;
        break;
      }
      case kCentral:
        if (!Collect(b, length, &c, kCentralBytes)) break;
        c += uint64_t(Le16(record_ + kCentralNameLength)) + Le16(record_ + kCentralExtraLength) +
             Le16(record_ + kCentralCommentLength);
        have_ = 0;
        state = kSig;
        break;
      case kEnd: {
        if (!Collect(b, length, &c, kEndBytes)) break;
        const uint64_t end = recordAt_ + kEndBytes + Le16(record_ + kEndCommentLength);
        cursor = 0;
        const uint32_t ss = sectorSize ? sectorSize : 512;
        if (headerSector >= 0) startLimit = headerSector + int64_t((end + ss - 1) / ss);
        return Complete(end);
      }
      case kDescriptor: {
        const bool wide = member_.zip64;
        if (!Collect(b, length, &c, wide ? kDescriptor64Bytes : kDescriptorBytes)) break;
        const uint32_t crc = Le32(record_ + 4);
        const uint64_t compressed = wide ? Le64(record_ + 8) : Le32(record_ + 8);
        const uint64_t uncompressed = wide ? Le64(record_ + 16) : Le32(record_ + 12);
        if (scanner_) {
          const uint64_t data = recordAt_ - scanner_->dataStart;
          if (recordAt_ < scanner_->dataStart || data != (compressed ? compressed : uncompressed))
            return Fail(recordAt_);
          scanner_.reset();
        } else if (!saved_.present || saved_.crc != crc || saved_.compressed != compressed ||
                   saved_.uncompressed != uncompressed) {
          return Fail(recordAt_);
        }
        saved_ = SavedSizes();
        have_ = 0;
        state = kSig;
        break;
      }
      case kZip64End: {
        if (!Collect(b, length, &c, kZip64EndFixedBytes)) break;
        const uint64_t rest = Le64(record_ + kZip64EndRecordSize);
        if (rest < kZip64EndMinBytes - kZip64EndFixedBytes || rest > kMaxZip64EndBytes) return Fail(recordAt_);
        c += rest;
        have_ = 0;
        state = kSig;
        break;
      }
      case kZip64Locator:
        if (!Collect(b, length, &c, kZip64LocatorBytes)) break;
        have_ = 0;
        state = kSig;
        break;
      default:
        return Fail(consumed + c);
    }
  }
  cursor = c;
  return 0;
}

int HdrZIP::OnSignature(const uint8_t* b, size_t length, uint64_t* c, uint64_t sigAt) {
  const uint32_t sig = Le32(record_);
  // A spanning marker stands at the file's start, with a record after it.
  auto pkFollows = [&]() {
    uint8_t p = 0, k = 0;
    return sigAt == 0 && ByteAt(b, length, 4, &p) && ByteAt(b, length, 5, &k) && p == 'P' && k == 'K';
  };
  switch (sig) {
    case kCentralSig:
      if (ends_) return Fail(sigAt);
      ++centrals_;
      if (scanner_) {
        if (!DescriptorFits(b, length, sigAt)) return Fail(sigAt);
        scanner_.reset();
      }
      state = kCentral;
      return 0;
    case kLocalSig:
      ++locals_;
      if (centrals_ || ends_) return Fail(sigAt);
      if (scanner_) {
        if (!DescriptorFits(b, length, sigAt)) return Fail(sigAt);
        scanner_.reset();
      }
      state = kLocal;
      return 0;
    case kEndSig:
      ++ends_;
      if (scanner_) return Fail(sigAt);
      state = kEnd;
      return 0;
    case kDescriptorSig:
      if (centrals_ || ends_) return Fail(sigAt);
      ++descriptors_;
      if (pkFollows()) {
        have_ = 0;
        state = kSig;
        return 0;
      }
      state = kDescriptor;
      return 0;
    case kSpanSig:
      if (!pkFollows()) return Fail(sigAt);
      have_ = 0;
      state = kSig;
      return 0;
    case kZip64EndSig:
    case kZip64LocatorSig:
      // Between the central directory and its end record.
      if (scanner_ || !centrals_ || ends_) return Fail(sigAt);
      state = sig == kZip64EndSig ? kZip64End : kZip64Locator;
      return 0;
    default:
      (void)c;
      return Fail(sigAt);
  }
}

int HdrZIP::OnLocalHeaderDone(uint64_t dataStart, uint64_t* c) {
  Member& m = member_;
  // The Zip64 field: a local header gives both sizes there.
  const uint8_t* zip64 = nullptr;
  size_t zip64Bytes = 0;
  for (size_t at = 0; at + 4 <= extra_.size();) {
    const uint16_t id = Le16(&extra_[at]);
    const size_t n = Le16(&extra_[at + 2]);
    if (n > extra_.size() - at - 4) break;
    if (id == kZip64ExtraId) {
      zip64 = &extra_[at + 4];
      zip64Bytes = n;
      m.zip64 = true;
      break;
    }
    at += 4 + n;
  }
  const bool wideUncompressed = m.uncompressed == kSize32Escape;
  const bool wideCompressed = m.compressed == kSize32Escape;
  if (wideUncompressed || wideCompressed) {
    if (!zip64) return Fail(recordAt_);
    if (zip64Bytes >= 16) {
      if (wideUncompressed) m.uncompressed = Le64(zip64);
      if (wideCompressed) m.compressed = Le64(zip64 + 8);
    } else if (zip64Bytes >= 8 && wideUncompressed != wideCompressed) {
      (wideUncompressed ? m.uncompressed : m.compressed) = Le64(zip64);
    } else {
      return Fail(recordAt_);
    }
  }
  saved_ = SavedSizes();
  if ((m.flags & kFlagDescriptor) && m.compressed == 0) {
    // The writer did not know the size (a stream): search for the end.
    scanner_ = std::make_unique<Scanner>();
    scanner_->dataStart = dataStart;
  } else {
    if (m.flags & kFlagDescriptor) {
      saved_.present = true;
      saved_.crc = m.crc;
      saved_.compressed = m.compressed;
      saved_.uncompressed = m.uncompressed;
    }
    uint64_t skip = m.compressed;
    // Only a stored member's data is as long as the file it holds.
    if (skip == 0 && m.method == kMethodStored) skip = m.uncompressed;
    if (skip > UINT64_MAX - *c) return Fail(recordAt_);
    *c += skip;
  }
  have_ = 0;
  state = kSig;
  return 0;
}
