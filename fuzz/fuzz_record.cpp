// One FILE record of arbitrary content parsed into a node, fix-up included.
// The input's length picks the record size (up to 1024 bytes: 1024, up to
// 2048: 2048, else 4096); shorter input is padded with zeros. Records of 1024
// bytes are parsed on a real volume (tests/fixtures/ntfs/basic.img, unpacked
// once into /tmp), so what they point elsewhere (non-resident attribute
// lists, extension records, data runs) is read from it; the larger ones on a
// volume without a drive, where those reads fail and must fail cleanly. The
// record must come back byte for byte after each parse and after its check
// against its place; its $INDEX_ROOT, kept, is walked as the Long Scan walks
// a folder's, and its compressed units and pages sampled as on a RAID set.
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Globals.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "filesystems/ntfs/IndexNames.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/MftScan.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "app/Startup.h"

namespace {

Drive* g_drive = nullptr;
NTFSVol* g_volume = nullptr;

std::string ImagePath() {
  if (const char* env = std::getenv("DV_FUZZ_NTFS_IMAGE")) return env;
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string dir(buf, size_t(n));
  dir = dir.substr(0, dir.rfind('/'));
  // Unpacked once into the fuzz build's folder, beside the binaries.
  const std::string img = dir + "/../record_basic.img";
  if (access(img.c_str(), R_OK) != 0) {
    const std::string cmd = "xz -dc '" + dir + "/../../tests/fixtures/ntfs/basic.img.xz' > " + img + ".tmp && mv " +
                            img + ".tmp " + img;
    if (std::system(cmd.c_str()) != 0) return {};
  }
  return img;
}

void OpenVolume() {
  const std::string path = ImagePath();
  if (path.empty()) return;
  try {
    g_drive = CreateDrive(FromUtf8(path));
    g_drive->InitDrive(FromUtf8(path));
    std::vector<uint8_t> boot(4096);
    if (!g_drive->ReadSectors(0, 4096, 0, boot.data(), true)) return;
    auto* v = new NTFSVol();
    v->drive = g_drive;
    if (NTFS::BootParse(v, boot.data()) && v->LoadMftNode() == 0 && v->recordSize == 1024) {
      g_volume = v;
    } else {
      delete v;
    }
  } catch (...) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  OpenVolume();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const uint32_t recordSize = size <= 1024 ? 1024 : size <= 2048 ? 2048 : 4096;
  std::vector<uint8_t> rec(recordSize, 0);
  if (size) std::memcpy(rec.data(), data, size);
  const std::vector<uint8_t> original = rec;

  NTFSVol bare;
  bare.SetSectorSize(512);
  bare.SetClusterSize(4096);
  bare.SetRecordSize(recordSize);
  NTFSVol* vol = (recordSize == 1024 && g_volume) ? g_volume : &bare;

  static const char16_t kStream[] = u"secret";
  for (const char16_t* wanted : {static_cast<const char16_t*>(nullptr), kStream}) {
    inode node(rec.data(), vol);
    node.keepIndexRoot = wanted == nullptr;
    node.parseEntry(wanted);
    if (rec != original) std::abort();  // the fix-up was not undone
    // A folder's index root, as the Long Scan reads it again.
    if (node.indexRoot.size() > recordSize) std::abort();
    MapRootNodes(node.indexRoot.data(), node.indexRoot.size(), [](const IndexEntryName& e) {
      if (e.name.empty() || e.name.size() > 255) std::abort();
    });
    node.record = nullptr;
    if (vol == g_volume) vol->LoadPieces(&node);
    // The mapping of what was parsed and a read through it.
    if (node.BuildMappingTablesAll() > 0) {
      node.Offset2LSN(0);
      node.Offset2LSN(int64_t(node.size > 0 ? node.size - 1 : 0));
      uint32_t got = 0;
      node.ReadClusters(0, 4, &got);
      if (got > 4) std::abort();
    }
    node.FreeWorkBuffer();
    // The samples of the file's compressed units and of its data as log
    // pages read as many as they are given at most.
    NtfsStructureSample sample;
    if (vol == g_volume) {
      NTFS::SampleCompressedUnits(vol, &node, 4, &sample);
      NTFS::SampleLogFilePages(vol, &node, 4, &sample);
    }
    if (sample.units > 4 || sample.misplacedUnits > sample.units) std::abort();
    if (sample.pages > 4 || sample.misplacedPages > sample.pages) std::abort();
  }
  // The check of the record against its place reads it and leaves it alone.
  const bool inPlace = NTFS::RecordInPlace(rec.data(), recordSize, size);
  if (rec != original || (inPlace && !CheckFILERecord(rec.data()))) std::abort();
  return 0;
}
