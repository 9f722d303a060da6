#include "filesystems/ext/IndirectBlocks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/FileIo.h"

namespace {

// A list file larger than this is not a list of block numbers.
constexpr off_t kMaxListBytes = 256ll << 20;

}  // namespace

bool IsIndirectBlock(const uint8_t* data, size_t bytes, uint64_t limit, uint32_t stride, uint32_t* pointers) {
  const size_t n = bytes / 4;
  if (!n || Le32(data) == 0) return false;
  uint32_t pairs = 0, steps = 0;
  size_t i = 0;
  for (; i < n; ++i) {
    const uint32_t entry = Le32(data + 4 * i);
    if (entry == 0) break;
    if (entry <= 1 || entry >= limit) return false;
    if (i + 1 < n) {
      const uint32_t next = Le32(data + 4 * (i + 1));
      if (next) {
        ++pairs;
        if (uint64_t(next) == uint64_t(entry) + stride) steps += 2;
      }
    }
    if (i + 1 > 8 && steps < pairs) return false;
  }
  if (i < n) {
    if (!pairs) return false;
    for (size_t k = i * 4; k < bytes; ++k)
      if (data[k]) return false;
  }
  *pointers = uint32_t(i);
  return true;
}

IndirectBlockList::IndirectBlockList(uint32_t sectorSize, int64_t, uint64_t volumeSectors, uint32_t blockSize, uint32_t,
                                     uint32_t minimumTripleEntries)
    : stride(blockSize / 4 + 1), minimumTriple(minimumTripleEntries) {
  const uint32_t perBlock = sectorSize && blockSize >= sectorSize ? blockSize / sectorSize : 0;
  totalBlocks = perBlock ? volumeSectors / perBlock : 0;
}

bool IndirectBlockList::LoadFromFile(WStringView path) {
  const std::string name = ToUtf8(path);
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ErrorMsg(nullptr, WString(path).c_str());
    return false;
  }
  struct stat st;
  std::string text;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxListBytes;
  if (ok) {
    text.resize(size_t(st.st_size));
    ok = ReadFully(fd, text.data(), text.size()) == text.size();
  }
  ::close(fd);
  if (!ok) {
    VErrorMsg(u"The indirect block list %s cannot be read.", WString(path));
    return false;
  }
  LoadFromText(text.data(), text.size());
  return true;
}

void IndirectBlockList::LoadFromText(const char* text, size_t length) {
  numbers_.clear();
  outOfOrder_ = 0;
  uint32_t previous = 0;
  bool any = false;
  for (size_t at = 0; at < length;) {
    size_t end = at;
    while (end < length && text[end] != '\n') ++end;
    // The line's leading decimal number, when it is positive and fits.
    uint64_t value = 0;
    size_t k = at;
    while (k < end && (text[k] == ' ' || text[k] == '\t')) ++k;
    bool digits = false;
    while (k < end && text[k] >= '0' && text[k] <= '9' && value <= UINT32_MAX) {
      value = value * 10 + uint64_t(text[k] - '0');
      digits = true;
      ++k;
    }
    if (digits && value > 0 && value <= UINT32_MAX) {
      if (any && value <= previous) {
        ++outOfOrder_;
        ShowMessage(kMbOk | kMbIconError, u"Indirect block numbers out of sequence");
      }
      numbers_.push_back(uint32_t(value));
      previous = uint32_t(value);
      any = true;
    }
    at = end + 1;
  }
  // The lookups are binary searches: sorted, each number once.
  std::sort(numbers_.begin(), numbers_.end());
  numbers_.erase(std::unique(numbers_.begin(), numbers_.end()), numbers_.end());
  marks_.assign(numbers_.size(), 0);
  generation_ = 0;
}

bool IndirectBlockList::CheckIndirectBlock(const uint8_t* block, size_t bytes) {
  if (++generation_ == 0) {
    std::fill(marks_.begin(), marks_.end(), 0);
    generation_ = 1;
  }
  const size_t n = bytes / 4;
  uint32_t listed = 0, unlisted = 0, steps = 0, previous = 0;
  size_t i = 0;
  for (; i < n; ++i) {
    const uint32_t p = Le32(block + 4 * i);
    if (p == 0) break;
    if (p == 1 || p >= totalBlocks) return false;
    auto it = std::lower_bound(numbers_.begin(), numbers_.end(), p);
    if (it != numbers_.end() && *it == p) {
      uint8_t& mark = marks_[size_t(it - numbers_.begin())];
      if (mark == generation_) return false;
      mark = generation_;
      ++listed;
    } else if (i && uint64_t(p) == uint64_t(previous) + stride) {
      ++steps;
    } else {
      ++unlisted;
    }
    previous = p;
    if (listed + unlisted > 16 && listed < unlisted) return false;
  }
  if (i == 0) return false;
  for (size_t k = i * 4; k < bytes; ++k)
    if (block[k]) return false;
  if (minimumTriple > 0) return listed >= minimumTriple && steps <= 1;
  return listed >= 10 && steps >= 1;
}
