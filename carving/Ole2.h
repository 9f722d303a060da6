// OLE2 compound documents (doc, xls, ppt): measured from their file
// allocation table, told apart by the names of the first directory entries.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "carving/HdrNode.h"

class HdrMSO : public HdrNode {
 public:
  int Reset() override;
  int Parse(const uint8_t* buffer, size_t length) override;

  // FAT sectors past the header's 109 are listed by a DIFAT chain; this
  // many measure a file of 4 GiB, the most a compound file of 512-byte
  // sectors can address in practice.
  static constexpr uint32_t kMaxFatSectors = 65536;
  // Directory sectors read to find the root's streams when the first four
  // entries do not tell the kind.
  static constexpr uint32_t kMaxDirectorySectors = 256;

 private:
  // Sub-states after the header: 2 checking the FAT sectors and the first
  // directory sector, 3 waiting for the buffer that reaches the end.
  int ParseHeader(const uint8_t* header);
  // One 512-byte FAT sector: false when it claims a sector twice or holds
  // a value past the end that is no special value; *used gets 1 + the index
  // of its last entry that is not free.
  bool ParseBATBlock(const uint8_t* sector, uint32_t* used) const;
  // The first directory sector: false without the root entry; sets the
  // refined type.
  bool ParseRoot(const uint8_t* sector);
  // The kind from the names of the root's own streams, the directory read
  // from the disk by its chain; 0 when none tells.
  uint8_t KindFromDirectory(const uint8_t* firstSector);
  // The DIFAT chain's FAT sector numbers into fats_ after the header's.
  bool ReadDifat(uint32_t first, uint32_t count);
  // The file's sector n from the disk through the reader.
  bool ReadUnit(uint32_t n, uint8_t* out);
  // A sector that straddles two buffers, assembled.
  struct Carry {
    uint8_t bytes[512] = {};
    uint32_t have = 0;
    int64_t sector = -2;  // the file sector being assembled, -2 none
  };
  // File sector `n` (the header is sector -1) when the buffer completes it
  // (assembled in `carry` when it straddles two); null otherwise.
  const uint8_t* SectorOf(uint32_t n, const uint8_t* b, size_t length, Carry* carry);

  uint32_t fatCount_ = 0;
  uint32_t bound_ = 0;  // file length in 512-byte units, the header included
  uint32_t directorySector_ = 0;
  bool directoryDone_ = false;
  size_t next_ = 0;  // the next FAT sector of fats_ to check
  uint32_t lastFat_ = 0;  // the last FAT sector in header order
  std::vector<uint32_t> fats_;     // the FAT sectors, ascending
  std::vector<uint32_t> inOrder_;  // the FAT sectors in the file's order
  std::vector<uint8_t> scratch_;   // one drive sector
  Carry fatCarry_, directoryCarry_;
};
