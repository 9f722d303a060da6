// Allocation-table sectors: whether a sector holds FAT entries, and where in
// its FAT it stands. Files are mostly contiguous, so most chained entries of
// a real FAT sector hold "my own number + 1"; each such entry names the
// sector's index within the FAT, and the index most entries agree on wins.
#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "filesystems/fat/FatHelpers.h"

FATClusterVotes::FATClusterVotes() {
  for (int i = 0; i < kSlots; ++i) {
    keys_[i] = -1;
    counts_[i] = 0;
  }
}

bool FATClusterVotes::Add(int64_t key, uint32_t n) {
  for (int i = 0; i < kSlots; ++i) {
    if (keys_[i] == key) {
      counts_[i] += n;
      return true;
    }
  }
  for (int i = 0; i < kSlots; ++i) {
    if (keys_[i] == -1) {
      keys_[i] = key;
      counts_[i] = n;
      return true;
    }
  }
  return false;
}

int64_t FATClusterVotes::Best(uint32_t* total, uint32_t* bestCount) const {
  int64_t best = -1;
  uint32_t most = 0, sum = 0;
  for (int i = 0; i < kSlots; ++i) {
    if (keys_[i] == -1) continue;
    sum += counts_[i];
    if (counts_[i] > most) {
      most = counts_[i];
      best = keys_[i];
    }
  }
  if (total) *total = sum;
  if (bestCount) *bestCount = most;
  return best;
}

