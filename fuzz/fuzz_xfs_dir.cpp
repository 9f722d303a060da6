// XFS folder data of arbitrary content: data blocks (with and without the
// file type byte, single-block or not) and shortform folders (both
// layouts) hand over only entries that lie inside the bytes, and the Long
// Scan's records build bounded paths from them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/Startup.h"
#include "filesystems/xfs/Folder.h"
#include "filesystems/xfs/LongScan.h"
#include "foundation/Globals.h"
#include "volumes/Node.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InstallSubsystems();
  static GlobalObjectsScope* scope = new GlobalObjectsScope();
  (void)scope;
  return 0;
}

namespace {

class Check : public xfs::XfsDirVisitor {
 public:
  Check(const uint8_t* b, size_t n) : begin_(b), end_(b + n) {}
  bool ValidInode(uint64_t n) const override { return n != 0 && (n & 7) != 7; }
  void Entry(const xfs::XfsDirEntry& e) override {
    if (e.name < begin_ || e.name + e.nameLength > end_ || !e.nameLength) std::abort();
    const WString name = ConvertNameToWide(e.name, e.nameLength);
    records.Add(e.inode, parent, &name, e.fileType == 2 ? 0x4000 : 0);
    parent = e.inode;
  }
  xfs::XfsRecords records;
  uint64_t parent = 128;

 private:
  const uint8_t* begin_;
  const uint8_t* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  // Folder blocks of 512 bytes to 64 KiB, in a copy of exactly that size.
  for (size_t bs = 512; bs <= 65536; bs *= 2) {
    if (size < 4 || bs > size * 2) break;
    std::vector<uint8_t> block(bs, 0);
    memcpy(block.data(), data, std::min(size, bs));
    for (bool ftype : {false, true}) {
      Check c(block.data(), block.size());
      xfs::ParseXfsDirBlock(block.data(), block.size(), ftype, c);
      WString path;
      for (uint64_t n = 1; n < 40; ++n) c.records.FolderPath(n, 128, &path);
      if (path.size() > 1100) std::abort();
    }
  }
  std::vector<uint8_t> fork(data, data + size);
  for (bool ftype : {false, true})
    for (bool special : {false, true}) {
      Check c(fork.data(), fork.size());
      xfs::ParseXfsShortform(fork.data(), fork.size(), ftype, special, &c);
    }
  return 0;
}
