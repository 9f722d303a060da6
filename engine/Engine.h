// The engine object of one search over one drive: the scan's volume list,
// its node table, the carving type table, and the two calls through which
// every parser reports what it finds (AddNewNode puts a node into the
// table, StoreFileItem hands it with its display path to the view).
#pragma once
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "carving/CarveScan.h"
#include "engine/RecoveryLog.h"
#include "filesystems/ntfs/MftScan.h"
#include "platform/Text.h"
#include "volumes/FileTypes.h"
#include "volumes/NodeTable.h"
#include "volumes/ScanSink.h"

class Drive;
class CVol;
class VolumeList;
class NTFSVol;
class PatternList;
class SendObj;
class SLSession;
class RaidScanSink;
struct cnode;

// The carving type table: index = carving type code.
inline constexpr int kExtTableSize = kFileTypeCount;
inline constexpr uint8_t kNoCarvingType = 255;

struct ExtTableEntry {
  char16_t ext[6];
  uint32_t nextNumber;
};

// ExtensionToType (the carving type code of a name's extension) lives with
// the type table in volumes/FileTypes.h.
// The same for an 8-bit name (UTF-8 here); 255 for a name of 1024 bytes or
// more (never an index past the table).
uint8_t ExtensionToTypeOem(std::string_view name);
// The extension of a carving type code; empty for 0..2 and codes past the
// table.
WStringView CarvingTypeExtension(uint8_t code);

// Fixed record numbers of the NTFS system files by name (the NTFS
// family's); -1 otherwise.
using NTFS::SystemFileRecordNumber;

// The first case-insensitive occurrence of pattern in text (as an offset),
// npos when absent; an empty pattern is found at 0.
size_t FindNoCase(WStringView text, WStringView pattern);

// 0 when the path passes: with a name-pattern list, when the list admits
// the path; with a filter beginning with "\", when the path begins with it
// (case-insensitive); otherwise when the path matches the filter as a
// wildcard pattern. A missing or empty path or filter passes. Non-zero when
// the path fails.
int PathFilterMatch(const char16_t* path, const char16_t* filter, const PatternList* list);

// The engine services a file-system family calls are its ScanSink.
class NTFSObj : public ScanSink {
 public:
  explicit NTFSObj(Drive* drive);
  ~NTFSObj() override;
  NTFSObj(const NTFSObj&) = delete;
  NTFSObj& operator=(const NTFSObj&) = delete;

  // ---- volumes ----
  // The scan's volume list is the drive's volume table (the drive owns the
  // volumes; the engine shares the table so that it outlives neither). An
  // engine without a drive keeps a table of its own.
  std::shared_ptr<VolumeList> volumeTable;
  std::vector<CVol*>& volumes;
  // Adds a volume to the table (through the drive's AddVolume when there is
  // a drive) and binds it to the engine: its index, or -1 when it was not
  // added (already known or the table is full; the caller keeps it).
  int32_t AddVolume(CVol* volume);
  // From the view's selection kind; see the worker. Leaves the chosen range
  // in firstVolume and endVolume.
  void SelectPartition(uint8_t kind, uint16_t selected, int64_t userStart, int64_t userCount);
  // The chosen volume range [firstVolume, endVolume) of the table.
  int32_t firstVolume = 0, endVolume = 0;
  // The user tied the files to a volume (kinds 1 and 2): recovery reads
  // them from the chosen range only.
  bool volumeRangeChosen = false;
  // Removes the volume a user-defined selection appended (kind 2) when it is
  // still the table's last entry; true when one was removed.
  bool DropUserVolume();
  // Makes room for 32 more volumes in the table, never past
  // kMaxDriveVolumes; false when the table is full.
  bool ExtendPartitionTable();
  // A volume over the whole drive for a drive where no volume was found
  // (not yet in the table).
  NTFSVol* CreateDefaultVolume();
  // The RAID scan's FILE record of `bytes` at member sector `sector`:
  // parsed on its own (no volume) and handed to the sink.
  int TraceRaidFileRecord(RaidScanSink& sink, int member, int64_t sector, const uint8_t* record, uint32_t bytes);
  // Each selected volume's share of the progress; the shares add up to 100.
  void ComputePercentForVolumes(std::vector<uint32_t>* shares = nullptr);
  // In the chosen range and not left out by the user's volume choice.
  bool IsSelected(size_t v) const;

  // ---- sessions ----
  // Takes the loaded session's node table, volumes and exclusion ranges
  // (the drive's volume table becomes the session's).
  void TakeSession(SLSession& session);
  // Hands every item of the session's list over, as a scan would. 0.
  int ReadDVS(SLSession& session);

