// The Office property reader over a drive in memory: byte 0 picks the
// sector size (bit 0: 4096), whether a read fails from some sector on (bit
// 1, the sector in byte 1) and how much shorter or longer than the drive
// the file is said to be (byte 2); the rest is the file.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "CarveHarness.h"
#include "carving/OfficeProps.h"
#include "volumes/FileTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace carve_test;
  if (size < 3) return 0;
  const uint32_t sectorSize = (data[0] & 1) ? 4096 : 512;
  const std::vector<uint8_t> file(data + 3, data + size);
  MemoryDrive drive(file.data(), file.size(), sectorSize);
  if (data[0] & 2) drive.failFrom = data[1];
  const int delta = int(data[2]) - 128;
  const uint64_t fileSize = delta < 0 && size_t(-delta) > file.size() ? 0 : file.size() + delta;
  OfficeProps props;
  const int r = ReadOfficeXmlProps(&drive, 0, fileSize, &props);
  if (r != 0 && r != 1) std::abort();
  if (props.refinedType != 0 && props.refinedType != kTypeDocx && props.refinedType != kTypePptx &&
      props.refinedType != kTypeXlsx)
    std::abort();
  if (props.name.size() > 254 || props.fileTime == 0) std::abort();
  return 0;
}
