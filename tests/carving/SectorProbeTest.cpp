// The header probe: one row per signature, first match wins, the rows that
// ask a running parser, and the probe of a file's first bytes.
#include "carving/SectorProbe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "carving/HdrParse.h"
#include "volumes/FileTypes.h"

using namespace carve_test;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Sector(std::initializer_list<std::pair<size_t, std::string>> parts) {
  Bytes s(512, 0);
  for (const auto& [at, text] : parts) std::memcpy(&s[at], text.data(), text.size());
  return s;
}

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(char(b));
  return s;
}

Bytes TapeHeader() {
  Bytes s = Sector({{0, "TAPE"}, {84, B({0, 2})}});
  uint16_t x = 0;
  for (int i = 0; i < 25; ++i) x ^= uint16_t(s[2 * i] | s[2 * i + 1] << 8);
  s[50] = uint8_t(x), s[51] = uint8_t(x >> 8);
  return s;
}

TEST(SectorProbe, EveryRow) {
  struct Case {
    const char* name;
    Bytes sector;
    uint8_t type;
  };
  const Bytes bmp = Sector({{0, "BM"}, {2, B({0x36, 0x10})}, {14, B({40})}, {26, B({1})}});
  // Every info header size writers use, each with its planes word; others
  // are no picture.
  auto bmpWith = [&](uint8_t infoBytes) {
    Bytes b = bmp;
    b[14] = infoBytes;
    if (infoBytes == 12) b[26] = 0, b[22] = 1;
    return b;
  };
  Bytes tapeBad = TapeHeader();
  tapeBad[50] ^= 1;
  const std::vector<Case> cases = {
      {"doc", Sector({{0, B({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1})}}), kTypeDoc},
      {"INFO2", Sector({{12, B({0x20, 0x03, 0, 0})}, {20, "C:\\x"}}), kTypeInfo2},
      {"rtf", Sector({{0, "{\\rtf1"}}), kTypeRtf},
      {"pdf", Sector({{0, "%PDF-1.4"}}), kTypePdf},
      {"bmp", bmp, kTypeBmp},
      {"bmp core header", bmpWith(12), kTypeBmp},
      {"bmp 52", bmpWith(52), kTypeBmp},
      {"bmp 56", bmpWith(56), kTypeBmp},
      {"bmp OS/2 2.x", bmpWith(64), kTypeBmp},
      {"bmp V4", bmpWith(108), kTypeBmp},
      {"bmp V5", bmpWith(124), kTypeBmp},
      {"bmp 41", bmpWith(41), kNoFileType},
      {"bmp 128", bmpWith(128), kNoFileType},
      {"wma",
       Sector(
           {{0, B({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C})}}),
       kTypeWma},
      {"mrw", Sector({{0, B({0, 'M', 'R', 'M'})}}), kTypeMrw},
      {"avi", Sector({{0, "RIFF"}, {8, "AVI "}}), kTypeAvi},
      {"wav", Sector({{0, "RIFF"}, {8, "WAVE"}}), kTypeWav},
      {"riff other", Sector({{0, "RIFF"}, {8, "CDDA"}}), kNoFileType},
      {"mov pnot", Sector({{3, B({20})}, {4, "pnot"}}), kTypeMov},
      {"mov ftyp", Sector({{3, B({24})}, {4, "ftyp"}}), kTypeMov},
      {"mts", Sector({{4, B({'G', '@', 0, 0x10})}, {196, B({'G', 'A', 0, 0x10})}}), kTypeMts},
      {"mts time code", Sector({{0, B({0x80})}, {4, B({'G', '@', 0, 0x10})}, {196, B({'G', 'A', 0, 0x10})}}),
       kNoFileType},
      // ffmpeg opens with its service table, then the association table.
      {"mts service table first", Sector({{4, B({'G', '@', 0x11, 0x10})}, {196, B({'G', '@', 0, 0x10})}}), kTypeMts},
      // The program map where the association table names it.
      {"mts map named",
       Sector({{4, B({'G', '@', 0, 0x10, 0, 0, 0xB0, 13, 0, 1, 0xC1, 0, 0, 0, 1, 0xF0, 0})},
               {196, B({'G', 'P', 0, 0x10})}}),
       kTypeMts},
      {"mts map not named", Sector({{4, B({'G', '@', 0, 0x10})}, {196, B({'G', 'P', 0, 0x10})}}), kNoFileType},
      {"mts video first", Sector({{4, B({'G', 'A', 0, 0x10})}, {196, B({'G', '@', 0, 0x10})}}), kNoFileType},
      {"mts map first", Sector({{4, B({'G', 'P', 0, 0x10, 0, 2})}, {196, B({'G', '@', 0, 0x10})}}), kTypeMts},
      {"ts 188 map first", Sector({{0, B({'G', 'P', 0, 0x10, 0, 2})}, {188, B({'G', '@', 0x11, 0x10})}}), kTypeMts},
      {"ts 188 map first, video next", Sector({{0, B({'G', 'P', 0, 0x10, 0, 2})}, {188, B({'G', 'A', 0, 0x10})}}),
       kNoFileType},
      {"ts 188", Sector({{0, B({'G', '@', 0x11, 0x10})}, {188, B({'G', '@', 0, 0x10})}}), kTypeMts},
      {"ts 188 one table twice", Sector({{0, B({'G', '@', 0, 0x10})}, {188, B({'G', '@', 0, 0x10})}}), kNoFileType},
      {"zip local", Sector({{0, B({'P', 'K', 3, 4, 20, 0})}}), kTypeZip},
      {"zip local, version high byte", Sector({{0, B({'P', 'K', 3, 4, 20, 1})}}), kNoFileType},
      {"zip local, version high byte, a plausible header",
       Sector({{0, B({'P', 'K', 3, 4, 20, 3, 0, 0, 8, 0})}, {18, B({100, 0, 0, 0, 0x90, 1, 0, 0, 5, 0})}}), kTypeZip},
      {"zip descriptor", Sector({{0, B({'P', 'K', 7, 8})}}), kTypeZip},
      {"zip spanned", Sector({{0, "PK00PK"}}), kTypeZip},
      {"bkf", TapeHeader(), kTypeBkf},
      {"bkf bad checksum", tapeBad, kNoFileType},
      {"dwg R14", Sector({{0, "AC1014"}}), kTypeDwg},
      {"dwg 2000", Sector({{0, "AC1015"}}), kTypeDwg},
      {"dwg 2004", Sector({{0, "AC1018"}}), kNoFileType},
      {"mxf",
       Sector({{0, B({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00,
                      0x83})}}),
       kTypeMxf},
      {"mxf body partition",
       Sector(
           {{0, B({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x03, 0x04, 0x00})}}),
       kNoFileType},
      {"gif87a", Sector({{0, "GIF87a"}}), kTypeGif},
      {"gif89a", Sector({{0, "GIF89a"}}), kTypeGif},
      {"wmf", Sector({{0, B({0xD7, 0xCD, 0xC6, 0x9A})}}), kTypeWmf},
      {"mp3 frame", Sector({{0, B({0xFF, 0xFB, 0x90})}}), kTypeMp3},
      {"mp3 MPEG-2 frame", Sector({{0, B({0xFF, 0xF3, 0x90})}}), kTypeMp3},
      {"mp3 MPEG-2.5 frame", Sector({{0, B({0xFF, 0xE3, 0x40})}}), kTypeMp3},
      {"mp3 Layer I", Sector({{0, B({0xFF, 0xF7, 0x90})}}), kNoFileType},
      {"mp3 id3", Sector({{0, "ID3"}}), kTypeMp3},
      {"jpg jfif", Sector({{0, B({0xFF, 0xD8, 0xFF, 0xE0})}}), kTypeJpg},
      {"jpg exif", Sector({{0, B({0xFF, 0xD8, 0xFF, 0xE1})}}), kTypeJpg},
      {"jpg comment", Sector({{0, B({0xFF, 0xD8, 0xFF, 0xFE})}}), kTypeJpg},
      {"jpg tables first", Sector({{0, B({0xFF, 0xD8, 0xFF, 0xDB})}}), kNoFileType},
      {"tif little", Sector({{0, B({'I', 'I', 42, 0, 0x10, 0x27, 0, 0})}}), kTypeTif},
      {"tif big at 8", Sector({{0, B({'M', 'M', 0, 42, 0, 0, 0, 8})}}), kTypeTif},
      // libtiff and ImageMagick put the first directory at the end.
      {"tif big at the end", Sector({{0, B({'M', 'M', 0, 42, 0, 1, 0x2A, 0x10})}}), kTypeTif},
      {"tif big inside the header", Sector({{0, B({'M', 'M', 0, 42, 0, 0, 0, 4})}}), kNoFileType},
      {"png", Sector({{0, B({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})}}), kTypePng},
      {"INDX", Sector({{0, "INDX"}}), kTypeIdx},
      {"zeros", Sector({}), kNoFileType},
      {"text", Sector({{0, "Hello, world"}}), kNoFileType},
  };
  for (const Case& c : cases) EXPECT_EQ(int(ProbeSectorSignature(c.sector.data())), int(c.type)) << c.name;
}