namespace {

struct Verdict {
  int64_t result = -1;
  uint32_t score = 0;
  uint32_t bad = 0;
};

// One reading of the sector: entries of `width` bits (12, 16 or 32); for
// 12-bit entries `phase` = (nibble position of the sector in its FAT) mod 3.
Verdict Judge(const uint8_t* s, uint32_t bytes, int width, uint32_t phase, uint32_t maxCluster) {
  uint32_t count, firstNibble = 0;
  uint64_t perSector;  // entries per sector, for 16/32
  uint32_t eocMin, badValue, reservedMin, ones;
  const uint64_t nibbles = uint64_t(bytes) * 2;
  if (width == 12) {
    firstNibble = (3 - phase) % 3;
    count = uint32_t((nibbles - firstNibble) / 3);
    perSector = 0;
    eocMin = 0xFF8, badValue = 0xFF7, reservedMin = 0xFF0, ones = 0xFFF;
  } else if (width == 16) {
    count = bytes / 2;
    perSector = count;
    eocMin = 0xFFF8, badValue = 0xFFF7, reservedMin = 0xFFF0, ones = 0xFFFF;
  } else {
    count = bytes / 4;
    perSector = count;
    eocMin = 0x0FFFFFF8, badValue = 0x0FFFFFF7, reservedMin = 0x0FFFFFF0, ones = 0x0FFFFFFF;
  }
  auto entry = [&](uint32_t j) -> uint32_t {
    if (width == 16) return GetLittleEndian(s + size_t(j) * 2, 2);
    if (width == 32) return GetLittleEndian(s + size_t(j) * 4, 4);
    const uint64_t n = firstNibble + uint64_t(j) * 3;
    const uint32_t v = GetLittleEndian(s + n / 2, 2);
    return (n & 1) ? v >> 4 : v & 0xFFF;
  };

  // The first sector: the media entry, then an all-ones entry (FAT16 and
  // FAT32 keep volume flags in its top bits).
  bool first = false;
  if (count >= 2 && (width != 12 || phase == 0)) {
    const uint32_t e0 = entry(0), e1 = entry(1);
    const uint32_t media = e0 & 0xFF;
    const bool mediaOk = (media == 0xF0 || media >= 0xF8) && (e0 | 0xFF) == ones;
    bool onesOk = e1 == ones;
    if (width == 16) onesOk = (e1 | 0xC000) == 0xFFFF;
    if (width == 32) onesOk = (e1 | 0x0C000000) == 0x0FFFFFFF;
    first = mediaOk && onesOk;
  }

  uint32_t freeCount = 0, eoc = 0, bad = 0, outOfRange = 0, chained = 0;
  FATClusterVotes votes;
  for (uint32_t j = first ? 2 : 0; j < count; ++j) {
    const uint32_t v = entry(j);
    if (v == 0) {
      ++freeCount;
    } else if (v == badValue) {
      ++bad;
    } else if (v >= eocMin && v <= ones) {
      ++eoc;
    } else if (v == 1 || v > ones || (v >= reservedMin && v < badValue) || (maxCluster && v > maxCluster)) {
      ++outOfRange;
    } else {
      ++chained;
      // Entry k holding k + 1 puts this sector at index (k - j) / perSector.
      const uint64_t k = uint64_t(v) - 1;
      int64_t key = -1;
      if (width == 12) {
        if (k >= j) {
          const uint64_t startNibble = (k - j) * 3;  // nibble of this sector's first whole entry
          if (startNibble >= firstNibble && (startNibble - firstNibble) % nibbles == 0) {
            const uint64_t index = (startNibble - firstNibble) / nibbles;
            if ((index * nibbles) % 3 == phase) key = int64_t(index);
          }
        }
      } else if (k >= j && (k - j) % perSector == 0) {
        key = int64_t((k - j) / perSector);
      }
      if (key >= 0) votes.Add(key, 1);
    }
  }

  Verdict out;
  out.bad = bad;
  const uint32_t used = eoc + bad + chained + outOfRange;
  if (used == 0) {
    out.result = first ? 0 : -2;
    out.score = first ? freeCount + 2 : 0;
    return out;
  }
  if (outOfRange * 8 > used) {
    out.result = -1;
    return out;
  }
  uint32_t bestCount = 0;
  const int64_t best = votes.Best(nullptr, &bestCount);
  const uint32_t stray = chained - bestCount;
  if (first) {
    out.result = 0;
    out.score = freeCount + eoc + bad + bestCount + 2;
    return out;
  }
  if (chained == 0) {
    out.result = -2;
    out.score = freeCount + eoc + bad;
    return out;
  }
  // Chained entries that name no common place and no end mark beside
  // them: numbers that merely fit, as in text or small binary values.
  if (eoc + bad == 0 && bestCount * 2 < chained) {
    out.result = -1;
    return out;
  }
  if (best >= 0 && bestCount * 2 >= chained) {
    out.result = best;
    out.score = freeCount + eoc + bad + bestCount;
    return out;
  }
  // Chains that agree on nothing: a badly fragmented FAT, or no FAT at all.
  if (stray > 4 * (eoc + bad + bestCount) + 8) {
    out.result = -1;
    return out;
  }
  out.result = -2;
  out.score = freeCount + eoc + bad + bestCount;
  return out;
}

// Better: a found index, then "cannot tell", then the higher score.
bool Better(const Verdict& a, const Verdict& b) {
  auto rank = [](const Verdict& v) { return v.result >= 0 ? 2 : v.result == -2 ? 1 : 0; };
  if (rank(a) != rank(b)) return rank(a) > rank(b);
  return a.score > b.score;
}

}  // namespace

int64_t CheckFATSector(const uint8_t* sector, int type, uint32_t* badOut, uint32_t* scoreOut, uint32_t maxCluster,
                       uint32_t bytes) {
  TRACE_FN("CheckFATSector");
  Verdict v;
  if (bytes >= 512 && (type == 2 || type == 3)) {
    if (type == 3) {
      v = Judge(sector, bytes, 32, 0, maxCluster);
    } else {
      // FAT12 below 4085 clusters (highest cluster 4086); unknown: both.
      const bool fat12Only = maxCluster != 0 && maxCluster < 4087;
      if (!fat12Only) v = Judge(sector, bytes, 16, 0, maxCluster);
      if (maxCluster == 0 || fat12Only) {
        for (uint32_t phase = 0; phase < 3; ++phase) {
          const Verdict w = Judge(sector, bytes, 12, phase, maxCluster);
          if (fat12Only && phase == 0) v = w;
          else if (Better(w, v)) v = w;
        }
      }
    }
  }
  if (badOut) *badOut = v.bad;
  if (scoreOut) *scoreOut = v.score;
  return v.result;
}
