// The BKF trace of one sector: byte 0 bit 0 sets the header checksum right
// (so the block fields are reached), the rest is the sector, cut at any
// length.
#include <cstdint>
#include <cstring>
#include <vector>

#include "carving/Bkf.h"
#include "foundation/ByteOrder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::vector<uint8_t> sector(data + 1, data + size);
  if ((data[0] & 1) && sector.size() >= 52) {
    uint16_t x = 0;
    for (int i = 0; i < 25; ++i) x ^= Le16(&sector[2 * i]);
    sector[50] = uint8_t(x);
    sector[51] = uint8_t(x >> 8);
  }
  ParseBKFDescriptor(sector.data(), sector.size(), 7);
  if (sector.size() >= 5) ReadMTFDateTime(sector.data());
  return 0;
}