TEST(SectorProbe, FirstMatchWins) {
  // A compound document is taken before the INFO2 test.
  Bytes s =
      Sector({{0, B({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1})}, {12, B({0x20, 0x03, 0, 0})}, {21, ":\\"}});
  EXPECT_EQ(ProbeSectorSignature(s.data()), kTypeDoc);
  // The INFO2 test comes before every first-byte row.
  s = Sector({{0, "%PDF-"}, {12, B({0x20, 0x03, 0, 0})}, {21, ":\\"}});
  EXPECT_EQ(ProbeSectorSignature(s.data()), kTypeInfo2);
  // Transport-stream packets come after mov and before zip.
  s = Sector({{0, B({0, 0, 0, 20})}, {4, "pnot"}, {196, B({'G', 'A', 0, 0x10})}});
  EXPECT_EQ(ProbeSectorSignature(s.data()), kTypeMov);
  s = Sector({{0, B({'P', 'K', 7, 8, 'G', '@', 0, 0x10})}, {196, B({'G', 'A', 0, 0x10})}});
  EXPECT_EQ(ProbeSectorSignature(s.data()), kTypeZip) << "a time code byte 'P' is no packet's";
  s = Sector({{0, B({0x20, 'K', 7, 8, 'G', '@', 0, 0x10})}, {196, B({'G', 'A', 0, 0x10})}});
  EXPECT_EQ(ProbeSectorSignature(s.data()), kTypeMts);
}

