// The ZIP walk on archives laid out here for one rule each (member names,
// searched member data, descriptors, Zip64, spanning markers, records out of
// order), and the diagnostic record scan against what zipinfo lists for the
// archives that Info-ZIP, jar, LibreOffice and python wrote.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "TraceFolder.h"
#include "carving/PhraseList.h"
#include "carving/TextHelpers.h"
#include "carving/Zip.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/SpecialOptions.h"
#include "foundation/Trace.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

uint32_t Crc32(const std::string& s) {
  uint32_t c = 0xFFFFFFFF;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}

struct Writer {
  std::vector<uint8_t> d;
  void U16(uint32_t v) { d.push_back(uint8_t(v)), d.push_back(uint8_t(v >> 8)); }
  void U32(uint32_t v) { U16(v & 0xFFFF), U16(v >> 16); }
  void U64(uint64_t v) { U32(uint32_t(v)), U32(uint32_t(v >> 32)); }
  void Text(const std::string& s) { d.insert(d.end(), s.begin(), s.end()); }
};

enum class Sizes {
  kInLocal,      // sizes in the local header, no descriptor
  kKnownAndDescriptor,  // sizes in the local header and a descriptor after the data
  kStream,       // zero sizes and a signed descriptor: the end is searched for
  kStreamUnsigned,  // zero sizes and a descriptor without its signature
  kPiped,        // CRC and compressed size 0, uncompressed size set (Info-ZIP to a pipe)
  kZip64,        // sizes escaped to the Zip64 field
  kZip64NoField,  // escaped, without the field
  kZip64Stream,  // a Zip64 field of zeros and a 24-byte descriptor
};

struct Member {
  std::string name;
  std::string data;
  Sizes sizes = Sizes::kInLocal;
};

struct Archive {
  std::vector<Member> members;
  std::string comment;
  std::string prefix;        // a spanning marker before the first record
  bool zip64End = false;     // Zip64 end record and locator before the end record
  bool localAfterCentral = false;
  std::string between;       // bytes between the last member and the central directory
};

Archive A(std::vector<Member> members, std::string comment = "", std::string prefix = "", bool zip64End = false,
          bool localAfterCentral = false, std::string between = "") {
  Archive a;
  a.members = std::move(members);
  a.comment = std::move(comment);
  a.prefix = std::move(prefix);
  a.zip64End = zip64End;
  a.localAfterCentral = localAfterCentral;
  a.between = std::move(between);
  return a;
}

