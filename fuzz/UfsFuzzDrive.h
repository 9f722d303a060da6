// A UFS volume on a drive over the fuzz input: the input's superblock
// (8 KiB in) in either byte order, its geometry held to what the image can
// be by the superblock's own checks.
#pragma once
#include <memory>

#include "filesystems/ufs/Definitions.h"
#include "filesystems/ufs/UfsVolume.h"
#include "fuzz/ExtFuzzDrive.h"

namespace ufsfuzz {

// The volume of the input's superblock, or null when it is none.
inline std::unique_ptr<CUFS1Vol> MakeVolume(Drive* drive) {
  if (!drive || extfuzz::Image().size() < ufs::kSuperBlockUfs1 + ufs::kSuperBlockBytes) return nullptr;
  auto v = std::make_unique<CUFS1Vol>(kVolUfs1);
  v->drive = drive;
  if (!InitUFSVol(v.get(), extfuzz::Image().data() + ufs::kSuperBlockUfs1, 0, 512)) return nullptr;
  InitUfsRootNode(v.get());
  return v;
}

}  // namespace ufsfuzz
