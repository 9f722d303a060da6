// NTFS on-disk layout: boot sector, FILE records, attribute headers and the
// attribute values the record parser reads. All fields are little-endian;
// offsets are from the start of the structure named.
#pragma once
#include <cstdint>

namespace ntfs {

// ---- boot sector ----
inline constexpr uint32_t kBootBytesPerSector = 11;     // 16-bit
inline constexpr uint32_t kBootSectorsPerCluster = 13;  // 8-bit
inline constexpr uint32_t kBootTotalSectors = 40;       // 64-bit
inline constexpr uint32_t kBootMftCluster = 48;         // 64-bit
inline constexpr uint32_t kBootMirrorCluster = 56;      // 64-bit
inline constexpr uint32_t kBootClustersPerRecord = 64;  // signed 8-bit
inline constexpr uint32_t kBootMinTotalSectors = 2000;

// ---- FILE record header ----
inline constexpr uint32_t kRecSignature = 0;      // "FILE"
inline constexpr uint32_t kRecUsaOffset = 4;      // 16-bit
inline constexpr uint32_t kRecUsaCount = 6;       // 16-bit
inline constexpr uint32_t kRecSequence = 16;      // 16-bit
inline constexpr uint32_t kRecFirstAttr = 20;     // 16-bit
inline constexpr uint32_t kRecFlags = 22;         // 16-bit
inline constexpr uint32_t kRecBytesInUse = 24;    // 32-bit
inline constexpr uint32_t kRecAllocated = 28;     // 32-bit
inline constexpr uint32_t kRecBaseRef = 32;       // 64-bit
inline constexpr uint32_t kRecNumber = 44;        // 32-bit, when the USA offset is 48
inline constexpr uint32_t kRecNewUsaOffset = 48;  // USA offset of records that hold their number
inline constexpr uint32_t kRecMinBytesInUse = 48;
inline constexpr uint32_t kStride = 512;

inline constexpr uint16_t kRecInUse = 0x0001;
inline constexpr uint16_t kRecDirectory = 0x0002;

// ---- attribute header ----
inline constexpr uint32_t kAttrType = 0;          // 32-bit
inline constexpr uint32_t kAttrLength = 4;        // 32-bit
inline constexpr uint32_t kAttrNonResident = 8;   // bit 0
inline constexpr uint32_t kAttrNameLength = 9;    // characters
inline constexpr uint32_t kAttrNameOffset = 10;   // 16-bit
inline constexpr uint32_t kAttrId = 14;           // 16-bit
inline constexpr uint32_t kAttrValueLength = 16;  // resident, 32-bit (low 16 used)
inline constexpr uint32_t kAttrValueOffset = 20;  // resident, 16-bit
inline constexpr uint32_t kAttrFirstVcn = 16;     // non-resident, 64-bit
inline constexpr uint32_t kAttrLastVcn = 24;      // non-resident, 64-bit
inline constexpr uint32_t kAttrPairsOffset = 32;  // non-resident, 16-bit
inline constexpr uint32_t kAttrAllocated = 40;
inline constexpr uint32_t kAttrRealSize = 48;
inline constexpr uint32_t kAttrInitialized = 56;
inline constexpr uint32_t kAttrResidentHeader = 24;

inline constexpr uint32_t kAttrEnd = 0xFFFFFFFFu;

// ---- attribute types ----
inline constexpr uint32_t kTypeStandard = 0x10;
inline constexpr uint32_t kTypeAttrList = 0x20;
inline constexpr uint32_t kTypeFileName = 0x30;
inline constexpr uint32_t kTypeObjectId = 0x40;
inline constexpr uint32_t kTypeSecurity = 0x50;
inline constexpr uint32_t kTypeVolumeName = 0x60;
inline constexpr uint32_t kTypeVolumeInfo = 0x70;
inline constexpr uint32_t kTypeData = 0x80;
inline constexpr uint32_t kTypeIndexRoot = 0x90;
inline constexpr uint32_t kTypeIndexAlloc = 0xA0;
inline constexpr uint32_t kTypeBitmap = 0xB0;
inline constexpr uint32_t kTypeReparse = 0xC0;
inline constexpr uint32_t kTypeEaInfo = 0xD0;
inline constexpr uint32_t kTypeEa = 0xE0;
inline constexpr uint32_t kTypePropertySet = 0xF0;
inline constexpr uint32_t kTypeLoggedStream = 0x100;

// ---- $STANDARD_INFORMATION ----
inline constexpr uint32_t kStdCreation = 0;
inline constexpr uint32_t kStdModification = 8;
inline constexpr uint32_t kStdAttributes = 32;
inline constexpr uint32_t kStdMinLength = 36;  // through the attribute word

// ---- $FILE_NAME ----
inline constexpr uint32_t kFnParent = 0;
inline constexpr uint32_t kFnCreation = 8;
inline constexpr uint32_t kFnModification = 16;
inline constexpr uint32_t kFnAllocated = 40;
inline constexpr uint32_t kFnRealSize = 48;
inline constexpr uint32_t kFnAttributes = 56;
inline constexpr uint32_t kFnNameLength = 64;
inline constexpr uint32_t kFnNameSpace = 65;
inline constexpr uint32_t kFnName = 66;
inline constexpr uint8_t kNameSpaceDos = 2;

// File attribute bit of $STANDARD_INFORMATION and $FILE_NAME.
inline constexpr uint32_t kFileAttrCompressed = 0x0800;

// ---- $VOLUME_INFORMATION ----
inline constexpr uint32_t kVolInfoMajor = 8;
inline constexpr uint32_t kVolInfoMinor = 9;
inline constexpr uint32_t kVolumeNameMaxBytes = 32;

// ---- $ATTRIBUTE_LIST entry ----
inline constexpr uint32_t kAlType = 0;         // 32-bit
inline constexpr uint32_t kAlLength = 4;       // 16-bit
inline constexpr uint32_t kAlNameLength = 6;   // characters
inline constexpr uint32_t kAlNameOffset = 7;   // byte
inline constexpr uint32_t kAlFirstVcn = 8;     // 64-bit
inline constexpr uint32_t kAlRecord = 16;      // low 32 bits
inline constexpr uint32_t kAlRecordHigh = 20;  // bits 32-39
inline constexpr uint32_t kAlId = 24;          // low byte used
inline constexpr uint32_t kAlMinEntry = 32;    // the header of an entry ends at 26, entries are 8-aligned

// ---- compression ----
inline constexpr uint32_t kUnitClusters = 16;

// Records at fixed numbers.
inline constexpr uint32_t kRecordMft = 0;
inline constexpr uint32_t kRecordMirror = 1;
inline constexpr uint32_t kRecordLogFile = 2;
inline constexpr uint32_t kRecordVolume = 3;
inline constexpr uint32_t kRecordRoot = 5;
inline constexpr uint32_t kRecordBitmap = 6;
inline constexpr uint32_t kRecordBadClus = 8;
inline constexpr uint32_t kSystemRecords = 9;

}  // namespace ntfs
