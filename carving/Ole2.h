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

  // The header's own FAT list holds at most this many FAT sectors; a file
  // that needs a DIFAT chain (above about 7 MiB) is refused.
  static constexpr uint32_t kMaxFatSectors = 109;

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
  std::vector<uint32_t> fats_;  // the header's FAT sectors, ascending
  Carry fatCarry_, directoryCarry_;
};
