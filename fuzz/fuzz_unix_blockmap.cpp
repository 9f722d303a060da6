// Block maps and extent trees of arbitrary content over a volume made from
// the input itself (ext's superblock 1 KiB in, or UFS's 8 KiB in, whose
// lists hold fragment addresses of 32 or 64 bits): reading a file through
// them stays inside the buffer and the volume, whatever its pointers say.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/Startup.h"
#include "filesystems/ext/UnixNode.h"
#include "foundation/ByteOrder.h"
#include "fuzz/ExtFuzzDrive.h"
#include "fuzz/UfsFuzzDrive.h"
#include "volumes/VolumeFamily.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  extfuzz::Initialize();
  return 0;
}

namespace {

// A file of the node through its volume's block map.
void ReadBlockMapped(CUnixVol& v, UnixNode& node, const uint8_t* p) {
  const uint64_t offset = uint64_t(Le16(p + 8)) * v.clusterSize;
  const size_t length = 1 + Le16(p + 10) % 200000;
  std::vector<uint8_t> buffer(length);
  uint32_t corrupt = 0;
  const int64_t got =
      v.ReadFileData(offset, length, buffer.data(), buffer.size(), node.List(), node.listLength, &corrupt);
  if (got > int64_t(length)) std::abort();
  for (uint64_t l = 0; l < 64; ++l) {
    bool bad = false;
    const int64_t b = v.MapBlock(l * 97, node.List(), node.listLength, &bad);
    if (b >= int64_t(v.TotalUnits())) std::abort();
  }
  node.GetFirstSector(v, 512);
}

// The UFS form: the list of 32- or 64-bit fragment addresses.
int FuzzUfs(const uint8_t* data, size_t size) {
  extfuzz::Mounted m(data, size);
  auto v = ufsfuzz::MakeVolume(m.drive);
  if (!v) return 0;
  const uint8_t* p = data + 8192 + 2048;
  UnixNode node(kNodeUfs);
  node.size = Le32(p + 4) & 0x3FFFFFF;
  if (!node.SetList(p + 16, uint8_t(p[1] % 121))) return 0;
  v->SetNodeClusterCode(&node);
  ReadBlockMapped(*v, node, p);
  std::vector<uint8_t> buffer(65536);
  const int64_t got = v->ReadNodeData(node, 0, buffer.size(), buffer.data(), buffer.size());
  if (got > int64_t(buffer.size())) std::abort();
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2048 + 80 || size > 262144) return 0;
  if (size >= 8192 + 2048 + 160 && (data[0] & 0x80)) return FuzzUfs(data, size);
  extfuzz::Mounted m(data, size);
  auto v = extfuzz::MakeVolume(m.drive);
  if (!v) return 0;
  // The node: a block area, a size and a read request from the input.
  const uint8_t* p = data + 2048;
  UnixNode node(kNodeExt);
  node.extents = p[0] & 1;
  node.size = Le32(p + 4) & 0x3FFFFFF;
  if (!node.SetList(p + 16, uint8_t(p[1] % 61))) return 0;
  v->SetNodeClusterCode(&node);
  const uint64_t offset = uint64_t(Le16(p + 8)) * v->clusterSize;
  const size_t length = 1 + Le16(p + 10) % 200000;
  std::vector<uint8_t> buffer(length);
  uint32_t corrupt = 0;
  if (!node.extents) {
    const int64_t got = v->ReadFileData(offset, length, buffer.data(), buffer.size(), node.List(), node.listLength, &corrupt);
    if (got > int64_t(length)) std::abort();
    for (uint64_t l = 0; l < 64; ++l) {
      bool bad = false;
      const int64_t b = v->MapBlock(l * 97, node.List(), node.listLength, &bad);
      if (b >= int64_t(v->totalBlocks)) std::abort();
    }
  }
  const FamilyDataOps* f = FindDataOps(v->type);
  if (f && f->map && f->read && v->BuildNodeExtents(&node)) {
    const int64_t got = v->ReadNodeData(node, offset / v->clusterSize * v->clusterSize, length, buffer.data(), length);
    if (got > int64_t(length)) std::abort();
  }
  node.GetFirstSector(*v, 512);
  return 0;
}
