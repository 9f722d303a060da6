// PDF, RTF and DWG parsers on files made here for one rule each, at reads
// of every size from a sector up and split at the bytes that decide.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "carving/Documents.h"
#include "volumes/FileTypes.h"

using namespace carve_test;
using namespace std::string_literals;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// The file followed by a tail, fed at several read sizes and (unless the
// reads must end with sectors, as the pass's do) split at every byte of the
// first 2 KiB; the recorded size must be `want` (0: no file).
void ExpectSize(int type, const std::vector<uint8_t>& image, int64_t want, const std::string& what,
                bool wholeSectors = false) {
  std::vector<std::vector<size_t>> splits = {EvenReads(image.size(), 512), EvenReads(image.size(), 4096),
                                             EvenReads(image.size(), 1 << 20)};
  if (!wholeSectors) splits.push_back(EvenReads(image.size(), 1000));
  for (size_t at = 512; at < std::min<size_t>(image.size(), 2048); at += wholeSectors ? 512 : 1)
    splits.push_back(ReadsAt(image.size(), {at}));
  for (const auto& reads : splits) {
    const FeedResult r = FeedFileAs(type, image.data(), image.size(), reads);
    SCOPED_TRACE(what + ": " + r.Describe() + ", first read " + std::to_string(reads[0]));
    if (want == 0) {
      EXPECT_FALSE(r.recorded);
    } else {
      EXPECT_TRUE(r.recorded);
      EXPECT_EQ(r.size, want);
      EXPECT_EQ(r.type, type);
    }
    if (testing::Test::HasFailure()) return;
  }
}

// Text padded with `pad` up to `at` bytes.
std::string PadTo(std::string s, size_t at, char pad = ' ') {
  if (s.size() < at) s.append(at - s.size(), pad);
  return s;
}

std::string RandomText(size_t n, uint32_t seed) {
  std::string s(n, 0);
  uint32_t x = seed;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 16);
  }
  return s;
}

const std::string kPdfBody =
    "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
    "2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n"
    "xref\n0 3\n0000000000 65535 f \n0000000009 00000 n \n0000000058 00000 n \n"
    "trailer\n<< /Size 3 /Root 1 0 R >>\nstartxref\n110\n";

TEST(PdfParser, EndMarkerCases) {
  struct Case {
    const char* what;
    std::string file;  // the file as it must come back
    std::string after;  // what follows it on the disk
  };
  const std::string body = PadTo(kPdfBody, 700);
  const std::string update = "3 0 obj\n<< /Type /Annot >>\nendobj\nxref\n3 1\n0000000800 00000 n \n"
                             "trailer\n<< /Size 4 /Root 1 0 R /Prev 110 >>\nstartxref\n830\n%%EOF\n";
  const Case cases[] = {
      {"LF, then zeros", body + "%%EOF\n", std::string(4096, '\0')},
      {"CR LF, then zeros", body + "%%EOF\r\n", std::string(4096, '\0')},
      {"CR, then zeros", body + "%%EOF\r", std::string(4096, '\0')},
      {"no line end, then zeros", body + "%%EOF", std::string(4096, '\0')},
      {"LF, then random bytes", body + "%%EOF\n", "\x8e" + RandomText(4096, 1)},
      {"LF, then text of another kind", body + "%%EOF\n", "  \r\nQuarterly report, page 1\n" + std::string(4096, 'x')},
      {"CR LF, then another PDF", body + "%%EOF\r\n", "%PDF-1.5\n" + std::string(4096, 'y')},
      {"two revisions, the update straight after the line end", body + "%%EOF\n" + update, std::string(4096, '\0')},
      {"two revisions, the update after white space", body + "%%EOF\n\n" + update, RandomText(4096, 2)},
      {"an update that starts with its cross-reference section",
       body + "%%EOF\n" + "xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Size 3 >>\nstartxref\n5\n%%EOF\n",
       std::string(4096, '\0')},
      {"an update whose object numbers are split by white space",
       body + "%%EOF\n" + "12\r\n0\tobj\n<< >>\nendobj\n%%EOF\n", std::string(4096, '\0')},
      {"a marker inside a longer run of percent signs", body + "%%%EOF\n", std::string(4096, '\0')},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> image = Bytes(c.file + c.after);
    ExpectSize(kTypePdf, image, int64_t(c.file.size()), c.what);
  }
}

