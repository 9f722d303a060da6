#include "storage/RaidMap.h"

#include <algorithm>
#include <new>

#include "foundation/Trace.h"
#include "storage/RaidParity.h"

namespace {

// A built map may hold at most this many extents (a 64-member RAID 6 set
// with a parity delay of 16 needs 63,488).
constexpr uint64_t kMaxBuiltExtents = 1u << 20;

bool StartRange(const RaidMapParams& p, uint32_t dataPerRow, std::vector<RaidRange>* out) {
  out->clear();
  const uint64_t n = p.members;
  if (n == 0 || p.stripe == 0 || p.group == 0 || p.missing.size() != n) return false;
  const uint64_t rows = dataPerRow == n ? 1 : uint64_t(p.group) * n;
  const uint64_t extents = rows * dataPerRow;
  if (extents > kMaxBuiltExtents || extents * p.stripe > UINT32_MAX || rows * p.stripe > UINT32_MAX) return false;
  try {
    out->emplace_back();
    RaidRange& r = out->back();
    r.startLsn = 0;
    r.sizeSectors = p.sectors;
    r.logicalGroupSectors = uint32_t(extents * p.stripe);
    r.Resize(n);
    for (size_t m = 0; m < n; ++m) {
      r.startingPsn[m] = 0;
      r.physicalGroupSectors[m] = p.missing[m] ? 0 : uint32_t(rows * p.stripe);
    }
    r.extents.resize(extents);
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
  return true;
}

void SetExtent(RaidExtent& e, uint32_t index, uint32_t stripe) {
  e.length = stripe;
  e.lso = index * stripe;
  e.op = kRaidOpXor;
}

}  // namespace

void RaidRange::Resize(size_t members) {
  startingPsn.assign(members, ~0ull);
  physicalGroupSectors.assign(members, 0);
  windowLo.assign(members, ~0ull);
  windowHi.assign(members, 0);
}

void RaidRange::ComputeWindows(size_t members, uint32_t shift) {
  windowLo.assign(members, ~0ull);
  windowHi.assign(members, 0);
  for (const RaidExtent& e : extents)
    for (const RaidItem& it : e.items) {
      if (it.member < 0 || size_t(it.member) >= members) continue;
      const uint64_t lo = uint64_t(it.offset) << shift;
      const uint64_t hi = (uint64_t(it.offset) + e.length) << shift;
      windowLo[size_t(it.member)] = std::min(windowLo[size_t(it.member)], lo);
      windowHi[size_t(it.member)] = std::max(windowHi[size_t(it.member)], hi);
    }
}

size_t RaidRange::FindExtent(uint32_t lso) {
  if (extents.empty()) return 0;
  size_t i = std::min(lastExtent, extents.size() - 1);
  const RaidExtent& hint = extents[i];
  if (lso >= hint.lso && lso - hint.lso < hint.length) return i;
  size_t lo = 0, hi = extents.size();
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    if (extents[mid].lso <= lso) lo = mid;
    else hi = mid;
  }
  lastExtent = lo;
  return lo;
}

