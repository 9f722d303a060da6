// The clusters of a deleted exFAT file, judged by the allocation bitmap.
// Written without a chain (the no-chain flag), the file is the run its
// entry names: Good when the bitmap has all of it free, Poor when other
// files own some of it now. With a chain: the chain when the table still
// holds it whole and free (Good); when it is gone (exfat-fuse frees it)
// the first cluster and the free clusters after it, never one in use,
// which is a guess (Poor), or Corrupt when the free clusters cannot make
// up the size or the first cluster is in use now.
#pragma once
#include <cstdint>

class CExFATVol;
struct cnode;

// Gives the node its runs (replacing any it had) and returns its grade
// (kGradeGood, kGradePoor or kGradeCorrupt), also set in its flags.
uint16_t GiveExFatDeletedRuns(CExFATVol* volume, cnode* node);
