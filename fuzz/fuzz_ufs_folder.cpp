// A UFS volume of arbitrary content walked from its root as the Quick
// Scan walks it (every folder's entries through the family's parser, each
// inode read through its group): the walk ends, nothing reads past a
// buffer, whatever the entries and inodes say.
#include <cstdint>
#include <cstdlib>

#include "app/Startup.h"
#include "engine/VolumeRecovery.h"
#include "fuzz/UfsFuzzDrive.h"
#include "volumes/Node.h"
#include "volumes/VolumeFamily.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  extfuzz::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10240 || size > 262144) return 0;
  extfuzz::Mounted m(data, size);
  auto v = ufsfuzz::MakeVolume(m.drive);
  if (!v || !v->rootNode) return 0;
  const FamilyScanOps* scans = FindScanOps(v->type);
  if (!scans || !scans->parseEntries) std::abort();
  // The root's data read as the walk reads it, then the whole walk.
  uint8_t* buffer = v->GetClusterBuffer();
  const size_t bytes = size_t(v->rootNode->size < 65536 ? v->rootNode->size : 65536);
  const int64_t got = v->ReadNodeData(*v->rootNode, 0, bytes, buffer, bytes);
  if (got > int64_t(bytes)) std::abort();
  ParseFSCm(v.get());
  return 0;
}
