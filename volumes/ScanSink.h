// What a file-system family may ask of the scan engine, and nothing more: a
// family never includes engine/. The engine object of a search (NTFSObj)
// implements it; a volume reaches it through CVol::engine, set while the
// volume belongs to a search. The run's options and its stop request come
// through here too (CVol::Options, CVol::StopRequested for a volume, which
// answer for a volume outside any run as well): a family never reads the
// settings object itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Text.h"

class AppState;
class CNdArray;
class CVol;
struct cnode;
struct HdrHit;
struct NodeRun;

// Counter slots of the operation's statistics (the status window shows
// them).
enum ScanStat : int {
  kStatRecordsRead = 0,
  kStatRecordsParsed = 1,
  kStatItemsFound = 2,
  kStatDeletedFound = 3,
  kStatFoldersFound = 4,
  kStatVolumesScanned = 5,
  kStatRecordsSkipped = 6,
};

// Scan modes.
inline constexpr uint8_t kScanQuick = 0;
inline constexpr uint8_t kScanLong = 1;

class ScanSink {
 public:
  virtual ~ScanSink() = default;

  // ---- nodes ----
  // Puts the node into the search's node table (a copy when `copy` is set;
  // otherwise the table takes it). A record already there (same volume,
  // record and position) is not added again: its index is given back. Null
  // when it could not be stored.
  virtual cnode* AddNewNode(cnode* node, bool copy, int64_t* index) = 0;
  // Hands the stored node to the view with prefix + path as its folder path
  // (the prefix is the volume's letter or number code and a colon). 1 kept,
  // 0 before the list's window, 2 past it (which stops the scan).
  virtual int StoreFileItem(WStringView prefix, WStringView path, int64_t nodeIndex) = 0;
  // "Scan and Save" (its option on and a destination set): copies a file
  // the folder walk just found, under the walk's folder path, at once; true
  // when the file was handled so (it is then not listed).
  virtual bool SaveFoundFile(CVol& /*volume*/, const cnode& /*node*/, WStringView /*name*/) { return false; }
  // Scan and Save is on and the run has its destination: found files are
  // copied, not listed (nor their folders).
  virtual bool SavesFoundFiles() const { return false; }
  // A stored node's runs or extension chain; null when there is none.
  virtual const uint8_t* GetNodeData(int64_t index) const = 0;
  // The node table itself: names are interned in it and parents looked up.
  virtual CNdArray& Nodes() = 0;
  // Files found but not handed over yet (the Long Scan shows them at its
  // end).
  virtual void AddFoundCount(int32_t delta) = 0;

  // ---- what the drive's sectors already hold ----
  // Records a found file's runs (in units of `unit` bytes from the volume's
  // start, bytes firstByte..limitByte of the file) as covered, and tests
  // whether drive bytes [first, end) are covered.
  virtual void AddNodeRanges(const CVol& volume, const NodeRun* runs, size_t count, uint32_t unit,
                             uint64_t firstByte, uint64_t limitByte) = 0;
  virtual bool IsCovered(uint64_t firstByte, uint64_t endByte) const = 0;
  // The index of the search's volume of `type` that holds drive sectors
  // [sector, sector + count), -1 when none does.
  virtual int32_t FindVolume(uint8_t type, int64_t sector, uint64_t count) const = 0;

  // ---- the list and the progress ----
  // Mode 0 records the percentage only; 1 hands it over when it changed; 2
  // always.
  virtual void SetPercentComplete(int percent, int mode) = 0;
  // Items the view's list window leaves out before its first row.
  virtual uint64_t ItemsBeforeWindow() const = 0;
  // 0 when the folder path passes the drive's name patterns and path filter.
  virtual int PathFilterMatch(const char16_t* path) const = 0;
  virtual void CountStat(ScanStat which, uint32_t n = 1) = 0;
  virtual uint8_t ScanMode() const = 0;

  // ---- the run's options, stop and pause ----
  // The options the run reads (the special options and the list's display
  // flags): the program's settings (ProgramOptions) unless a run says else.
  virtual const AppState& Options() const;
  // The user stopped the run (or aborted this search).
  virtual bool StopRequested() const = 0;
  // Returns when the user ends a pause (or stops).
  virtual void WaitWhilePaused() = 0;
  // A reader met a bad extent in the file being recovered ("Skip Files on
  // Bad Extents"): the recovery sets the file aside. Outside a recovery it
  // is not asked for.
  virtual void ReportBadExtent() {}

  // ---- the Long Scan's carved hits ----
  // The first sectors of the index buffers the sector pass found and no
  // file claimed, in start order (folders lost with their records get their
  // names back from them).
  virtual std::vector<int64_t> IndexBufferSectors() const { return {}; }
  // The hits themselves (carving/CarveScan.h), in start order: a family
  // that ties index buffers to their folders marks those it used. Null
  // when the search has none.
  virtual std::vector<HdrHit>* CarvedHits() { return nullptr; }

  // ---- a family's own state for the length of the search ----
  // One slot a family nibble (Node.h); freed with the search.
  std::shared_ptr<void>& FamilyState(uint8_t family) { return familyState_[(family >> 4) & 15]; }

 private:
  std::shared_ptr<void> familyState_[16];
};

// The options of code outside any run, and of code that has no run at hand
// (a boot block's probe, a name's conversion): the program's settings
// object; before there is one (a tool's or a test's own start-up), the
// defaults the readers had without it (deleted and existing files listed,
// the usual file-name characters). The one place below the engine that
// names the settings object.
const AppState& ProgramOptions();
