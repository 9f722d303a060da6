// Raw recovery of ext2/ext3 files whose inodes are gone ("Unix Raw
// Recovery"): a file header the carving probe finds is taken as the start
// of a file in the classic layout (12 direct blocks, the indirect block,
// the data it maps, the double-indirect block after it). When the indirect
// block is there, the file's block list and size follow from it, and the
// file is listed under "Extra files" by type and date, on a volume the
// options describe.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/Text.h"

class CExt3Vol;
class Drive;
class IndirectBlockList;
class ScanSink;
struct RawRecoveryOptions;
struct PointerBlockOptions;

class ExtRawRecovery {
 public:
  // The volume of the options on the drive (sector size, start, size,
  // block size, fragments per block); Usable() is false when they describe
  // none.
  ExtRawRecovery(const RawRecoveryOptions& options, Drive* drive);
  ~ExtRawRecovery();
  bool Usable() const { return volume_ != nullptr; }

  // RawProc: the header of carving type `type` at drive sector `sector`,
  // `bytesLeft` bytes of the read from it on in `data`. 1 when the file was
  // taken (it is then not carved), 0 otherwise.
  int RawProc(ScanSink& engine, const uint8_t* data, uint64_t bytesLeft, uint8_t type, int64_t sector);

  // Files listed so far.
  uint32_t Listed() const { return listed_; }
  // The volume the files are listed on (the drive's once the first file
  // joined it there).
  CExt3Vol* Volume() const { return shown_ ? shown_ : volume_.get(); }

  // The "Ext Pointer Blocks" list, when the options ask for one.
  std::unique_ptr<IndirectBlockList> pointerBlocks;

 private:
  bool ReadVolumeBlock(uint64_t block, uint8_t* out);
  Drive* drive_ = nullptr;
  std::unique_ptr<CExt3Vol> volume_;  // until it joins the drive's table
  CExt3Vol* shown_ = nullptr;         // the drive's, once it did
  uint32_t sectorSize_ = 512;
  uint32_t counters_[32] = {};
  uint32_t listed_ = 0;
};

// The run's raw recovery (built from the options on the first header of a
// Long Scan; null when they ask for none): the family's takeCarvedHit.
int ExtTakeCarvedHit(ScanSink& engine, Drive* drive, const uint8_t* sector, uint64_t bytesLeft, uint8_t type,
                     int64_t position);

// The pointer-block list of the options (the file read, its count shown),
// null when they set none.
std::unique_ptr<IndirectBlockList> MakePointerBlockList(const PointerBlockOptions& options);