std::vector<uint8_t> Build(const Archive& a) {
  Writer w;
  w.Text(a.prefix);
  std::vector<uint32_t> offsets;
  for (const Member& m : a.members) {
    offsets.push_back(uint32_t(w.d.size()));
    const uint32_t crc = Crc32(m.data), n = uint32_t(m.data.size());
    const bool stream = m.sizes == Sizes::kStream || m.sizes == Sizes::kStreamUnsigned ||
                        m.sizes == Sizes::kPiped || m.sizes == Sizes::kZip64Stream;
    const bool descriptor = stream || m.sizes == Sizes::kKnownAndDescriptor;
    const bool zip64 = m.sizes == Sizes::kZip64 || m.sizes == Sizes::kZip64Stream;
    w.U32(0x04034B50);
    w.U16(zip64 ? 45 : 20);
    w.U16(descriptor ? 8 : 0);
    w.U16(0);  // stored
    w.U32(0);  // time and date
    switch (m.sizes) {
      case Sizes::kStream:
      case Sizes::kStreamUnsigned:
      case Sizes::kZip64Stream:
        w.U32(0), w.U32(0), w.U32(0);
        break;
      case Sizes::kPiped:
        w.U32(0), w.U32(0), w.U32(n);
        break;
      case Sizes::kZip64:
      case Sizes::kZip64NoField:
        w.U32(crc), w.U32(0xFFFFFFFF), w.U32(0xFFFFFFFF);
        break;
      default:
        w.U32(crc), w.U32(n), w.U32(n);
        break;
    }
    w.U16(uint32_t(m.name.size()));
    w.U16(zip64 ? 20 : 0);
    w.Text(m.name);
    if (zip64) {
      w.U16(1), w.U16(16);
      w.U64(m.sizes == Sizes::kZip64 ? n : 0), w.U64(m.sizes == Sizes::kZip64 ? n : 0);
    }
    w.Text(m.data);
    if (descriptor) {
      if (m.sizes != Sizes::kStreamUnsigned) w.U32(0x08074B50);
      w.U32(crc);
      if (zip64) w.U64(n), w.U64(n);
      else w.U32(n), w.U32(n);
    }
  }
  w.Text(a.between);
  const uint32_t central = uint32_t(w.d.size());
  for (size_t i = 0; i < a.members.size(); ++i) {
    const Member& m = a.members[i];
    w.U32(0x02014B50);
    w.U16(20), w.U16(20), w.U16(0), w.U16(0), w.U32(0);
    w.U32(Crc32(m.data)), w.U32(uint32_t(m.data.size())), w.U32(uint32_t(m.data.size()));
    w.U16(uint32_t(m.name.size())), w.U16(0), w.U16(0), w.U16(0), w.U16(0), w.U32(0);
    w.U32(offsets[i]);
    w.Text(m.name);
  }
  if (a.localAfterCentral) {
    w.U32(0x04034B50);
    w.U16(20), w.U16(0), w.U16(0), w.U32(0), w.U32(0), w.U32(1), w.U32(1), w.U16(1), w.U16(0);
    w.Text("xy");
  }
  const uint32_t centralBytes = uint32_t(w.d.size()) - central;
  if (a.zip64End) {
    const uint32_t at = uint32_t(w.d.size());
    w.U32(0x06064B50), w.U64(44), w.U16(45), w.U16(45), w.U32(0), w.U32(0);
    w.U64(a.members.size()), w.U64(a.members.size()), w.U64(centralBytes), w.U64(central);
    w.U32(0x07064B50), w.U32(0), w.U64(at), w.U32(1);
  }
  w.U32(0x06054B50);
  w.U16(0), w.U16(0), w.U16(uint32_t(a.members.size())), w.U16(uint32_t(a.members.size()));
  w.U32(centralBytes), w.U32(central);
  w.U16(uint32_t(a.comment.size()));
  w.Text(a.comment);
  return w.d;
}

// Bytes without "P": nothing in them looks like a record.
std::string Data(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, 0);
  for (char& c : s) c = char(rng() & 0x3F);
  return s;
}

// The archive at sector 0 with a random tail, at several read sizes: `type`
// and exactly its size, or (255) no file.
void ExpectCarved(const std::vector<uint8_t>& zip, uint8_t type, const std::string& what) {
  std::vector<uint8_t> image = zip;
  std::mt19937 rng(9);
  const size_t tail = 8192 + (512 - zip.size() % 512) % 512;
  for (size_t i = 0; i < tail; ++i) image.push_back(uint8_t(rng()));
  std::vector<std::pair<std::string, std::vector<size_t>>> splits = {
      {"512 B", EvenReads(image.size(), 512)},
      {"4 KiB", EvenReads(image.size(), 4096)},
      {"1 MiB", EvenReads(image.size(), 1 << 20)},
      {"1000 B", EvenReads(image.size(), 1000)},
      {"333 B after the first sector", ReadsAt(image.size(), [&] {
         std::vector<size_t> v;
         for (size_t at = 512; at < image.size(); at += 333) v.push_back(at);
         return v;
       }())}};
  for (const auto& [name, reads] : splits) {
    const FeedResult r = FeedFile(image.data(), image.size(), reads);
    SCOPED_TRACE(what + ", reads of " + name + ": " + r.Describe());
    EXPECT_EQ(r.probed, kTypeZip);
    if (type == kNoFileType) {
      EXPECT_FALSE(r.recorded);
    } else {
      EXPECT_TRUE(r.recorded);
      EXPECT_EQ(r.type, type);
      EXPECT_EQ(r.size, int64_t(zip.size()));
    }
    if (testing::Test::HasFailure()) return;
  }
}

