// The Office property reader on the samples LibreOffice, python3-docx and
// python3-openpyxl wrote, read through a drive and through a node's volume,
// against what unzip shows of their docProps/core.xml; the names and folders
// of carved documents; and the archives that must leave the defaults.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "CarveHarness.h"
#include "carving/CarvedNames.h"
#include "carving/DriveReader.h"
#include "carving/OfficeProps.h"
#include "foundation/Globals.h"
#include "foundation/TimeUtil.h"
#include "storage/Drive.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"

using namespace carve_test;

namespace {

std::string TagText(const std::string& xml, const std::string& tag) {
  const size_t at = xml.find(tag);
  if (at == std::string::npos) return "";
  const size_t open = xml.find('>', at);
  const size_t close = xml.find('<', open);
  if (open == std::string::npos || close == std::string::npos || xml[open - 1] == '/') return "";
  return xml.substr(open + 1, close - open - 1);
}

struct OfficeSample {
  const char* file;
  uint8_t type;
};
const OfficeSample kOffice[] = {
    {"lo_text.docx", kTypeDocx},      {"lo_table.xlsx", kTypeXlsx}, {"lo_slides.pptx", kTypePptx},
    {"py_document.docx", kTypeDocx},  {"py_table.xlsx", kTypeXlsx},
};

// What unzip shows: the author (or "Unknown") and the modification time (or
// none: the reader then gives the current time).
struct Expected {
  std::string author;
  uint64_t time = 0;
};
Expected FromCore(const std::string& path) {
  const std::string core = RunCommand("unzip -p '" + path + "' docProps/core.xml");
  EXPECT_FALSE(core.empty()) << path;
  Expected e;
  e.author = TagText(core, "<cp:lastModifiedBy");
  if (e.author.empty()) e.author = "Unknown";
  const std::string modified = TagText(core, "<dcterms:modified");
  if (!modified.empty()) e.time = DateTextToFileTime(modified);
  return e;
}

void ExpectProps(const OfficeProps& p, uint8_t type, const Expected& e, uint64_t before, const std::string& what) {
  EXPECT_EQ(p.refinedType, type) << what;
  EXPECT_EQ(ToUtf8(p.name), e.author) << what;
  if (e.time) {
    EXPECT_EQ(p.fileTime, e.time) << what;
  } else {
    EXPECT_GE(p.fileTime, before) << what << ": the current time";
    EXPECT_LE(p.fileTime, CurrentFileTime()) << what;
  }
}

TEST(OfficeProps, ThroughAMemoryDriveAsUnzipShows) {
  if (!HaveTool("unzip")) GTEST_SKIP() << "unzip missing";
  for (const OfficeSample& s : kOffice) {
    const std::vector<uint8_t> file = LoadSample(s.file);
    ASSERT_FALSE(file.empty()) << s.file;
    const Expected e = FromCore(SampleFolder() + "/" + s.file);
    // The file from sector 5 of a disk; at 4 KiB sectors from sector 3.
    for (uint32_t ss : {512u, 4096u}) {
      std::vector<uint8_t> disk(size_t(ss) * (ss == 512 ? 5 : 3), 0x11);
      disk.insert(disk.end(), file.begin(), file.end());
      disk.resize(disk.size() + 3 * ss, 0x22);
      MemoryDrive drive(disk.data(), disk.size(), ss);
      const uint64_t before = CurrentFileTime();
      OfficeProps p;
      EXPECT_EQ(ReadOfficeXmlProps(&drive, ss == 512 ? 5 : 3, file.size(), &p), 1) << s.file;
      ExpectProps(p, s.type, e, before, std::string(s.file) + " at sector size " + std::to_string(ss));
      // Only the tail, the central directory and the properties are read.
      EXPECT_LE(drive.sectorsRead * ss, uint64_t(64 * 512 + 2 * 65536 + 2 * ss)) << s.file;
    }
  }
}

// Archives that are no Office documents, and broken ones: the defaults (the
// kind when the member names already told it).
TEST(OfficeProps, DefaultsWhenThePropertiesCannotBeRead) {
  const std::vector<uint8_t> docx = LoadSample("py_document.docx");
  const std::vector<uint8_t> plain = LoadSample("zip_plain.zip");
  ASSERT_FALSE(docx.empty());
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    uint64_t size;  // the size given to the reader
    int64_t failFrom = -1;
    uint8_t type = 0;
  };
  std::vector<uint8_t> noEnd = docx;
  for (size_t i = noEnd.size() - 22; i < noEnd.size(); ++i) noEnd[i] = 0;
  std::vector<uint8_t> badDirectory = docx;
  // The end record's central directory offset past the file.
  badDirectory[badDirectory.size() - 22 + 16] = 0xFF;
  badDirectory[badDirectory.size() - 22 + 17] = 0xFF;
  badDirectory[badDirectory.size() - 22 + 18] = 0xFF;
  const Case cases[] = {
      {"a plain archive", plain, plain.size()},
      {"size 0", docx, 0},
      {"cut before its end record", docx, docx.size() - 10},
      {"no end record", noEnd, noEnd.size()},
      {"a central directory offset past the file", badDirectory, badDirectory.size()},
      {"a failing read", docx, docx.size(), 2},
      {"a file that runs past the drive", docx, docx.size() + 100000},
  };
  for (const Case& c : cases) {
    MemoryDrive drive(c.file.data(), c.file.size());
    drive.failFrom = c.failFrom;
    const uint64_t before = CurrentFileTime();
    OfficeProps p;
    p.name = u"x";
    p.refinedType = 99;
    EXPECT_EQ(ReadOfficeXmlProps(&drive, 0, c.size, &p), 0) << c.what;
    EXPECT_EQ(p.refinedType, c.type) << c.what;
    EXPECT_EQ(ToUtf8(p.name), "Unknown") << c.what;
    EXPECT_GE(p.fileTime, before) << c.what;
  }
  EXPECT_EQ(ReadOfficeXmlProps(static_cast<HdrReader*>(nullptr), 0, 100, nullptr), 0);
}

