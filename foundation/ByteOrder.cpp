#include "foundation/ByteOrder.h"

#include <cstring>
#include <new>

namespace {

// Byte arithmetic rather than host loads keeps these independent of both
// alignment and the host's own byte order.
uint64_t LoadLittle(const uint8_t* p, int n) noexcept {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint64_t LoadBig(const uint8_t* p, int n) noexcept {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

void StoreLittle(uint8_t* p, uint64_t v, int n) noexcept {
  for (int i = 0; i < n; ++i, v >>= 8) p[i] = uint8_t(v);
}

const uint8_t* Bytes(const void* p) noexcept { return static_cast<const uint8_t*>(p); }

char16_t CountedChar(const uint8_t* name, int index) noexcept {
  if (name[1] & kCountedNameWide) return char16_t(name[2 + 2 * index] | (name[3 + 2 * index] << 8));
  return name[2 + index];
}

}  // namespace

void PutLittleEndian(void* buffer, uint32_t value, int n) noexcept {
  if (n > 0 && n <= 4) StoreLittle(static_cast<uint8_t*>(buffer), value, n);
}

void PutLittleEndian64(void* buffer, uint64_t value, int n) noexcept {
  if (n > 0 && n <= 8) StoreLittle(static_cast<uint8_t*>(buffer), value, n);
}

uint32_t GetLittleEndian(const void* buffer, int n) noexcept {
  if (n <= 0 || n > 4) return 0;
  return uint32_t(LoadLittle(Bytes(buffer), n));
}

int64_t GetSignedLittleEndian(const void* buffer, int n) noexcept {
  if (n <= 0 || n > 8) return 0;
  uint64_t v = LoadLittle(Bytes(buffer), n);
  if (n < 8 && (Bytes(buffer)[n - 1] & 0x80)) v |= ~uint64_t(0) << (8 * n);
  return int64_t(v);
}

uint32_t GetBigEndian(const void* buffer, int n) noexcept {
  if (n <= 0 || n > 4) return 0;
  return uint32_t(LoadBig(Bytes(buffer), n));
}

uint16_t GetBigEndian16(const void* buffer) noexcept { return uint16_t(LoadBig(Bytes(buffer), 2)); }

uint64_t GetBigEndian64(const void* buffer, int n) noexcept {
  if (n <= 0 || n > 8) return 0;
  return LoadBig(Bytes(buffer), n);
}

uint16_t SwapBytes16InPlace(void* value) noexcept {
  uint16_t v;
  std::memcpy(&v, value, sizeof v);
  v = Swap16(v);
  std::memcpy(value, &v, sizeof v);
  return v;
}

uint32_t SwapBytes32InPlace(void* value) noexcept {
  uint32_t v;
  std::memcpy(&v, value, sizeof v);
  v = Swap32(v);
  std::memcpy(value, &v, sizeof v);
  return v;
}

uint64_t SwapBytes64InPlace(void* value) noexcept {
  uint64_t v;
  std::memcpy(&v, value, sizeof v);
  v = Swap64(v);
  std::memcpy(value, &v, sizeof v);
  return v;
}

void SwapArray32InPlace(void* buffer, size_t length) noexcept {
  auto* p = static_cast<uint8_t*>(buffer);
  for (size_t i = 0; i + 4 <= length; i += 4) SwapBytes32InPlace(p + i);
}

int CompareUInt64LE(const void* a, const void* b) noexcept {
  uint64_t x = LoadLittle(Bytes(a), 8);
  uint64_t y = LoadLittle(Bytes(b), 8);
  return x < y ? -1 : (x > y ? 1 : 0);
}

uint64_t ParseHex(const char* text, int length) noexcept {
  uint64_t v = 0;
  for (int i = 0; i < length; ++i) v = v * 16 + uint64_t(int64_t(HexDigitValue(text[i])));
  return v;
}

bool ParseHexChecked(const char* text, int length, uint64_t* out) noexcept {
  if (length < 0 || length > 16 || (length > 0 && !text)) return false;
  uint64_t v = 0;
  for (int i = 0; i < length; ++i) {
    int d = HexDigitValue(text[i]);
    if (d < 0) return false;
    v = (v << 4) | uint64_t(d);
  }
  if (out) *out = v;
  return true;
}

void HexToBytes(const char* text, uint8_t* out, size_t length) noexcept {
  for (size_t i = 0; i + 1 < length; i += 2)
    out[i / 2] = uint8_t(HexDigitValue(text[i]) * 16 + HexDigitValue(text[i + 1]));
}

bool HexToBytesChecked(const char* text, size_t length, uint8_t* out, size_t outSize) noexcept {
  if (length % 2 != 0 || length / 2 > outSize || (length > 0 && (!text || !out))) return false;
  for (size_t i = 0; i < length; ++i)
    if (HexDigitValue(text[i]) < 0) return false;
  HexToBytes(text, out, length);
  return true;
}

uint8_t* MakeCountedName(WStringView text, uint8_t* out) noexcept {
  size_t count = text.size() < 255 ? text.size() : 255;
  bool wide = false;
  for (size_t i = 0; i < count && !wide; ++i) wide = text[i] > 0xFF;
  size_t width = wide ? 2 : 1;
  if (!out) {
    out = new (std::nothrow) uint8_t[2 + count * width];
    if (!out) return nullptr;
  }
  out[0] = uint8_t(count);
  out[1] = wide ? kCountedNameWide : 0;
  for (size_t i = 0; i < count; ++i) {
    if (wide) {
      StoreLittle(out + 2 + 2 * i, text[i], 2);
    } else {
      out[2 + i] = uint8_t(text[i]);
    }
  }
  return out;
}

uint8_t* MakeCountedName(const char16_t* text, uint8_t* out) noexcept {
  return MakeCountedName(text ? WStringView(text) : WStringView(), out);
}

int CompareCountedNames(const uint8_t* a, const uint8_t* b, bool exact) noexcept {
  static const uint8_t kEmpty[2] = {0, 0};
  if (!a) a = kEmpty;
  if (!b) b = kEmpty;
  int countA = a[0];
  int countB = b[0];
  int shorter = countA < countB ? countA : countB;
  for (int i = 0; i < shorter; ++i) {
    char16_t x = CountedChar(a, i);
    char16_t y = CountedChar(b, i);
    if (!exact) {
      x = AsciiLower(x);
      y = AsciiLower(y);
    }
    if (x != y) return x < y ? -(i + 1) : i + 1;
  }
  if (countA == countB) return 0;
  return countA > countB ? shorter + 1 : -(shorter + 1);
}

uint8_t* DupCountedBuffer(uint8_t** out, const void* block, int32_t maxLength) noexcept {
  uint8_t* copy = nullptr;
  if (block) {
    int32_t length = int32_t(GetLittleEndian(block, 4));
    if (length > 0 && length <= maxLength) {
      size_t total = 4 + size_t(length);
      copy = new (std::nothrow) uint8_t[total];
      if (copy) std::memcpy(copy, block, total);
    }
  }
  if (out) *out = copy;
  return copy;
}
