// The carving side of the Long Scan's sector pass: the driver, the header
// probe and the list of carved hits, driven the way the pass reads the disk.
//
// Per read buffer the pass calls BeginRead once (the running parsers take the
// buffer; files that finish are recorded), then HeaderSector for every
// sector it gives to the header probe (a recognised header starts its
// parser with the bytes left in the read). Volume structures that end the
// running files (NTFS records and boot sectors, FAT boot sectors and
// directories) and the end of the pass call AbandonOpen. ScanRead does all
// of it for a read where every sector goes to the probe.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "carving/HdrParse.h"

class HdrZIP;
class MXFHdrScan;

// One carved file: its header sector, size, type and what its parser told.
struct HdrHit {
  int64_t start = 0;  // header sector
  int64_t size = 0;   // bytes; 0 while (or when) no end was found
  uint8_t type = 0;   // type index, refined (cr2, nef, xls, docx...) when known
  uint8_t flags = 0;  // kHitMatched and the parser's class byte (kHdrClass...)
  uint16_t value = 0;  // the parser's counter (an INDX record's VCN)
};
// Matched to a file the metadata knows, or shown.
inline constexpr uint8_t kHitMatched = 0x01;

// What the engine hears from the carving side.
class CarveSink {
 public:
  virtual ~CarveSink() = default;
  // A hit was recorded: at its header when it waits for more data
  // (pending, size 0), then again when it completed.
  virtual void HitSaved(const HdrHit& hit, bool pending) {
    (void)hit;
    (void)pending;
  }
  // Each recognised header is offered first (the Unix raw recovery takes
  // some); true keeps it from being carved.
  virtual bool TakeHeader(const uint8_t* sector, size_t bytesLeft, int type, int64_t sectorNumber) {
    (void)sector;
    (void)bytesLeft;
    (void)type;
    (void)sectorNumber;
    return false;
  }
};

class CarveScan {
 public:
  // The reader is the drive being scanned (directory reads of TIFF files,
  // the drive's size and sector size); the sink may be null.
  explicit CarveScan(HdrReader* reader = nullptr, CarveSink* sink = nullptr);
  ~CarveScan();
  CarveScan(const CarveScan&) = delete;
  CarveScan& operator=(const CarveScan&) = delete;

  // Whether the settings want headers looked for: not with the skip-headers
  // flag set, not while a file-name filter list is loaded.
  static bool DetectionWanted();
  // Header detection on or off (from DetectionWanted at construction).
  void SetDetection(bool on) { detect_ = on; }
  bool Detection() const { return detect_; }

  // Once per read, before its sectors: the running parsers take the read;
  // the files that finish are recorded. At ZIP trace level 2 the read also
  // goes to the ZIP record scan.
  void BeginRead(const uint8_t* buffer, size_t bytes, int64_t firstSector);
  // The ZIP record scan (a diagnostic: every ZIP record traced, Word
  // documents' text inflated and scored) of a read, when the ZIP trace level
  // is 2; its own ZIP parser, made on first use.
  void TraceZipRecords(const uint8_t* buffer, size_t bytes, int64_t firstSector);
  // The same with the end sector given (the sector just past the read).
  void FeedRead(const uint8_t* buffer, size_t bytes, int64_t endSector);
  // A sector the pass gives to the header probe (at least kProbeBytes);
  // bytesLeft runs to the end of the read. A header of a kind whose parser
  // runs drops the older file and starts the parser here. The probed type,
  // or 255.
  uint8_t HeaderSector(const uint8_t* sector, size_t bytesLeft, int64_t sectorNumber);
  // The part of HeaderSector after the probe: `type`'s parser (a running
  // one dropped first) starts at this sector, and its hit is recorded.
  void StartParser(int type, const uint8_t* sector, size_t bytesLeft, int64_t sectorNumber);
  // Every running parser is stopped; its file stays recorded without a size.
  void AbandonOpen();
  // The end of the pass: AbandonOpen, and the trace scans give out what
  // they still hold.
  void EndPass();
  // BeginRead, then HeaderSector for every sector of the read.
  void ScanRead(const uint8_t* buffer, size_t bytes, int64_t firstSector);

  // Records the hit of a type's parser; a completed one resets the parser.
  // Hits are kept in header-sector order, one per header sector.
  void SaveHdrNode(int type, bool pending);

  const std::vector<HdrHit>& Hits() const { return hits_; }
  std::vector<HdrHit>& Hits() { return hits_; }
  HdrParse& Driver() { return driver_; }
  uint32_t SectorSize() const { return sectorSize_; }

 private:
  HdrParse driver_;
  HdrReader* reader_;
  CarveSink* sink_;
  std::vector<HdrHit> hits_;
  std::unique_ptr<HdrZIP> zipTrace_;
  uint32_t sectorSize_ = 512;
  bool detect_ = true;
  // The MXF trace (trace level 2), made when first needed.
  std::unique_ptr<MXFHdrScan> mxfTrace_;
};