TEST(ZipWalk, MemberNamesTellTheKind) {
  struct Case {
    std::vector<std::string> names;
    uint8_t type;
  };
  const Case cases[] = {
      {{"a.txt", "b.bin"}, kTypeZip},
      {{"[Content_Types].xml", "_rels/.rels", "docProps/core.xml", "word/_rels/document.xml.rels"}, kTypeDocx},
      {{"WORD/_RELS/document.xml.rels"}, kTypeDocx},
      {{"x", "ppt/_rels/presentation.xml.rels", "word/_rels/a"}, kTypePptx},  // the first one decides
      {{"xl/_rels/"}, kTypeXlsx},  // as long as the prefix
      {{"word/_rels", "xl/_relsx"}, kTypeZip},
      {{"word/document.xml", "ppt/slides/slide1.xml"}, kTypeZip},
  };
  for (const Case& c : cases) {
    Archive a;
    uint32_t seed = 1;
    for (const std::string& n : c.names) a.members.push_back({n, Data(300 + 100 * seed, seed), Sizes::kInLocal}), ++seed;
    ExpectCarved(Build(a), c.type, c.names.back());
  }
}

TEST(ZipWalk, RecordCases) {
  struct Case {
    const char* what;
    Archive archive;
    uint8_t type;
  };
  auto one = [](Sizes sizes, size_t n = 3000) { return std::vector<Member>{{"one.bin", Data(n, 7), sizes}}; };
  auto two = [](Sizes a, Sizes b) {
    return std::vector<Member>{{"one.bin", Data(3000, 7), a}, {"word/_rels/two", Data(5000, 8), b}};
  };
  std::vector<Case> cases = {
      {"sizes in the local headers", A(two(Sizes::kInLocal, Sizes::kInLocal)), kTypeDocx},
      {"a comment", A(one(Sizes::kInLocal), std::string(300, 'c')), kTypeZip},
      {"known sizes and a descriptor", A(two(Sizes::kKnownAndDescriptor, Sizes::kInLocal)), kTypeDocx},
      {"searched data, signed descriptors", A(two(Sizes::kStream, Sizes::kStream)), kTypeDocx},
      {"searched data, descriptors without signature", A(two(Sizes::kStreamUnsigned, Sizes::kStreamUnsigned)),
       kTypeDocx},
      {"a member written to a pipe", A(two(Sizes::kPiped, Sizes::kPiped)), kTypeDocx},
      {"an empty member written to a pipe", A(std::vector<Member>{{"e", "", Sizes::kPiped}}), kTypeZip},
      {"Zip64 sizes", A(two(Sizes::kZip64, Sizes::kZip64), "", "", true), kTypeDocx},
      {"Zip64 sizes without the Zip64 field", A(one(Sizes::kZip64NoField)), kNoFileType},
      {"Zip64 searched data and 24-byte descriptors", A(two(Sizes::kZip64Stream, Sizes::kZip64Stream), "", "", true),
       kTypeDocx},
      {"a spanning marker", A(one(Sizes::kInLocal), "", "PK\x07\x08"), kTypeZip},
      {"a spanning marker PK00", A(one(Sizes::kInLocal), "", "PK00"), kTypeZip},
      {"a local header after the central directory", A(one(Sizes::kInLocal), "", "", false, true), kNoFileType},
      {"PK00 between records", A(one(Sizes::kInLocal), "", "", false, false, "PK00"), kNoFileType},
      {"a descriptor no local header announced",
       A(one(Sizes::kInLocal), "", "", false, false, std::string("PK\x07\x08", 4) + std::string(12, '\0')),
       kNoFileType},
      {"searched data of almost 2 MiB", A(one(Sizes::kStream, (2 << 20) - 4096)), kTypeZip},
      // A photo written as a stream: the descriptor is found past 2 MiB.
      {"searched data of more than 2 MiB", A(one(Sizes::kStream, (5 << 20) + 4096)), kTypeZip},
  };
  // A descriptor whose sizes differ from the local header's.
  {
    Archive a = A(one(Sizes::kKnownAndDescriptor));
    std::vector<uint8_t> z = Build(a);
    const size_t at = 30 + 7 + 3000 + 8;  // the descriptor's compressed size
    z[at] ^= 1;
    ExpectCarved(z, kNoFileType, "a descriptor that disagrees");
  }
  for (const Case& c : cases) ExpectCarved(Build(c.archive), c.type, c.what);
}