// Archives written here by python's zipfile: headers that claim more than
// was read, a properties member that inflates past 1 MiB, a long author.
TEST(OfficeProps, HostileArchives) {
  if (!HaveTool("python3")) GTEST_SKIP() << "python3 missing";
  const TempFolder temp("office_props");
  const std::string& dir = temp.Path();
  const std::string script = dir + "/make.py";
  WriteFileText(script,
                "import sys, zipfile\n"
                "d = sys.argv[1]\n"
                "core = '<cp:coreProperties><cp:lastModifiedBy>%s</cp:lastModifiedBy>"
                "<dcterms:modified>2020-01-02T03:04:05Z</dcterms:modified></cp:coreProperties>'\n"
                "def make(name, text, pad=0):\n"
                "    with zipfile.ZipFile(d + '/' + name, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                "        z.writestr('word/_rels/document.xml.rels', 'x')\n"
                "        z.writestr('docProps/core.xml', text + ' ' * pad)\n"
                "make('bomb.docx', core % 'A', 3 << 20)\n"
                "make('long.docx', core % ('\\u00e9' * 300))\n"
                "make('plain.docx', core % 'Someone')\n");
  ASSERT_EQ(std::system(("python3 '" + script + "' '" + dir + "'").c_str()), 0);
  struct Case {
    const char* file;
    int result;
    std::string author;
  };
  const Case cases[] = {
      {"plain.docx", 1, "Someone"},
      {"bomb.docx", 0, "Unknown"},          // over 64 KiB of data, or past 1 MiB inflated
      {"long.docx", 1, std::string(2 * 127, '\0')},  // 254 bytes: 127 two-byte letters
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> file = LoadFile(dir + "/" + c.file);
    ASSERT_FALSE(file.empty()) << c.file;
    MemoryDrive drive(file.data(), file.size());
    OfficeProps p;
    EXPECT_EQ(ReadOfficeXmlProps(&drive, 0, file.size(), &p), c.result) << c.file;
    EXPECT_EQ(p.refinedType, kTypeDocx) << c.file;
    if (c.author[0] == 0) {
      EXPECT_EQ(p.name.size(), 127u) << c.file;
      EXPECT_EQ(p.name[0], u'\u00e9') << c.file;
    } else {
      EXPECT_EQ(ToUtf8(p.name), c.author) << c.file;
    }
    if (c.result) {
      EXPECT_EQ(p.fileTime, DateTextToFileTime("2020-01-02T03:04:05Z")) << c.file;
    }
  }
  // Headers whose lengths run past the bytes read: a name length in the
  // last central header that points past the directory.
  std::vector<uint8_t> file = LoadFile(dir + "/plain.docx");
  size_t last = 0;
  for (size_t i = 0; i + 4 <= file.size(); ++i)
    if (file[i] == 'P' && file[i + 1] == 'K' && file[i + 2] == 1 && file[i + 3] == 2) last = i;
  ASSERT_GT(last, 0u);
  file[last + 28] = 0xFF;
  file[last + 29] = 0xFF;
  MemoryDrive drive(file.data(), file.size());
  OfficeProps p;
  ReadOfficeXmlProps(&drive, 0, file.size(), &p);
  EXPECT_EQ(p.refinedType, kTypeDocx);
}