namespace RaidMap {

bool BuildRaid0(const RaidMapParams& p, std::vector<RaidRange>* out) {
  if (p.members < 2 || !StartRange(p, p.members, out)) return false;
  RaidRange& r = out->back();
  for (uint32_t j = 0; j < p.members; ++j) {
    r.physicalGroupSectors[j] = p.stripe;
    RaidExtent& e = r.extents[j];
    SetExtent(e, j, p.stripe);
    e.items.push_back({0, 0, int(j)});
  }
  return true;
}

bool BuildRaid5(const RaidMapParams& p, std::vector<RaidRange>* out) {
  const int rot = p.rotation;
  if (p.members < 3 || rot < 0 || rot > 3 || !StartRange(p, p.members - 1, out)) {
    out->clear();
    return false;
  }
  RaidRange& r = out->back();
  const int n = int(p.members);
  int parity = (rot == kRotBackwardAsymmetric || rot == kRotBackwardSymmetric) ? n - 1 : 0;
  uint32_t k = 0;
  for (uint32_t row = 0; row < p.group * p.members; ++row) {
    int m;
    if (parity == 0) m = 1;
    else if (parity == n - 1) m = 0;
    else m = (rot == kRotForwardAsymmetric || rot == kRotBackwardAsymmetric) ? 0 : parity + 1;
    for (int d = 0; d < n - 1; ++d, ++k) {
      if (m == parity) m = (m + 1) % n;
      RaidExtent& e = r.extents[k];
      SetExtent(e, k, p.stripe);
      const uint32_t offset = p.stripe * row;
      if (!p.missing[size_t(m)]) {
        e.items.push_back({0, offset, m});
      } else {
        for (int o = 0; o < n; ++o)
          if (o != m) e.items.push_back({0, offset, o});
      }
      m = (m + 1) % n;
    }
    if ((row + 1) % p.group == 0) {
      if (rot == kRotBackwardAsymmetric || rot == kRotBackwardSymmetric) parity = parity == 0 ? n - 1 : parity - 1;
      else parity = parity == n - 1 ? 0 : parity + 1;
    }
  }
  return true;
}

bool BuildRaid6(const RaidMapParams& p, std::vector<RaidRange>* out) {
  const int rot = p.rotation;
  if (p.members < 4 || !(rot == 1 || rot == 2 || rot == 4 || rot == 5) || !StartRange(p, p.members - 2, out)) {
    out->clear();
    return false;
  }
  RaidRange& r = out->back();
  const int n = int(p.members);
  const int step = (rot == 1 || rot == 2) ? 1 : 2;
  int q = n - 1;
  GfRotation coefficients(p.coefficientMode, p.order, n);
  std::vector<int> missing;
  for (int m = 0; m < n; ++m)
    if (p.missing[size_t(m)]) missing.push_back(m);
  uint32_t k = 0;
  for (uint32_t row = 0; row < p.group * p.members; ++row) {
    const int pm = q == 0 ? n - 1 : q - 1;
    coefficients.SetQ(q);
    int m;
    if (rot == 1 || rot == 4) m = pm == 0 ? 2 : q == 0 ? 1 : 0;
    else m = (q + 1) % n;
    const uint32_t offset = p.stripe * row;
    for (int d = 0; d < n - 2; ++d, ++k) {
      RaidExtent& e = r.extents[k];
      SetExtent(e, k, p.stripe);
      if (!p.missing[size_t(m)]) {
        e.items.push_back({0, offset, m});
      } else {
        int other = -1;
        for (int x : missing)
          if (x != m) other = x;
        if (other < 0 || other == q) {
          for (int o = 0; o < n; ++o)
            if (o != m && o != q) e.items.push_back({0, offset, o});
        } else {
          e.op = p.missing[size_t(pm)] ? kRaidOpQ1 : kRaidOpQ2;
          e.gx = coefficients.Coefficient(m);
          e.gy = other == pm ? 0 : coefficients.Coefficient(other);
          for (int o = 0; o < n; ++o)
            if (!p.missing[size_t(o)]) e.items.push_back({coefficients.Coefficient(o), offset, o});
        }
      }
      int next = (m + 1) % n;
      if (next == pm) next = (q + 1) % n;
      m = next;
    }
    if ((row + 1) % p.group == 0) {
      q = ((q - step) % n + n) % n;
    }
  }
  return true;
}

bool RowRoles(const RaidMapParams& params, int parity, std::vector<RaidRowRoles>* rows) {
  rows->clear();
  if (parity != 1 && parity != 2) return false;
  RaidMapParams p = params;
  p.missing.assign(p.members, false);
  std::vector<RaidRange> ranges;
  if (!(parity == 1 ? BuildRaid5(p, &ranges) : BuildRaid6(p, &ranges)) || ranges.size() != 1) return false;
  const RaidRange& r = ranges[0];
  const uint32_t n = p.members;
  const uint32_t count = r.physicalGroupSectors[0] / p.stripe;
  rows->resize(count);
  for (const RaidExtent& e : r.extents) {
    if (e.items.size() != 1) return false;
    const uint32_t row = e.items[0].offset / p.stripe;
    if (row >= count) return false;
    (*rows)[row].data.push_back(e.items[0].member);
    (*rows)[row].lso.push_back(e.lso);
  }
  GfRotation coefficients(p.coefficientMode, p.order, int(n));
  for (RaidRowRoles& row : *rows) {
    std::vector<bool> holds(n, false);
    for (int m : row.data) holds[size_t(m)] = true;
    std::vector<int> free;
    for (uint32_t m = 0; m < n; ++m)
      if (!holds[m]) free.push_back(int(m));
    if (free.size() != size_t(parity)) return false;
    if (parity == 1) {
      row.p = free[0];
      continue;
    }
    // P lies just before Q, cyclically.
    row.q = (free[0] + 1) % int(n) == free[1] ? free[1] : free[0];
    row.p = row.q == free[0] ? free[1] : free[0];
    coefficients.SetQ(row.q);
    for (int m : row.data) row.coefficient.push_back(coefficients.Coefficient(m));
  }
  return true;
}

void TraceRanges(const std::vector<RaidRange>& ranges, size_t members) {
  TracePrintfA("RAID settings with %ld ranges\n", int32_t(ranges.size()));
  for (size_t i = 0; i < ranges.size(); ++i) {
    const RaidRange& r = ranges[i];
    TracePrintfA("Range %ld\n", int32_t(i));
    TracePrintfA("nGroupLSizeS %ld\n", int32_t(r.logicalGroupSectors));
    for (size_t m = 0; m < members && m < r.startingPsn.size(); ++m) {
      TracePrintfA("pGroupPSizeS[%d] %ld\n", int(m), int32_t(r.physicalGroupSectors[m]));
      TracePrintfA("pStartingPSN[%d] %ld\n", int(m), int32_t(r.startingPsn[m]));
    }
    TracePrintfA("nSizeS %ld\n", int32_t(r.sizeSectors));
    TracePrintfA("nStartingLSN %ld\n", int32_t(r.startLsn));
    TracePrintfA("%ld extents\n", int32_t(r.extents.size()));
    for (const RaidExtent& e : r.extents) {
      const bool pq = e.op == kRaidOpQ1 || e.op == kRaidOpQ2;
      if (e.op == kRaidOpQ1)
        TracePrintfA("LSO %ld Leng %ld %s g_x=%ld(", int32_t(e.lso), int32_t(e.length), "Q1", int32_t(e.gx));
      else if (e.op == kRaidOpQ2)
        TracePrintfA("LSO %ld Leng %ld %s g_x=%ld g_y=%ld(", int32_t(e.lso), int32_t(e.length), "Q2", int32_t(e.gx),
                     int32_t(e.gy));
      else
        TracePrintfA("LSO %ld Leng %ld %s(", int32_t(e.lso), int32_t(e.length), e.op == kRaidOpZero ? "ZERO" : "XOR");
      for (size_t j = 0; j < e.items.size(); ++j) {
        const RaidItem& it = e.items[j];
        if (j) TracePrintfA(",");
        if (pq) TracePrintfA("%ld:%ld:%ld", int32_t(it.member), int32_t(it.offset), int32_t(it.coefficient));
        else TracePrintfA("%ld:%ld", int32_t(it.member), int32_t(it.offset));
      }
      TracePrintfA(")\n");
    }
  }
}

uint64_t BuildRaidzColumns(uint64_t b, uint64_t size, uint64_t n, uint64_t p, uint32_t shift, RaidzColumn* table) {
  if (n == 0 || p >= n || shift >= 32) return 0;
  const uint64_t s = size >> shift;
  const uint64_t f = b % n;
  const uint64_t o = b / n;
  const uint64_t q = s / (n - p);
  const uint64_t r = s - q * (n - p);
  const uint64_t bc = r == 0 ? 0 : r + p;
  const uint64_t a = q == 0 ? bc : n;
  for (uint64_t c = 0; c < a; ++c) {
    RaidzColumn& col = table[c];
    col.devIdx = int(f + c < n ? f + c : f + c - n);
    col.offset = f + c < n ? o : o + 1;
    col.size = uint32_t((c < bc ? q + 1 : q) << shift);
  }
  if (p == 1 && a >= 2 && ((b << shift) & (uint64_t(1) << 20))) {
    std::swap(table[0].devIdx, table[1].devIdx);
    std::swap(table[0].offset, table[1].offset);
  }
  return a;
}

}  // namespace RaidMap
