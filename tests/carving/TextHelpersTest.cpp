#include "carving/TextHelpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "volumes/FileTypes.h"

namespace {

using namespace std::string_literals;

uint64_t FileTimeNowForTest() {
  using namespace std::chrono;
  int64_t seconds = duration_cast<std::chrono::seconds>(system_clock::now().time_since_epoch()).count();
  return uint64_t((seconds + 11644473600LL) * 10000000LL);
}

TEST(TextHelpers, PrintableTableIsAsciiTextOnly) {
  int count = 0;
  for (int c = 0; c < 256; ++c) {
    bool expected = c == '\t' || c == '\n' || c == '\r' || (c >= 32 && c <= 126);
    EXPECT_EQ(kPrintableByte[size_t(c)], expected ? 1 : 0) << "byte " << c;
    count += kPrintableByte[size_t(c)];
  }
  EXPECT_EQ(count, 98);
}

TEST(TextHelpers, CountTextChars) {
  struct Case {
    std::string bytes;
    size_t nonZero, printable, trailingZeros;
  };
  const Case cases[] = {
      {"", 0, 0, 0},
      {"abc", 3, 3, 0},
      {"ab\0\0"s, 2, 2, 2},
      {"\0a\0"s, 1, 1, 1},
      {"\0\0\0"s, 0, 0, 3},
      {"\t\r\n ~"s, 5, 5, 0},
      {"\x01\x7F\x80\xFF" "A"s, 5, 1, 0},
      {"a\0b\0\0\0\0"s, 2, 2, 4},
  };
  for (const Case& c : cases) {
    TextCharCounts n = CountTextChars(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(n.nonZero, c.nonZero) << testing::PrintToString(c.bytes);
    EXPECT_EQ(n.printable, c.printable) << testing::PrintToString(c.bytes);
    EXPECT_EQ(n.trailingZeros, c.trailingZeros) << testing::PrintToString(c.bytes);
  }
  TextCharCounts none = CountTextChars(nullptr, 10);
  EXPECT_EQ(none.nonZero + none.printable + none.trailingZeros, 0u);
}

TEST(TextHelpers, FindExifDateTime) {
  struct Case {
    std::string bytes;
    int offset;  // -1: none
  };
  const Case cases[] = {
      {"2012:03:04 05:06:07", 0},                       // ends at the last byte
      {"xx2012:03:04 05:06:07", 2},                     // ends at the last byte
      {"2012:03:04 05:06:0", -1},                       // 18 bytes is too short
      {"2012:03:04 05:06:0a", -1},                      // 18 matching then a letter
      {"2012:03:04 05:06:0a2013:01:01 00:00:00", 19},   // restarts after the letter
      {"12012:03:04 05:06:07", -1},                     // a breaking byte is not retried as a first one
      {"0000:00:00 00:00:00", 0},
      {"9999:99:99 99:99:99", 0},
      {"2012-03-04 05:06:07", -1},
      {"2012:03:04T05:06:07", -1},
      {"Exif\0\0MM\0*2009:11:30 18:22:41\0more"s, 10},
  };
  for (const Case& c : cases) {
    const char* found = FindExifDateTime(c.bytes.data(), c.bytes.size());
    if (c.offset < 0) {
      EXPECT_EQ(found, nullptr) << c.bytes;
    } else {
      ASSERT_NE(found, nullptr) << c.bytes;
      EXPECT_EQ(found - c.bytes.data(), c.offset) << c.bytes;
    }
  }
  EXPECT_EQ(FindExifDateTime(nullptr, 100), nullptr);

  std::vector<uint8_t> sector(512, 0xFF);
  const std::string date = "2019:07:21 10:00:59";
  std::copy(date.begin(), date.end(), sector.begin() + 200);
  const char* found = FindExifDateTime(sector.data(), sector.size());
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found - reinterpret_cast<const char*>(sector.data()), 200);
  EXPECT_EQ(FindExifDateTime(sector.data(), 218), nullptr);  // cut one byte short
}

TEST(TextHelpers, FindXmlTagText) {
  const std::string xml =
      "<cp:coreProperties><dc:title>Quarterly report</dc:title>"
      "<dcterms:modified xsi:type=\"dcterms:W3CDTF\">2021-06-15T13:45:30Z</dcterms:modified>"
      "<dc:subject></dc:subject></cp:coreProperties>";
  auto title = FindXmlTagText(xml.c_str(), xml.size(), "<dc:title");
  ASSERT_TRUE(title);
  EXPECT_EQ(*title, "Quarterly report");
  auto modified = FindXmlTagText(xml.c_str(), xml.size(), "<dcterms:modified");
  ASSERT_TRUE(modified);
  EXPECT_EQ(*modified, "2021-06-15T13:45:30Z");
  auto subject = FindXmlTagText(xml.c_str(), xml.size(), "<dc:subject");
  ASSERT_TRUE(subject);
  EXPECT_TRUE(subject->empty());
  EXPECT_FALSE(FindXmlTagText(xml.c_str(), xml.size(), "<dc:creator"));
  EXPECT_FALSE(FindXmlTagText(nullptr, 10, "<a"));
}

TEST(TextHelpers, FindXmlTagTextKeepsToTheLength) {
  const std::string xml = "<a>text</a>";
  const size_t open = xml.find('>'), close = xml.find('<', 1);
  EXPECT_FALSE(FindXmlTagText(xml.c_str(), close, "<a"));       // '<' just beyond
  EXPECT_TRUE(FindXmlTagText(xml.c_str(), close + 1, "<a"));    // '<' the last byte
  EXPECT_FALSE(FindXmlTagText(xml.c_str(), open, "<a"));        // '>' beyond
  const std::string cut = "<b>x</b>\0<a>text</a>"s;
  EXPECT_FALSE(FindXmlTagText(cut.data(), cut.size(), "<a"));   // after the terminator
}

TEST(TextHelpers, AppendTextLine) {
  std::string out;
  AppendTextLine("first", &out);
  AppendTextLine("\r\n", &out);
  AppendTextLine("\r\n\r\n", &out);
  AppendTextLine("last", &out);
  EXPECT_EQ(out, "first\r\n\r\n\r\n\r\nlast\r\n");
  AppendTextLine("ignored", nullptr);
}

TEST(TextHelpers, GetCoreXmlModified) {
  struct Case {
    const char* text;
    uint64_t fileTime;
  };
  const Case cases[] = {
      {"2021-06-15T13:45:30Z", 132682383300000000ULL},
      {"2020-02-29T00:00:00Z", 132274080000000000ULL},
      {"1970-01-01T00:00:00Z", 116444736000000000ULL},
      {"2000/03/01 23:59:59", 125964287990000000ULL},
  };
  for (const Case& c : cases) {
    std::string xml = std::string("<dcterms:modified xsi:type=\"x\">") + c.text + "</dcterms:modified>";
    EXPECT_EQ(GetCoreXmlModified(xml.c_str(), xml.size()), c.fileTime) << c.text;
  }
  // Missing, short or impossible dates give the current time.
  for (const char* xml : {"<cp:coreProperties/>", "<dcterms:modified>2021-06-15</dcterms:modified>",
                          "<dcterms:modified>2021-13-01T00:00:00Z</dcterms:modified>",
                          "<dcterms:modified>2019-02-29T00:00:00Z</dcterms:modified>",
                          "<dcterms:modified>20x1-01-01T00:00:00Z</dcterms:modified>"}) {
    uint64_t before = FileTimeNowForTest();
    uint64_t got = GetCoreXmlModified(xml, strlen(xml));
    uint64_t after = FileTimeNowForTest() + 10000000ULL;
    EXPECT_GE(got, before) << xml;
    EXPECT_LE(got, after) << xml;
  }
}

TEST(TextHelpers, GetCoreXmlLastModifiedBy) {
  const std::string xml = "<cp:lastModifiedBy>Ana M\xC3\xBCller</cp:lastModifiedBy>";
  auto who = GetCoreXmlLastModifiedBy(xml.c_str(), xml.size());
  ASSERT_TRUE(who);
  EXPECT_EQ(*who, "Ana M\xC3\xBCller");
  EXPECT_FALSE(GetCoreXmlLastModifiedBy("<dc:title>x</dc:title>", 22));
}

TEST(TextHelpers, ClassifyTiffKind) {
  struct Case {
    std::string header;
    int type;
  };
  const Case cases[] = {
      {"II*\0\x10\0\0\0CR\x02\0"s, kTypeCr2},
      {"MM\0*\0\0\0\x08" "CR"s, kTypeCr2},
      {"II*\0\x08\0\0\0\x10\0"s, kTypeTif},
      {"II*\0\x10\0\0\0cr"s, kTypeTif},
      {"II*\0\x10\0\0\0C"s, kTypeTif},  // too short for byte 9
  };
  for (const Case& c : cases)
    EXPECT_EQ(ClassifyTiffKind(reinterpret_cast<const uint8_t*>(c.header.data()), c.header.size()), c.type)
        << testing::PrintToString(c.header);
  EXPECT_EQ(ClassifyTiffKind(nullptr, 100), kTypeTif);
}

}  // namespace
