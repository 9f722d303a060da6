#include "volumes/RunList.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "platform/Format.h"
#include "volumes/Node.h"
#include "volumes/Streams.h"

namespace {

constexpr uint32_t kMaxListBytes = std::numeric_limits<uint32_t>::max() - kRunListHeaderBytes;

const uint8_t* PairsOf(const uint8_t* list) { return list + kRunListHeaderBytes; }

// Lengths are written as NTFS drivers write them: in the fewest bytes that
// keep the top bit of the last byte clear (254 is FE 00), since readers that
// take the field as signed refuse a "negative" length. Only lengths from
// 2^31 on, which no volume has, take 4 bytes with the top bit set, so a
// pair never passes 13 bytes and never needs a 5-byte length.
int LengthBytes(uint32_t length) {
  const int n = SignedBytes(int64_t(length));
  return n > 4 ? 4 : n;
}

// Writes one pair at p (room for kMaxPairBytes); returns its size.
uint32_t WritePair(uint8_t* p, int64_t delta, uint32_t length) {
  const int l = LengthBytes(length);
  const int o = SignedBytes(delta);
  p[0] = uint8_t(o << 4 | l);
  PutLittleEndian(p + 1, length, l);
  PutLittleEndian64(p + 1 + l, uint64_t(delta), o);
  return uint32_t(1 + l + o);
}

bool RunTraceOn() { return traceUnixFsA.load(std::memory_order_relaxed) != 0; }

}  // namespace

// ---- stored lists ----

uint32_t RunListBytes(const uint8_t* list) { return list ? GetLittleEndian(list, 4) : 0; }

RunList NewRunList(const uint8_t* pairs, size_t count) {
  if (count > kMaxListBytes) return nullptr;
  auto* list = static_cast<uint8_t*>(std::malloc(count + kRunListHeaderBytes));
  if (!list) return nullptr;
  PutLittleEndian(list, uint32_t(count), 4);
  if (count) std::memcpy(list + kRunListHeaderBytes, pairs, count);
  return list;
}

RunList CopyRunList(const uint8_t* list) {
  if (!list) return nullptr;
  return NewRunList(PairsOf(list), RunListBytes(list));
}

void FreeRunList(RunList list) { std::free(list); }

int ReadNextRunPairs(int64_t* delta, uint32_t* length, const uint8_t* pairs, uint32_t count, uint32_t* position) {
  if (!pairs || !position) return -1;
  uint64_t pos = *position;
  if (pos + 1 >= count) return 0;
  const uint8_t header = pairs[pos];
  if (header == 0) return 0;
  ++pos;
  const uint32_t l = header & 0x0F;
  const uint32_t o = header >> 4;
  if (l == 0 || pos + l + o > count) return -1;
  if (l > 4) {
    VErrorMsg(u"Length of length in runs is too large: %d.", int(l));
    return -1;
  }
  // An offset beyond 8 bytes has no meaning in 64 bits.
  if (o > 8) return -1;
  const uint32_t len = GetLittleEndian(pairs + pos, int(l));
  const int64_t off = o ? GetSignedLittleEndian(pairs + pos + l, int(o)) : 0;
  if (length) *length = len;
  if (delta) *delta = off;
  *position = uint32_t(pos + l + o);
  return 1;
}

int ReadNextRun(int64_t* delta, uint32_t* length, const uint8_t* list, uint32_t* position) {
  if (!list) return -1;
  return ReadNextRunPairs(delta, length, PairsOf(list), RunListBytes(list), position);
}

int64_t GetClusterCount(const uint8_t* list, int64_t* firstDelta) {
  if (firstDelta) *firstDelta = 0;
  int64_t total = 0;
  uint32_t pos = 0;
  int64_t delta;
  uint32_t length;
  bool first = true;
  int r;
  while ((r = ReadNextRun(&delta, &length, list, &pos)) == 1) {
    if (first && firstDelta) *firstDelta = delta;
    first = false;
    total += length;
  }
  if (r < 0 && list) return -1;
  return total;
}

int64_t GetLastRunLCN(const uint8_t* list) {
  int64_t lcn = 0;
  uint32_t pos = 0;
  int64_t delta;
  uint32_t length;
  while (ReadNextRun(&delta, &length, list, &pos) == 1) {
    if (__builtin_add_overflow(lcn, delta, &lcn)) break;
  }
  return lcn;
}

int64_t GetLargestLCN2(const uint8_t* list) {
  int64_t largest = -1;
  int64_t lcn = 0;
  uint32_t pos = 0;
  int64_t delta;
  uint32_t length;
  while (ReadNextRun(&delta, &length, list, &pos) == 1) {
    if (__builtin_add_overflow(lcn, delta, &lcn)) break;
    int64_t end;
    if (delta != 0 && !__builtin_add_overflow(lcn, int64_t(length), &end) && end > largest) largest = end;
  }
  return largest;
}

