// Directory entries, DOS dates and the small directory-sector tests.
#include <cstring>

#include "filesystems/fat/FatHelpers.h"
#include "filesystems/fat/FatNode.h"
#include "filesystems/fat/FatVolume.h"
#include "foundation/ByteOrder.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"

namespace {

// A character DOS allows in a short name (bytes above 0x7F are code-page
// letters).
bool IsShortNameChar(uint8_t c) {
  if (c >= 0x80) return true;
  if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != 0 && std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
}

uint8_t LowerAscii(uint8_t c) { return (c >= 'A' && c <= 'Z') ? uint8_t(c + 32) : c; }

void SetGrade(cnode* node, uint16_t grade) {
  node->flags = uint16_t((node->flags & ~kNodeGradeMask) | (grade << kNodeGradeShift));
}

}  // namespace

uint32_t FATDirEntry::FirstCluster(const uint8_t* entry) { return uint32_t(Le16(entry + 20)) << 16 | Le16(entry + 26); }

int FATDotEntry(const uint8_t* entry, uint32_t* cluster) {
  if (entry[0] != '.') return 0;
  int dots = entry[1] == '.' ? 2 : 1;
  for (int i = dots; i < 11; ++i) {
    if (entry[i] != ' ') return 0;
  }
  if (cluster) *cluster = FATDirEntry::FirstCluster(entry);
  return dots + 1;
}

bool FATDateTimeToSystemTime(FATSystemTime* out, uint16_t date, uint16_t time, uint8_t tenMs) {
  FATSystemTime t;
  t.year = 1980 + (date >> 9);
  t.month = (date >> 5) & 15;
  t.day = date & 31;
  t.hour = time >> 11;
  t.minute = (time >> 5) & 63;
  t.second = 2 * (time & 31) + tenMs / 100;
  t.milliseconds = (tenMs % 100) * 10;
  if (out) *out = t;
  if (t.month < 1 || t.month > 12 || t.day < 1) return false;
  if (t.day == 31 && (t.month == 4 || t.month == 6 || t.month == 9 || t.month == 11)) return false;
  if (t.month == 2 && t.day >= 30) return false;
  return time < 0xC000 && t.minute < 60 && t.second <= 60;
}

uint32_t FATHighestCluster(const CVol& volume) {
  // dataAreaSector is the sector of cluster 0: data starts two clusters on.
  const int64_t firstData = int64_t(volume.dataAreaSector) + 2 * int64_t(volume.sectorsPerCluster);
  if (volume.clusterSize == 0 || volume.sectorSize == 0 || firstData < 0 ||
      volume.sizeSectors <= uint64_t(firstData))
    return 0;
  const uint64_t dataSectors = volume.sizeSectors - uint64_t(firstData);
  if (dataSectors > UINT64_MAX / volume.sectorSize) return 0;
  const uint64_t clusters = dataSectors * volume.sectorSize / volume.clusterSize;
  return clusters >= 0xFFFFFFFEull ? 0xFFFFFFFFu : uint32_t(clusters + 1);
}

uint8_t FATShortNameChecksum(const uint8_t* name11) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  return sum;
}

