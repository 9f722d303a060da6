// The mapping passes after the Long Scan's sector pass, end to end through
// the headless driver.
//
// Carved files: the raw
// images of tests/fixtures/carve/layin.py (files laid in with random filler,
// no metadata at all) and the NTFS image of the samples
// (tests/fixtures/make_carve_ntfs.sh, mkntfs + ntfs-3g), intact and with its
// $MFT and $MFTMirr clusters (from `istat`) zeroed, and a FAT32 volume
// formatted again over them (tests/fixtures/make_carve_fat32.sh). `dvscan --long` lists
// and `--recover` saves; the saved files are compared by md5 with the
// samples and, for the lay-ins, with what the carving side alone finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "carving/CarveScan.h"
#include "carving/DriveReader.h"
#include "carving/HdrNode.h"
#include "platform/Memory.h"
#include "platform/Text.h"
#include "storage/Drive.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/CarveLayIns.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/FileTypes.h"

namespace {

std::string Samples() { return CarveSampleFolder(); }

// What the carving side finds on an image on its own (the drive read in
// 1 MiB pieces, every sector offered to the probe): type and size of every
// hit the list should show.
std::multiset<std::pair<std::string, uint64_t>> CarvedAlone(const std::string& image) {
  std::multiset<std::pair<std::string, uint64_t>> out;
  std::unique_ptr<Drive> drive(CreateDrive(FromUtf8(image)));
  drive->InitDrive(FromUtf8(image));
  DriveHdrReader reader(drive.get());
  CarveScan carve(&reader);
  carve.SetDetection(true);
  const uint32_t step = 1 << 20, ss = drive->SectorSize();
  uint8_t* buffer = static_cast<uint8_t*>(AlignedAlloc(step));
  const int64_t sectors = int64_t(drive->SectorCount());
  for (int64_t s = 0; s < sectors; s += step / ss) {
    const uint32_t n = uint32_t(std::min<int64_t>(step / ss, sectors - s));
    EXPECT_NE(drive->ReadSectors(s, n * ss, drive->RetryPiece(), buffer, true), nullptr);
    carve.ScanRead(buffer, size_t(n) * ss, s);
  }
  carve.EndPass();
  AlignedFree(buffer);
  for (const HdrHit& h : carve.Hits())
    if (h.size > 0 && !(h.flags & kHdrClassInternal) && !FileTypeExtension(h.type).empty())
      out.emplace(ToUtf8(FileTypeExtension(h.type)), uint64_t(h.size));
  return out;
}

std::vector<std::string> PathParts(const std::string& path) {
  std::vector<std::string> parts;
  std::stringstream s(path);
  for (std::string p; std::getline(s, p, '/');) parts.push_back(p);
  return parts;
}

// The modification date of an Office Open XML file's properties.
std::string CoreXmlDate(const std::string& file) {
  const std::string xml = RunCommand(
      "python3 -c \"import zipfile,sys; "
      "sys.stdout.write(zipfile.ZipFile(sys.argv[1]).read('docProps/core.xml')"
      ".decode('utf-8','replace'))\" '" +
      file + "' 2>/dev/null");
  std::smatch m;
  if (!std::regex_search(xml, m, std::regex("<dcterms:modified[^>]*>([0-9]{4}-[0-9]{2}-[0-9]{2})"))) return "";
  return m[1];
}

// The samples that come back byte for byte: every one carved at all (the
// RTF that ends at its brace too).
std::map<std::string, std::string> ExactSamples(const std::string& layin) {
  std::map<std::string, std::string> out;  // name -> md5
  for (const Laid& r : LayIns::Get().rows)
    if (r.layin == layin && r.type != "none") out[r.name] = r.md5;
  return out;
}

TEST(CarvedRoad, BothLayInsListedOnceAndSavedExact) {
  const LayIns& l = LayIns::Get();
  if (l.dir.empty()) GTEST_SKIP() << "python3 missing";
  for (const char* layin : {"slack", "raw"}) {
    SCOPED_TRACE(layin);
    const std::string image = l.dir + "/" + layin + ".img";
    const TempFolder out("carved_road_out");
    const DvscanRun r = Dvscan("--long --recover '" + out.Path() + "' '" + image + "'");
    ASSERT_EQ(r.rc, 0) << r.err;
    // Every item a carved file under "Extra files\<its type>\", each file
    // the carving side finds listed once, nothing more.
    std::multiset<std::pair<std::string, uint64_t>> listed;
    std::map<std::string, std::vector<std::string>> byMd5;  // md5 -> paths
    for (const Listed& it : r.items) {
      const std::vector<std::string> parts = PathParts(it.path);
      ASSERT_GE(parts.size(), 3u) << it.path;
      EXPECT_EQ(parts[0], "Extra files") << it.path;
      for (const char* never : {"gif", "wma", "wmf", "xml"}) EXPECT_NE(parts[1], never) << it.path;
      const std::string ext = parts.back().substr(parts.back().rfind('.') + 1);
      EXPECT_EQ(parts[1], ext) << it.path;
      listed.emplace(ext, it.size);
      byMd5[Md5File(out.Path() + "/" + it.path)].push_back(it.path);
    }
    EXPECT_EQ(listed, CarvedAlone(image));
    // Every laid-in file of a carved kind is saved byte for byte, as often
    // as it was laid in, in the folder of its kind.
    std::map<std::string, size_t> laidCopies;
    for (const Laid& row : l.rows)
      if (row.layin == layin && ExactSamples(layin).count(row.name)) laidCopies[row.md5]++;
    ASSERT_GT(laidCopies.size(), 40u);
    for (const Laid& row : l.rows) {
      if (row.layin != layin || !ExactSamples(layin).count(row.name)) continue;
      SCOPED_TRACE(row.name);
      const auto found = byMd5.find(row.md5);
      ASSERT_NE(found, byMd5.end()) << "not saved exact";
      EXPECT_GE(found->second.size(), laidCopies[row.md5]);
      for (const std::string& path : found->second) EXPECT_EQ(PathParts(path)[1], row.type) << path;
    }
    // Names and folders from the files' own dates.
    for (const auto& [md5, paths] : byMd5) {
      for (const std::string& path : paths) {
        const std::vector<std::string> parts = PathParts(path);
        if (parts[1] == "docx" || parts[1] == "xlsx" || parts[1] == "pptx") {
          const std::string date = CoreXmlDate(out.Path() + "/" + path);
          if (date.empty()) continue;  // no date: the scan's day
          ASSERT_EQ(parts.size(), 4u) << path;
          EXPECT_EQ(parts[2], date.substr(0, 7)) << path;
          EXPECT_EQ(parts[3].substr(0, 11), date + "_") << path;
        }
      }
    }
    // The picture exiftool dated sits in the folder of its date.
    bool exif = false;
    for (const Laid& row : l.rows) {
      if (row.layin != layin || row.name != "jpg_exif.jpg") continue;
      for (const std::string& path : byMd5[row.md5]) {
        const std::vector<std::string> parts = PathParts(path);
        exif = parts.size() == 4 && std::regex_match(parts[2], std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}"));
        EXPECT_TRUE(exif) << path;
      }
    }
    EXPECT_TRUE(exif);
  }
}

// Cluster numbers of the $DATA attribute in `istat` output.
std::vector<uint64_t> DataClusters(const std::string& istat) {
  std::vector<uint64_t> out;
  std::istringstream in(istat);
  bool data = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Type: ", 0) == 0) {
      data = line.find("$DATA") != std::string::npos && line.find("Non-Resident") != std::string::npos;
      continue;
    }
    if (!data) continue;
    std::istringstream words(line);
    for (std::string w; words >> w;)
      if (!w.empty() && std::all_of(w.begin(), w.end(), ::isdigit)) out.push_back(std::stoull(w));
  }
  return out;
}

