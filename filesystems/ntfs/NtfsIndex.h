// Folder index records of NTFS: INDX buffers of the "$I30" index and the
// entries of $INDEX_ROOT. Each entry names one file of the folder with its
// parent, name and times; the scans recognise INDX records in loose sectors
// and walk their entries to attach files to folders and to name lost files.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/Text.h"

// INDX record header (offsets from the record start).
inline constexpr size_t kIndxUsaOffset = 4;     // 16-bit, even
inline constexpr size_t kIndxUsaCount = 6;      // 16-bit: strides + 1
inline constexpr size_t kIndxVcn = 16;          // 64-bit (low 32 bits used)
inline constexpr size_t kIndxEntriesOffset = 24;  // 32-bit, from 24, multiple of 8
inline constexpr size_t kIndxBytesInUse = 28;   // 32-bit, from 24, multiple of 8
inline constexpr size_t kIndxAllocated = 32;    // 32-bit, from 24: 2024, 4072 or 8168
inline constexpr size_t kIndxHeaderBase = 24;   // the two offsets above count from here
// The update sequence protects the last word of every 512 bytes, whatever
// the sector size of the volume.
inline constexpr size_t kIndxStride = 512;

// Index entry of "$I30" (offsets from the entry start).
inline constexpr size_t kIeFileRef = 0;        // 64-bit (low 32 bits: record number)
inline constexpr size_t kIeLength = 8;         // 16-bit
inline constexpr size_t kIeKeyLength = 10;     // 16-bit (16 for entries without a name)
inline constexpr size_t kIeParentRef = 16;     // 64-bit (low 32 bits used)
inline constexpr size_t kIeCreationTime = 24;  // 64-bit
inline constexpr size_t kIeModifiedTime = 32;  // 64-bit
inline constexpr size_t kIeAllocatedSize = 56;  // 64-bit (low 32 bits used)
inline constexpr size_t kIeAttributes = 72;    // 32-bit; 0x10000000 = folder
inline constexpr size_t kIeNameLength = 80;    // 8-bit, characters
inline constexpr size_t kIeName = 82;          // UTF-16
inline constexpr size_t kIeMinLength = 80;     // entries of 80 bytes or fewer carry no name

// True when r (available bytes of it) looks like the start of an INDX
// record as found in a loose sector (no fix-up applied): sizes and update
// sequence consistent and the entries up to the first one that runs past
// the bytes available plausible. firstParent gets the parent record of the
// first named entry (0 when none was checked), vcn the record's VCN (low 32
// bits). Either out pointer may be null.
bool CheckINDXSector(const uint8_t* r, size_t available, uint32_t* firstParent, uint32_t* vcn);

// The parent reference of the first entry of an INDX record (64-bit); 0
// when the entries offset is not a multiple of 8, the first entry would
// start beyond byte 255, or its parent reference lies beyond the bytes
// available.
uint64_t GetINDXOwner(const uint8_t* r, size_t available);

// Walks the entries of one INDX buffer or $INDEX_ROOT attribute. The buffer
// is borrowed: it must outlive the walk.
class CINDXItem {
 public:
  CINDXItem();
  virtual ~CINDXItem();
  CINDXItem(const CINDXItem&) = delete;
  CINDXItem& operator=(const CINDXItem&) = delete;

  // An $INDEX_ROOT attribute (from its attribute header): its length (32
  // bits at 4) must be a multiple of 8, at most size and above 144; the
  // entries begin at byte 64. 0, or -1 when refused.
  int SetBuf(const uint8_t* attribute, size_t size);

  // An INDX record of which available bytes were read: applies the fix-up
  // in place (every 512 bytes, a stride whose last word does not carry the
  // update-sequence number is left as it is: a torn stride is still walked)
  // and sets the walk from the first entry to the last named one. The
  // sector size is not used: NTFS strides are 512 bytes on every volume.
  // 0, or -1 when the header is inconsistent with the bytes available.
  int SetINDXBuf(uint8_t* r, size_t available, int sectorSize = 512);

  // Takes the next entry: fills the fields below and returns its parent
  // record number; -1 (fields unchanged except parentRecord) when no
  // plausible named entry is left.
  int64_t GetNextNode();

  uint32_t fileRecord = 0;
  int64_t parentRecord = -1;  // record number, or -1 when none
  WString name;               // up to 255 characters
  uint64_t creationTime = 0;
  uint64_t modificationTime = 0;
  bool isDirectory = false;

 private:
  const uint8_t* buf_ = nullptr;
  size_t pos_ = 0;
  size_t end_ = 0;
};