int UnsignedBytes(uint64_t value) {
  int n = 0;
  while (value) {
    ++n;
    value >>= 8;
  }
  return n;
}

int SignedBytes(int64_t value) {
  if (value == 0) return 0;
  for (int n = 1; n < 8; ++n) {
    const int64_t lo = -(int64_t(1) << (8 * n - 1));
    const int64_t hi = (int64_t(1) << (8 * n - 1)) - 1;
    if (value >= lo && value <= hi) return n;
  }
  return 8;
}

bool MakeRuns(RunList* out, int64_t start, uint64_t length) {
  if (!out) return false;
  *out = MakeRuns(start, length);
  return *out != nullptr;
}

RunList MakeRuns(int64_t start, uint64_t length) {
  if (length > std::numeric_limits<uint32_t>::max()) return nullptr;
  // A run of no clusters would be a pair no decoder accepts: an empty list.
  if (length == 0) return NewRunList(nullptr, 0);
  uint8_t pair[kMaxPairBytes];
  const uint32_t n = WritePair(pair, start, uint32_t(length));
  return NewRunList(pair, n);
}

// ---- parsing an NTFS attribute's mapping pairs ----

int parseRuns(const uint8_t* attribute, size_t available, ParsedRuns* out, RunReportFn report, void* context) {
  if (!out) return -1;
  *out = ParsedRuns{};
  if (!attribute || available < 6) return -1;
  size_t length = GetLittleEndian(attribute + 4, 2);
  if (length <= 15) return -1;
  if (length < 56) return 0;
  // Never read past what the caller holds, whatever the header claims.
  if (length > available) length = available;
  if (length >= 48) out->allocatedSize = uint64_t(GetSignedLittleEndian(attribute + 40, 8));
  if (length >= 56) out->realSize = uint64_t(GetSignedLittleEndian(attribute + 48, 8));
  if (length >= 64) out->initializedSize = uint64_t(GetSignedLittleEndian(attribute + 56, 8));

  const size_t pairsAt = GetLittleEndian(attribute + 32, 2);
  if (pairsAt & 7) return -1;
  if (pairsAt >= length) return -1;

  const size_t count = length - pairsAt;
  RunList list = NewRunList(attribute + pairsAt, count);
  if (!list) return -1;
  out->list = list;
  uint8_t* pairs = list + kRunListHeaderBytes;

  size_t pos = 0;
  while (pos < count && pairs[pos] != 0) {
    const uint8_t header = pairs[pos];
    const uint32_t l = header & 0x0F;
    const uint32_t o = header >> 4;
    // Offsets above 5 bytes (48 bits of clusters) and lengths above 4 bytes
    // never occur on a volume; a length of 0 bytes is no run.
    if (header >= 0x60 || l > 4 || l == 0) {
      if (report) report(context, FormatW(u"Offset or length invalid %02x", int(header)).c_str());
      return -1;
    }
    if (pos + 1 + l + o > count) {
      if (report) report(context, u"Invalid run exceeding attribute length.");
      break;
    }
    out->clusterCount += GetLittleEndian(pairs + pos + 1, int(l));
    pos += 1 + l + o;
  }
  if (pos < count) PutLittleEndian(list, uint32_t(pos), 4);
  return 0;
}

// ---- building lists ----

size_t RunListEncoder::PairHash::operator()(const std::pair<int64_t, int64_t>& p) const noexcept {
  uint64_t h = uint64_t(p.first) * 0x9E3779B97F4A7C15ull;
  h ^= uint64_t(p.second) + 0x7F4A7C159E3779B9ull + (h << 6) + (h >> 2);
  return size_t(h);
}

RunListEncoder::~RunListEncoder() {
  std::free(buf);
  delete seen;
}

bool RunListEncoder::Reserve(uint32_t more) {
  uint64_t need = uint64_t(used) + more;
  if (need > kMaxListBytes) return false;
  if (need <= capacity) return true;
  // Doubling keeps 10^5 runs linear; the 4-byte count must still fit.
  uint64_t next = capacity ? uint64_t(capacity) * 2 : 256;
  while (next < need) next *= 2;
  if (next > kMaxListBytes) next = kMaxListBytes;
  auto* grown = static_cast<uint8_t*>(std::realloc(buf, size_t(next)));
  if (!grown) return false;
  buf = grown;
  capacity = uint32_t(next);
  return true;
}

