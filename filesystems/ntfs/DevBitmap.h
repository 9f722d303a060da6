// The volume bitmap: $Bitmap (one bit a cluster, 1 = in use) read one of its
// clusters at a time, on demand, to tell whether cluster ranges are free.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/MyAlloc.h"
#include "filesystems/ntfs/Inode.h"

class CDevBitmap : public inode {
 public:
  explicit CDevBitmap(NTFSVol* volume);
  ~CDevBitmap();

  // Takes the geometry from the node's allocated size and the volume's
  // cluster size. False when the bitmap cannot describe the volume (then
  // `count` is 0 and every lookup gives -1).
  bool InitBM();
  // Loads $Bitmap clusters i .. i + n - 1; returns n. Reading past the end
  // is reported and throws DvCodeError.
  uint32_t ReadBMClusters(uint32_t i, uint32_t n);
  // 1: the n clusters from `first` were walked and fewer than *limit were in
  // use; 0: *limit in-use clusters were met; -1: outside the bitmap.
  // *limit = the in-use clusters counted.
  int CheckFree(int64_t first, uint64_t n, uint64_t* limit);
  // Grades a node: mode 1 (deleted file) grade 3 when every run is free;
  // mode 0 (live file) grade 3 when every run is in use; else grade 4.
  void DetermineFileStatus(cnode* node, int mode);
  static int RateFreeRun(int64_t a, int64_t b, int64_t c, int64_t d, uint8_t* status);
  static bool IsRecoverableStatus(const uint8_t* status);

  std::vector<uint8_t*> pages;
  uint32_t bitsPerPage = 0, bitMask = 0, pageShift = 0;
  uint32_t count = 0;
  std::unique_ptr<CMyAlloc> pool;
};