int ParseFATEntry(FATInode* node, const uint8_t* entry, FATVol* volume, WString* nameOut) {
  if (entry[0] == 0) return kFATEntryEnd;
  const uint8_t attr = entry[11];
  const uint32_t firstCluster = FATDirEntry::FirstCluster(entry);
  int confidence = 0;

  // 1. The volume label.
  if ((attr & 0x18) == kFATAttrLabel && firstCluster == 0) {
    for (int i = 0; i < 11; ++i) {
      if (entry[i] != ' ' && !IsShortNameChar(entry[i])) return kFATEntryRejected;
    }
    int length = 11;
    while (length > 0 && entry[length - 1] == ' ') {
      --length;
      ++confidence;
    }
    if ((entry[0] == 'N' || entry[0] == '_') && std::memcmp(entry + 1, "EW VOLUME", 9) == 0) confidence += 10;
    node->confidence = uint8_t(confidence >= 3 ? confidence : 0);
    const WString text = ConvertNameToWide(entry, size_t(length));
    if (volume && (volume->label.empty() || volume->label == u"_")) volume->label = text;
    if (nameOut) *nameOut = text;
    return kFATEntryLabel;
  }

  // 2. Fields no real entry has.
  const uint8_t caseFlags = entry[12];
  const uint8_t tenMs = entry[13];
  const uint16_t cTime = Le16(entry + 14), cDate = Le16(entry + 16), aDate = Le16(entry + 18);
  const uint16_t wTime = Le16(entry + 22), wDate = Le16(entry + 24);
  if (caseFlags & ~0x18) return kFATEntryRejected;
  if (volume) {
    const uint32_t highest = FATHighestCluster(*volume);
    if (firstCluster == 1 || (highest != 0 && firstCluster > highest)) return kFATEntryRejected;
    if (volume->type == kVolFat16 && (firstCluster >> 16) != 0) return kFATEntryRejected;
  }
  if (tenMs >= 200 && tenMs <= 254) return kFATEntryRejected;
  if ((cDate || cTime) && !FATDateTimeToSystemTime(nullptr, cDate, cTime, tenMs)) return kFATEntryRejected;
  if (!FATDateTimeToSystemTime(nullptr, wDate, wTime, 0)) return kFATEntryRejected;
  if (aDate && !FATDateTimeToSystemTime(nullptr, aDate, 0, 0)) return kFATEntryRejected;
  if (attr > 63) return kFATEntryRejected;

  const uint32_t size = GetLittleEndian(entry + 28, 4);
  const bool directory = (attr & kFATAttrDirectory) != 0;
  int result;
  uint8_t name[12];
  size_t nameLength = 0;

  const int dots = FATDotEntry(entry);
  if (dots) {
    // 3. "." and "..".
    confidence += 8;
    node->flags2 |= kNode2Directory;
    std::memcpy(name, "..", 2);
    nameLength = size_t(dots - 1);
    result = dots;
  } else {
    if (entry[0] == '.') return kFATEntryRejected;
    // 4. A file or folder.
    const bool deleted = entry[0] == 0xE5;
    if (firstCluster != 0) {
      if (!directory && size == 0) SetGrade(node, 4);
    } else if (!(!directory && size == 0) && !deleted) {
      return kFATEntryRejected;
    }
    if (entry[0] == ' ') return kFATEntryRejected;
    uint8_t base[8];
    std::memcpy(base, entry, 8);
    if (entry[0] == 0x05) base[0] = 0xE5;
    if (deleted) {
      node->flags |= kNodeDeleted;
      if (volume && volume->type == kVolFat32 && volume->highClusters && firstCluster <= 0xFFFF) SetGrade(node, 4);
      ++confidence;
      base[0] = '_';
    }
    int baseLength = 0;
    while (baseLength < 8 && base[baseLength] != ' ') {
      if (!IsShortNameChar(base[baseLength])) return kFATEntryRejected;
      ++baseLength;
    }
    for (int i = baseLength; i < 8; ++i) {
      if (base[i] != ' ') return kFATEntryRejected;
      ++confidence;
    }
    for (int i = 0; i + 1 < baseLength; ++i) {
      if (base[i] != '~') continue;
      int digits = 0;
      while (i + 1 + digits < baseLength && base[i + 1 + digits] >= '0' && base[i + 1 + digits] <= '9') ++digits;
      if (digits) confidence += 1 + digits;
      break;
    }
    int extLength = 0;
    while (extLength < 3 && entry[8 + extLength] != ' ') {
      if (!IsShortNameChar(entry[8 + extLength])) return kFATEntryRejected;
      ++extLength;
    }
    for (int i = 8 + extLength; i < 11; ++i) {
      if (entry[i] != ' ') return kFATEntryRejected;
    }
    if (directory) {
      node->flags2 |= kNode2Directory;
      if (extLength == 0) confidence += 3;
    }
    if (confidence < 3 && extLength == 3) {
      static const char* const kCommon[] = {"JPG", "EXE", "DLL", "INI", "OCX", "PDF",
                                            "DOC", "XLS", "TMP", "LOG", "TXT"};
      for (const char* e : kCommon) {
        if (std::memcmp(entry + 8, e, 3) == 0) {
          confidence += 3;
          break;
        }
      }
    }
    for (int i = 0; i < baseLength; ++i) name[nameLength++] = (caseFlags & 0x08) ? LowerAscii(base[i]) : base[i];
    if (extLength) {
      name[nameLength++] = '.';
      for (int i = 0; i < extLength; ++i)
        name[nameLength++] = (caseFlags & 0x10) ? LowerAscii(entry[8 + i]) : entry[8 + i];
    }
    result = directory ? kFATEntryFolder : kFATEntryFile;
  }

  // 5. Volumes that hand out clusters above 0xFFFF.
  if (volume && volume->type == kVolFat32 && firstCluster > 0xFFFF) volume->highClusters = true;

  // 6. The node's fields.
  node->confidence = uint8_t(confidence >= 3 ? confidence : 0);
  node->id = firstCluster;
  node->creationTenMs = tenMs;
  node->creationTime = cTime;
  node->creationDate = cDate;
  node->accessDate = aDate;
  node->writeTime = wTime;
  node->writeDate = wDate;
  node->size = size;
  node->nameChecksum = FATShortNameChecksum(entry);
  if (nameOut) *nameOut = ConvertNameToWide(name, nameLength);
  return result;
}