TEST(SectorProbe, RowsThatAskTheRunningParser) {
  HdrParse driver;
  const Bytes zip = Sector({{0, B({'P', 'K', 3, 4, 20, 0})}});
  driver.Slot(kTypeZip)->startLimit = 100;
  EXPECT_EQ(ProbeSectorSignature(zip.data(), &driver, 99), kNoFileType);
  EXPECT_EQ(ProbeSectorSignature(zip.data(), &driver, 100), kTypeZip);
  driver.Slot(kTypeZip)->state = kHdrActive;
  EXPECT_EQ(ProbeSectorSignature(zip.data(), &driver, 200), kNoFileType);

  const Bytes mp3 = Sector({{0, B({0xFF, 0xFB})}});
  EXPECT_EQ(ProbeSectorSignature(mp3.data(), &driver, 5), kTypeMp3);
  driver.Slot(kTypeMp3)->state = kHdrActive;
  EXPECT_EQ(ProbeSectorSignature(mp3.data(), &driver, 5), kNoFileType) << "frames inside an open mp3";
  const Bytes id3 = Sector({{0, "ID3"}});
  EXPECT_EQ(ProbeSectorSignature(id3.data(), &driver, 5), kTypeMp3) << "a tag is a new file";
}

TEST(SectorProbe, FirstBytesOfFiles) {
  EXPECT_EQ(CarvedHeaderType(nullptr, 0), kNoFileType);
  const uint8_t jpg[] = {0xFF, 0xD8, 0xFF, 0xE0};
  EXPECT_EQ(CarvedHeaderType(jpg, sizeof jpg), kTypeJpg) << "shorter than a sector";
  EXPECT_EQ(CarvedHeaderType(jpg, 3), kNoFileType);
  const Bytes cr2 = LoadSample("cr2_layout.cr2");
  EXPECT_EQ(CarvedHeaderType(cr2.data(), cr2.size()), kTypeCr2);
  const Bytes tif = LoadSample("tif_msb.tif");
  EXPECT_EQ(CarvedHeaderType(tif.data(), tif.size()), kTypeTif);
  const Bytes nef = LoadSample("nef_subifd.tif");
  EXPECT_EQ(CarvedHeaderType(nef.data(), 600), kTypeTif) << "only the directories tell a nef";
}

}  // namespace
