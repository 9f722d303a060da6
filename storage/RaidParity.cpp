#include "storage/RaidParity.h"

#include <cstring>
#include <new>

#include "storage/RaidMap.h"

GfTables::GfTables() {
  memset(mul, 0, sizeof mul);
  for (int b = 0; b < 256; ++b) {
    mul[1][b] = uint8_t(b);
    mul[2][b] = uint8_t((b << 1) ^ ((b & 0x80) ? 0x1D : 0));
  }
  for (int a = 3; a < 256; ++a)
    for (int b = 0; b < 256; ++b) {
      uint8_t r = 0;
      for (int bit = 7; bit >= 0; --bit) {
        r = mul[2][r];
        if (a & (1 << bit)) r ^= uint8_t(b);
      }
      mul[a][b] = r;
    }
  inv[0] = 0;
  inv[1] = 1;
  for (int a = 2; a < 256; ++a) {
    uint8_t r = uint8_t(a);
    for (int i = 0; i < 253; ++i) r = mul[r][a];
    inv[a] = r;
  }
  pow[0] = 1;
  for (int i = 1; i < 255; ++i) pow[i] = mul[2][pow[i - 1]];
}

const GfTables& theGfTables() {
  static const GfTables* tables = new GfTables();  // never freed: used until exit
  return *tables;
}

void XorInto(uint8_t* dst, const uint8_t* src, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t a, b;
    memcpy(&a, dst + i, 8);
    memcpy(&b, src + i, 8);
    a ^= b;
    memcpy(dst + i, &a, 8);
  }
  for (; i < n; ++i) dst[i] ^= src[i];
}

bool GfWork::Prepare(size_t length, size_t members, const RaidExtent* extent) {
  try {
    if (out_.size() < length) {
      out_.assign(length, 0);
      out2_.assign(length, 0);
      work1_.assign(length, 0);
      work2_.assign(length, 0);
    } else {
      memset(out_.data(), 0, length);
      memset(out2_.data(), 0, length);
      memset(work1_.data(), 0, length);
      memset(work2_.data(), 0, length);
    }
    memberBuffers_.assign(members, nullptr);
  } catch (const std::bad_alloc&) {
    return false;
  }
  length_ = length;
  extent_ = extent;
  return true;
}

const uint8_t* GfWork::Rebuild() {
  if (!extent_ || (extent_->op != kRaidOpQ1 && extent_->op != kRaidOpQ2)) return nullptr;
  const GfTables& gf = theGfTables();
  const uint8_t* P = nullptr;
  const uint8_t* Q = nullptr;
  uint8_t* q1 = work1_.data();
  uint8_t* p1 = work2_.data();
  bool firstData = true;
  for (const RaidItem& it : extent_->items) {
    const uint8_t* d = size_t(it.member) < memberBuffers_.size() ? memberBuffers_[size_t(it.member)] : nullptr;
    if (it.coefficient == 0) {
      P = d;
      continue;
    }
    if (it.coefficient == -1) {
      Q = d;
      continue;
    }
    if (it.coefficient < 1 || it.coefficient > 255) return nullptr;
    if (!d) continue;
    const uint8_t* row = gf.mul[it.coefficient];
    for (size_t i = 0; i < length_; ++i) q1[i] ^= row[d[i]];
    if (firstData) memcpy(p1, d, length_);
    else XorInto(p1, d, length_);
    firstData = false;
  }
  if (!Q) return nullptr;
  const int gx = extent_->gx;
  if (gx < 1 || gx > 255) return nullptr;
  uint8_t* out = out_.data();
  if (extent_->op == kRaidOpQ1) {
    const uint8_t* m = gf.mul[gf.inv[gx]];
    for (size_t i = 0; i < length_; ++i) out[i] = m[Q[i] ^ q1[i]];
    return out;
  }
  const int gy = extent_->gy;
  // Equal coefficients leave the two unknowns inseparable (1 / 0).
  if (!P || gy < 1 || gy > 255 || gx == gy) return nullptr;
  const uint8_t a = gf.inv[gx];
  const uint8_t t = gf.mul[gy][a];
  const uint8_t s = gf.inv[t ^ 1];
  const uint8_t* d = gf.mul[gf.mul[a][s]];
  const uint8_t* e = gf.mul[gf.mul[t][s]];
  uint8_t* out2 = out2_.data();
  for (size_t i = 0; i < length_; ++i) {
    const uint8_t f = P[i] ^ p1[i];
    out[i] = d[Q[i] ^ q1[i]] ^ e[f];
    out2[i] = f ^ out[i];
  }
  return out;
}

int GfRotation::Coefficient(int j) const {
  if (j == q_) return -1;
  if (j == p_) return 0;
  int index;
  if (order_ == 0) index = ((j - q_) % n_ + n_) % n_;
  else if (order_ == 1) index = j + 1;
  else index = j > q_ ? (q_ == 0 ? j : j - 1) : j + 1;
  // Exponential: g^(index - 1) in the field, the plain powers of two up to
  // index 8 and field elements beyond.
  if (mode_ == 1 && index >= 1 && index <= n_) return theGfTables().Pow(uint64_t(index - 1));
  return index;
}