// The carved size ends after the end record's comment, and sectors up to
// there are not offered to a new zip parser: an archive stored inside one
// (its header at a sector start) is no second file.
TEST(ZipWalk, NoNewArchiveInsideACompletedOne) {
  Archive inner = A({{"inner.txt", Data(2000, 3), Sizes::kInLocal}});
  const std::vector<uint8_t> innerZip = Build(inner);
  Archive outer = A({{std::string(482, 'n'), std::string(innerZip.begin(), innerZip.end()), Sizes::kInLocal}}, "tail");
  std::vector<uint8_t> image = Build(outer);
  ASSERT_EQ(std::memcmp(&image[512], "PK\x03\x04", 4), 0);
  const size_t size = image.size();
  image.resize((size + 511) / 512 * 512 + 4096, 0);
  for (size_t read : {size_t(512), size_t(4096), size_t(1) << 20}) {
    const std::vector<HdrHit> hits = CarveImage(image.data(), image.size(), read);
    ASSERT_EQ(hits.size(), 1u) << read;
    EXPECT_EQ(hits[0].start, 0);
    EXPECT_EQ(hits[0].size, int64_t(size));
  }
}

// ---------------------------------------------------------------- the record scan

TEST(ZipScanTests, PlausibleHeaders) {
  struct Case {
    uint16_t method;
    uint32_t compressed, uncompressed, nameLength;
    bool plausible;
  };
  const Case cases[] = {
      {0, 100, 100, 5, true},      {0, 100, 101, 5, false},    {8, 100, 400, 5, true},
      {8, 0, 0, 5, true},          {8, 70, 64, 5, true},       // expanded, but tiny
      {8, 80, 65, 5, false},       // expanded by more than a seventh
      {8, 1010, 1000, 5, true},    // expanded a little
      {8, 1200, 1000, 5, false},   {12, 100, 400, 5, false},   {8, 100, 400, 0, false},
      {8, 100, 400, 512, true},    {8, 100, 400, 513, false},
      // Sizes escaped to the Zip64 field.
      {0, 20000, 0xFFFFFFFF, 8, true}, {8, 0xFFFFFFFF, 0xFFFFFFFF, 8, true}, {8, 0xFFFFFFFF, 400, 8, true},
  };
  for (const Case& c : cases) {
    for (bool central : {false, true}) {
      std::vector<uint8_t> h(46, 0);
      auto put = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) h[at + i] = uint8_t(v >> (8 * i));
      };
      put(central ? 10 : 8, c.method, 2);
      put(central ? 20 : 18, c.compressed, 4);
      put(central ? 24 : 22, c.uncompressed, 4);
      put(central ? 28 : 26, c.nameLength, 2);
      EXPECT_EQ(IsPlausibleZipHeader(h.data(), central), c.plausible)
          << c.method << " " << c.compressed << " " << c.uncompressed << " " << c.nameLength;
    }
  }
}

TEST(ZipScanTests, LooksCompressedAndIsMostlyText) {
  std::mt19937 rng(5);
  std::string random(4096, 0);
  for (char& c : random) c = char(rng());
  const std::string text =
      "<w:p><w:r><w:t>It was the best of times, it was the worst of times.</w:t></w:r></w:p>";
  std::string deflated;  // a real deflate stream's bytes
  {
    const std::vector<uint8_t> z = LoadSample("zip_plain.zip");
    ASSERT_GT(z.size(), 2000u);
    deflated.assign(z.begin() + 100, z.begin() + 1000);
  }
  struct Case {
    const char* what;
    std::string data;
    bool compressed, mostlyText;
  };
  const Case cases[] = {
      {"random bytes", random, true, false},
      {"deflated data", deflated, true, false},
      {"33 random bytes", random.substr(0, 33), true, false},
      {"XML text", text, false, true},
      {"one byte repeated", std::string(600, 'a'), false, true},
      {"text with a zero byte", text + std::string(1, '\0') + text, false, false},
      {"text, a quarter binary", text + std::string(text.size() / 3, '\x01'), false, true},
      {"text, a third binary", text + std::string(text.size() / 2, '\x01'), false, false},
      {"UTF-8 letters count as not printable", std::string(300, '\xC3'), false, false},
  };
  for (const Case& c : cases) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(c.data.data());
    EXPECT_EQ(LooksCompressed(p, c.data.size()), c.compressed) << c.what;
    EXPECT_EQ(IsMostlyText(p, c.data.size()), c.mostlyText) << c.what;
  }
  EXPECT_FALSE(LooksCompressed(nullptr, 10));
  EXPECT_TRUE(IsMostlyText(reinterpret_cast<const uint8_t*>(""), 0));
}

