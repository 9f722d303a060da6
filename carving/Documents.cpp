#include "carving/Documents.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "foundation/ByteOrder.h"

namespace {

bool IsPdfSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }
bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

enum class Update { kYes, kNo, kMore };

// What follows a candidate end (after its white space): "xref", or an
// object's "N G obj", starts an incremental update.
Update StartsUpdate(const uint8_t* t, size_t n, size_t room) {
  static const char kXref[] = "xref";
  if (n > 0 && t[0] == 'x') {
    for (size_t i = 0; i < 4; ++i) {
      if (i >= n) return Update::kMore;
      if (t[i] != uint8_t(kXref[i])) return Update::kNo;
    }
    return Update::kYes;
  }
  // digits, white space, digits, white space, "obj"
  size_t i = 0;
  for (int field = 0; field < 2; ++field) {
    const size_t digits = i;
    while (i < n && IsDigit(t[i])) ++i;
    if (i == n) return n < room ? Update::kMore : Update::kNo;
    if (i == digits) return Update::kNo;
    const size_t blanks = i;
    while (i < n && IsPdfSpace(t[i])) ++i;
    if (i == n) return n < room ? Update::kMore : Update::kNo;
    if (i == blanks) return Update::kNo;
  }
  static const char kObj[] = "obj";
  for (size_t k = 0; k < 3; ++k, ++i) {
    if (i >= n) return n < room ? Update::kMore : Update::kNo;
    if (t[i] != uint8_t(kObj[k])) return Update::kNo;
  }
  return Update::kYes;
}

constexpr std::array<uint8_t, 256> MakeRtfStops() {
  std::array<uint8_t, 256> t{};
  t['{'] = t['}'] = t['\\'] = 1;
  t[0] = 1;
  return t;
}
constexpr std::array<uint8_t, 256> kRtfStops = MakeRtfStops();

bool IsLetter(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A \binN count beyond this is no RTF.
constexpr uint64_t kMaxBinCount = uint64_t(1) << 40;

}  // namespace

bool FindToken(const uint8_t* buffer, size_t length, const char* token) {
  const size_t n = std::strlen(token);
  if (!buffer || n == 0 || length < n) return false;
  for (size_t i = 0; i + n <= length; ++i) {
    const void* p = std::memchr(buffer + i, token[0], length - n + 1 - i);
    if (!p) return false;
    i = size_t(static_cast<const uint8_t*>(p) - buffer);
    if (std::memcmp(buffer + i, token, n) == 0) return true;
  }
  return false;
}

// ---------------------------------------------------------------- PDF

int HdrPDF::Reset() {
  HdrNode::Reset();
  candidate_ = 0;
  lookHave_ = 0;
  return 0;
}

int HdrPDF::Parse(const uint8_t* b, size_t length) {
  if (!b || length == 0) return Reject();
  if (state == kHdrIdle) state = 1;
  const uint32_t ss = sectorSize ? sectorSize : 512;
  uint64_t c = cursor;
  auto completeAt = [&](uint64_t end) {
    cursor = 0;
    return Complete(end);
  };
  while (c < length) {
    const uint8_t x = b[c];
    switch (state) {
      case 1: {
        const void* p = std::memchr(b + c, '%', size_t(length - c));
        if (!p) {
          c = length;
          break;
        }
        c = uint64_t(static_cast<const uint8_t*>(p) - b) + 1;
        state = 2;
        break;
      }
      case 2:
        if (x == '%') {
          ++c;
          state = 3;
        } else {
          state = 1;
        }
        break;
      case 3:
        // "%%%EOF" holds the marker too.
        if (x == 'E') state = 4;
        else if (x != '%') state = 1;
        ++c;
        break;
      case 4:
      case 5:
        if (x == (state == 4 ? 'O' : 'F')) {
          ++c;
          ++state;
        } else {
          state = 1;
        }
        break;
      case 6:
        if (x == '\r') {
          ++c;
          state = 7;
        } else if (x == '\n') {
          ++c;
          state = 8;
        } else if (x == 0) {
          // Zero padding straight after the marker.
          return completeAt(consumed + c);
        } else {
          state = 1;
        }
        break;
      case 7:
        if (x == '\n') ++c;
        state = 8;
        break;
      case 8: {
        if (x == 0) return completeAt(consumed + c);
        if ((consumed + c) % ss == 0) {
          // The line ends with a sector: another revision starts the next
          // sector with an object.
          if (x == '%' || !FindToken(b + c, size_t(std::min<uint64_t>(64, length - c)), "obj"))
            return completeAt(consumed + c);
          state = 1;
          break;
        }
        candidate_ = consumed + c;
        state = 9;
        break;
      }
      case 9:
        if (IsPdfSpace(x)) {
          ++c;
        } else if (x == 0) {
          return completeAt(candidate_);
        } else {
          lookHave_ = 0;
          state = 10;
        }
        break;
      case 10: {
        const Update u = StartsUpdate(look_, lookHave_, sizeof look_);
        if (u == Update::kNo) return completeAt(candidate_);
        if (u == Update::kYes) {
          state = 1;
          break;
        }
        look_[lookHave_++] = x;
        ++c;
        const Update v = StartsUpdate(look_, lookHave_, sizeof look_);
        if (v == Update::kNo) return completeAt(candidate_);
        if (v == Update::kYes) state = 1;
        break;
      }
      default:
        state = 1;
        break;
    }
  }
  cursor = c;
  return Pending(length);
}

