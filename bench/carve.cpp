// Carving throughput in memory: the header probe in sectors per second over
// random sectors and over headers, the JPEG parser in MB/s over scan data
// fed in 1 MiB reads, and the carving side of the sector pass over a
// 256 MiB image that is about 10 % pictures (JPEG, PNG, BMP) laid in random
// bytes, against a plain pass over the same bytes (memchr for a byte that
// never occurs: what any reader of the image costs at least); the same over
// a 256 MiB image that is about a third audio and video (MP3, transport
// streams, AVI, WAV, MP4) and a tenth pictures; and the MP3 and transport
// stream walks in MB/s over 64 MiB of one long file.
// The comparison of the whole Long Scan with `cat` waits for the Long Scan.
// Documents: the PDF parser in MB/s over a large ghostscript PDF (the file
// named by $DV_BENCH_PDF, made by bench/make_pdf_bench.sh; without it the
// committed ghostscript sample's objects repeated to 64 MiB), and the
// carving side of the pass over an image that is 10 % pictures and 10 %
// documents (the committed archive and document samples).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "carving/CarveScan.h"
#include "carving/HdrParse.h"
#include "carving/SectorProbe.h"
#include "volumes/FileTypes.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed) {
  std::vector<uint8_t> b(n);
  std::mt19937_64 rng(seed);
  for (size_t i = 0; i + 8 <= n; i += 8) {
    const uint64_t v = rng();
    std::memcpy(&b[i], &v, 8);
  }
  return b;
}

// Scan data as an encoder writes it: every 0xFF stuffed with 0x00.
std::vector<uint8_t> Jpeg(size_t scanBytes, uint64_t seed) {
  std::vector<uint8_t> b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0,
                            0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00};
  const std::vector<uint8_t> r = RandomBytes(scanBytes, seed);
  b.reserve(b.size() + scanBytes + scanBytes / 200 + 2);
  for (uint8_t x : r) {
    b.push_back(x);
    if (x == 0xFF) b.push_back(0x00);
  }
  b.push_back(0xFF);
  b.push_back(0xD9);
  return b;
}

std::vector<uint8_t> Png(size_t dataBytes, uint64_t seed) {
  std::vector<uint8_t> b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  auto chunk = [&](const char* type, size_t n) {
    const std::vector<uint8_t> d = RandomBytes(n, seed + n);
    b.push_back(uint8_t(n >> 24)), b.push_back(uint8_t(n >> 16)), b.push_back(uint8_t(n >> 8)), b.push_back(uint8_t(n));
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), d.begin(), d.end());
    b.insert(b.end(), 4, 0x5A);
  };
  chunk("IHDR", 13);
  for (size_t done = 0; done < dataBytes; done += 8192) chunk("IDAT", 8192);
  chunk("IEND", 0);
  return b;
}

std::vector<uint8_t> Bmp(uint32_t size) {
  std::vector<uint8_t> b = RandomBytes(size, size);
  std::memset(b.data(), 0, 54);
  b[0] = 'B', b[1] = 'M';
  std::memcpy(&b[2], &size, 4);
  b[10] = 54, b[14] = 40, b[26] = 1, b[28] = 24;
  return b;
}

size_t g_laidFiles = 0;
std::vector<std::pair<size_t, size_t>> g_pictures;  // offset and size of each laid picture

// 256 MiB: random bytes with pictures at sector starts, about 10 % of it.
const std::vector<uint8_t>& Image() {
  static std::vector<uint8_t> image;
  if (!image.empty()) return image;
  image = RandomBytes(size_t(256) << 20, 1);
  std::mt19937_64 rng(2);
  size_t at = 1 << 20, laid = 0;
  while (at < image.size() - (4 << 20)) {
    std::vector<uint8_t> f;
    switch (rng() % 3) {
      case 0:
        f = Jpeg(200000 + rng() % 800000, rng());
        break;
      case 1:
        f = Png(100000 + rng() % 400000, rng());
        break;
      default:
        f = Bmp(uint32_t(300000 + rng() % 1000000));
    }
    std::memcpy(&image[at], f.data(), f.size());
    g_pictures.push_back({at, f.size()});
    laid += f.size();
    ++g_laidFiles;
    at += f.size() * 10;
    at = (at + 511) / 512 * 512;
  }
  (void)laid;
  return image;
}