// What zipinfo -v says of an archive: each central entry's name, sizes and
// local header offset, and where the central directory starts.
struct ListedEntry {
  std::string name;
  uint64_t compressed = 0, uncompressed = 0, localOffset = 0;
};
struct Listing {
  std::vector<ListedEntry> entries;
  uint64_t centralOffset = 0;
  bool ok = false;
};

Listing ZipInfo(const std::string& path) {
  Listing l;
  const std::string text = RunCommand("zipinfo -v '" + path + "' 2>/dev/null");
  std::istringstream in(text);
  std::string line;
  std::smatch m;
  bool expectName = false;
  while (std::getline(in, line)) {
    if (std::regex_search(line, std::regex(R"(its \(expected\) offset in bytes from the beginning)"))) {
      std::string next;
      std::getline(in, next);
      if (std::regex_search(next, m, std::regex(R"(^\s*is (\d+))"))) l.centralOffset = std::stoull(m[1]);
    }
    if (std::regex_search(line, std::regex(R"(^Central directory entry #\d+:)"))) {
      l.entries.emplace_back();
      expectName = true;
      continue;
    }
    if (expectName && !line.empty() && line[0] != '-' && line.find_first_not_of(' ') != std::string::npos &&
        line.find("There are an extra") == std::string::npos) {
      l.entries.back().name = line.substr(line.find_first_not_of(' '));
      expectName = false;
      continue;
    }
    if (l.entries.empty()) continue;
    if (std::regex_search(line, m, std::regex(R"(offset of local header from start of archive:\s+(\d+))")))
      l.entries.back().localOffset = std::stoull(m[1]);
    else if (std::regex_search(line, m, std::regex(R"(^\s+compressed size:\s+(\d+))")))
      l.entries.back().compressed = std::stoull(m[1]);
    else if (std::regex_search(line, m, std::regex(R"(^\s+uncompressed size:\s+(\d+))")))
      l.entries.back().uncompressed = std::stoull(m[1]);
  }
  l.ok = !l.entries.empty();
  return l;
}

struct TracedRecord {
  std::string kind, name;
  uint64_t position = 0;  // disk byte
  int64_t compressed = 0, uncompressed = 0, localOffset = 0;
};

std::vector<TracedRecord> ParseTrace(const std::string& trace) {
  std::vector<TracedRecord> out;
  const std::regex header(
      R"(^ZIPHdr (Local|Central) (\d+) ([0-9a-f]+) - File (.*) - CSize (-?\d+) - Size (-?\d+) - Name Leng \d+ - X Leng \d+ - Offset (-?\d+)$)");
  std::istringstream in(trace);
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (!std::regex_match(line, m, header)) continue;
    TracedRecord r;
    r.kind = m[1];
    r.position = std::stoull(m[2]) * 512 + std::stoull(m[3], nullptr, 16);
    r.name = m[4];
    r.compressed = std::stoll(m[5]);
    r.uncompressed = std::stoll(m[6]);
    r.localOffset = std::stoll(m[7]);
    out.push_back(r);
  }
  return out;
}