std::string CarveNtfs(std::string* skip) { return FixtureSetFolder("make_carve_ntfs.sh", "carve-ntfs", skip); }

// (path, md5) of the files on the NTFS image.
std::vector<std::pair<std::string, std::string>> NtfsFiles(const std::string& folder) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream in(ReadFileText(folder + "/carve_ntfs.md5"));
  for (std::string md5, path; in >> md5 >> path;) out.emplace_back(path, md5);
  return out;
}

TEST(CarvedRoad, FilesTheMetadataListsAreShownOnce) {
  std::string skip;
  const std::string folder = CarveNtfs(&skip);
  if (folder.empty() && !skip.empty()) GTEST_SKIP() << skip;
  ASSERT_FALSE(folder.empty());
  const DvscanRun r = Dvscan("--long '" + folder + "/carve_ntfs.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::map<std::string, int> seen;
  for (const Listed& it : r.items) {
    EXPECT_NE(it.path.rfind("Extra files/", 0), 0u) << it.path;
    seen[it.path]++;
  }
  const auto files = NtfsFiles(folder);
  ASSERT_GT(files.size(), 30u);
  for (const auto& [path, md5] : files) EXPECT_EQ(seen[path], 1) << path;
}

TEST(CarvedRoad, WipedMftFilesComeBackUnderExtraFiles) {
  std::string skip;
  const std::string folder = CarveNtfs(&skip);
  if (folder.empty() && !skip.empty()) GTEST_SKIP() << skip;
  ASSERT_FALSE(folder.empty());
  const LayIns& l = LayIns::Get();
  if (l.dir.empty()) GTEST_SKIP() << "python3 missing";
  const TempFolder temp("carved_road_wiped");
  const std::string image = temp.Path() + "/wiped.img";
  ASSERT_EQ(std::system(("cp '" + folder + "/carve_ntfs.img' '" + image + "'").c_str()), 0);
  // Clusters of 4 KiB (mkntfs's default for this size).
  size_t zeroed = 0;
  for (const char* n : {"0", "1"}) {
    for (uint64_t c : DataClusters(ReadFileText(folder + "/carve_ntfs.istat" + n))) {
      const std::string cmd =
          "dd if=/dev/zero of='" + image + "' bs=4096 seek=" + std::to_string(c) + " count=1 conv=notrunc status=none";
      ASSERT_EQ(std::system(cmd.c_str()), 0);
      zeroed++;
    }
  }
  ASSERT_GT(zeroed, 4u);
  const TempFolder out("carved_road_wiped_out");
  const DvscanRun r = Dvscan("--long --threads 4 --recover '" + out.Path() + "' '" + image + "'");
  ASSERT_EQ(r.rc, 0) << r.err;
  // The hits are the same, in the same order, however many threads test
  // the sectors.
  const DvscanRun one = Dvscan("--long --threads 1 '" + image + "'");
  ASSERT_EQ(one.rc, 0) << one.err;
  ASSERT_EQ(one.items.size(), r.items.size());
  for (size_t i = 0; i < r.items.size(); i++) {
    EXPECT_EQ(one.items[i].path, r.items[i].path);
    EXPECT_EQ(one.items[i].size, r.items[i].size) << r.items[i].path;
  }
  std::map<std::string, int> saved;  // md5 -> count
  for (const Listed& it : r.items) {
    ASSERT_EQ(it.path.rfind("Extra files/", 0), 0u) << it.path;
    saved[Md5File(out.Path() + "/" + it.path)]++;
  }
  // Every file whose kind is carved byte for byte (as on the slack lay-in,
  // whose files also end in zeros to their block) comes back.
  const std::map<std::string, std::string> exact = ExactSamples("slack");
  std::set<std::string> exactMd5;
  for (const auto& [name, md5] : exact) exactMd5.insert(md5);
  // Files small enough to live inside their record went with the $MFT.
  std::set<std::string> resident;
  std::istringstream fls(RunCommand("fls -r -p '" + folder + "/carve_ntfs.img'"));
  for (std::string line; std::getline(fls, line);) {
    const size_t tab = line.find('\t');
    if (line.rfind("r/r ", 0) != 0 || tab == std::string::npos) continue;
    const std::string record = line.substr(4, line.find('-') - 4);
    const std::string istat = RunCommand("istat '" + folder + "/carve_ntfs.img' " + record);
    if (std::regex_search(istat, std::regex("\\$DATA[^\n]*  Resident"))) resident.insert(line.substr(tab + 1));
  }
  size_t checked = 0;
  for (const auto& [path, md5] : NtfsFiles(folder)) {
    if (!exactMd5.count(md5) || resident.count(path)) continue;
    EXPECT_GE(saved[md5], 1) << path;
    checked++;
  }
  EXPECT_GT(checked, 30u);
}

// A FAT32 volume formatted again over the samples
// (tests/fixtures/make_carve_fat32.sh, mkfs.fat and mcopy): every sample of
// a kind carved byte for byte (as on the slack lay-in: its last cluster
// ends in zeros) is saved exact: carved under its kind's extension, or from
// the lost folder that still lists it (whose names are the FAT side's).
TEST(CarvedRoad, AReformattedFat32GivesTheSamplesBack) {
  const std::string folder = FixtureFolder("make_carve_fat32.sh");
  if (folder.empty()) GTEST_SKIP() << "mkfs.fat, mtools or python3 missing";
  const LayIns& l = LayIns::Get();
  if (l.dir.empty()) GTEST_SKIP() << "python3 missing";
  std::map<std::string, std::string> typeOf;  // sample -> carved kind
  for (const Laid& row : l.rows)
    if (row.layin == std::string("slack")) typeOf[row.name] = row.type;
  const TempFolder out("carved_fat32_out");
  const DvscanRun r = Dvscan("--long --recover '" + out.Path() + "' '" + folder + "/carve_fat32.img'");
  ASSERT_EQ(r.rc, 0) << r.err;
  std::map<std::string, std::vector<std::string>> byMd5;  // md5 -> paths
  for (const Listed& it : r.items)
    if (it.kind != "folder") byMd5[Md5File(out.Path() + "/" + it.path)].push_back(it.path);
  size_t checked = 0;
  std::istringstream in(ReadFileText(folder + "/carve_fat32.md5"));
  for (std::string md5, name; in >> md5 >> name;) {
    const auto type = typeOf.find(name);
    ASSERT_NE(type, typeOf.end()) << name;
    if (type->second == "none") continue;
    SCOPED_TRACE(name);
    const auto found = byMd5.find(md5);
    ASSERT_NE(found, byMd5.end()) << "not saved exact";
    for (const std::string& path : found->second)
      if (path.rfind("Extra files/", 0) == 0) {
        EXPECT_EQ(path.substr(path.rfind('.') + 1), type->second) << path;
      }
    checked++;
  }
  EXPECT_GT(checked, 60u);
}

// A Long Scan of the slack lay-in with trace options: the trace file and
// the folder it lies in.
struct Traced {
  std::string text, folder;
  std::vector<std::string> lines;
};
Traced TraceLayIn(const TempFolder& temp, const std::string& options) {
  Traced t;
  t.folder = temp.Path();
  WriteFileText(t.folder + "/options.txt", options);
  const DvscanRun r = Dvscan("--long --options '" + t.folder + "/options.txt' --trace '" + t.folder + "/trace.txt' '" +
                             LayIns::Get().dir + "/slack.img'");
  EXPECT_EQ(r.rc, 0) << r.err;
  t.text = ReadFileText(t.folder + "/trace.txt");
  std::istringstream in(t.text);
  for (std::string line; std::getline(in, line);) t.lines.push_back(line);
  return t;
}

std::vector<const Laid*> Rows(const char* layin, const std::regex& name) {
  std::vector<const Laid*> out;
  for (const Laid& r : LayIns::Get().rows)
    if (r.layin == layin && std::regex_match(r.name, name)) out.push_back(&r);
  return out;
}

// ZIP level 2: every local and central header of every archive laid in is
// traced at its place; a Word document's text is inflated to a "dsk"
// sector file and scored against the phrase list ("txt" file of the lines
// that matched).
TEST(CarvedRoadTrace, ZipRecordsAndDocumentText) {
  if (LayIns::Get().dir.empty()) GTEST_SKIP() << "python3 missing";
  const TempFolder temp("carved_trace_zip");
  // Phrases: words of python-docx's document's own text (its members
  // carry their sizes, so the record scan inflates its text).
  const std::string docx = Samples() + "/py_document.docx";
  const std::string words = RunCommand(
      "python3 -c \"import re,sys,zipfile; t=zipfile.ZipFile(sys.argv[1]).read('word/document.xml').decode(); "
      "w=[x for x in re.findall(r'[A-Za-z]{5,}', ' '.join(re.findall(r'<w:t[^>]*>([^<]*)<', t)))]; "
      "print('\\n'.join(w[:3]))\" '" +
      docx + "'");
  ASSERT_FALSE(words.empty());
  WriteFileText(temp.Path() + "/phrases.txt", words);
  const Traced t = TraceLayIn(temp, "[Trace Options]\nZIP=2\nZIP match list=" + temp.Path() + "/phrases.txt\n");
  const std::regex header(R"(^ZIPHdr (Local|Central) (\d+) ([0-9a-f]+) - File (.*) - CSize .*)");
  std::map<uint64_t, std::pair<std::string, std::string>> records;  // disk byte -> kind, name
  std::smatch m;
  for (const std::string& l : t.lines)
    if (std::regex_match(l, m, header))
      records[std::stoull(m[2]) * 512 + std::stoull(m[3], nullptr, 16)] = {m[1], m[4]};
  const auto archives = Rows("slack", std::regex(".*\\.(zip|jar|docx|xlsx|pptx)"));
  ASSERT_GE(archives.size(), 10u);
  for (const Laid* a : archives) {
    SCOPED_TRACE(a->name + " at " + std::to_string(a->offset));
    // Samples too large to commit plain are kept xz-compressed.
    const std::string names = RunCommand(
        "python3 -c \"import io,lzma,os,sys,zipfile; p=sys.argv[1]; "
        "f=open(p,'rb') if os.path.exists(p) else lzma.open(p+'.xz'); "
        "print('\\n'.join(i.filename for i in zipfile.ZipFile(io.BytesIO(f.read())).infolist()))\" '" +
        Samples() + "/" + a->name + "'");
    std::multiset<std::string> expected, locals, centrals;
    std::istringstream in(names);
    for (std::string n; std::getline(in, n);) expected.insert(n);
    for (auto it = records.lower_bound(a->offset); it != records.end() && it->first < a->offset + a->size; ++it)
      (it->second.first == "Local" ? locals : centrals).insert(it->second.second);
    ASSERT_TRUE(records.count(a->offset)) << "no record at the archive's start";
    EXPECT_EQ(locals, expected);
    EXPECT_EQ(centrals, expected);
  }
  // The document's text and its score.
  const auto documents = Rows("slack", std::regex("py_document\\.docx"));
  ASSERT_FALSE(documents.empty());
  for (const Laid* d : documents) {
    bool scored = false;
    for (const std::string& l : t.lines) {
      if (!std::regex_match(l, m, std::regex(R"(^Sect (\d+) score (\d+)$)"))) continue;
      const uint64_t at = std::stoull(m[1]) * 512;
      if (at >= d->offset && at < d->offset + d->size && std::stoi(m[2]) > 0) scored = true;
    }
    EXPECT_TRUE(scored) << d->offset;
  }
  const std::string files = RunCommand("ls '" + t.folder + "'");
  EXPECT_NE(files.find(".dsk"), std::string::npos) << files;
  EXPECT_NE(files.find(".txt\n"), std::string::npos) << files;
  EXPECT_TRUE(std::regex_search(files, std::regex("[0-9]+_[0-9]+\\.txt"))) << files;
}

// MXF level 2: the header partition pack of each MXF file laid in is traced
// at its sector; the index segment is decoded (2 s at 25 frames a second).
TEST(CarvedRoadTrace, MxfKeys) {
  if (LayIns::Get().dir.empty()) GTEST_SKIP() << "python3 missing";
  const TempFolder temp("carved_trace_mxf");
  const Traced t = TraceLayIn(temp, "[Trace Options]\nMXF=2\n");
  const auto mxf = Rows("slack", std::regex("mxf_.*\\.mxf"));
  ASSERT_FALSE(mxf.empty());
  for (const Laid* f : mxf) {
    const std::string where = std::to_string(f->offset / 512) + ",000,";
    bool found = false;
    for (const std::string& l : t.lines) found = found || l.rfind(where, 0) == 0;
    EXPECT_TRUE(found) << "no key line at " << where;
  }
  EXPECT_EQ(size_t(std::count(t.lines.begin(), t.lines.end(), "25/1, Index, 0, 50")), mxf.size());
}

// BKF: one line per descriptor block of both backup sets, each laid-in copy
// at its own sectors, as make_bkf.py recorded them.
TEST(CarvedRoadTrace, BkfDescriptorBlocks) {
  if (LayIns::Get().dir.empty()) GTEST_SKIP() << "python3 missing";
  const TempFolder temp("carved_trace_bkf");
  const Traced t = TraceLayIn(temp, "[Trace Options]\nBKF=1\n");
  std::multiset<std::string> expected, traced;
  for (const Laid* f : Rows("slack", std::regex("bkf_.*\\.bkf")))
    for (const std::string& l : BkfBlockLines(f->name, int64_t(f->offset / 512))) expected.insert(l);
  ASSERT_GE(expected.size(), 29u);
  for (const std::string& l : t.lines)
    if (l.rfind("BKF ", 0) == 0) traced.insert(l);
  EXPECT_EQ(traced, expected);
}

// Zeroes every FILE record of the image whose header numbers it `record`
// and that holds `name` in UTF-16 (the folder's record, and any copy);
// the count zeroed.
int WipeFolderRecord(const std::string& image, uint64_t record, const std::string& name) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  std::string utf16;
  for (char c : name) utf16 += std::string{c, '\0'};
  std::vector<char> buf(size_t(1) << 20);
  int wiped = 0;
  for (uint64_t base = 0;; base += buf.size()) {
    f.seekg(std::streamoff(base));
    f.read(buf.data(), std::streamsize(buf.size()));
    const size_t got = size_t(f.gcount());
    f.clear();
    for (size_t at = 0; at + 4096 <= got; at += 512) {
      const auto* r = reinterpret_cast<const uint8_t*>(buf.data() + at);
      const uint32_t alloc = r[28] | r[29] << 8 | r[30] << 16 | uint32_t(r[31]) << 24;
      const uint32_t number = r[44] | r[45] << 8 | r[46] << 16 | uint32_t(r[47]) << 24;
      if (std::memcmp(r, "FILE", 4) != 0 || r[4] != 0x30 || number != record || alloc > 4096) continue;
      if (std::string(buf.data() + at, alloc).find(utf16) == std::string::npos) continue;
      f.seekp(std::streamoff(base + at));
      f.write(std::string(alloc, '\0').data(), alloc);
      wiped++;
    }
    if (got < buf.size()) break;
    base -= 4096;  // a record across the reads' border
  }
  return wiped;
}

