// Indirect blocks of arbitrary content: the block-of-pointers test, the
// list of known indirect blocks loaded from the input as a list file and
// every block of the input checked against it, and the double-indirect
// check of a volume made from the input.
#include <cstdint>
#include <cstdlib>

#include "app/Startup.h"
#include "filesystems/ext/IndirectBlocks.h"
#include "foundation/ByteOrder.h"
#include "fuzz/ExtFuzzDrive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  extfuzz::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1024 || size > 262144) return 0;
  const uint32_t stride = 1 + data[0] % 8;
  for (size_t at = 0; at + 1024 <= size; at += 1024) {
    uint32_t used = 0;
    if (IsIndirectBlock(data + at, 1024, Le32(data + 4) | 2, stride, &used) && used > 256) std::abort();
  }
  // The input as a list file, then its blocks as candidates.
  IndirectBlockList list(512, 0, uint64_t(Le32(data + 8)) + 1, 1024, 1, data[1] % 4);
  list.LoadFromText(reinterpret_cast<const char*>(data), size);
  for (size_t k = 1; k < list.Numbers().size(); ++k)
    if (list.Numbers()[k] <= list.Numbers()[k - 1]) std::abort();
  for (int call = 0; call < 300; ++call) {
    const size_t at = (size_t(call) * 1024) % (size - 1023);
    list.CheckIndirectBlock(data + at, 1024);
  }
  extfuzz::Mounted m(data, size);
  auto v = extfuzz::MakeVolume(m.drive);
  if (!v) return 0;
  for (size_t at = 0; at + v->clusterSize <= size; at += v->clusterSize) {
    uint32_t entries = 0, lastUsed = 0, lastBlock = 0;
    if (v->CheckDoubleIndirect(data + at, &entries, &lastUsed, &lastBlock) &&
        (entries > v->clusterSize / 4 || lastUsed > v->clusterSize / 4))
      std::abort();
  }
  return 0;
}