  // ---- the NTFS metadata pass (the NTFS family's, filesystems/ntfs/MftScan.h) ----
  int ReadMFT(NTFSVol* volume, int report) { return NtfsReadMft(volume, report); }
  int ParseNTFS(NTFSVol* volume, uint64_t firstRecord, int firstStep) {
    return NtfsParseMft(volume, *this, firstRecord, firstStep);
  }

  // ---- ScanSink ----
  // Appends the node (a copy when `copy` is set; otherwise the table takes
  // it). A record already in the table (same volume, record and position)
  // is not added again: its index is given back. Null when it could not be
  // stored.
  cnode* AddNewNode(cnode* node, bool copy, int64_t* index) override;
  // Hands the node over to the view with prefix + path as its folder path;
  // the prefix is the volume's letter or number code and a colon ("C:").
  // The answer of the hand-over: 1 kept, 0 before the window, 2 past it
  // (which sets the stop byte).
  int StoreFileItem(WStringView prefix, WStringView path, int64_t nodeIndex) override;
  bool SaveFoundFile(CVol& volume, const cnode& node, WStringView name) override;
  bool SavesFoundFiles() const override;
  // The node's runs or extension chain; null when there is none.
  const uint8_t* GetNodeData(int64_t index) const override;
  CNdArray& Nodes() override { return *nodes; }
  void AddFoundCount(int32_t delta) override { foundCount += delta; }
  void AddNodeRanges(const CVol& volume, const NodeRun* runs, size_t count, uint32_t unit, uint64_t firstByte,
                     uint64_t limitByte) override;
  bool IsCovered(uint64_t firstByte, uint64_t endByte) const override;
  // Rises with every change of the covered set made through the engine.
  uint64_t CoveredGeneration() const { return coveredGeneration_; }
  int32_t FindVolume(uint8_t type, int64_t sector, uint64_t count) const override;
  void SetPercentComplete(int percent, int mode) override;
  uint64_t ItemsBeforeWindow() const override;
  int PathFilterMatch(const char16_t* path) const override;
  void CountStat(ScanStat which, uint32_t n = 1) override;
  uint8_t ScanMode() const override { return scanMode; }
  // The stop byte, or this search aborted.
  bool StopRequested() const override;
  void WaitWhilePaused() override;
  void ReportBadExtent() override { badExtent = 1; }
  std::vector<int64_t> IndexBufferSectors() const override;
  std::vector<HdrHit>* CarvedHits() override { return &carvedHits; }

  // ---- fields ----
  std::unique_ptr<NTFSVol> defaultVolume;
  std::unique_ptr<CNdArray> nodes;
  Drive* drive = nullptr;
  int64_t curPos = 0;
  int64_t lastRecordPos = 0;
  int64_t lastSysPos = INT64_MAX;
  int32_t lastSysRecord = -1;
  int32_t foundCount = 0;
  uint8_t abort = 0;
  uint64_t scanStart = 0;  // FILETIME
  uint32_t storedCount = 0;
  // Files in use listed, and those of them graded Poor: many Poor ones on
  // a RAID source speak of a wrong layout.
  uint32_t liveFiles = 0, livePoorFiles = 0;
  ExtTableEntry extTable[kExtTableSize];
  SendObj* sendObj = nullptr;  // the current run's, not owned
  uint8_t scanMode = 0;        // 0 quick, 1 long
  // Scan and Save: the scan's destination folder (empty: none) and the
  // answer to a full disk when nobody can be asked (0: the prompt service).
  WString saveDestination;
  int diskFullAnswer = 0;
  // A reader met a bad extent in the file being recovered (ReportBadExtent);
  // the recovery clears it before each file.
  uint8_t badExtent = 0;
  // The Long Scan's carved hits in start order (an "INDX" hit is an index
  // buffer that the mapping of folders reads).
  std::vector<HdrHit> carvedHits;

 private:
  // Per volume, record number -> node index + 1 of every NTFS node stored
  // (4 bytes a record); with the position checked on a hit, a record is
  // never listed twice.
  std::vector<std::vector<uint32_t>> byRecord_;
  uint32_t* RecordSlot(uint16_t volume, uint32_t record, bool grow);
  int32_t userSlot_ = -1;
  uint64_t coveredGeneration_ = 0;
  // Long Scan: drive sector -> node index + 1 of NTFS nodes stored without
  // a volume; the same record read later with its volume replaces the node
  // under its index.
  std::unordered_map<uint64_t, uint32_t> looseByPosition_;
  // Scan and Save: the files an earlier run handled (made on first use).
  std::unique_ptr<Checkpoint> saveCheckpoint_;
};

// The published result of the last scan: the engine its run made, which
// stays until the next scan or session load replaces it. The window (its
// stop, its list, the preview) and the tests read it; a recovery is given
// it in its request. No engine code works on it but the run that made it.
extern NTFSObj* g_engine;
