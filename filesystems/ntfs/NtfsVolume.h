// The NTFS volume: geometry from the boot sector (or from system-file
// records), the $MFT node and its run map, the volume bitmap and the label.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/Text.h"
#include "volumes/Extents.h"
#include "volumes/Volume.h"

class inode;
class CDevBitmap;

// What the $MFT pass found of the volume's own structure where it read it:
// a volume read through a RAID set of the wrong layout shows records and
// compressed units out of place, which a right one does not.
struct NtfsStructureSample {
  // Records of the $MFT's initialised part read from mapped clusters, and
  // those of them that are not the record the volume wrote there (no sound
  // FILE record, a stride that fails the fix-up, an in-use record that
  // holds another number).
  uint32_t records = 0, misplacedRecords = 0;
  // Stored compressed units of files in use (a bounded sample), and those
  // whose first LZNT1 chunk header is not one.
  uint32_t units = 0, misplacedUnits = 0;
  // Pages of the $LogFile spread over it (a bounded sample; zero pages
  // left out), and those that are neither a log page nor unused (0xFF).
  uint32_t pages = 0, misplacedPages = 0;
};

// MFT record numbers to volume byte positions through the $MFT's runs.
class MFTRunMap : public CExtents {
 public:
  MFTRunMap();
  ~MFTRunMap() override;
  void SetRecordSize(uint32_t bytes);
  // Volume byte position of the record's first byte; 0 when unmapped.
  uint64_t MapRecord(uint64_t record);
  // Volume byte position of byte `offset` of the $MFT stream; 0 when
  // unmapped. *contiguous = bytes from there on in the same run.
  uint64_t MapByte(uint64_t offset, uint64_t* contiguous = nullptr);

  uint32_t recordShift = 0;
  uint32_t recordSize = 1024;
};

class NTFSVol : public CVol {
 public:
  explicit NTFSVol(ScanSink* engine = nullptr);
  ~NTFSVol() override;
  // Keeps `index` with the volume's number.
  void SetVolumeNumber(uint16_t n) override;
  // The $MFT and mirror places a volume found again knows and this lacks.
  void CompleteFrom(const NTFSVol& found);

  // Sets the record size, shift and mask; returns the shift.
  int SetRecordSize(uint32_t bytes);
  // Builds the volume bitmap from the $Bitmap node.
  void ProcBitmap(const inode* bitmapNode);
  // The volume label from record 3; the label held so far when it cannot be
  // read.
  WString ReadVolumeLabel();
  bool labelRead = false;  // tried once: a volume without a label reads no more

  // Reads and maps $MFT (record 0 at mftSector, else at mirrorSector): the
  // node, its extension records and the run map. 0 or -1 (last error set).
  int LoadMftNode();
  // Whether the record at volume sector `sector` is a readable $MFT record 0
  // (what a boot sector's $MFT or $MFTMirr cluster should lead to).
  bool MftRecordAt(int64_t sector);
  // Reads MFT record r into buffer (recordSize bytes), through the run map.
  // *position = the drive sector where the record starts. False when unmapped or
  // unreadable.
  bool ReadMftRecord(uint64_t r, uint8_t* buffer, uint64_t* position = nullptr);
  // Fills the pieces of a node's extension-record chain that have no runs
  // by reading and parsing their records. False when one cannot be read.
  bool LoadPieces(inode* node);
  // Records in the $MFT stream.
  uint64_t RecordCount() const { return recordSize ? mftBytes / recordSize : 0; }

  int64_t mftSector = 0;
  int64_t mirrorSector = 0;
  uint8_t statusFromMft = 0;
  uint8_t statusFromMirror = 0;
  std::unique_ptr<inode> mftNode;
  int32_t index = -1;
  std::unique_ptr<CDevBitmap> bitmap;
  uint32_t recordSize = 1024;
  uint32_t recordShift = 10;
  uint32_t recordMask = 1023;
  uint32_t word = 0;

  uint64_t totalSectors = 0;  // from the boot sector
  uint64_t mftCluster = 0, mirrorCluster = 0;
  uint8_t versionMajor = 0, versionMinor = 0;
  uint64_t mftBytes = 0;  // length of the $MFT stream
  std::unique_ptr<MFTRunMap> mftMap;
  NtfsStructureSample structure;  // of the last $MFT pass
  // Made over the whole drive because no volume was found: it holds no
  // $MFT of its own, so no loose record is placed on its record grid.
  bool defaultVolume = false;

 private:
  int LoadMftFrom(int64_t sector);
};

namespace NTFS {
// Fills the volume from an NTFS boot sector (at least 512 bytes); false when
// the sector does not describe a usable volume.
bool BootParse(NTFSVol* volume, const uint8_t* sector);
}  // namespace NTFS