int RunListEncoder::AddRun(int64_t start, uint32_t length) {
  // A run of no clusters describes nothing and would not decode.
  if (length == 0) return 1;
  int64_t delta;
  if (__builtin_sub_overflow(start, lastStart, &delta)) return -1;
  if (!Reserve(kMaxPairBytes)) return -1;
  used += WritePair(buf + used, delta, length);

  int result = 1;
  if (checking && runCount >= 1) {
    auto last = [](int64_t s, uint32_t n) { return int64_t(uint64_t(s) + n - 1); };
    try {
      if (!seen) {
        seen = new std::unordered_set<std::pair<int64_t, int64_t>, PairHash>();
        seen->insert({firstStart, last(firstStart, firstLength)});
      }
      if (!seen->insert({start, last(start, length)}).second) {
        delete seen;
        seen = nullptr;
        checking = false;
        result = 0;
      }
    } catch (const std::bad_alloc&) {
      // The check is a diagnosis only; the list stays right without it.
      delete seen;
      seen = nullptr;
      checking = false;
    }
  }
  if (runCount == 0) {
    firstStart = start;
    firstLength = length;
  }
  ++runCount;
  totalClusters += length;
  lastStart = start;
  lastLength = length;
  return result;
}

int RunListEncoder::AddGap(uint64_t toCluster, uint64_t nextStart) {
  if (toCluster <= totalClusters) return 1;
  uint64_t missing = toCluster - totalClusters;
  const uint64_t end = uint64_t(lastStart) + lastLength;
  // Unsigned on purpose: a next start below the end makes the whole gap
  // follow the last run on disk.
  uint64_t contiguous = nextStart - end;
  if (contiguous > missing) contiguous = missing;
  constexpr uint64_t kMaxRun = std::numeric_limits<uint32_t>::max();
  uint64_t at = end;
  for (uint64_t left = contiguous; left > 0;) {
    const uint64_t n = left < kMaxRun ? left : kMaxRun;
    if (at > uint64_t(std::numeric_limits<int64_t>::max()) || AddRun(int64_t(at), uint32_t(n)) < 0) return -1;
    at += n;
    left -= n;
  }
  // The rest is a hole: runs with the last run's start (offset 0).
  for (uint64_t left = missing - contiguous; left > 0;) {
    const uint64_t n = left < kMaxRun ? left : kMaxRun;
    if (!Reserve(kMaxPairBytes)) return -1;
    used += WritePair(buf + used, 0, uint32_t(n));
    ++runCount;
    totalClusters += n;
    lastLength = uint32_t(n);
    left -= n;
  }
  return 1;
}

RunList RunListEncoder::Export(uint8_t* buffer, size_t bufferSize) const {
  if (used == 0) return nullptr;
  if (buffer) {
    if (bufferSize < size_t(used) + kRunListHeaderBytes) return nullptr;
    PutLittleEndian(buffer, used, 4);
    std::memcpy(buffer + kRunListHeaderBytes, buf, used);
    return buffer;
  }
  return NewRunList(buf, used);
}

// ---- run arrays ----

bool AppendRuns(RunArray& holder, RunArray& added) {
  if (added.empty()) return true;
  if (holder.empty()) {
    holder.swap(added);
    added.clear();
    return true;
  }
  try {
    holder.insert(holder.end(), added.begin(), added.end());
  } catch (const std::bad_alloc&) {
    return false;
  }
  added.clear();
  added.shrink_to_fit();
  return true;
}

namespace {

// 0 good, 1 out of sequence, 2 too large.
int CheckRun(const ExtentRun& run, uint64_t previousEnd, uint64_t volumeClusters) {
  if (run.vcn < previousEnd) return 1;
  if (run.lcnEnd < run.lcn || run.lcnEnd > volumeClusters) return 2;
  return 0;
}

uint64_t VcnEnd(const ExtentRun& run) {
  const uint64_t end = run.vcn + run.Length();
  return end < run.vcn ? std::numeric_limits<uint64_t>::max() : end;
}

void TraceBadRun(int verdict, size_t index) {
  if (!RunTraceOn()) return;
  if (verdict == 1) TracePrintfA("run %ld out of sequence\n", int64_t(index));
  else TracePrintfA("run %ld too large\n", int64_t(index));
}

}  // namespace

bool ValidateRuns(const ExtentRun* runs, size_t count, uint64_t volumeClusters) {
  if (!runs) return count == 0;
  uint64_t end = 0;
  for (size_t i = 0; i < count; ++i) {
    const int verdict = CheckRun(runs[i], end, volumeClusters);
    if (verdict) {
      TraceBadRun(verdict, i);
      return false;
    }
    end = VcnEnd(runs[i]);
  }
  return true;
}