// A folder whose FILE record is wiped gets its name back from its parent's
// index: every live file below it is listed once at the path fls gave
// before the damage, none under "Extra files\Folder<record>" (images of
// tests/fixtures/make_ntfs_damaged.sh):
// - filled.img, d03 (under the root, named in the root's index buffers);
// - wiped.img (its $MFT's first records and mirror gone: every record is a
//   loose one), d05, named in the root's index buffers;
// - lost4k.img (partition table and boot sectors gone, the volume rebuilt
//   from its system records; 4096-byte records), s4k_1/inner, named in the
//   $INDEX_ROOT of s4k_1's record, which the Long Scan reads again.
TEST(IndexNames, AWipedFolderIsNamedFromItsParentsIndex) {
  std::string skip;
  const std::string folder = FixtureSetFolder("make_ntfs_damaged.sh", "ntfs-damaged", &skip);
  if (folder.empty() && !skip.empty()) GTEST_SKIP() << skip;
  ASSERT_FALSE(folder.empty());
  struct Case {
    const char* image;
    const char* fls;
    const char* path;
  };
  for (const Case& c : {Case{"filled.img", "filled.fls", "d03"}, Case{"wiped.img", "filled.fls", "d05"},
                        Case{"lost4k.img", "lost4k.fls.2049", "s4k_1/inner"}}) {
    SCOPED_TRACE(c.image);
    // Record of the folder and the live files below it from fls -r -p.
    uint64_t record = 0;
    std::set<std::string> below;
    const std::string prefix = std::string(c.path) + "/";
    std::istringstream fls(ReadFileText(folder + "/" + c.fls));
    for (std::string line; std::getline(fls, line);) {
      std::vector<std::string> f;
      std::stringstream ss(line);
      for (std::string col; std::getline(ss, col, '\t');) f.push_back(col);
      if (f.size() < 2) continue;
      if (line.rfind("d/d ", 0) == 0 && f[1] == c.path) record = std::stoull(f[0].substr(4));
      if (line.rfind("r/r ", 0) == 0 && line.compare(4, 2, "* ") != 0 && f[1].rfind(prefix, 0) == 0) below.insert(f[1]);
    }
    ASSERT_GT(record, 15u);
    ASSERT_GE(below.size(), 5u);
    const TempFolder temp("index_names");
    const std::string image = temp.Path() + "/folder_wiped.img";
    ASSERT_EQ(std::system(("cp '" + folder + "/" + c.image + "' '" + image + "'").c_str()), 0);
    const std::string path(c.path);
    ASSERT_GE(WipeFolderRecord(image, record, path.substr(path.rfind('/') + 1)), 1);
    const DvscanRun r = Dvscan("--long '" + image + "'");
    ASSERT_EQ(r.rc, 0) << r.err;
    std::map<std::string, int> listed;
    for (const Listed& it : r.items) {
      listed[it.path]++;
      EXPECT_EQ(it.path.find("Folder" + std::to_string(record) + "/"), std::string::npos) << it.path;
    }
    for (const std::string& path : below) EXPECT_EQ(listed[path], 1) << path;
    if (std::string(c.image) != "filled.img") continue;
    // The Quick Scan lists them under "Extra files\Folder<record>" with the
    // grade the volume's bitmap gives; the Long Scan, which shows them
    // later, keeps that grade.
    const DvscanRun quick = Dvscan("'" + image + "'");
    ASSERT_EQ(quick.rc, 0) << quick.err;
    std::map<std::string, std::string> graded;
    const std::string lost = "Extra files/Folder" + std::to_string(record) + "/";
    for (const Listed& it : quick.items)
      if (it.path.rfind(lost, 0) == 0) graded[prefix + it.path.substr(lost.size())] = it.status;
    ASSERT_GE(graded.size(), below.size());
    size_t compared = 0;
    for (const Listed& it : r.items) {
      auto g = graded.find(it.path);
      if (g == graded.end()) continue;
      EXPECT_FALSE(g->second.empty()) << it.path;
      EXPECT_EQ(it.status, g->second) << it.path;
      compared++;
    }
    EXPECT_GE(compared, below.size());
  }
}

}  // namespace