// Through a real drive on a disk image, and through a node whose runs point
// at the file on a volume of that drive.
TEST(OfficeProps, ThroughADriveAndThroughANode) {
  if (!HaveTool("unzip")) GTEST_SKIP() << "unzip missing";
  SetNodeTypeSniffer(&SniffNodeCarvedType);  // as the root does
  GlobalObjectsScope scope;
  const TempFolder temp("office_drive");
  const std::string& dir = temp.Path();
  const std::string image = dir + "/disk.img";
  std::vector<uint8_t> disk(4 * 4096, 0x33);
  std::vector<std::pair<const OfficeSample*, uint64_t>> placed;
  for (const OfficeSample& s : kOffice) {
    const std::vector<uint8_t> f = LoadSample(s.file);
    placed.push_back({&s, disk.size()});
    disk.insert(disk.end(), f.begin(), f.end());
    disk.resize((disk.size() + 4095) / 4096 * 4096 + 8192, 0x44);
  }
  WriteFileText(image, std::string(disk.begin(), disk.end()));
  std::unique_ptr<Drive> drive(CreateDrive(FromUtf8(image)));
  drive->InitDrive(FromUtf8(image));
  DriveHdrReader reader(drive.get());
  CVol volume;
  volume.drive = drive.get();
  volume.type = kVolNtfs;
  ASSERT_TRUE(volume.SetSectorSize(512));
  ASSERT_TRUE(volume.SetClusterSize(4096));
  for (const auto& [s, offset] : placed) {
    const std::vector<uint8_t> f = LoadSample(s->file);
    const Expected e = FromCore(SampleFolder() + "/" + s->file);
    const uint64_t before = CurrentFileTime();
    OfficeProps p;
    EXPECT_EQ(ReadOfficeXmlProps(&reader, int64_t(offset / 512), f.size(), &p), 1) << s->file;
    ExpectProps(p, s->type, e, before, std::string(s->file) + " through the drive");
    snode node;
    node.runs = MakeRuns(int64_t(offset / 4096), (f.size() + 4095) / 4096);
    node.SetClusterBytes(4096, 512);
    node.size = f.size();
    OfficeProps q;
    EXPECT_EQ(ReadOfficeXmlProps(&volume, &node, 0, &q), 1) << s->file;
    ExpectProps(q, s->type, e, before, std::string(s->file) + " through a node");
    EXPECT_EQ(ToUtf8(volume.SniffNodeType(&node)), ToUtf8(FileTypeExtension(s->type))) << s->file;
  }
  drive.reset();
}

// Carved documents are named and foldered by their modification date; the
// ones without a date by the scan's day; pictures by their EXIF date.
TEST(OfficeProps, PlacesOfCarvedFiles) {
  struct Case {
    const char* file;
    int type;
    const char* name;
    const char* folder;
  };
  const Case cases[] = {
      {"py_document.docx", kTypeDocx, "2021-03-04_000007.docx", "docx\\2021-03"},
      {"py_table.xlsx", kTypeXlsx, "2022-11-12_000007.xlsx", "xlsx\\2022-11"},
      {"zip_plain.zip", kTypeZip, "zip000007.zip", "zip"},
      {"lo_text.pdf", kTypePdf, "pdf000007.pdf", "pdf"},
      {"jpg_exif.jpg", kTypeJpg, "jpg000007.jpg", "jpg\\2019-05-17"},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> f = LoadSample(c.file);
    std::vector<uint8_t> disk(2048, 0);
    disk.insert(disk.end(), f.begin(), f.end());
    disk.resize(disk.size() + 4096, 0);
    MemoryDrive drive(disk.data(), disk.size());
    const CarvedPlace place = PlaceCarvedFile(&drive, c.type, 4, f.size(), 7, f.data(), 512);
    EXPECT_EQ(ToUtf8(place.name), c.name) << c.file;
    EXPECT_EQ(ToUtf8(place.folder), c.folder) << c.file;
  }
  // LibreOffice writes no modification date: the scan's day.
  const std::vector<uint8_t> f = LoadSample("lo_text.docx");
  MemoryDrive drive(f.data(), f.size());
  const time_t now = time(nullptr);
  const CarvedPlace place = PlaceCarvedFile(&drive, kTypeDocx, 0, f.size(), 1, f.data(), 512);
  struct tm day {};
  gmtime_r(&now, &day);
  char name[64], folder[64];
  snprintf(name, sizeof name, "%04d-%02d-%02d_000001.docx", day.tm_year + 1900, day.tm_mon + 1, day.tm_mday);
  snprintf(folder, sizeof folder, "docx\\%04d-%02d", day.tm_year + 1900, day.tm_mon + 1);
  // Around midnight the day may have turned between the two clocks.
  if (ToUtf8(place.name) != name) GTEST_SKIP() << "the day turned";
  EXPECT_EQ(ToUtf8(place.folder), folder);
}

}  // namespace
