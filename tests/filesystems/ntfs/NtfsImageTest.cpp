// The NTFS model against real volumes written by mkntfs and ntfs-3g, checked
// with The Sleuth Kit run on the same images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include <sys/stat.h>

#include "filesystems/ntfs/Definitions.h"
#include "filesystems/ntfs/DevBitmap.h"
#include "filesystems/ntfs/SysFile.h"
#include "foundation/Md5.h"
#include "foundation/Trace.h"
#include "tests/filesystems/ntfs/NtfsFixture.h"
#include "tests/support/FixtureImage.h"

using namespace ntfstest;

namespace {

std::map<std::string, uint64_t> Fsstat(const std::string& image) {
  std::map<std::string, uint64_t> f;
  const std::string text = RunCommand("fsstat '" + image + "' 2>/dev/null");
  std::smatch m;
  auto grab = [&](const char* key, const std::string& re) {
    if (std::regex_search(text, m, std::regex(re))) f[key] = std::stoull(m[1]);
  };
  grab("mft", R"(First Cluster of MFT: (\d+))");
  grab("mirror", R"(First Cluster of MFT Mirror: (\d+))");
  grab("record", R"(Size of MFT Entries: (\d+))");
  grab("sector", R"(Sector Size: (\d+))");
  grab("cluster", R"(Cluster Size: (\d+))");
  grab("lastSector", R"(Total Sector Range: 0 - (\d+))");
  return f;
}

// An image of make_ntfs_model.sh, or a committed one of tests/fixtures/ntfs
// (unpacked into the cache; empty when it cannot be).
std::string ModelOrCommitted(const std::string& dir, const std::string& name) {
  struct stat st;
  if (stat((ntfs_fixture::FixtureDir() + "/" + name + ".img.xz").c_str(), &st) == 0) return ntfs_fixture::Image(name);
  return dir + "/" + name + ".img";
}

class VolumeGeometry : public testing::TestWithParam<const char*> {};

// The boot sector gives what fsstat reports, for every cluster and record
// size, and the label comes from record 3.
TEST_P(VolumeGeometry, MatchesFsstat) {
  GlobalObjectsScope scope;
  NTFS_IMAGES_OR_SKIP(dir);
  const std::string img = dir + "/" + GetParam() + ".img";
  OpenVolume v;
  ASSERT_TRUE(v.Open(img));
  auto f = Fsstat(img);
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(v.vol->sectorSize, f["sector"]);
  EXPECT_EQ(v.vol->clusterSize, f["cluster"]);
  EXPECT_EQ(v.vol->recordSize, f["record"]);
  EXPECT_EQ(v.vol->mftCluster, f["mft"]);
  EXPECT_EQ(v.vol->mirrorCluster, f["mirror"]);
  EXPECT_EQ(uint64_t(v.vol->mftSector), f["mft"] * (f["cluster"] / f["sector"]));
  EXPECT_EQ(v.vol->totalSectors, f["lastSector"] + 1);
  EXPECT_EQ(v.vol->ReadVolumeLabel(), u"TESTVOL");
  EXPECT_EQ(v.vol->mftNode, nullptr);  // loaded for the label only
  // Every file fls lists comes out with its name.
  ASSERT_EQ(v.vol->LoadMftNode(), 0) << ToUtf8(LastErrorText());
  uint64_t plainNo = 0;
  for (const FlsEntry& e : Fls(img)) {
    if (e.path == "plain.bin") plainNo = e.inode;
    if (e.path.find(':') != std::string::npos || e.inode >= v.vol->RecordCount() || e.realloc || e.path.rfind("$OrphanFiles", 0) == 0)
      continue;
    auto node = v.Record(e.inode);
    ASSERT_TRUE(node) << e.path;
    EXPECT_EQ(ToUtf8(node->fileName), BaseName(e.path));
  }
  auto plain = v.Record(plainNo);
  ASSERT_TRUE(plain);
  EXPECT_EQ(ToUtf8(plain->fileName), "plain.bin");
  EXPECT_EQ(v.ReadData(plain.get()), RunCommand("icat '" + img + "' " + std::to_string(plainNo)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, VolumeGeometry,
                         testing::Values("c512", "c1024", "c2048", "c4096", "c8192", "c16384", "c32768", "c65536",
                                         "sec2048", "sec4096", "model"));

// Clusters of 128 KiB are refused, and the message says why.
TEST(NtfsVolume, ClustersAbove64KiBRefusedWithReason) {
  GlobalObjectsScope scope;
  NTFS_IMAGES_OR_SKIP(dir);
  OpenVolume v;
  EXPECT_FALSE(v.Open(dir + "/c131072.img"));
  const std::string err = ToUtf8(LastErrorText());
  EXPECT_NE(err.find("Invalid MFT runs buffer."), std::string::npos) << err;
  EXPECT_NE(err.find("131072"), std::string::npos) << err;
}

// Every record fls names parses to the name, parent, kind and state fls
// gives, and the data sizes are those istat prints.
class RecordsMatchFls : public testing::TestWithParam<const char*> {};

TEST_P(RecordsMatchFls, NameParentFlagsSizes) {
  GlobalObjectsScope scope;
  NTFS_IMAGES_OR_SKIP(dir);
  const std::string img = ModelOrCommitted(dir, GetParam());
  ASSERT_FALSE(img.empty()) << GetParam();
  OpenVolume v;
  ASSERT_TRUE(v.Open(img));
  ASSERT_EQ(v.vol->LoadMftNode(), 0) << ToUtf8(LastErrorText());
  std::map<std::string, uint64_t> folders{{"", 5}};
  const auto entries = Fls(img);
  for (const FlsEntry& e : entries)
    if (e.type == 'd' && !e.deleted) folders[e.path] = e.inode;
  size_t checked = 0, sized = 0;
  for (const FlsEntry& e : entries) {
    if (e.realloc || e.inode >= v.vol->RecordCount() || e.path.rfind("$OrphanFiles", 0) == 0) continue;
    SCOPED_TRACE(e.path);
    const size_t colon = e.path.find(':');
    auto node = v.Record(e.inode);
    ASSERT_TRUE(node) << ToUtf8(node ? node->lastError : u"");
    if (colon != std::string::npos) {
      if (e.attr.rfind("128-", 0) != 0) continue;  // named index, not a data stream
      const WString sname = FromUtf8(e.path.substr(colon + 1));
      const NTFSStream* s = FindStream(node->streams, InternStreamName(sname));
      ASSERT_NE(s, nullptr) << e.attr;
      continue;
    }
    checked++;
    EXPECT_EQ(ToUtf8(node->fileName), BaseName(e.path));
    const size_t slash = e.path.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : e.path.substr(0, slash);
    if (folders.count(parent)) {
      EXPECT_EQ(node->parentId, folders[parent]);
    }
    const bool freeRecord = (node->flags2 & ntfs::kRecInUse) == 0;
    if (freeRecord != e.deleted) {
      // fls also lists stale entries of live index nodes; istat tells the
      // record's own state.
      const std::string ist = RunCommand("istat '" + img + "' " + std::to_string(e.inode) + " 2>/dev/null");
      EXPECT_EQ(freeRecord, ist.find("Not Allocated File") != std::string::npos);
    }
    EXPECT_EQ(node->IsDirectory(), e.type == 'd');
    EXPECT_EQ(node->errors & kInodeErrFixup, 0);
    if (e.type == 'r' && sized < 40) {
      const std::string ist = RunCommand("istat '" + img + "' " + std::to_string(e.inode) + " 2>/dev/null");
      std::smatch m;
      if (std::regex_search(ist, m, std::regex(R"(Type: \$DATA \(128-\d+\)\s+Name: N/A\s+[^\n]*?size: (\d+))"))) {
        EXPECT_EQ(node->size, std::stoull(m[1]));
        sized++;
      }
    }
  }
  EXPECT_GT(checked, 10u);
  EXPECT_GT(sized, 3u);
}

INSTANTIATE_TEST_SUITE_P(Images, RecordsMatchFls, testing::Values("model", "sec2048", "sec4096", "fragmft", "c512"));

// Every file's data read through the node equals what icat gives:
// resident, plain, sparse, compressed, named stream, attribute list,
// deleted.
TEST(NtfsRead, MatchesIcat) {
  GlobalObjectsScope scope;
  NTFS_IMAGES_OR_SKIP(dir);
  const std::string img = dir + "/model.img";
  OpenVolume v;
  ASSERT_TRUE(v.Open(img));
  ASSERT_EQ(v.vol->LoadMftNode(), 0);
  size_t read = 0;
  for (const FlsEntry& e : Fls(img)) {
    if (e.type != 'r' || e.inode < 16 || e.realloc || e.attr.rfind("128-", 0) != 0) continue;
    SCOPED_TRACE(e.path);
    const size_t colon = e.path.find(':');
    const WString stream = colon == std::string::npos ? WString() : FromUtf8(e.path.substr(colon + 1));
    auto node = v.Record(e.inode, stream.empty() ? nullptr : stream.c_str());
    ASSERT_TRUE(node);
    const std::string want =
        RunCommand("icat '" + img + "' " + std::to_string(e.inode) + "-" + e.attr + " 2>/dev/null");
    const std::string got = v.ReadData(node.get());
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
    read++;
  }
  EXPECT_GE(read, 9u);
}

// The file whose runs spill into extension records: its four pieces, in
// order, with the runs of each, and its name from the record that holds it.
TEST(NtfsRecord, AttributeListFile) {
  GlobalObjectsScope scope;
  NTFS_IMAGES_OR_SKIP(dir);
  const std::string img = dir + "/model.img";
  OpenVolume v;
  ASSERT_TRUE(v.Open(img));
  ASSERT_EQ(v.vol->LoadMftNode(), 0);
  uint64_t inodeNo = 0;
  for (const FlsEntry& e : Fls(img))
    if (e.path == "attrlist.bin") inodeNo = e.inode;
  ASSERT_NE(inodeNo, 0u);
  auto node = v.Record(inodeNo);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->fileName, u"attrlist.bin");
  EXPECT_EQ(node->parentId, 5u);
  ASSERT_TRUE(node->HasPieces());
  const std::string info = RunCommand("ntfsinfo -v -i " + std::to_string(inodeNo) + " '" + img + "' 2>/dev/null");
  std::vector<std::pair<uint64_t, uint64_t>> want;  // record, lowest VCN
  {
    std::istringstream in(info);
    std::string line;
    bool inData = false;
    std::smatch m;
    while (std::getline(in, line)) {
      if (std::regex_search(line, m, std::regex(R"(Dumping attribute (\S+) \(0x[0-9a-f]+\) from mft record (\d+))"))) {
        inData = m[1] == "$DATA";
        if (inData) want.push_back({std::stoull(m[2]), 0});
      } else if (inData && std::regex_search(line, m, std::regex(R"(Lowest VCN\s+(\d+))"))) {
        want.back().second = std::stoull(m[1]);
      }
    }
  }
  std::vector<std::pair<uint64_t, uint64_t>> got;
  for (const XEntry* p = node->Pieces(); p; p = p->next) {
    got.push_back({p->recordNumber & XEntry::kRecordMask, p->firstVcn});
    EXPECT_NE(p->runs, nullptr);
  }
  EXPECT_EQ(got.size(), 4u);
  EXPECT_EQ(got, want);
  EXPECT_EQ(node->size, 1200u * 4096);
}

// A $MFT of 512-byte clusters in 20 runs (the committed fragmft image; some
// runs hold an odd count of clusters, so records straddle runs): every
// record is read through the run map from where ntfsinfo places it, byte for
// byte what icat gives of $MFT, and the records fls lists are in use.
TEST(NtfsVolume, FragmentedMftReachesEveryRecord) {
  GlobalObjectsScope scope;
  const std::string img = ntfs_fixture::Image("fragmft");
  if (img.empty()) GTEST_SKIP() << "xz missing: the images cannot be unpacked";
  OpenVolume v;
  ASSERT_TRUE(v.Open(img));
  ASSERT_EQ(v.vol->LoadMftNode(), 0) << ToUtf8(LastErrorText());
  ASSERT_EQ(v.vol->clusterSize, 512u);
  EXPECT_GE(v.vol->mftMap->RunCount(), 15u);
  const std::vector<uint64_t> clusters = ntfs_fixture::NtfsinfoClusters("fragmft", 0, "$DATA");
  const uint32_t rs = v.vol->recordSize, cs = v.vol->clusterSize;
  const uint64_t records = v.vol->RecordCount();
  ASSERT_EQ(uint64_t(clusters.size()) * cs, records * rs);
  const std::string wantMd5 = ntfs_fixture::IcatMd5("fragmft", 0);
  ASSERT_EQ(wantMd5.size(), 32u);
  // With sleuthkit at hand a mismatch names its record.
  const bool haveIcat = std::system("command -v icat >/dev/null 2>&1") == 0;
  const std::string icat = haveIcat ? RunCommand("icat '" + img + "' 0 2>/dev/null") : std::string();
  if (haveIcat) {
    ASSERT_EQ(icat.size(), records * rs);
  }
  std::vector<uint8_t> buf(rs);
  Md5 md5;
  uint64_t inUse = 0;
  for (uint64_t r = 0; r < records; r++) {
    uint64_t at = 0;
    ASSERT_TRUE(v.vol->ReadMftRecord(r, buf.data(), &at)) << r;
    const uint64_t byte = r * rs;
    ASSERT_EQ(at, (clusters[byte / cs] * cs + byte % cs) / v.vol->sectorSize) << r;  // the record's sector
    if (haveIcat) {
      ASSERT_EQ(0, std::memcmp(buf.data(), icat.data() + r * rs, rs)) << r;
    }
    md5.Update(buf.data(), rs);
    if (CheckFILERecord(buf.data())) inUse++;
  }
  uint8_t digest[kMd5DigestSize];
  md5.Final(digest);
  EXPECT_EQ(HexText(digest, sizeof digest), wantMd5);
  size_t listed = 0;
  for (const std::string& line : ntfs_fixture::Lines(ntfs_fixture::Report("fragmft", "fls"))) {
    const size_t tab = line.find('\t');
    if (tab != std::string::npos && line.find("* ") != 4 && line.find(':', tab) == std::string::npos) listed++;
  }
  EXPECT_GE(inUse, listed);
  EXPECT_GT(listed, 3000u);
}

// Deleted files graded by the bitmap as The Sleuth Kit's cluster allocation
// rates them: every data cluster still unallocated is Good (3), none is
// Poor (4). basic: deleted with their clusters still free; poor: their
// clusters taken by a filler; fragdata: every other small file deleted, some
// of the holes then taken by big.bin.
TEST(NtfsBitmap, GradesMatchTskAllocation) {
  GlobalObjectsScope scope;
  struct Case {
    const char* image;
    int minGood, minPoor;
  };
  for (const Case& c : {Case{"basic", 2, 0}, Case{"poor", 0, 4}, Case{"fragdata", 700, 600}}) {
    SCOPED_TRACE(c.image);
    const std::string img = ntfs_fixture::Image(c.image);
    if (img.empty()) GTEST_SKIP() << "xz missing: the images cannot be unpacked";
    OpenVolume v;
    ASSERT_TRUE(v.Open(img));
    ASSERT_EQ(v.vol->LoadMftNode(), 0) << ToUtf8(LastErrorText());
    auto bm = v.Record(ntfs::kRecordBitmap);
    ASSERT_TRUE(bm);
    v.vol->ProcBitmap(bm.get());
    ASSERT_NE(v.vol->bitmap, nullptr);
    // tests/fixtures/tsk_free_clusters.py: inode, data clusters, how many of
    // them are unallocated, path.
    const std::regex row(R"(^(\d+)\t(\d+)\t(\d+)\t(.+)$)");
    std::smatch m;
    int good = 0, poor = 0;
    for (const std::string& line : ntfs_fixture::Lines(ntfs_fixture::Report(c.image, "freeclusters"))) {
      if (!std::regex_match(line, m, row)) continue;
      const uint64_t clusters = std::stoull(m[2]), free = std::stoull(m[3]);
      if (free != 0 && free != clusters) continue;
      SCOPED_TRACE(line);
      auto node = v.Record(std::stoull(m[1]));
      ASSERT_TRUE(node);
      ASSERT_NE(node->runs, nullptr);
      v.vol->bitmap->DetermineFileStatus(node.get(), 1);
      const int grade = (node->flags & kNodeGradeMask) >> kNodeGradeShift;
      EXPECT_EQ(grade, free == clusters ? 3 : 4);
      (free == clusters ? good : poor)++;
    }
    EXPECT_GE(good, c.minGood);
    EXPECT_GE(poor, c.minPoor);
    if (c.minGood == 0) {
      EXPECT_EQ(good, 0);
    }
    if (c.minPoor == 0) {
      EXPECT_EQ(poor, 0);
    }
  }
}

// A disk whose volume lost both boot sectors: the first nine MFT records,
// found by testing sectors, give back the volume's start and geometry.
TEST(NtfsSysFile, RebuildsBootlessVolume) {
  GlobalObjectsScope scope;
  NTFS_IMAGES_OR_SKIP(dir);
  OpenVolume intact;
  ASSERT_TRUE(intact.Open(dir + "/model.img"));
  OpenVolume disk;
  EXPECT_FALSE(disk.Open(dir + "/bootless.img", 2048));
  std::ifstream f(dir + "/bootless.img", std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 1u << 20);
  SysFile sys(nullptr, disk.drive.get());
  std::vector<std::unique_ptr<inode>> nodes;
  for (size_t s = 0; (s + 2) * 512 <= bytes.size(); s++) {
    uint8_t* rec = bytes.data() + s * 512;
    if (!CheckFILERecord(rec) || rec[4] != 48) continue;
    uint32_t n;
    std::memcpy(&n, rec + 44, 4);
    if (n >= 9) continue;
    auto node = std::make_unique<inode>(rec, nullptr);
    node->position = s;
    if (node->parseEntry() != 0) continue;
    node->record = nullptr;
    if (sys.ProcSysFile(n, node.get())) nodes.push_back(std::move(node));
  }
  std::unique_ptr<NTFSVol> vol(sys.FlushSysFile());
  ASSERT_TRUE(vol);
  EXPECT_EQ(vol->startSector, 2048u);
  EXPECT_EQ(vol->clusterSize, intact.vol->clusterSize);
  EXPECT_EQ(vol->recordSize, intact.vol->recordSize);
  EXPECT_EQ(vol->mftSector, intact.vol->mftSector);
  EXPECT_EQ(vol->mirrorSector, intact.vol->mirrorSector);
  // With $MFT at sector 32 the first rule is twice the mirror's place, which
  // mkntfs puts at the middle cluster, rounded down; $Bad's length then
  // gives every cluster of the volume.
  const uint64_t spc = intact.vol->clusterSize / 512;
  EXPECT_LT(uint64_t(intact.vol->mirrorSector) * 2, vol->totalSectors);
  EXPECT_EQ(vol->totalSectors, intact.vol->totalSectors / spc * spc);
  EXPECT_LE(vol->totalSectors, intact.vol->totalSectors + 1);
  EXPECT_GT(vol->totalSectors + 2 * (intact.vol->clusterSize / 512), intact.vol->totalSectors);
  EXPECT_EQ(vol->label, u"TESTVOL");
}

}  // namespace