// The probe over every sector of `data`, in sectors per second.
void ProbeAll(benchmark::State& state, const std::vector<uint8_t>& data) {
  uint64_t hits = 0;
  for (auto _ : state) {
    for (size_t at = 0; at < data.size(); at += 512) hits += ProbeSectorSignature(data.data() + at) != kNoFileType;
    benchmark::DoNotOptimize(hits);
  }
  state.counters["sectors/s"] =
      benchmark::Counter(double(data.size() / 512) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ProbeRandomSectors(benchmark::State& state) { ProbeAll(state, RandomBytes(size_t(64) << 20, 3)); }
BENCHMARK(BM_ProbeRandomSectors)->Unit(benchmark::kMillisecond);

// Sectors that all start with a header of some row, in turn.
void BM_ProbeHeaderSectors(benchmark::State& state) {
  static const std::string_view heads[] = {
      {"%PDF-1.4", 8},           {"{\\rtf1", 6},          {"GIF89a", 6},
      {"ID3\x03", 4},            {"INDX", 4},              {"II*\0\x08\0\0\0", 8},
      {"RIFF\0\0\0\0WAVE", 12}, {"\xFF\xD8\xFF\xE0", 4}, {"\x89PNG\r\n\x1a\n", 8},
      {"PK\x03\x04\x14\0", 6}};
  std::vector<uint8_t> data(size_t(16) << 20, 0);
  for (size_t at = 0, k = 0; at < data.size(); at += 512, ++k) {
    const std::string_view h = heads[k % (sizeof heads / sizeof *heads)];
    std::memcpy(&data[at], h.data(), h.size());
  }
  ProbeAll(state, data);
}
BENCHMARK(BM_ProbeHeaderSectors)->Unit(benchmark::kMillisecond);

// One long file through its parser in 1 MiB reads, as the pass hands them.
// With `measured` the parser must complete with the file's size.
void Walk(benchmark::State& state, int type, const std::vector<uint8_t>& file, bool measured) {
  constexpr size_t kRead = 1 << 20;
  for (auto _ : state) {
    HdrParse driver;
    driver.Slot(type)->headerSector = 0;
    int r = driver.Parse(type, file.data(), kRead);
    int64_t end = 2048;
    for (size_t at = kRead; at < file.size() && r == kFileTypePending; at += kRead)
      r = driver.ParseMore(file.data() + at, std::min(kRead, file.size() - at), ++end);
    benchmark::DoNotOptimize(r);
    if (measured && (r != type || driver.Slot(type)->size != file.size())) state.SkipWithError("file not measured");
  }
  state.SetBytesProcessed(int64_t(file.size()) * int64_t(state.iterations()));
}

void BM_JpegParser(benchmark::State& state) { Walk(state, kTypeJpg, Jpeg(size_t(64) << 20, 4), true); }
BENCHMARK(BM_JpegParser)->Unit(benchmark::kMillisecond);

// The carving side of the pass over an image in 1 MiB reads; the files
// found with their size.
size_t CarveAll(const std::vector<uint8_t>& image) {
  constexpr size_t kRead = 1 << 20;
  CarveScan scan;
  scan.SetDetection(true);
  for (size_t at = 0; at < image.size(); at += kRead) scan.ScanRead(image.data() + at, kRead, int64_t(at / 512));
  scan.EndPass();
  size_t found = 0;
  for (const HdrHit& h : scan.Hits()) found += h.size > 0;
  return found;
}

// The same, every laid-in file must be found.
void CarveWhole(benchmark::State& state, const std::vector<uint8_t>& image, size_t expected) {
  size_t found = 0;
  for (auto _ : state) found = CarveAll(image);
  if (found != expected) state.SkipWithError("a laid-in file was not found");
  state.counters["files"] = double(found);
  state.SetBytesProcessed(int64_t(image.size()) * int64_t(state.iterations()));
}

void BM_CarveImage(benchmark::State& state) {
  const std::vector<uint8_t>& image = Image();  // counts the files it lays in
  CarveWhole(state, image, g_laidFiles);
}
BENCHMARK(BM_CarveImage)->Unit(benchmark::kMillisecond);

std::vector<uint8_t> ReadWhole(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> Sample(const char* name) {
  return ReadWhole(std::string(DV_SOURCE_DIR) + "/tests/fixtures/carve/" + name);
}

// A large PDF: $DV_BENCH_PDF, or the ghostscript sample's objects (up to
// its last end marker) repeated to 64 MiB and closed with one marker.
const std::vector<uint8_t>& LargePdf() {
  static std::vector<uint8_t> pdf;
  if (!pdf.empty()) return pdf;
  if (const char* path = std::getenv("DV_BENCH_PDF")) pdf = ReadWhole(path);
  if (!pdf.empty()) return pdf;
  const std::vector<uint8_t> gs = Sample("gs_doc.pdf");
  const std::string_view text(reinterpret_cast<const char*>(gs.data()), gs.size());
  const size_t marker = text.rfind("%%EOF");
  if (marker == std::string_view::npos) return pdf;
  const size_t header = text.find('\n') + 1;
  pdf.assign(gs.begin(), gs.begin() + std::ptrdiff_t(header));
  while (pdf.size() < (size_t(64) << 20)) pdf.insert(pdf.end(), gs.begin() + std::ptrdiff_t(header), gs.begin() + std::ptrdiff_t(marker));
  const char end[] = "%%EOF\n";
  pdf.insert(pdf.end(), end, end + 6);
  return pdf;
}

void BM_PdfParser(benchmark::State& state) {
  const std::vector<uint8_t>& pdf = LargePdf();
  if (pdf.size() < 4096) {
    state.SkipWithError("no PDF");
    return;
  }
  std::vector<uint8_t> disk = pdf;
  disk.resize(disk.size() + 4096, 0);
  constexpr size_t kRead = 1 << 20;
  for (auto _ : state) {
    HdrParse driver;
    driver.Slot(kTypePdf)->headerSector = 0;
    int r = driver.Parse(kTypePdf, disk.data(), std::min(kRead, disk.size()));
    int64_t end = 1;
    for (size_t at = kRead; at < disk.size() && r == kFileTypePending; at += kRead)
      r = driver.ParseMore(disk.data() + at, std::min(kRead, disk.size() - at), ++end);
    if (r != kTypePdf || driver.Slot(kTypePdf)->size != pdf.size()) state.SkipWithError("PDF not measured");
  }
  state.counters["MB"] = double(pdf.size()) / 1e6;
  state.SetBytesProcessed(int64_t(pdf.size()) * int64_t(state.iterations()));
}
BENCHMARK(BM_PdfParser)->Unit(benchmark::kMillisecond);

size_t g_laidDocuments = 0;

// 256 MiB: the picture image with archives and documents laid over about
// another 10 % of its random stretches.
const std::vector<uint8_t>& ImageWithDocuments() {
  static std::vector<uint8_t> image;
  if (!image.empty()) return image;
  image = Image();
  std::vector<std::vector<uint8_t>> docs;
  for (const char* name : {"zip_plain.zip", "zip_piped.zip", "jar_stream.jar", "lo_text.docx", "py_document.docx",
                           "py_table.xlsx", "lo_slides.pptx", "lo_text.doc", "ole_workbook.xls", "ole_slides.ppt",
                           "lo_text.pdf", "gs_doc.pdf", "pdf_update.pdf", "rtf_crlf.rtf", "dwg_r2000.dwg"}) {
    docs.push_back(Sample(name));
    if (docs.back().empty()) return image;
  }
  // Each picture is followed by nine times its size of random bytes; the
  // first ninth of that gap takes documents, at sector starts, each closed
  // by a zero byte (as a cluster's slack holds) and random bytes after.
  std::mt19937_64 rng(3);
  size_t k = 0;
  for (size_t i = 0; i + 1 < g_pictures.size(); ++i) {
    const size_t gapStart = (g_pictures[i].first + g_pictures[i].second + 4096) / 512 * 512;
    const size_t gapEnd = g_pictures[i + 1].first;
    const size_t room = (gapEnd - gapStart) / 9;
    for (size_t at = gapStart; at < gapStart + room;) {
      const std::vector<uint8_t>& d = docs[k++ % docs.size()];
      if (at + d.size() + 512 > gapEnd) break;
      std::memcpy(&image[at], d.data(), d.size());
      image[at + d.size()] = 0;
      ++g_laidDocuments;
      at = (at + d.size() + 4096 + rng() % 65536) / 512 * 512;
    }
  }
  return image;
}

void BM_CarveImageWithDocuments(benchmark::State& state) {
  const std::vector<uint8_t>& image = ImageWithDocuments();
  size_t found = 0;
  for (auto _ : state) found = CarveAll(image);
  state.counters["files"] = double(found);
  state.counters["laid"] = double(g_laidFiles + g_laidDocuments);
  state.SetBytesProcessed(int64_t(image.size()) * int64_t(state.iterations()));
}
BENCHMARK(BM_CarveImageWithDocuments)->Unit(benchmark::kMillisecond);

// What touching every byte of an image costs at least.
void PlainPass(benchmark::State& state, std::vector<uint8_t> image) {
  for (uint8_t& b : image)
    if (b == 0xA5) b = 0xA4;
  constexpr size_t kRead = 1 << 20;
  for (auto _ : state) {
    size_t hits = 0;
    for (size_t at = 0; at < image.size(); at += kRead) hits += std::memchr(image.data() + at, 0xA5, kRead) != nullptr;
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(int64_t(image.size()) * int64_t(state.iterations()));
}

void BM_PlainPass(benchmark::State& state) { PlainPass(state, Image()); }
BENCHMARK(BM_PlainPass)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- media

// MPEG-1 Layer III frames of 128 kb/s at 44.1 kHz (417 or 418 bytes) with
// random bodies, behind an ID3 tag.
std::vector<uint8_t> Mp3(size_t bytes, uint64_t seed) {
  std::vector<uint8_t> b = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 20};
  b.resize(30, 0);
  const std::vector<uint8_t> r = RandomBytes(bytes + 512, seed);
  size_t k = 0;
  for (int n = 0; b.size() < bytes; ++n) {
    const bool pad = n % 3 == 0;
    const size_t frame = 417 + pad;
    const size_t at = b.size();
    b.insert(b.end(), r.begin() + long(k % bytes), r.begin() + long(k % bytes) + long(frame));
    b[at] = 0xFF, b[at + 1] = 0xFB, b[at + 2] = uint8_t(0x90 | (pad ? 2 : 0));
    k += frame;
  }
  return b;
}

// A timestamped transport stream of whole sectors: PAT, PMT, then video and
// audio packets with their continuity counters.
std::vector<uint8_t> Mts(size_t bytes, uint64_t seed) {
  const size_t packets = (bytes / 1536 + 1) * 8;
  std::vector<uint8_t> b = RandomBytes(packets * 192, seed);
  uint8_t counters[2] = {0, 0};
  for (size_t k = 0; k < packets; ++k) {
    uint8_t* p = &b[k * 192];
    p[0] &= 0x3F;
    p[4] = 0x47;
    const uint16_t pid = k == 0 ? 0 : k == 1 ? 0x100 : k % 5 == 0 ? 0x1100 : 0x1011;
    p[5] = uint8_t(0x40 | pid >> 8), p[6] = uint8_t(pid);
    p[7] = uint8_t(0x10 | (k < 2 ? 0 : counters[pid == 0x1100]++ & 15));
  }
  return b;
}

std::vector<uint8_t> RiffFile(const char* form, const char* big, size_t bytes, uint64_t seed) {
  std::vector<uint8_t> b = RandomBytes(bytes, seed);
  auto put = [&](size_t at, const char* id, uint32_t size) {
    std::memcpy(&b[at], id, 4);
    std::memcpy(&b[at + 4], &size, 4);
  };
  const uint32_t total = uint32_t(bytes);
  put(0, "RIFF", total - 8);
  std::memcpy(&b[8], form, 4);
  put(12, std::strcmp(form, "WAVE") == 0 ? "fmt " : "JUNK", 16);
  put(36, big, total - 44);
  return b;
}

std::vector<uint8_t> Mp4(size_t bytes, uint64_t seed) {
  std::vector<uint8_t> b = RandomBytes(bytes, seed);
  auto atom = [&](size_t at, const char* type, uint32_t size) {
    b[at] = uint8_t(size >> 24), b[at + 1] = uint8_t(size >> 16), b[at + 2] = uint8_t(size >> 8), b[at + 3] = uint8_t(size);
    std::memcpy(&b[at + 4], type, 4);
  };
  atom(0, "ftyp", 24);
  atom(24, "moov", 4000);
  atom(4024, "mdat", uint32_t(bytes - 4024));
  return b;
}

size_t g_mediaFiles = 0;
double g_mediaShare = 0;  // of the image, in laid-in audio and video

// 256 MiB: random bytes, a tenth pictures and a third audio and video.
const std::vector<uint8_t>& MediaImage() {
  static std::vector<uint8_t> image;
  if (!image.empty()) return image;
  image = RandomBytes(size_t(256) << 20, 5);
  std::mt19937_64 rng(6);
  size_t at = 1 << 20;
  while (at < image.size() - (12 << 20)) {
    std::vector<uint8_t> f;
    const uint64_t pick = rng() % 8;
    const size_t size = ((2 << 20) + rng() % (6 << 20)) & ~size_t(1);
    switch (pick) {
      case 0:
        f = Jpeg(200000 + rng() % 800000, rng());
        break;
      case 1:
        f = Png(100000 + rng() % 400000, rng());
        break;
      case 2:
      case 3:
        f = Mp3(size, rng());
        break;
      case 4:
        f = Mts(size, rng());
        break;
      case 5:
        f = RiffFile("AVI ", "LIST", size, rng());
        break;
      case 6:
        f = RiffFile("WAVE", "data", size, rng());
        break;
      default:
        f = Mp4(size, rng());
    }
    std::memcpy(&image[at], f.data(), f.size());
    if (pick >= 2) g_mediaShare += double(f.size()) / double(image.size());
    ++g_mediaFiles;
    at += f.size() * (pick < 2 ? 8 : 3);
    at = (at + 511) / 512 * 512;
  }
  return image;
}

void BM_CarveMediaImage(benchmark::State& state) {
  const std::vector<uint8_t>& image = MediaImage();
  CarveWhole(state, image, g_mediaFiles);
  state.counters["media"] = g_mediaShare;
}
BENCHMARK(BM_CarveMediaImage)->Unit(benchmark::kMillisecond);

void BM_PlainPassMedia(benchmark::State& state) { PlainPass(state, MediaImage()); }
BENCHMARK(BM_PlainPassMedia)->Unit(benchmark::kMillisecond);

void BM_Mp3Walk(benchmark::State& state) { Walk(state, kTypeMp3, Mp3(size_t(64) << 20, 7), false); }
BENCHMARK(BM_Mp3Walk)->Unit(benchmark::kMillisecond);

void BM_MtsWalk(benchmark::State& state) { Walk(state, kTypeMts, Mts(size_t(64) << 20, 8), false); }
BENCHMARK(BM_MtsWalk)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
