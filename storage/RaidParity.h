// Parity arithmetic of RAID sets: XOR for single parity, GF(2^8) with the
// polynomial x^8 + x^4 + x^3 + x^2 + 1 (0x11D) for P and Q.
//
// The tables are built once, on first use, and then only read, so every
// drive and thread shares them. The work buffers of a rebuild belong to the
// drive that rebuilds (GfWork): the view, the worker and the image copy may
// read different sets at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

struct RaidExtent;

struct GfTables {
  uint8_t mul[256][256];  // mul[a][b] = a x b
  uint8_t inv[256];       // inv[0] = 0, inv[a] = a^254
  uint8_t pow[255];       // pow[i] = 2^i, period 255
  GfTables();
  uint8_t Pow(uint64_t i) const { return pow[i % 255]; }
};
const GfTables& theGfTables();

// dst ^= src, 64 bits at a time.
void XorInto(uint8_t* dst, const uint8_t* src, size_t bytes);

// Buffers and the descriptor of one P/Q rebuild.
class GfWork {
 public:
  // Grows the buffers to at least `length` bytes and the member pointer
  // array to `members`; clears both; keeps the descriptor.
  bool Prepare(size_t length, size_t members, const RaidExtent* extent);
  // The data of member m for this rebuild (null: not present).
  void SetMember(size_t m, const uint8_t* data) {
    if (m < memberBuffers_.size()) memberBuffers_[m] = data;
  }
  // The first rebuilt member (out2: the second, for "Q2"); null when the
  // descriptor, P or Q, or a coefficient does not allow a rebuild (a
  // coefficient outside the field, "Q2" with equal coefficients).
  const uint8_t* Rebuild();
  const uint8_t* Out2() const { return out2_.data(); }

 private:
  const RaidExtent* extent_ = nullptr;
  size_t length_ = 0;
  std::vector<const uint8_t*> memberBuffers_;
  std::vector<uint8_t> out_, out2_, work1_, work2_;
};

// Coefficients of the members of a RAID 6 row (mode 0 sequential, 1
// exponential; order 0 rotating with the parity, 1 static, 2 static
// skipping the parity members).
class GfRotation {
 public:
  GfRotation(int mode, int order, int members) : mode_(mode), order_(order), n_(members) {}
  void SetQ(int q) {
    q_ = q;
    p_ = q == 0 ? n_ - 1 : q - 1;
  }
  // -1 for Q, 0 for P, else the data member's coefficient.
  int Coefficient(int member) const;

 private:
  int mode_, order_, n_;
  int q_ = 0, p_ = 0;
};
