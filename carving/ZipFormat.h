// ZIP record layouts (little-endian), shared by the carving walk, the
// diagnostic record scan and the Office property reader.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zipfmt {

inline constexpr uint32_t kLocalSig = 0x04034B50;
inline constexpr uint32_t kCentralSig = 0x02014B50;
inline constexpr uint32_t kEndSig = 0x06054B50;
inline constexpr uint32_t kDescriptorSig = 0x08074B50;
inline constexpr uint32_t kSpanSig = 0x30304B50;  // "PK00"
inline constexpr uint32_t kZip64EndSig = 0x06064B50;
inline constexpr uint32_t kZip64LocatorSig = 0x07064B50;

inline constexpr size_t kLocalBytes = 30;
inline constexpr size_t kCentralBytes = 46;
inline constexpr size_t kEndBytes = 22;
inline constexpr size_t kDescriptorBytes = 16;    // with its signature
inline constexpr size_t kDescriptor64Bytes = 24;  // Zip64: 8-byte sizes
inline constexpr size_t kZip64EndFixedBytes = 12;  // signature and the record's own size
inline constexpr size_t kZip64EndMinBytes = 56;
inline constexpr size_t kZip64LocatorBytes = 20;

// Local header.
inline constexpr size_t kLocalFlags = 6;
inline constexpr size_t kLocalMethod = 8;
inline constexpr size_t kLocalCrc = 14;
inline constexpr size_t kLocalCompressed = 18;
inline constexpr size_t kLocalUncompressed = 22;
inline constexpr size_t kLocalNameLength = 26;
inline constexpr size_t kLocalExtraLength = 28;

// Central header.
inline constexpr size_t kCentralMethod = 10;
inline constexpr size_t kCentralCompressed = 20;
inline constexpr size_t kCentralUncompressed = 24;
inline constexpr size_t kCentralNameLength = 28;
inline constexpr size_t kCentralExtraLength = 30;
inline constexpr size_t kCentralCommentLength = 32;
inline constexpr size_t kCentralLocalOffset = 42;

// End of central directory.
inline constexpr size_t kEndDirectoryOffset = 16;
inline constexpr size_t kEndCommentLength = 20;

// Zip64 end record: the size of the rest of the record (after its first 12
// bytes) at 4.
inline constexpr size_t kZip64EndRecordSize = 4;

inline constexpr uint16_t kFlagDescriptor = 0x0008;  // sizes follow the data
inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflated = 8;
inline constexpr uint16_t kZip64ExtraId = 0x0001;
inline constexpr uint32_t kSize32Escape = 0xFFFFFFFF;  // the real size is in the Zip64 field

// Member names compared without regard to ASCII case: the whole name, or
// its beginning.
inline bool NameStartsNoCase(const uint8_t* name, size_t length, const char* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i) {
    if (i >= length) return false;
    uint8_t a = name[i], b = uint8_t(prefix[i]);
    if (a >= 'A' && a <= 'Z') a = uint8_t(a + 32);
    if (b >= 'A' && b <= 'Z') b = uint8_t(b + 32);
    if (a != b) return false;
  }
  return true;
}
inline bool NameEqualsNoCase(const uint8_t* name, size_t length, const char* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n == length && NameStartsNoCase(name, length, text);
}

}  // namespace zipfmt
