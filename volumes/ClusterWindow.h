// Small reads of a volume's clusters served from one larger read: files
// recovered one after another mostly lie one after another on disk, and a
// drive request for each costs far more than copying them out of a window.
#pragma once
#include <cstddef>
#include <cstdint>

class CExtents;
class CVol;

class ClusterWindow {
 public:
  ClusterWindow() = default;
  ~ClusterWindow();
  ClusterWindow(const ClusterWindow&) = delete;
  ClusterWindow& operator=(const ClusterWindow&) = delete;

  // `bytes` from `within` bytes into cluster `lcn` into out, as
  // CVol::ReadClusterBytes. Reads of half a window or more go straight to
  // the drive; others through the window, loaded from lcn on (never at or
  // past cluster `clusterLimit`) when it does not hold them. The window
  // grows while its loads serve several reads and shrinks while they serve
  // one. After a read error on the drive it is no longer used, so errors
  // stay with the read that met them.
  bool Read(CVol& v, uint64_t lcn, uint64_t within, uint32_t bytes, uint64_t clusterLimit, uint8_t* out);
  // Forgets what the window holds.
  void Drop() { count_ = 0; }

 private:
  uint8_t* data_ = nullptr;  // kMaxBytes, aligned for direct reads
  const void* drive_ = nullptr;  // the drive the window was read from
  uint64_t first_ = 0;       // clusters held: first_ .. first_ + count_ - 1
  uint64_t count_ = 0;
  uint32_t loadBytes_ = 0;   // the next load's size
  uint32_t hits_ = 0;        // reads the current load served
};

// Bytes of a node through its prepared extents (holes read as zeros) into
// buffer, the clusters read through `window` (null: straight from the
// drive); stops at the end of the mapping. The bytes delivered, -1 when
// none could be read.
int64_t ReadExtentsThroughWindow(CVol& v, CExtents& map, ClusterWindow* window, uint64_t clusterLimit,
                                 uint64_t offset, uint8_t* buffer, size_t capacity);
