// The ext family's part of a Long Scan: the sweep of every inode slot the
// folder walk did not list (a reformatted volume's old files, files whose
// folder is gone, deleted inline-data files), the sweep of the whole volume
// for directory blocks, and the placing of what was found by its inode
// under the names and folders the directory blocks gave. The run's own
// state lives in the family's slot of the search (ScanSink::FamilyState).
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

class CExt3Vol;
class CUnixVol;
class CVol;
class Drive;
class ExtRawRecovery;
class ScanSink;

// What the family keeps for the length of one search.
struct ExtRunState {
  // "Exit After Long Scan" as the sweeps raise it: the run's sector pass
  // is left out once it reaches 2.
  int32_t exitCounter = 0;
  // Nodes the sweeps added without a complete folder path: placed at the
  // end (node indices).
  std::vector<int64_t> pending;
  // The raw recovery of the run (made on the first header when the
  // options ask for it).
  bool rawChecked = false;
  std::shared_ptr<ExtRawRecovery> raw;
};
ExtRunState& ExtRun(ScanSink& engine);

// The inode sweep: inodes "Start Inode Number" up to (not including) "Last
// Inode Number", at most the volume's last, that the walk did not list and
// that are regular files, folders or symbolic links. A folder's entries
// are named into the trees; a file is listed at once when the trees give it
// a whole folder path, else it waits for the placing. Progress runs from
// `progressFrom` to `progressTo` (-1: none). Returns -1.
int Ext3LongScan(CExt3Vol& volume, ScanSink& engine, int progressFrom = -1, int progressTo = -1);

// The sweep of the whole volume for directory blocks (1 MiB at a time): each
// block that opens a folder, or is exactly a run of entries, is named into
// the trees. An unreadable piece reads as zeros (the drive counts it) and
// the sweep goes on. Returns 1.
int ScanDirBlocks(CExt3Vol& volume, ScanSink& engine, int progressFrom = -1, int progressTo = -1);

// The files the sweeps left waiting (of `volume` only, or of all): named
// from the trees (else "file<N>" and the extension their first bytes tell),
// in the folder the trees give ("\Extra files\Folder<N>\" below the folder
// where the chain breaks), and listed; unnamed empty files are left out.
void PlaceSweptFiles(ScanSink& engine, Drive* drive, const CUnixVol* volume);

// The family's hooks (FamilyScanOps).
void ExtAfterLongScanWalk(CVol& volume, ScanSink& engine);
void ExtFinishLongScan(ScanSink& engine, Drive* drive);
// The ext Long Scan in place of the ordinary scan when the options ask for
// it: 1 when it ran.
int ExtOwnVolumePass(CVol& volume, ScanSink& engine);
bool ExtEndsBeforeSectorPass(ScanSink& engine);
