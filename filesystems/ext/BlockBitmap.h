// Which blocks of an ext volume are in use, by its groups' block bitmaps
// (found through the group descriptors; a group whose bitmap was never
// written has every block free), and the grade of a deleted file by them:
// Good when every block its map gives is free, Poor when one is in use
// again, when the map gives none (ext3 and ext4 clear a deleted file's
// pointers and extents) or the bitmaps cannot tell.
#pragma once
#include <cstdint>
#include <vector>

class CExt3Vol;
struct UnixNode;

class ExtBlockBitmap {
 public:
  // 1 in use, 0 free, -1 when the bitmap cannot tell.
  int InUse(CExt3Vol& volume, uint64_t block);

 private:
  const uint8_t* GroupBitmap(CExt3Vol& volume, uint64_t group, bool* allFree);

  static constexpr int kHeld = 8;
  struct Held {
    int64_t group = -1;
    bool allFree = false;
    std::vector<uint8_t> bits;
  };
  Held held_[kHeld];
  int next_ = 0;
  std::vector<uint8_t> desc_;
  int64_t descBlock_ = -1;
};

// The grade of a deleted file of the volume (kGradeGood or kGradePoor).
uint16_t ExtDeletedGrade(CExt3Vol& volume, const UnixNode& node);