// ---------------------------------------------------------------- RTF

int HdrRTF::Reset() {
  HdrNode::Reset();
  depth_ = 0;
  binLetters_ = 0;
  binCount_ = 0;
  binNegative_ = binDigits_ = false;
  return 0;
}

int HdrRTF::Parse(const uint8_t* b, size_t length) {
  if (!b || length == 0) return Reject();
  uint64_t c = cursor;
  while (c < length) {
    switch (state) {
      case 1: {
        while (c < length && !kRtfStops[b[c]]) ++c;
        if (c == length) break;
        const uint8_t x = b[c++];
        if (x == 0) return Reject();
        if (x == '{') {
          if (++depth_ > (1 << 30)) return Reject();
        } else if (x == '}') {
          if (--depth_ <= 0) state = 2;
        } else {
          state = 11;
        }
        break;
      }
      case 11: {
        // An escaped brace or backslash is text; "\bin" is followed by
        // bytes that are not.
        const uint8_t x = b[c];
        if (x == 0) return Reject();
        ++c;
        if (x == 'b') {
          binLetters_ = 1;
          state = 12;
        } else {
          state = 1;
        }
        break;
      }
      case 12: {
        const uint8_t x = b[c];
        if (binLetters_ < 3) {
          if (x == "bin"[binLetters_]) {
            ++binLetters_;
            ++c;
          } else {
            state = 1;
          }
          break;
        }
        if (IsLetter(x)) {
          state = 1;  // a longer control word
          break;
        }
        binCount_ = 0;
        binNegative_ = binDigits_ = false;
        state = 13;
        if (x == '-') {
          binNegative_ = true;
          ++c;
        }
        break;
      }
      case 13: {
        const uint8_t x = b[c];
        if (IsDigit(x)) {
          binCount_ = binCount_ * 10 + uint64_t(x - '0');
          binDigits_ = true;
          if (binCount_ > kMaxBinCount) return Reject();
          ++c;
          break;
        }
        if (x == ' ') ++c;  // the delimiter belongs to the control word
        if (binDigits_ && !binNegative_) c += binCount_;
        state = 1;
        break;
      }
      case 2: {
        // The file ends at the brace that closes the top group; a line end
        // right after it is the writer's and belongs to the file. Whatever
        // else follows is the disk's.
        const uint8_t x = b[c];
        if (x == '\r') {
          ++c;
          state = 3;
          break;
        }
        if (x == '\n') ++c;
        cursor = 0;
        return Complete(consumed + c);
      }
      case 3:
        if (b[c] == '\n') ++c;
        cursor = 0;
        return Complete(consumed + c);
      default:
        return Reject();
    }
  }
  cursor = c;
  return Pending(length);
}

// ---------------------------------------------------------------- DWG

int HdrDWG::Parse(const uint8_t* b, size_t length) {
  constexpr size_t kCountAt = 21, kLocatorsAt = 25, kLocatorBytes = 9;
  if (!b || length < kLocatorsAt) return Reject();
  const uint32_t count = Le32(b + kCountAt);
  if (count < 1 || count > kMaxLocators || length < kLocatorsAt + kLocatorBytes * count) return Reject();
  struct Section {
    uint64_t start, end;
  };
  Section sections[kMaxLocators];
  uint64_t end = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* r = b + kLocatorsAt + kLocatorBytes * i;
    if (r[0] != i) return Reject();
    sections[i].start = Le32(r + 1);
    sections[i].end = sections[i].start + Le32(r + 5);
    end = std::max(end, sections[i].end);
  }
  std::sort(sections, sections + count, [](const Section& a, const Section& z) { return a.start < z.start; });
  for (uint32_t i = 1; i < count; ++i)
    if (sections[i].start < sections[i - 1].end) return Reject();
  if (end <= 32) return Reject();
  return Complete(end);
}
