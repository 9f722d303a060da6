#include "filesystems/ntfs/NtfsIndex.h"

#include <algorithm>
#include <cstring>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"

namespace {

// Entry length of a named entry: the name rounded up to 8 bytes after the
// 82-byte head, or that plus the 8-byte VCN of a subnode.
bool NamedEntryLengthFits(uint32_t length, uint32_t nameLength) {
  uint32_t e = ((2 * nameLength + 89) >> 3) * 4;
  return length == 2 * e || length == 2 * e + 8;
}

// Allocated sizes are whole clusters, or small.
bool AllocatedSizePlausible(const uint8_t* entry) {
  uint32_t allocated = Le32(entry + kIeAllocatedSize);
  return allocated % 512 == 0 || allocated < 4096;
}

}  // namespace

bool CheckINDXSector(const uint8_t* r, size_t available, uint32_t* firstParent, uint32_t* vcn) {
  // The first stride's last word is compared with the update-sequence number.
  if (!r || available < kIndxStride) return false;
  const uint32_t allocated = Le32(r + kIndxAllocated);
  if (allocated != 2024 && allocated != 4072 && allocated != 8168) return false;
  const uint32_t usaCount = Le16(r + kIndxUsaCount);
  if (uint64_t(usaCount) * kIndxStride != uint64_t(allocated) + 536) return false;

  const uint64_t inUseEnd = uint64_t(Le32(r + kIndxBytesInUse)) + 8;
  const uint32_t usaOffset = Le16(r + kIndxUsaOffset);
  if (usaOffset % 2 != 0) return false;
  if (uint64_t(usaOffset) + 2 * uint64_t(usaCount) > std::min<uint64_t>(available, inUseEnd)) return false;
  if (Le16(r + usaOffset) != Le16(r + kIndxStride - 2)) return false;

  const uint32_t entriesOffset = Le32(r + kIndxEntriesOffset);
  if (Le32(r + kIndxBytesInUse) % 8 != 0 || entriesOffset % 8 != 0) return false;
  uint64_t pos = uint64_t(entriesOffset) + kIndxHeaderBase;
  if (pos > std::min<uint64_t>(inUseEnd, uint64_t(allocated) + kIndxHeaderBase)) return false;

  if (vcn) *vcn = Le32(r + kIndxVcn);
  if (firstParent) *firstParent = 0;
  const uint64_t end = std::min<uint64_t>(inUseEnd, available);
  bool parentTaken = false;
  while (end >= 12 && pos < end - 12) {
    const uint8_t* e = r + pos;
    const uint32_t length = Le16(e + kIeLength);
    if (length == 0) return false;
    // An entry that runs past what was read ends the check: nothing beyond
    // its header is looked at.
    if (pos + length > end) return true;
    if (length > kIeMinLength && Le16(e + kIeKeyLength) != 16) {
      const uint32_t nameLength = e[kIeNameLength];
      if (nameLength == 0 || !NamedEntryLengthFits(length, nameLength) || !AllocatedSizePlausible(e)) return false;
      if (!parentTaken) {
        parentTaken = true;
        if (firstParent) *firstParent = Le32(e + kIeParentRef);
      }
    }
    pos += length;
  }
  return true;
}

uint64_t GetINDXOwner(const uint8_t* r, size_t available) {
  if (!r || available < kIndxHeaderBase + 4) return 0;
  const uint32_t entriesOffset = Le32(r + kIndxEntriesOffset);
  if (entriesOffset % 8 != 0) return 0;
  const uint64_t entry = uint64_t(entriesOffset) + kIndxHeaderBase;
  if (entry > 255 || entry + kIeParentRef + 8 > available) return 0;
  return Le64(r + entry + kIeParentRef);
}

CINDXItem::CINDXItem() = default;
CINDXItem::~CINDXItem() = default;

int CINDXItem::SetBuf(const uint8_t* attribute, size_t size) {
  buf_ = nullptr;
  pos_ = end_ = 0;
  if (!attribute || size < 8) return -1;
  const uint32_t length = Le32(attribute + 4);
  if (length % 8 != 0 || length > size || length <= 144) return -1;
  buf_ = attribute;
  pos_ = 64;
  end_ = length;
  return 0;
}

int CINDXItem::SetINDXBuf(uint8_t* r, size_t available, int /*sectorSize*/) {
  TRACE_FN("CINDXItem::SetINDXBuf");
  buf_ = nullptr;
  pos_ = end_ = 0;
  if (!r || available < kIndxHeaderBase + 16) return -1;
  const size_t usaOffset = Le16(r + kIndxUsaOffset);
  const size_t usaCount = Le16(r + kIndxUsaCount);
  if (usaCount > 0 && usaOffset + 2 <= available) {
    const uint16_t usn = Le16(r + usaOffset);
    for (size_t i = 0; i + 1 < usaCount; ++i) {
      const size_t word = (i + 1) * kIndxStride - 2;
      const size_t replacement = usaOffset + 2 * (i + 1);
      if (word + 2 > available || replacement + 2 > available) break;
      // The replacement is read before the word is written: with a crafted
      // offset the array may overlap the words it mends.
      if (Le16(r + word) == usn) std::memmove(r + word, r + replacement, 2);
    }
  }
  const uint32_t entriesOffset = Le32(r + kIndxEntriesOffset);
  const uint32_t inUse = Le32(r + kIndxBytesInUse);
  const uint64_t end = uint64_t(inUse) + 8;
  const uint64_t pos = uint64_t(entriesOffset) + kIndxHeaderBase;
  if (entriesOffset % 8 != 0 || inUse % 8 != 0 || pos >= end || end > available) return -1;
  buf_ = r;
  pos_ = static_cast<size_t>(pos);
  end_ = static_cast<size_t>(end);
  return 0;
}

int64_t CINDXItem::GetNextNode() {
  parentRecord = -1;
  if (!buf_ || pos_ >= end_ || end_ - pos_ < kIeMinLength) return -1;
  const uint8_t* e = buf_ + pos_;
  const uint32_t length = Le16(e + kIeLength);
  // The length is checked before anything past the entry's head is read.
  if (length <= kIeMinLength || length > end_ - pos_) return -1;
  const uint32_t nameLength = e[kIeNameLength];
  if (nameLength < 1 || nameLength > 255 || !NamedEntryLengthFits(length, nameLength) || !AllocatedSizePlausible(e))
    return -1;
  fileRecord = Le32(e + kIeFileRef);
  name.resize(nameLength);
  for (uint32_t i = 0; i < nameLength; ++i) name[i] = static_cast<char16_t>(Le16(e + kIeName + 2 * i));
  pos_ += length;
  creationTime = Le64(e + kIeCreationTime);
  modificationTime = Le64(e + kIeModifiedTime);
  parentRecord = Le32(e + kIeParentRef);
  isDirectory = (e[kIeAttributes + 3] & 0x10) != 0;
  return parentRecord;
}