// Every zip sample at an odd place on a disk of random bytes, scanned in
// reads of several sizes: the traced local and central records are those
// zipinfo lists, at their places.
TEST(ZipScanTests, TracedRecordsAreThoseZipinfoLists) {
  if (!HaveTool("zipinfo")) GTEST_SKIP() << "zipinfo missing";
  const char* samples[] = {"zip_plain.zip", "zip_comment.zip", "zip_piped.zip", "zip_zip64.zip", "jar_stream.jar",
                           "lo_text.docx",  "lo_table.xlsx",   "lo_slides.pptx", "py_document.docx", "py_table.xlsx"};
  std::mt19937 rng(3);
  std::vector<uint8_t> disk(3000);
  for (uint8_t& b : disk) b = uint8_t(rng()) & 0x3F;  // no "P" in the filler
  std::map<std::string, uint64_t> placed;
  for (const char* s : samples) {
    const std::vector<uint8_t> f = LoadSample(s);
    ASSERT_FALSE(f.empty()) << s;
    placed[s] = disk.size();
    disk.insert(disk.end(), f.begin(), f.end());
    for (int i = 0; i < 777; ++i) disk.push_back(uint8_t(rng()) & 0x3F);
  }
  for (size_t read : {size_t(512), size_t(65536), size_t(1) << 20}) {
    std::string trace;
    {
      TraceFolder folder;
      HdrZIP scan;
      scan.SetScanMode(1, 4);
      for (size_t at = 0; at < disk.size(); at += read) scan.ZIPHdrScan(disk.data() + at, std::min(read, disk.size() - at));
      trace = folder.Text();
    }
    const std::vector<TracedRecord> records = ParseTrace(trace);
    for (const char* s : samples) {
      SCOPED_TRACE(std::string(s) + " in reads of " + std::to_string(read));
      const Listing l = ZipInfo(SampleFolder() + "/" + s);
      ASSERT_TRUE(l.ok);
      const uint64_t base = placed[s];
      const uint64_t end = base + LoadSample(s).size();
      std::vector<TracedRecord> locals, centrals;
      for (const TracedRecord& r : records) {
        if (r.position < base || r.position >= end) continue;
        (r.kind == "Local" ? locals : centrals).push_back(r);
      }
      ASSERT_EQ(locals.size(), l.entries.size());
      ASSERT_EQ(centrals.size(), l.entries.size());
      for (size_t i = 0; i < l.entries.size(); ++i) {
        const ListedEntry& e = l.entries[i];
        EXPECT_EQ(locals[i].name, e.name);
        EXPECT_EQ(locals[i].position, base + e.localOffset) << e.name;
        EXPECT_EQ(centrals[i].name, e.name);
        EXPECT_EQ(uint64_t(centrals[i].localOffset), e.localOffset) << e.name;
        // Zip64 entries keep their sizes in the Zip64 field (the 32-bit
        // escape prints as -1).
        if (centrals[i].compressed != -1) {
          EXPECT_EQ(uint64_t(centrals[i].compressed), e.compressed) << e.name;
        }
        if (centrals[i].uncompressed != -1) {
          EXPECT_EQ(uint64_t(centrals[i].uncompressed), e.uncompressed) << e.name;
        }
      }
      EXPECT_EQ(centrals[0].position, base + l.centralOffset);
    }
  }
}

std::string TagText(const std::string& xml, const std::string& tag) {
  const size_t at = xml.find(tag);
  if (at == std::string::npos) return "";
  const size_t open = xml.find('>', at);
  const size_t close = xml.find('<', open);
  return xml.substr(open + 1, close - open - 1);
}

