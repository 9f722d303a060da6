// Little-endian values written into and read from hand-made on-disk bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// In a namespace of its own: the code under test has helpers of these names.
namespace testbytes {

inline void Put16(uint8_t* p, uint16_t v) {
  for (int i = 0; i < 2; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { Put16(b.data() + at, v); }
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { Put32(b.data() + at, v); }
inline void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) { Put64(b.data() + at, v); }

// UTF-16LE text, one 16-bit unit per character.
inline void PutUtf16(std::vector<uint8_t>& b, size_t at, std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) Put16(b, at + 2 * i, text[i]);
}

// Big-endian, as some formats keep their numbers.
inline void PutBe16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  for (int i = 0; i < 2; ++i) b[at + size_t(i)] = uint8_t(v >> (8 - 8 * i));
}
inline void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}
inline void PutBe64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  PutBe32(b, at, uint32_t(v >> 32));
  PutBe32(b, at + 4, uint32_t(v));
}

// Appended at the end, little- and big-endian.
inline void Append16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
inline void Append32(std::vector<uint8_t>& b, uint32_t v) {
  Append16(b, uint16_t(v));
  Append16(b, uint16_t(v >> 16));
}
inline void AppendBe16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}
inline void AppendBe32(std::vector<uint8_t>& b, uint32_t v) {
  AppendBe16(b, uint16_t(v >> 16));
  AppendBe16(b, uint16_t(v));
}
inline void AppendBe64(std::vector<uint8_t>& b, uint64_t v) {
  AppendBe32(b, uint32_t(v >> 32));
  AppendBe32(b, uint32_t(v));
}

inline uint16_t Get16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) { return Get16(b, at) | uint32_t(Get16(b, at + 2)) << 16; }
inline uint64_t Get64(const std::vector<uint8_t>& b, size_t at) { return Get32(b, at) | uint64_t(Get32(b, at + 4)) << 32; }

}  // namespace testbytes
