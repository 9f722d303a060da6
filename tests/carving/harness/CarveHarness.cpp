#include "CarveHarness.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "carving/SectorProbe.h"
#include "volumes/FileTypes.h"

namespace carve_test {

bool MemoryDrive::ReadSectors(int64_t sector, uint32_t count, uint8_t* buffer) {
  ++reads;
  if (sector < 0 || count == 0 || !buffer) return false;
  if (sector > SectorCount() || int64_t(count) > SectorCount() - sector) return false;
  if (failFrom >= 0 && sector + int64_t(count) > failFrom) return false;
  sectorsRead += count;
  const uint64_t at = uint64_t(sector) * sectorSize_;
  const uint64_t want = uint64_t(count) * sectorSize_;
  const uint64_t have = at < bytes_ ? std::min<uint64_t>(want, bytes_ - at) : 0;
  if (have) std::memcpy(buffer, data_ + at, size_t(have));
  if (have < want) std::memset(buffer + have, 0, size_t(want - have));
  return true;
}

std::string FeedResult::Describe() const {
  std::ostringstream s;
  s << "probed " << FileTypeName(probed) << ", " << (recorded ? "recorded " : "not recorded ")
    << FileTypeName(type) << " size " << size << " after " << reads << " reads";
  return s.str();
}

std::vector<size_t> EvenReads(size_t total, size_t step) {
  std::vector<size_t> ends;
  if (step == 0) step = 1;
  for (size_t at = step; at < total; at += step) ends.push_back(at);
  ends.push_back(total);
  return ends;
}

std::vector<size_t> ReadsAt(size_t total, std::vector<size_t> splits) {
  std::sort(splits.begin(), splits.end());
  std::vector<size_t> ends;
  for (size_t s : splits)
    if (s > 0 && s < total && (ends.empty() || ends.back() != s)) ends.push_back(s);
  ends.push_back(total);
  return ends;
}

FeedResult FeedFile(const uint8_t* image, size_t bytes, const std::vector<size_t>& readEnds, uint32_t sectorSize,
                    HdrReader* drive) {
  if (bytes < kProbeBytes) return FeedResult();
  // The probe sees a whole sector even when the first read ends sooner.
  return FeedFileAs(ProbeSectorSignature(image), image, bytes, readEnds, sectorSize, drive);
}

FeedResult FeedFileAs(int type, const uint8_t* image, size_t bytes, const std::vector<size_t>& readEnds,
                      uint32_t sectorSize, HdrReader* drive) {
  FeedResult result;
  MemoryDrive own(image, bytes, sectorSize);
  HdrReader* reader = drive ? drive : &own;
  if (!image || bytes == 0 || readEnds.empty()) return result;
  CarveScan scan(reader);
  scan.SetDetection(true);
  result.probed = uint8_t(type);
  int64_t endSector = 0;
  size_t begin = 0;
  for (size_t end : readEnds) {
    if (end <= begin || end > bytes) break;
    // Reads that end inside a sector still get an end sector of their
    // own, as each must be handed over once.
    endSector = std::max<int64_t>(endSector + 1, int64_t((end + sectorSize - 1) / sectorSize));
    if (begin == 0) {
      scan.BeginRead(image, end, 0);
      if (result.probed < kFileTypeCount) scan.StartParser(result.probed, image, end, 0);
    } else {
      scan.FeedRead(image + begin, end - begin, endSector);
    }
    ++result.reads;
    begin = end;
    if (scan.Driver().ActiveCount() == 0) break;
  }
  scan.AbandonOpen();
  for (const HdrHit& h : scan.Hits()) {
    if (h.start == 0 && h.size > 0) {
      result.recorded = true;
      result.type = h.type;
      result.size = h.size;
    }
  }
  return result;
}

const char* TailName(Tail tail) {
  switch (tail) {
    case Tail::Zero:
      return "zero";
    case Tail::Random:
      return "random";
    case Tail::Text:
      return "text";
  }
  return "?";
}

std::vector<uint8_t> WithTail(const std::vector<uint8_t>& file, Tail tail, size_t tailBytes, uint32_t seed) {
  std::vector<uint8_t> out(file);
  out.resize(file.size() + tailBytes, 0);
  if (tail == Tail::Random) {
    std::mt19937 rng(seed);
    for (size_t i = file.size(); i < out.size(); ++i) out[i] = uint8_t(rng());
  } else if (tail == Tail::Text) {
    static const char kText[] =
        "It was the best of times, it was the worst of times, it was the age of wisdom, "
        "it was the age of foolishness.\r\n";
    for (size_t i = file.size(), k = 0; i < out.size(); ++i, ++k) out[i] = uint8_t(kText[k % (sizeof kText - 1)]);
  }
  return out;
}

std::vector<HdrHit> CarveImage(const uint8_t* image, size_t bytes, size_t readBytes, uint32_t sectorSize,
                               HdrReader* drive) {
  MemoryDrive own(image, bytes, sectorSize);
  HdrReader* reader = drive ? drive : &own;
  CarveScan scan(reader);
  scan.SetDetection(true);
  if (readBytes < sectorSize) readBytes = sectorSize;
  readBytes -= readBytes % sectorSize;
  // Reads come from a buffer of their own, as the pass's do; a short last
  // read is zero-filled to whole sectors.
  std::vector<uint8_t> buffer(readBytes);
  for (size_t at = 0; at < bytes; at += readBytes) {
    const size_t n = std::min(readBytes, bytes - at);
    const size_t whole = (n + sectorSize - 1) / sectorSize * sectorSize;
    std::memcpy(buffer.data(), image + at, n);
    std::memset(buffer.data() + n, 0, whole - n);
    scan.ScanRead(buffer.data(), whole, int64_t(at / sectorSize));
  }
  scan.EndPass();
  return scan.Hits();
}

std::vector<uint8_t> WithSectorTail(const std::vector<uint8_t>& file, Tail tail) {
  return WithTail(file, tail, 8192 + (512 - file.size() % 512) % 512);
}

NamedSplits EvenSplits(size_t total) {
  return {{"512 B", EvenReads(total, 512)},
          {"4 KiB", EvenReads(total, 4096)},
          {"1 MiB", EvenReads(total, 1 << 20)},
          {"odd 1000 B", EvenReads(total, 1000)}};
}

std::vector<size_t> AroundEach(const std::set<size_t>& offsets, size_t size) {
  std::vector<size_t> out;
  for (size_t x : offsets)
    for (size_t y : {x - 1, x, x + 1})
      if (y > 0 && y < size) out.push_back(y);
  return out;
}

std::vector<uint8_t> LoadFile(const std::string& path) {
  std::vector<uint8_t> data;
  if (path.size() > 3 && path.compare(path.size() - 3, 3, ".xz") == 0) {
    FILE* p = popen(("xz -dc '" + path + "' 2>/dev/null").c_str(), "r");
    if (!p) return data;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0) data.insert(data.end(), chunk, chunk + n);
    if (pclose(p) != 0) data.clear();
    return data;
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) return data;
  data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return data;
}

std::string SampleFolder() {
#ifdef DV_SOURCE_DIR
  return std::string(DV_SOURCE_DIR) + "/tests/fixtures/carve";
#else
  return "tests/fixtures/carve";
#endif
}

std::vector<uint8_t> LoadSample(const std::string& name) {
  const std::string base = SampleFolder() + "/" + name;
  struct stat st;
  if (stat(base.c_str(), &st) == 0) return LoadFile(base);
  return LoadFile(base + ".xz");
}

}  // namespace carve_test