// The line end of a marker is the last byte of a sector: the next sector
// tells whether an update follows (an object in its first 64 bytes).
TEST(PdfParser, AMarkerThatEndsASector) {
  const std::string first = PadTo(kPdfBody, 1024 - 6) + "%%EOF\n";
  ASSERT_EQ(first.size(), 1024u);
  const std::string update = "3 0 obj\n<< >>\nendobj\n" + PadTo("", 600) + "%%EOF\n";
  // The next sector begins an update: the file goes on to the second marker.
  ExpectSize(kTypePdf, Bytes(first + update + std::string(2048, '\0')), int64_t(first.size() + update.size()),
             "update in the next sector", true);
  // Text without an object: the file ends with the sector.
  ExpectSize(kTypePdf, Bytes(first + PadTo("Unrelated text", 512, 'z') + std::string(2048, '\0')), 1024,
             "other text in the next sector", true);
  // "obj" past the next sector's first 64 bytes does not count.
  ExpectSize(kTypePdf, Bytes(first + PadTo(std::string(70, 'q') + " 3 0 obj", 512, 'z') + std::string(2048, '\0')),
             1024, "an object past the first 64 bytes", true);
  // A sector that begins with "%" (another file's header) ends it too.
  ExpectSize(kTypePdf, Bytes(first + PadTo("%PDF-1.4 1 0 obj", 512) + std::string(2048, '\0')), 1024,
             "a percent sign", true);
}

// The object test looks at the sector where the line ends, not at the start
// of the buffer: a read that starts with the file's own objects, far before
// the marker, must not make the file run on.
TEST(PdfParser, TheObjectTestLooksAtTheSectorNotTheBuffer) {
  const std::string first = PadTo(kPdfBody, 4096 - 6) + "%%EOF\n";  // the line ends with sector 7
  const std::string next = PadTo("Plain text after the file", 512, 'z');
  const std::vector<uint8_t> image = Bytes(first + next + std::string(4096, '\0'));
  ExpectSize(kTypePdf, image, 4096, "object text at the start of the read", true);
}

// A PDF that is never closed is never carved (the pass abandons it).
TEST(PdfParser, NoMarkerNoFile) {
  ExpectSize(kTypePdf, Bytes(PadTo(kPdfBody, 3000) + RandomText(8192, 3)), 0, "no marker");
}

TEST(RtfParser, BracesAndLineEnds) {
  struct Case {
    const char* what;
    std::string file;
    std::string after;
    int64_t size;  // -1: the file's own size; 0: no file
  };
  const std::string text = PadTo("{\\rtf1\\ansi{\\fonttbl{\\f0 Times;}}\\f0 Some text.\\par\n", 600);
  const Case cases[] = {
      {"CR LF after the closing brace", text + "}\r\n", std::string(2048, '\0'), -1},
      {"LF after the closing brace", text + "}\n", RandomText(2048, 4), -1},
      // The file ends at its brace (and a line end right after it):
      // whatever follows is the disk's.
      {"a zero byte after the closing brace", text + "}", std::string(2048, '\0'), -1},
      {"text on the line after the brace", text + "}", " trailing words\r\n" + std::string(2048, '\0'), -1},
      {"random bytes after the closing brace", text + "}", RandomText(2048, 5), -1},
      {"escaped braces", PadTo("{\\rtf1 a \\} b \\{ c \\}\\} d", 600) + "}\n", std::string(2048, 'x'), -1},
      {"an escaped backslash before a real brace", PadTo("{\\rtf1 {\\i a\\\\}", 600) + "}\n", std::string(2048, 'x'),
       -1},
      {"a \\bin payload with braces and zero bytes", PadTo("{\\rtf1 {\\*\\blob\\bin8 }}\0{\0{\\}}"s, 600) + "}\r\n",
       std::string(2048, '\0'), -1},
      {"a \\bin payload across the first sector",
       PadTo("{\\rtf1 text", 480) + "{\\*\\blob\\bin700 " + std::string(700, '}') + "}}\n", std::string(2048, '\0'),
       -1},
      {"\\bin without a count", PadTo("{\\rtf1 {\\bin \\b0 x}", 600) + "}\n", std::string(2048, '\0'), -1},
      {"a longer control word that starts with bin", PadTo("{\\rtf1 \\binx8 {x}", 600) + "}\n", std::string(2048, '\0'),
       -1},
      {"a zero byte inside the document", PadTo("{\\rtf1 text", 600) + std::string(1, '\0') + "}\n",
       std::string(2048, '\0'), 0},
      {"a carriage return without its line feed", text + "}\r", "X" + std::string(2048, '\0'), -1},
  };
  for (const Case& c : cases) {
    const int64_t size = c.size < 0 ? int64_t(c.file.size()) : c.size;
    ExpectSize(kTypeRtf, Bytes(c.file + c.after), size, c.what);
  }
}

