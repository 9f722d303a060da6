// exFAT directory entries as plain values: the file entry that opens an
// entry set, its stream extension and name entries, and the volume's own
// entries (allocation bitmap, up-case table, label).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

struct ExFatFileEntry {
  bool deleted = false;
  bool valid = false;  // times, 10-ms counts and secondary count hold
  uint8_t secondaryCount = 0;
  uint16_t attributes = 0;
  uint32_t createTime = 0, modifyTime = 0, accessTime = 0;
  uint8_t createTenMs = 0, modifyTenMs = 0;
  uint8_t createUtc = 0, modifyUtc = 0, accessUtc = 0;
};
// A file entry (0x85 or 0x05).
ExFatFileEntry ReadFileEntry(const uint8_t* entry);

struct ExFatStreamEntry {
  uint8_t flags = 0;
  uint8_t nameLength = 0;
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
};
ExFatStreamEntry ReadStreamEntry(const uint8_t* entry);

// The up to 15 characters of a name entry, up to the first 0; false when
// one is a control character or, below 128, not allowed in a file name by
// `allowed` (the run's options' table, AppState::fileNameCharOk).
bool ReadNameEntry(const uint8_t* entry, const std::array<uint8_t, 256>& allowed, char16_t* out, size_t* count);

// Whether a character below 128 may stand in a file name by the options'
// table (by default no control character and none of " * / : < > ? \ |).
bool IsNameCharAllowed(char16_t c, const std::array<uint8_t, 256>& allowed);

struct ExFatVolumeEntry {
  uint8_t index = 0;  // bitmap: which of the two
  uint32_t checksum = 0;  // up-case table
  uint32_t firstCluster = 0;
  uint64_t length = 0;
};
ExFatVolumeEntry ReadBitmapEntry(const uint8_t* entry);
ExFatVolumeEntry ReadUpcaseEntry(const uint8_t* entry);
// The label's characters (at most 11); their count.
size_t ReadLabelEntry(const uint8_t* entry, char16_t* out);