// The properties of python-docx's document and the score of its text: the
// phrase count a short script finds in the inflated document text; the text
// and the scored lines go to the trace folder as sector files.
TEST(ZipScanTests, PropertiesAndScoreOfADocument) {
  if (!HaveTool("unzip") || !HaveTool("python3")) GTEST_SKIP() << "unzip or python3 missing";
  const std::string docx = SampleFolder() + "/py_document.docx";
  const std::string core = RunCommand("unzip -p '" + docx + "' docProps/core.xml");
  const std::string document = RunCommand("unzip -p '" + docx + "' word/document.xml");
  ASSERT_FALSE(core.empty());
  ASSERT_FALSE(document.empty());
  const TempFolder temp("zip_score");
  const std::string& dir = temp.Path();
  // Phrases out of order: loading sorts them.
  const std::string phrases = dir + "/phrases.txt";
  WriteFileText(phrases, "sector archive\ncentral directory\nthe\nRecovery\nmember document\n");
  const std::string options = dir + "/options.ini";
  WriteFileText(options, "[Trace Options]\nZIP=2\nZIP match list=" + phrases + "\n");
  // The count by the same rules: words of letters, digits and bytes from
  // 128 up, in the text between ">" and "<", compared without regard to case.
  const std::string script = dir + "/count.py";
  WriteFileText(script,
                "import re, sys\n"
                "text = open(sys.argv[1], 'rb').read()\n"
                "phrases = [l.lower().split() for l in open(sys.argv[2], 'rb').read().split(b'\\n') if l.split()]\n"
                "n = 0\n"
                "for run in re.findall(rb'>([^<]+)', text):\n"
                "    w = [x.lower() for x in re.findall(rb'[0-9A-Za-z\\x80-\\xff]+', run)]\n"
                "    for i in range(len(w)):\n"
                "        n += any(w[i:i + len(p)] == p for p in phrases)\n"
                "print(n)\n");
  WriteFileText(dir + "/document.xml", document);
  const int want = std::stoi(RunCommand("python3 '" + script + "' '" + dir + "/document.xml' '" + phrases + "'"));
  ASSERT_GT(want, 10);

  SetPhraseListLoader(&LoadPhraseListFile);  // as the root does
  GlobalObjectsScope scope(true, options);
  ASSERT_EQ(traceZip.load(), 2);
  ASSERT_TRUE(g_appState->phraseList);
  ASSERT_EQ(OptionPhraseList()->Count(), 5);
  const std::vector<uint8_t> file = LoadSample("py_document.docx");
  std::vector<uint8_t> disk(1024, 0);
  disk.insert(disk.end(), file.begin(), file.end());
  disk.resize(disk.size() + 4096, 0);
  std::string trace;
  std::vector<std::string> sectorFiles;
  {
    TraceFolder folder;
    HdrZIP scan;
    scan.SetScanMode(1, 4);
    for (size_t at = 0; at < disk.size(); at += 4096) scan.ZIPHdrScan(disk.data() + at, std::min<size_t>(4096, disk.size() - at));
    trace = folder.Text();
    const std::string listing = RunCommand("ls '" + folder.Dir() + "'");
    std::istringstream in(listing);
    for (std::string f; std::getline(in, f);) sectorFiles.push_back(folder.Dir() + "/" + f);
    // Each sector file is named by the sector of the member's local header.
    for (const std::string& f : sectorFiles) {
      if (f.size() > 4 && f.compare(f.size() - 4, 4, ".dsk") == 0) {
        EXPECT_EQ(ReadFileText(f).substr(0, document.size()), document);
      } else if (f.size() > 4 && f.compare(f.size() - 4, 4, ".txt") == 0 && f.find("trace.txt") == std::string::npos) {
        const std::string lines = ReadFileText(f);
        EXPECT_EQ(lines.substr(0, 3), "\xEF\xBB\xBF");
        EXPECT_NE(lines.find("Carving sample\r\n"), std::string::npos);
      }
    }
  }
  EXPECT_NE(trace.find("Title " + TagText(core, "<dc:title") + "\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Author " + TagText(core, "<cp:lastModifiedBy") + "\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Modified Date " + TagText(core, "<dcterms:modified") + "\n"), std::string::npos) << trace;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(trace, m, std::regex(R"(Sect (\d+) score (\d+)\n)"))) << trace;
  EXPECT_EQ(std::stoi(m[2]), want);
  EXPECT_EQ(trace.find("Poor output"), std::string::npos) << trace;
  EXPECT_EQ(sectorFiles.size(), 3u);  // trace.txt, the .dsk and the .txt
}

}  // namespace

namespace {

// The sector pass's carving side feeds every read to the record scan at ZIP
// trace level 2, and only then.
TEST(ZipScanTests, TheSectorPassTracesRecordsAtLevelTwo) {
  const std::vector<uint8_t> zip = LoadSample("zip_plain.zip");
  std::vector<uint8_t> disk(4096, 0);
  disk.insert(disk.end(), zip.begin(), zip.end());
  disk.resize((disk.size() + 511) / 512 * 512 + 4096, 0);
  for (int32_t level : {1, 2}) {
    std::string trace;
    {
      TraceFolder folder(level);
      const std::vector<HdrHit> hits = CarveImage(disk.data(), disk.size(), 4096);
      trace = folder.Text();
      ASSERT_EQ(hits.size(), 1u);
      EXPECT_EQ(hits[0].size, int64_t(zip.size()));
    }
    const std::vector<TracedRecord> records = ParseTrace(trace);
    if (level == 1) {
      EXPECT_TRUE(records.empty()) << trace;
      continue;
    }
    ASSERT_EQ(records.size(), 6u) << trace;  // three local and three central headers
    EXPECT_EQ(records[0].position, 4096u);
    EXPECT_EQ(records[0].name, "notes.txt");
    EXPECT_NE(trace.find("ZIPHdr End Central Hdr "), std::string::npos);
  }
}

}  // namespace
