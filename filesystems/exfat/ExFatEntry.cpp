#include "filesystems/exfat/ExFatEntry.h"

#include <algorithm>

#include "filesystems/exfat/Definitions.h"
#include "filesystems/exfat/ExFatNode.h"
#include "foundation/ByteOrder.h"

using namespace exfat;

ExFatFileEntry ReadFileEntry(const uint8_t* e) {
  ExFatFileEntry f;
  f.deleted = e[0] == kTypeFileDeleted;
  f.secondaryCount = e[kFileSecondaryCount];
  f.attributes = Le16(e + kFileAttributes);
  f.createTime = Le32(e + kFileCreateTime);
  f.modifyTime = Le32(e + kFileModifyTime);
  f.accessTime = Le32(e + kFileAccessTime);
  f.createTenMs = e[kFileCreateTenMs];
  f.modifyTenMs = e[kFileModifyTenMs];
  f.createUtc = e[kFileCreateUtc];
  f.modifyUtc = e[kFileModifyUtc];
  f.accessUtc = e[kFileAccessUtc];
  // The 10-ms counts are checked on their own, the dates without them.
  f.valid = (f.createTime == 0 || DecodeExFatTime(f.createTime, 0, nullptr)) &&
            DecodeExFatTime(f.modifyTime, 0, nullptr) &&
            ((f.accessTime >> 16) == 0 || DecodeExFatTime(f.accessTime, 0, nullptr)) &&
            f.createTenMs < kTenMsLimit && f.modifyTenMs < kTenMsLimit && f.secondaryCount >= kMinSecondaries &&
            f.secondaryCount <= kMaxSecondaries;
  return f;
}

ExFatStreamEntry ReadStreamEntry(const uint8_t* e) {
  ExFatStreamEntry s;
  s.flags = e[kStreamFlags];
  s.nameLength = e[kStreamNameLength];
  s.firstCluster = Le32(e + kStreamFirstCluster);
  s.dataLength = Le64(e + kStreamDataLength);
  return s;
}

bool IsNameCharAllowed(char16_t c, const std::array<uint8_t, 256>& allowed) {
  return c >= 128 || allowed[size_t(c)] != 0;
}

bool ReadNameEntry(const uint8_t* e, const std::array<uint8_t, 256>& allowed, char16_t* out, size_t* count) {
  size_t n = 0;
  for (; n < kNameCharsPerEntry; ++n) {
    const char16_t c = char16_t(Le16(e + kNameChars + 2 * n));
    if (c == 0) break;
    if (c < 32 || !IsNameCharAllowed(c, allowed)) return false;
    out[n] = c;
  }
  *count = n;
  return true;
}

ExFatVolumeEntry ReadBitmapEntry(const uint8_t* e) {
  ExFatVolumeEntry v;
  v.index = e[kBitmapFlags] & 1;
  v.firstCluster = Le32(e + kBitmapFirstCluster);
  v.length = Le64(e + kBitmapLength);
  return v;
}

ExFatVolumeEntry ReadUpcaseEntry(const uint8_t* e) {
  ExFatVolumeEntry v = ReadBitmapEntry(e);
  v.index = 0;
  v.checksum = Le32(e + kUpcaseChecksum);
  return v;
}

size_t ReadLabelEntry(const uint8_t* e, char16_t* out) {
  const size_t n = std::min<size_t>(e[kLabelLength], kMaxLabelLength);
  for (size_t i = 0; i < n; ++i) out[i] = char16_t(Le16(e + kLabelChars + 2 * i));
  return n;
}