bool FATLongNamePieceLooksRight(const uint8_t* e) {
  if (e[fat::kDirAttributes] != kFATAttrLongName || e[fat::kLfnType] != 0 || Le16(e + fat::kLfnZeroCluster) != 0)
    return false;
  if (e[1] == 0 && e[2] == 0) return false;
  const uint8_t order = e[fat::kLfnOrder];
  if (order == fat::kDirDeletedMark) return true;
  const int number = order & fat::kLfnNumberMask;
  return number >= 1 && number <= fat::kLfnMaxPieces && (order & ~(fat::kLfnNumberMask | fat::kLfnLastPiece)) == 0;
}

bool FATEntriesLookLikeFolder(const uint8_t* data, size_t bytes) {
  if (bytes < kFATDirEntryBytes || data[0] == 0 || data[0] == '.') return false;
  int named = 0;
  for (size_t at = 0; at + kFATDirEntryBytes <= bytes; at += kFATDirEntryBytes) {
    const uint8_t* e = data + at;
    if (e[0] == 0) continue;
    if (e[fat::kDirAttributes] == kFATAttrLongName) {
      if (!FATLongNamePieceLooksRight(e)) return false;
      continue;
    }
    FATInode node;
    const int r = ParseFATEntry(&node, e, nullptr, nullptr);
    if (r == kFATEntryFile || r == kFATEntryFolder) ++named;
    else if (r != kFATEntryLabel) return false;
  }
  return named > 0;
}

int IsFATDotDirSector(const uint8_t* sector) {
  if (FATDotEntry(sector) != 2 || !(sector[11] & kFATAttrDirectory)) return 0;
  if (FATDotEntry(sector + kFATDirEntryBytes) != 3) return 0;
  return sector[kFATDirEntryBytes + 11] & kFATAttrDirectory;
}

bool FATDirHasFAT32Clusters(const uint8_t* entries) {
  for (int i = 0; i < 16; ++i) {
    const uint8_t* e = entries + size_t(i) * kFATDirEntryBytes;
    if (e[0] == 0) break;
    if (e[11] == kFATAttrLongName) continue;
    if (FATDirEntry::FirstCluster(e) > 0xFFF5) return true;
  }
  return false;
}