size_t PruneRuns(RunArray& holder, uint64_t volumeClusters) {
  uint64_t end = 0;
  size_t kept = 0;
  for (size_t i = 0; i < holder.size(); ++i) {
    const int verdict = CheckRun(holder[i], end, volumeClusters);
    if (verdict) {
      TraceBadRun(verdict, i);
      continue;
    }
    end = VcnEnd(holder[i]);
    holder[kept++] = holder[i];
  }
  holder.resize(kept);
  holder.shrink_to_fit();
  return kept;
}

// ---- merging ----

bool MergeMappingPairs(RunList* first, RunList* second) {
  if (!first || !second) return false;
  if (!*second) return true;
  if (!*first || RunListBytes(*first) == 0) {
    FreeRunList(*first);
    *first = *second;
    *second = nullptr;
    return true;
  }
  const uint32_t secondBytes = RunListBytes(*second);
  if (secondBytes <= 1) return true;

  // Leading holes of `second` stay holes (offset 0 from anything); its
  // first data run is re-expressed against the last start of `first`, and
  // the runs after it keep their offsets.
  int64_t delta = 0;
  uint32_t length = 0;
  uint32_t holesEnd = 0;
  uint32_t pos = 0;
  for (;;) {
    const uint32_t at = pos;
    const int r = ReadNextRun(&delta, &length, *second, &pos);
    if (r < 0) return false;
    if (r == 0) {
      holesEnd = pos;
      delta = 0;
      break;
    }
    if (delta != 0) {
      holesEnd = at;
      break;
    }
  }
  int64_t lastStart = 0;
  uint32_t firstPos = 0;
  int64_t d;
  uint32_t n;
  int r;
  while ((r = ReadNextRun(&d, &n, *first, &firstPos)) == 1) {
    if (__builtin_add_overflow(lastStart, d, &lastStart)) return false;
  }
  if (r < 0) return false;
  const uint32_t firstBytes = firstPos;  // a trailing terminator is dropped

  uint8_t pair[kMaxPairBytes];
  uint32_t pairBytes = 0;
  if (delta != 0) {
    int64_t rebased;
    if (__builtin_sub_overflow(delta, lastStart, &rebased)) return false;
    // Offset 0 would turn the data run into a hole: such lists can't be
    // joined in this format.
    if (rebased == 0) return false;
    pairBytes = WritePair(pair, rebased, length);
  }
  const uint32_t restAt = delta != 0 ? pos : holesEnd;
  uint32_t restEnd = restAt;
  while ((r = ReadNextRun(&d, &n, *second, &restEnd)) == 1) {
  }
  if (r < 0) return false;
  const uint64_t total = uint64_t(firstBytes) + holesEnd + pairBytes + (restEnd - restAt);
  if (total > kMaxListBytes) return false;
  auto* merged = static_cast<uint8_t*>(std::malloc(size_t(total) + kRunListHeaderBytes));
  if (!merged) return false;
  PutLittleEndian(merged, uint32_t(total), 4);
  uint8_t* p = merged + kRunListHeaderBytes;
  std::memcpy(p, PairsOf(*first), firstBytes);
  p += firstBytes;
  std::memcpy(p, PairsOf(*second), holesEnd);
  p += holesEnd;
  std::memcpy(p, pair, pairBytes);
  p += pairBytes;
  std::memcpy(p, PairsOf(*second) + restAt, restEnd - restAt);
  FreeRunList(*first);
  *first = merged;
  FreeRunList(*second);
  *second = nullptr;
  return true;
}

// ---- nodes ----

int64_t GetLargestLCN(const XEntry* chain) {
  int64_t largest = -1;
  for (const XEntry* e = chain; e; e = e->next) largest = std::max(largest, GetLargestLCN2(e->runs));
  return largest;
}

int64_t GetClusterCountAll(const XEntry* chain) {
  int64_t total = 0;
  for (const XEntry* e = chain; e; e = e->next) {
    // A piece whose record was not found leaves the count unknown.
    if (!e->runs) return -1;
    const int64_t n = GetClusterCount(e->runs);
    if (n < 0 || __builtin_add_overflow(total, n, &total)) return -1;
  }
  return total;
}

int64_t GetLargestLCN(const cnode* node) {
  if (!node) return -1;
  if (node->HasPieces()) return GetLargestLCN(node->Pieces());
  return GetLargestLCN2(node->runs);
}

int64_t GetClusterCountAll(const cnode* node) {
  if (!node) return -1;
  if (node->HasPieces()) return GetClusterCountAll(node->Pieces());
  if (!node->runs) return 0;
  return GetClusterCount(node->runs);
}