std::vector<uint8_t> Dwg(const std::vector<std::pair<uint32_t, uint32_t>>& sections, uint32_t count = 0,
                         bool renumber = false) {
  uint64_t end = 512;
  for (const auto& [seeker, size] : sections) end = std::max<uint64_t>(end, uint64_t(seeker) + size);
  std::vector<uint8_t> d(size_t(std::min<uint64_t>(end, 1 << 20)) + 4096, 0x5A);
  std::memcpy(d.data(), "AC1015", 6);
  const uint32_t n = count ? count : uint32_t(sections.size());
  std::memcpy(&d[21], &n, 4);
  for (size_t i = 0; i < sections.size(); ++i) {
    uint8_t* r = &d[25 + 9 * i];
    r[0] = uint8_t(renumber ? i + 1 : i);
    std::memcpy(r + 1, &sections[i].first, 4);
    std::memcpy(r + 5, &sections[i].second, 4);
  }
  return d;
}

TEST(DwgParser, LocatorCases) {
  struct Case {
    const char* what;
    std::vector<uint8_t> image;
    int64_t size;
  };
  std::vector<std::pair<uint32_t, uint32_t>> fifty, fiftyOne;
  for (uint32_t i = 0; i < 51; ++i) (i < 50 ? fifty : fiftyOne).push_back({600 + 100 * i, 100});
  fiftyOne.insert(fiftyOne.begin(), fifty.begin(), fifty.end());
  const Case cases[] = {
      {"three sections", Dwg({{0x100, 0x2000}, {0x2100, 0x1800}, {0x4000, 0xC00}}), 0x4C00},
      {"out of seeker order, the end from the largest", Dwg({{0x3000, 0x800}, {0x80, 0x1000}, {0x1080, 0x10}}),
       0x3800},
      {"touching sections", Dwg({{100, 100}, {200, 100}}), 300},
      {"overlapping sections", Dwg({{100, 150}, {200, 100}}), 0},
      {"50 locators", Dwg(fifty), 600 + 100 * 50},
      {"51 locators", Dwg(fiftyOne), 0},
      {"no locator", Dwg({}), 0},
      {"a record number out of place", Dwg({{100, 100}, {200, 100}}, 0, true), 0},
      {"an end of 32 bytes", Dwg({{0, 32}}), 0},
      {"an end of 33 bytes", Dwg({{0, 33}}), 33},
      {"a section past 4 GiB", Dwg({{0xFFFFFF00, 0x200}}, 0), int64_t(0xFFFFFF00) + 0x200},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t>& image = c.image;
    const std::vector<size_t> reads = EvenReads(image.size(), 4096);
    const FeedResult r = FeedFileAs(kTypeDwg, image.data(), image.size(), reads);
    SCOPED_TRACE(std::string(c.what) + ": " + r.Describe());
    if (c.size == 0) {
      EXPECT_FALSE(r.recorded);
    } else if (uint64_t(c.size) > image.size()) {
      // Recorded no further than the drive's end.
      EXPECT_TRUE(r.recorded);
      EXPECT_EQ(r.size, int64_t(image.size()));
    } else {
      EXPECT_TRUE(r.recorded);
      EXPECT_EQ(r.size, c.size);
    }
  }
}

TEST(FindToken, Table) {
  const std::string s = "abc obj xyz";
  const uint8_t* b = reinterpret_cast<const uint8_t*>(s.data());
  EXPECT_TRUE(FindToken(b, s.size(), "obj"));
  EXPECT_TRUE(FindToken(b, 7, "obj"));
  EXPECT_FALSE(FindToken(b, 6, "obj"));
  EXPECT_TRUE(FindToken(b, s.size(), "xyz"));
  EXPECT_FALSE(FindToken(b, s.size(), "xyzz"));
  EXPECT_FALSE(FindToken(b, 0, "a"));
  EXPECT_FALSE(FindToken(nullptr, 5, "a"));
}

// XML is recognised by the probe and never carved.
TEST(XmlParser, NeverCarved) {
  const std::vector<uint8_t> image = Bytes(PadTo("<?xml version=\"1.0\"?><a>b</a>", 4096));
  EXPECT_FALSE(FeedFileAs(kTypeXml, image.data(), image.size(), EvenReads(image.size(), 512)).recorded);
}

}  // namespace
