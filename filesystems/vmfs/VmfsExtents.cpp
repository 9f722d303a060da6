#include "filesystems/vmfs/VmfsExtents.h"

VmfsExtents::VmfsExtents() { SetClusterSize(vmfs::kClusterBytes); }

VmfsExtents::~VmfsExtents() = default;
