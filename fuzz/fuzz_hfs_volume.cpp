// An HFS+ volume from the input as a disk image: the header at 1024 (and
// the alternate one 1024 bytes before the end) through the header test,
// the fork parse, InitHFSPlusVol and LocateHFSPlusVolume, then the scan
// (ParseHFSPlus: extents pre-pass, catalog walk, extents walk; with the
// first byte's low bit the HFS+ Long Scan instead of the catalog walk)
// over a drive serving the image.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/Startup.h"
#include "filesystems/hfs/HfsHeader.h"
#include "filesystems/hfs/HfsScan.h"
#include "filesystems/hfs/HfsVolume.h"
#include "foundation/AppState.h"
#include "fuzz/FuzzImageSource.h"
#include "storage/Drive.h"
#include "tests/support/NullScanSink.h"

namespace {

// The sink answers with options of its own: the Long Scan's switch.
class Sink : public NullScanSink {
 public:
  explicit Sink(const AppState& o) : options_(o) {}
  const AppState& Options() const override { return options_; }

 private:
  const AppState& options_;
};

AppState* g_quick = nullptr;
AppState* g_long = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  fuzzimage::InstallImageSource("/tmp/fuzz-hfs-XXXXXX");
  g_quick = new AppState();
  g_quick->scanFlag = 3;
  g_long = new AppState();
  g_long->scanFlag = 3;
  g_long->hfsLongScan = 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 1 << 20) return 0;
  const bool longScan = data[0] & 1;
  std::vector<uint8_t>& image = fuzzimage::Image();
  const size_t bytes = size - 1 < 8192 ? 8192 : (size - 1 + 511) / 512 * 512;
  image.assign(bytes, 0);
  memcpy(image.data(), data + 1, size - 1);
  Drive* drive = CreateDrive(fuzzimage::ImageName());
  if (!drive) return 0;
  try {
    drive->InitDrive(fuzzimage::ImageName());
  } catch (...) {
    DeleteDrive(&drive);
    return 0;
  }
  const uint8_t* header = image.data() + 1024;
  const uint8_t* alternate = image.data() + image.size() - 1024;
  if (IsHFSPlusVolumeHeader(header)) {
    const HfsVolumeHeader h = ReadHfsVolumeHeader(header);
    for (const HfsForkData& f : h.forks) CheckHfsFork(f, h.blockSize, h.totalBlocks, false);
  }
  LocateHFSPlusVolume(drive, int64_t(image.size() / 512) - 2, alternate, 512);
  const int64_t start = LocateHFSPlusVolume(drive, 2, header, 512);
  CHFSPlusVol v;
  v.drive = drive;
  if (InitHFSPlusVol(v, header, start >= 0 ? start : 0)) {
    Sink sink(longScan ? *g_long : *g_quick);
    v.engine = &sink;
    ParseHFSPlus(v, sink, 0);
  }
  v.drive = nullptr;
  DeleteDrive(&drive);
  return 0;
}
