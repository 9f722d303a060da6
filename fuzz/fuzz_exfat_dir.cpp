// exFAT boot sectors and folder data of arbitrary content: the first 512
// bytes are a boot sector (BootParse, the table-start test), the rest folder
// data cut into pieces at the sizes its first byte picks, parsed into entry
// sets as the folder walk hands them over.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "filesystems/exfat/ExFatBoot.h"
#include "filesystems/exfat/ExFatScan.h"
#include "filesystems/exfat/ExFatVolume.h"
#include "fuzz/FuzzStartup.h"
#include "tests/filesystems/exfat/ExFatSink.h"
#include "volumes/FolderWalk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 513) return 0;
  std::vector<uint8_t> boot(data, data + 512);
  IsExFatTableStart(boot.data(), 512, 0);
  IsExFatTableStart(boot.data(), 512, 1000);
  CExFATVol v;
  if (v.BootParse(boot.data()) != 1) {
    // Entry sets still parse on a volume of the default geometry.
    v.clusterCount = 1000;
  }
  ExFatSink sink;
  v.engine = &sink;
  FolderWalk& walk = TheFolderWalk();
  walk = FolderWalk{};
  walk.volume = &v;
  walk.path = (data[512] & 0x80) ? u"\\$RECYCLE.BIN\\" : u"\\";
  const size_t piece = size_t(data[512] & 0x7F) * 32 + 32;
  const std::vector<uint8_t> rest(data + 513, data + size);
  for (size_t at = 0; at < rest.size(); at += piece) {
    const size_t n = std::min(piece, rest.size() - at);
    std::vector<uint8_t> copy(rest.begin() + long(at), rest.begin() + long(at + n));
    ParseExFATEntries(&v, copy.data(), copy.size(), 5, (data[512] & 0x40) != 0);
  }
  for (const ExFatSink::File& f : sink.files)
    if (!f.node || f.node->Family() != kNodeExFat) std::abort();
  for (auto* q : {&walk.live, &walk.deleted})
    for (FolderWalk::Entry& e : *q) DeleteNode(&e.node);
  walk = FolderWalk{};
  return 0;
}
