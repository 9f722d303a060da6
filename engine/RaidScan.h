// The RAID scan: every member of a set read side by side, row by row, each
// sector classified where it lies on its member, and what lies where handed
// to a sink (the binary I/O trace recorder's adapter, or a test's double),
// with content samples for the RAID sampler. It finds no files; the
// recording is what a set's layout is later worked out from.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Text.h"

class NTFSObj;
class RDrive;

// A FILE record the scan met, as parsed.
struct RaidScanRecord {
  bool refused = false;  // the record failed its checks or its fix-up
  uint32_t id = 0;       // its record number (kNoNodeId when it names none)
  bool folder = false;
  WString name;
  const void* node = nullptr;  // the parsed node, for the recorder; only during the call
};

// A sector of no sector kind that starts an NTFS index buffer.
inline constexpr int kRaidScanIndexBuffer = 0x100;

// Where the scan's findings go. Every call returns what the recorder
// returned, which the scan passes on and which changes nothing it finds.
class RaidScanSink {
 public:
  virtual ~RaidScanSink() = default;
  // The recording starts (false, last error set: the scan does not run)
  // and ends.
  virtual bool Begin(const RDrive& set) = 0;
  virtual void End() = 0;
  // The scan waits while the user has paused: the recording's files are
  // closed meanwhile.
  virtual void Pause() = 0;
  virtual void Resume() = 0;
  // What follows is of this member (its index in the set).
  virtual int Channel(int member) = 0;
  // A sector of kind `kind` (volumes/SectorKinds.h, or
  // kRaidScanIndexBuffer) at member sector `sector`.
  virtual int Structure(int member, int kind, int64_t sector, const uint8_t* bytes, uint32_t size) = 0;
  virtual int FileRecord(int member, int64_t sector, const RaidScanRecord& record) = 0;
  // `value` measures how much of the member's `bytes` at `sector` holds data.
  virtual int ContentSample(int member, int64_t sector, int bytes, int value) = 0;
  // A member's block as read, with its position words (member sector low
  // and high, byte count).
  virtual int Block(int member, const uint32_t* position, const uint8_t* block, uint32_t bytes) = 0;
};

struct RaidScanOptions {
  // Offered to the sampler: a member's block counts when at least this
  // many of each MiB of it are not zero (about 86 %).
  uint32_t threshold = 900000;
  // Rows between content samples (0 counts as 1).
  uint32_t interval = 1;
  // Bytes each member reads per row, whole sectors; 0: the set's row
  // (data members x stripe).
  uint32_t rowBytes = 0;
};

// The scan over the set into the sink: 0 when it ran to its end or was
// stopped, -1 (last error set) when a member could not be read.
int ScanRAID(NTFSObj& engine, RDrive& set, RaidScanSink& sink, const RaidScanOptions& options);
// The scan into the binary I/O trace recorder, with the interval of the
// trace switches.
int ScanRAID(NTFSObj& engine, RDrive& set);
// The sink that forwards to the recorder (theIoTrace()).
std::unique_ptr<RaidScanSink> MakeIoTraceRaidSink();
