// The clusters a FAT file or folder entry is read from, and how sure they
// are. A live entry follows its chain in the table. Where the table lost
// the rest of it (a free entry after the clusters it gave, as after a
// reformat or with the tables zeroed) the file goes on as a deleted file
// does: with its own chain, orphaned right after the break, when that
// holds exactly what is missing, else with the free clusters that follow.
// A deleted entry is its first cluster and the free clusters after it.
// Runs made so carry a deleted file's grade: Good when the clusters taken
// follow one another and were all free, Poor when the first one belongs to
// another file now or others had to be stepped over, Corrupt when the size
// cannot be met or the chain ends where it cannot (a reserved, bad or
// out-of-range entry, a loop, an end mark before the size).
#pragma once
#include <cstdint>

class CVol;
class FATVol;
struct cnode;

struct FatEntryRuns {
  int status = 0;      // the chain's (kChain*)
  uint16_t grade = 0;  // kGradeGood, kGradePoor, kGradeCorrupt; 0 for a chain read whole
};

// Gives the file (first cluster in `id`, its size) its runs and sets its
// grade in its flags.
FatEntryRuns GiveFatFileRuns(FATVol* volume, cnode* node, bool deleted);
// Gives the folder its runs; its size becomes what they hold. A deleted
// folder is graded by its first cluster.
FatEntryRuns GiveFatFolderRuns(FATVol* volume, cnode* node, bool deleted);

// The data of a deleted file: from its first cluster on, the free clusters
// (allocated ones are stepped over, as they belong to other files now), up
// to `wanted`; *status 1 when fewer were found, 4 when the first cluster is
// outside the volume; *skipped whether allocated clusters were stepped
// over. The clusters found.
uint32_t FATDeletedRuns(FATVol* volume, uint32_t first, uint32_t wanted, uint8_t** runs, int* status,
                        bool* skipped = nullptr);

// Clusters of a FAT or exFAT run list (cluster numbers from the volume's
// data area) that lie past the end of a drive shorter than the volume: they
// read as zeros, which the file never held.
uint64_t ClustersPastDriveEnd(const CVol& volume, const uint8_t* runs);
