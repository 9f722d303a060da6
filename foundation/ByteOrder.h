// Integers of any byte count in either byte order from unaligned buffers,
// hexadecimal text, and counted names. On-disk parsers use these instead of
// pointer casts, so they work on any alignment and any host byte order.
//
// Byte counts outside a function's field width are refused (the readers
// return 0, the writers store nothing): run-list headers can claim up to 15
// bytes, and a bad header must never turn into a read or write past a field.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/Text.h"

// Stores the low n bytes (1 to 4) of the value, least significant first.
void PutLittleEndian(void* buffer, uint32_t value, int n) noexcept;
// Stores the low n bytes (1 to 8) of the value, least significant first.
void PutLittleEndian64(void* buffer, uint64_t value, int n) noexcept;

// Unsigned value of n bytes (1 to 4), least significant first; else 0.
uint32_t GetLittleEndian(const void* buffer, int n) noexcept;
// Value of n bytes (1 to 8), least significant first. Below 8 bytes a set top
// bit is sign-extended, as run-list offsets are relative and may be negative.
int64_t GetSignedLittleEndian(const void* buffer, int n) noexcept;
// Unsigned value of n bytes (1 to 4), most significant first; else 0.
uint32_t GetBigEndian(const void* buffer, int n) noexcept;
uint16_t GetBigEndian16(const void* buffer) noexcept;
// Unsigned value of n bytes (1 to 8), most significant first; else 0.
uint64_t GetBigEndian64(const void* buffer, int n) noexcept;

constexpr uint16_t Swap16(uint16_t v) noexcept { return uint16_t((v >> 8) | (v << 8)); }
constexpr uint32_t Swap32(uint32_t v) noexcept {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}
constexpr uint64_t Swap64(uint64_t v) noexcept {
  return (uint64_t(Swap32(uint32_t(v))) << 32) | Swap32(uint32_t(v >> 32));
}

// Fixed-width little-endian fields from an unaligned pointer. Inline, as the
// record and boot-sector parsers read many fields per sector; the caller has
// already checked that the bytes are inside the buffer.
inline uint16_t Le16(const void* p) noexcept {
  uint16_t v;
  std::memcpy(&v, p, 2);
  if constexpr (std::endian::native == std::endian::big) v = Swap16(v);
  return v;
}
inline uint32_t Le32(const void* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = Swap32(v);
  return v;
}
inline uint64_t Le64(const void* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = Swap64(v);
  return v;
}

// Reverse the bytes of an unaligned value in place and return the new value.
uint16_t SwapBytes16InPlace(void* value) noexcept;
uint32_t SwapBytes32InPlace(void* value) noexcept;
uint64_t SwapBytes64InPlace(void* value) noexcept;
// Swaps every whole 32-bit word of the first length bytes; a trailing partial
// word is left alone.
void SwapArray32InPlace(void* buffer, size_t length) noexcept;
// Compares two 8-byte little-endian unsigned values: -1, 0 or 1.
int CompareUInt64LE(const void* a, const void* b) noexcept;

// 0-15 for a hexadecimal digit of either case, -1 otherwise.
constexpr int HexDigitValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
// Value of length digits, most significant first, modulo 2^64. A non-digit
// counts as -1; use ParseHexChecked for untrusted text.
uint64_t ParseHex(const char* text, int length) noexcept;
// False on a non-digit, a negative length or more than 16 digits; *out is
// written only on success (0 for length 0).
bool ParseHexChecked(const char* text, int length, uint64_t* out) noexcept;
// length / 2 bytes from pairs of digits, first digit high; a non-digit counts
// as -1 like ParseHex.
void HexToBytes(const char* text, uint8_t* out, size_t length) noexcept;
// False on a non-digit, an odd length or length / 2 above outSize; out is
// written only on success.
bool HexToBytesChecked(const char* text, size_t length, uint8_t* out, size_t outSize) noexcept;

// Counted name: byte 0 the character count (at most 255), byte 1 the width
// flag (bit 0 set: 16-bit little-endian characters, clear: 8-bit), then the
// characters. Largest form: 2 + 255 * 2 bytes.
inline constexpr size_t kCountedNameMaxBytes = 2 + 255 * 2;
inline constexpr uint8_t kCountedNameWide = 0x01;

// Keeps the first 255 characters; 8-bit form when all of them are below 256.
// With out null, returns a new block of exactly the needed size that the
// caller frees with delete[] (null if memory runs out); else writes to out,
// which must hold kCountedNameMaxBytes (or the exact size), and returns it.
uint8_t* MakeCountedName(WStringView text, uint8_t* out) noexcept;
// Zero-terminated text; null is the empty name.
uint8_t* MakeCountedName(const char16_t* text, uint8_t* out) noexcept;
// 0 when equal. At the first differing character, its 1-based position,
// negated when b's character is larger. When one is a prefix of the other,
// the longer is greater, by the shorter count plus one. A-Z fold to a-z
// unless exact. A null name counts as empty.
int CompareCountedNames(const uint8_t* a, const uint8_t* b, bool exact) noexcept;
// block: a 32-bit little-endian length followed by that many bytes. *out gets
// a new copy of length word and bytes, freed by the caller with delete[], and
// is also returned. Null (in *out as well) when the length is 0 or less or
// above maxLength, or when memory runs out.
uint8_t* DupCountedBuffer(uint8_t** out, const void* block, int32_t maxLength) noexcept;
