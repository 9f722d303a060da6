#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TestUtil.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "filesystems/ext/ExtFamily.h"
#include "filesystems/fat/FatHelpers.h"
#include "filesystems/fat/FatVolume.h"
#include "filesystems/fat/FatNode.h"
#include "filesystems/fat/LongName.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// What fsstat says of the layout.
struct Layout {
  uint64_t fat0First = 0, fat0Last = 0, fat1First = 0, fat1Last = 0;
  uint64_t rootFirst = 0, rootLast = 0;  // FAT12/16 root directory
  uint64_t clusterArea = 0, totalSectors = 0;
  uint32_t sectorSize = 0, clusterSize = 0, lastCluster = 0;
};

bool Range(const std::string& text, const std::string& label, uint64_t* a, uint64_t* b) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(label + ": ([0-9]+) - ([0-9]+)"))) return false;
  *a = std::stoull(m[1]);
  *b = std::stoull(m[2]);
  return true;
}

Layout ReadLayout(const std::string& path) {
  const std::string t = ReadText(path);
  Layout l;
  uint64_t x = 0;
  Range(t, "\\* FAT 0", &l.fat0First, &l.fat0Last);
  Range(t, "\\* FAT 1", &l.fat1First, &l.fat1Last);
  Range(t, "\\*\\* Root Directory", &l.rootFirst, &l.rootLast);
  Range(t, "\\* Cluster Area", &l.clusterArea, &x);
  Range(t, "Total Range", &x, &l.totalSectors);
  ++l.totalSectors;
  uint64_t first = 0, last = 0;
  Range(t, "Total Cluster Range", &first, &last);
  l.lastCluster = uint32_t(last);
  std::smatch m;
  if (std::regex_search(t, m, std::regex("Sector Size: ([0-9]+)"))) l.sectorSize = uint32_t(std::stoul(m[1]));
  if (std::regex_search(t, m, std::regex("Cluster Size: ([0-9]+)"))) l.clusterSize = uint32_t(std::stoul(m[1]));
  return l;
}

struct Expected {
  bool deleted = false;
  uint64_t size = 0;
  int64_t firstSector = -1;
  std::string written, name;
};

std::map<uint64_t, Expected> ReadEntries(const std::string& path) {
  std::map<uint64_t, Expected> out;
  std::istringstream in(ReadText(path));
  uint64_t inode;
  int deleted;
  Expected e;
  while (in >> inode >> deleted >> e.size >> e.firstSector >> e.written >> e.name) {
    e.deleted = deleted != 0;
    out[inode] = e;
  }
  return out;
}

// A FAT image in memory with the little the tests need to walk it.
struct FatImage {
  Bytes bytes;
  Layout layout;
  int type = 0;  // 2 or 3
  int bits = 0;  // 12, 16, 32
  uint32_t spc = 1;

  const uint8_t* Sector(uint64_t s) const { return bytes.data() + s * layout.sectorSize; }
  uint32_t FatEntry(uint32_t cluster) const {
    const uint8_t* fat = Sector(layout.fat0First);
    if (bits == 32) return (fat[cluster * 4] | fat[cluster * 4 + 1] << 8 | fat[cluster * 4 + 2] << 16 |
                            uint32_t(fat[cluster * 4 + 3]) << 24) & 0x0FFFFFFF;
    if (bits == 16) return fat[cluster * 2] | fat[cluster * 2 + 1] << 8;
    const uint32_t at = cluster * 3 / 2;
    const uint32_t v = fat[at] | fat[at + 1] << 8;
    return (cluster & 1) ? v >> 4 : v & 0xFFF;
  }
  uint64_t ClusterSector(uint32_t cluster) const { return layout.clusterArea + uint64_t(cluster - 2) * spc; }
  // The sectors of a folder: its chain, or its first cluster when deleted.
  std::vector<uint64_t> FolderSectors(uint32_t cluster, bool deleted) const {
    std::vector<uint64_t> out;
    const uint32_t eoc = bits == 12 ? 0xFF8 : bits == 16 ? 0xFFF8 : 0x0FFFFFF8;
    for (int guard = 0; cluster >= 2 && cluster < eoc && guard < 4096; ++guard) {
      for (uint32_t i = 0; i < spc; ++i) out.push_back(ClusterSector(cluster) + i);
      if (deleted) break;
      cluster = FatEntry(cluster);
    }
    return out;
  }
};

bool LoadImage(const std::string& folder, const std::string& name, FatImage* img) {
  img->bytes = ReadAll(folder + "/" + name + ".img");
  img->layout = ReadLayout(folder + "/" + name + ".fsstat.txt");
  img->bits = name == "fat12" ? 12 : name == "fat16" ? 16 : 32;
  img->type = img->bits == 32 ? 3 : 2;
  if (img->layout.sectorSize == 0 || img->bytes.size() < img->layout.totalSectors * img->layout.sectorSize)
    return false;
  img->spc = img->layout.clusterSize / img->layout.sectorSize;
  return true;
}

std::string Utf8(const WString& s) { return ToUtf8(s); }

class FatImages : public testing::TestWithParam<const char*> {};

}  // namespace

// The directory entries of every folder, deleted ones included, decode to
// the names, sizes, first clusters, times and deleted marks The Sleuth Kit
// reports; the label entry names the volume.
TEST_P(FatImages, EntriesAsSleuthKit) {
  const std::string folder = FixtureFolder("make_fat_images.sh");
  if (folder.empty()) GTEST_SKIP() << "dosfstools, mtools or sleuthkit missing";
  FatImage img;
  ASSERT_TRUE(LoadImage(folder, GetParam(), &img));
  const auto expected = ReadEntries(folder + "/" + GetParam() + ".entries.txt");
  ASSERT_GE(expected.size(), 10u);

  FATVol vol(uint8_t(img.type));
  vol.SetSectorSize(img.layout.sectorSize);
  vol.SetClusterSize(img.layout.clusterSize);
  vol.sizeSectors = img.layout.totalSectors;
  vol.dataAreaSector = img.layout.clusterArea - 2 * vol.sectorsPerCluster;  // cluster 0
  EXPECT_EQ(FATHighestCluster(vol), img.layout.lastCluster);

  // Entry numbers as The Sleuth Kit counts them: 3 for the first entry of
  // the first data sector.
  const uint64_t base = img.bits == 32 ? img.layout.clusterArea : img.layout.rootFirst;
  const uint32_t perSector = img.layout.sectorSize / 32;
  struct Folder {
    std::vector<uint64_t> sectors;
    uint32_t cluster;
  };
  std::vector<Folder> queue;
  if (img.bits == 32) {
    queue.push_back({img.FolderSectors(2, false), 2});
  } else {
    Folder root{{}, 0};
    for (uint64_t s = img.layout.rootFirst; s <= img.layout.rootLast; ++s) root.sectors.push_back(s);
    queue.push_back(root);
  }
  std::set<uint64_t> seen;
  int labels = 0, dots = 0;
  for (size_t q = 0; q < queue.size(); ++q) {
    const Folder f = queue[q];
    bool end = false;
    for (size_t si = 0; si < f.sectors.size() && !end; ++si) {
      for (uint32_t i = 0; i < perSector; ++i) {
        const uint8_t* e = img.Sector(f.sectors[si]) + i * 32;
        if (e[11] == kFATAttrLongName && e[0] != 0) continue;
        const uint64_t inode = 3 + (f.sectors[si] - base) * perSector + i;
        FATInode node;
        WString name;
        const int r = ParseFATEntry(&node, e, &vol, &name);
        if (r == kFATEntryEnd) {
          end = true;
          break;
        }
        if (r == kFATEntryLabel) {
          ++labels;
          continue;
        }
        if (r == kFATEntryDot || r == kFATEntryDotDot) {
          ++dots;
          if (r == kFATEntryDot) {
            EXPECT_EQ(node.id, f.cluster);
          }
          EXPECT_TRUE(node.IsDirectory());
          continue;
        }
        ASSERT_TRUE(r == kFATEntryFile || r == kFATEntryFolder) << inode << " " << r;
        SCOPED_TRACE(Utf8(name));
        auto it = expected.find(inode);
        ASSERT_NE(it, expected.end()) << "entry " << inode << " not listed by fls";
        const Expected& x = it->second;
        seen.insert(inode);
        EXPECT_EQ(Utf8(name), x.name);
        EXPECT_EQ((node.flags & kNodeDeleted) != 0, x.deleted);
        EXPECT_EQ(node.IsDirectory(), r == kFATEntryFolder);
        if (r == kFATEntryFile) {
          EXPECT_EQ(node.size, x.size);
        }
        const uint32_t wantCluster =
            x.firstSector < 0 ? 0 : uint32_t((uint64_t(x.firstSector) - img.layout.clusterArea) / img.spc + 2);
        EXPECT_EQ(node.id, wantCluster);
        std::string when = x.written;
        for (char& c : when) c = c == '-' ? '/' : c == 'T' ? ' ' : c;
        EXPECT_EQ(Utf8(node.GetTimeText(0)), when);
        EXPECT_GE(node.confidence, 3);
        if (r == kFATEntryFolder) queue.push_back({img.FolderSectors(node.id, x.deleted), node.id});
      }
    }
  }
  EXPECT_EQ(seen.size(), expected.size());
  EXPECT_EQ(labels, 1);
  EXPECT_GE(dots, 8);
  EXPECT_EQ(vol.label, u"TESTVOL");
}

// The boot sector gives the FAT places, media byte and cluster count of
// fsstat; a sector built for the same geometry passes fsck.fat.
TEST_P(FatImages, BootSector) {
  const std::string folder = FixtureFolder("make_fat_images.sh");
  if (folder.empty()) GTEST_SKIP() << "dosfstools, mtools or sleuthkit missing";
  FatImage img;
  ASSERT_TRUE(LoadImage(folder, GetParam(), &img));
  uint64_t areas[2] = {}, clusters = 0;
  uint8_t media = 0;
  ASSERT_EQ(IsFATBootSector(img.Sector(0), areas, &media, &clusters), img.type);
  EXPECT_EQ(areas[0], img.layout.fat0First);
  EXPECT_EQ(areas[1], img.layout.fat1First);
  EXPECT_EQ(media, 0xF8);
  EXPECT_EQ(clusters, img.layout.totalSectors / img.spc);

  if (img.bits == 12) return;  // the builder writes FAT16 and FAT32 only
  const uint8_t* s = img.Sector(0);
  const uint32_t reserved = s[14] | s[15] << 8;
  const uint32_t rootEntries = s[17] | s[18] << 8;
  const uint32_t fatSize = uint32_t(img.layout.fat0Last - img.layout.fat0First + 1);
  uint8_t built[512];
  ASSERT_TRUE(BuildFATBootSector(built, img.type, img.spc, reserved, rootEntries, fatSize,
                                 uint32_t(img.layout.totalSectors), 512));
  uint64_t builtAreas[2] = {};
  EXPECT_EQ(IsFATBootSector(built, builtAreas, nullptr, nullptr), img.type);
  EXPECT_EQ(builtAreas[1], areas[1]);

  if (access("/usr/sbin/fsck.fat", X_OK) != 0 && access("/sbin/fsck.fat", X_OK) != 0)
    GTEST_SKIP() << "fsck.fat missing";
  // fsck.fat reads the volume through the built sector as through the
  // original: the same files and clusters, and nothing to say of the FATs
  // or chains. It does note what the built sector leaves out on purpose (no
  // label, no FAT32 backup boot sector or FSINFO), so its exit status is 1.
  const TempFolder temp("fatboot");
  auto fsck = [&](const Bytes& image, std::vector<std::string>* remarks) {
    const std::string path = temp.Path() + "/image";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return std::string();
    const bool written = write(fd, image.data(), image.size()) == ssize_t(image.size());
    close(fd);
    const std::string command = "PATH=$PATH:/usr/sbin:/sbin fsck.fat -n '" + path + "' 2>&1";
    std::string output;
    if (FILE* p = written ? popen(command.c_str(), "r") : nullptr) {
      char line[512];
      while (fgets(line, sizeof line, p)) output += line;
      pclose(p);
    }
    std::string summary;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      if (line.find(" files, ") != std::string::npos) summary = line.substr(line.find(": ") + 2);
      else if (remarks) remarks->push_back(line);
    }
    return summary;
  };
  const std::string want = fsck(img.bytes, nullptr);
  ASSERT_FALSE(want.empty()) << "fsck.fat gave no summary";
  Bytes copy = img.bytes;
  std::memcpy(copy.data(), built, 512);
  std::vector<std::string> remarks;
  EXPECT_EQ(fsck(copy, &remarks), want);
  const std::regex allowed(
      "^(fsck\\.fat .*|Leaving filesystem unchanged\\.|.*[Ll]abel.*|There is no backup boot sector\\.|"
      "  Auto-creating backup boot block\\.|Created backup of boot sector in sector 6|No FSINFO sector|"
      "  Not automatically creating it\\.|)$");
  for (const std::string& r : remarks) EXPECT_TRUE(std::regex_match(r, allowed)) << "fsck.fat: " << r;
}

// Sectors inside the two FATs read as FAT sectors at their index (or, with
// only end marks, as "cannot tell"); no sector outside them reads as one.
TEST_P(FatImages, FatSectorsExactlyWhereFsstatSays) {
  const std::string folder = FixtureFolder("make_fat_images.sh");
  if (folder.empty()) GTEST_SKIP() << "dosfstools, mtools or sleuthkit missing";
  FatImage img;
  ASSERT_TRUE(LoadImage(folder, GetParam(), &img));
  int indexed = 0;
  for (uint32_t maxCluster : {img.layout.lastCluster, 0u}) {
    for (uint64_t s = 0; s < img.layout.totalSectors; ++s) {
      const uint8_t* p = img.Sector(s);
      bool zero = true;
      for (uint32_t i = 0; i < img.layout.sectorSize && zero; ++i) zero = p[i] == 0;
      uint32_t bad = 7, score = 0;
      const int64_t r = CheckFATSector(p, img.type, &bad, &score, maxCluster, img.layout.sectorSize);
      const bool accepted = r >= 0 || (r == -2 && score > 0);
      const bool inFat = (s >= img.layout.fat0First && s <= img.layout.fat0Last) ||
                         (s >= img.layout.fat1First && s <= img.layout.fat1Last);
      if (inFat) {
        const uint64_t index = s - (s <= img.layout.fat0Last ? img.layout.fat0First : img.layout.fat1First);
        EXPECT_EQ(bad, 0u);
        if (zero) {
          EXPECT_EQ(r, -2) << s;
        } else {
          EXPECT_TRUE(accepted) << "FAT sector " << s << " result " << r;
          if (r >= 0) {
            EXPECT_EQ(uint64_t(r), index) << s;
            ++indexed;
          }
        }
      } else if (maxCluster != 0) {
        EXPECT_FALSE(accepted) << "sector " << s << " result " << r << " score " << score;
      }
    }
  }
  // Both copies of the first sector and of the long chains, twice.
  EXPECT_GE(indexed, 8);
}

INSTANTIATE_TEST_SUITE_P(Fat, FatImages, testing::Values("fat12", "fat16", "fat32"));

TEST(FatBoot, OtherFileSystemsAndDamagedFields) {
  const std::string folder = FixtureFolder("make_fat_images.sh");
  if (folder.empty()) GTEST_SKIP() << "dosfstools, mtools or sleuthkit missing";
  for (const char* other : {"other-ntfs", "other-exfat", "other-ext4"}) {
    const Bytes b = ReadAll(folder + "/" + other + ".img");
    if (b.size() < 4096) {
      std::cerr << "no " << other << ".img\n";
      continue;
    }
    for (int s = 0; s < 8; ++s) EXPECT_EQ(IsFATBootSector(b.data() + s * 512, nullptr, nullptr, nullptr), 0) << other;
  }
  const Bytes fat16 = ReadAll(folder + "/fat16.img");
  ASSERT_GE(fat16.size(), 512u);
  struct Case {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
    int want;
  };
  const Case cases[] = {
      {"unchanged", 0, {}, 2},
      {"E9 jump", 0, {0xE9}, 2},
      {"EB without 90", 2, {0x00}, 0},
      {"no signature", 510, {0x55, 0x00}, 0},
      {"256-byte sectors", 11, {0x00, 0x01}, 0},
      {"3 sectors a cluster", 13, {3}, 0},
      {"128 KiB clusters", 11, {0x00, 0x10, 32}, 0},
      {"no reserved sectors", 14, {0, 0}, 0},
      {"3 FATs", 16, {3}, 0},
      {"root entries not whole sectors", 17, {17, 0}, 0},
      {"both totals", 32, {1, 0, 0, 0}, 0},
      {"FAT32 with a root directory", 22, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint8_t s[512];
    std::memcpy(s, fat16.data(), 512);
    if (!c.bytes.empty()) std::memcpy(s + c.offset, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(IsFATBootSector(s, nullptr, nullptr, nullptr), c.want);
  }
  uint8_t buffer[512];
  EXPECT_FALSE(BuildFATBootSector(buffer, 2, 1, 4, 512, 0x10000, 100000, 512));  // FAT16 size over 16 bits
  EXPECT_FALSE(BuildFATBootSector(buffer, 3, 256, 32, 0, 100, 100000, 512));
}

// ------------------------------------------------------------ entries

namespace {

struct EntryBytes {
  uint8_t b[32] = {};
  EntryBytes(const char* name11, uint8_t attr, uint32_t cluster, uint32_t size) {
    std::memcpy(b, name11, 11);
    b[11] = attr;
    b[20] = uint8_t(cluster >> 16);
    b[21] = uint8_t(cluster >> 24);
    b[26] = uint8_t(cluster);
    b[27] = uint8_t(cluster >> 8);
    for (int i = 0; i < 4; ++i) b[28 + i] = uint8_t(size >> (8 * i));
    Write(0x5A21, 0x6000);  // 2025-01-01 12:00:00
  }
  void Write(uint16_t date, uint16_t time) {
    b[22] = uint8_t(time);
    b[23] = uint8_t(time >> 8);
    b[24] = uint8_t(date);
    b[25] = uint8_t(date >> 8);
  }
};

}  // namespace

TEST(FatEntry, RulesOfTheParser) {
  struct Case {
    const char* what;
    EntryBytes entry;
    int offset;  // a byte to change, -1 none
    uint8_t value;
    int want;
    const char* name;
    int confidence;
    bool deleted;
  };
  const Case cases[] = {
      {"file", {"README  TXT", 0x20, 5, 6}, -1, 0, kFATEntryFile, "README.TXT", 5, false},
      {"folder", {"DIR1       ", 0x10, 5, 0}, -1, 0, kFATEntryFolder, "DIR1", 7, false},
      {"deleted", {"\xE5" "EL     TXT", 0x20, 5, 6}, -1, 0, kFATEntryFile, "_EL.TXT", 6, true},
      {"0x05 stands for 0xE5", {"\x05" "BC     BIN", 0x20, 5, 6}, -1, 0, kFATEntryFile, "\xC3\xA5" "BC.BIN", 5,
       false},
      {"lower-case flags", {"LOWER   TXT", 0x20, 5, 6}, 12, 0x18, kFATEntryFile, "lower.txt", 3, false},
      {"tilde and digits", {"LONGFI~1TXT", 0x20, 5, 6}, -1, 0, kFATEntryFile, "LONGFI~1.TXT", 5, false},
      {"common extension", {"ABCDEFGHJPG", 0x20, 5, 6}, -1, 0, kFATEntryFile, "ABCDEFGH.JPG", 3, false},
      {"low confidence", {"ABCDEFGHXYZ", 0x20, 5, 6}, -1, 0, kFATEntryFile, "ABCDEFGH.XYZ", 0, false},
      {"dot", {".          ", 0x10, 5, 0}, -1, 0, kFATEntryDot, ".", 8, false},
      {"dot dot", {"..         ", 0x10, 0, 0}, -1, 0, kFATEntryDotDot, "..", 8, false},
      {"end", {"\0EADME  TXT", 0x20, 5, 6}, -1, 0, kFATEntryEnd, "", 0, false},
      {"label", {"NEW VOLUME ", 0x08, 0, 0}, -1, 0, kFATEntryLabel, "NEW VOLUME", 11, false},
      {"bad case flags", {"README  TXT", 0x20, 5, 6}, 12, 0x01, kFATEntryRejected, "", 0, false},
      {"10-ms count 200", {"README  TXT", 0x20, 5, 6}, 13, 200, kFATEntryRejected, "", 0, false},
      {"attribute 64", {"README  TXT", 0x40, 5, 6}, -1, 0, kFATEntryRejected, "", 0, false},
      {"write day 0", {"README  TXT", 0x20, 5, 6}, 24, 0x20, kFATEntryRejected, "", 0, false},
      {"blank first", {" EADME  TXT", 0x20, 5, 6}, -1, 0, kFATEntryRejected, "", 0, false},
      {"leading dot", {".PROFILE   ", 0x20, 5, 6}, -1, 0, kFATEntryRejected, "", 0, false},
      {"blank inside the base", {"AB CD   TXT", 0x20, 5, 6}, -1, 0, kFATEntryRejected, "", 0, false},
      {"lower-case byte", {"readme  TXT", 0x20, 5, 6}, -1, 0, kFATEntryRejected, "", 0, false},
      {"no cluster, not empty", {"README  TXT", 0x20, 0, 6}, -1, 0, kFATEntryRejected, "", 0, false},
      {"no cluster, empty", {"README  TXT", 0x20, 0, 0}, -1, 0, kFATEntryFile, "README.TXT", 5, false},
      {"label with a slash", {"A/B        ", 0x08, 0, 0}, -1, 0, kFATEntryRejected, "", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EntryBytes e = c.entry;
    if (c.offset >= 0) e.b[c.offset] = c.value;
    FATInode node;
    WString name;
    const int r = ParseFATEntry(&node, e.b, nullptr, &name);
    EXPECT_EQ(r, c.want);
    if (r == kFATEntryRejected || r == kFATEntryEnd) continue;
    EXPECT_EQ(Utf8(name), c.name);
    EXPECT_EQ(node.confidence, c.confidence);
    EXPECT_EQ((node.flags & kNodeDeleted) != 0, c.deleted);
    if (r != kFATEntryLabel) {
      EXPECT_EQ(node.id, FATDirEntry::FirstCluster(e.b));
      EXPECT_EQ(node.nameChecksum, FATShortNameChecksum(e.b));
    }
  }
}

// A long name counts only when it opens with its last piece and counts down
// to piece 1: a name that lost a piece would be a wrong name, so the short
// one stands.
TEST(FatEntry, LongNameWholeOrNotAtAll) {
  using namespace fat;
  auto piece = [](uint8_t order, uint8_t sum, const char16_t* text) {
    std::array<uint8_t, 32> e{};
    e[kLfnOrder] = order;
    e[kDirAttributes] = kAttrLongName;
    e[kLfnChecksum] = sum;
    size_t i = 0;
    for (; text[i] && i < 13; ++i) {
      e[kLfnCharOffsets[i]] = uint8_t(text[i]);
      e[kLfnCharOffsets[i] + 1] = uint8_t(text[i] >> 8);
    }
    for (size_t k = i + 1; k < 13; ++k) e[kLfnCharOffsets[k]] = e[kLfnCharOffsets[k] + 1] = 0xFF;
    return e;
  };
  const auto last2 = piece(0x42, 7, u"2"), one = piece(0x01, 7, u"cr2_layout.cr"), last1 = piece(0x41, 7, u"a.txt");
  struct Case {
    const char* what;
    std::vector<std::array<uint8_t, 32>> pieces;
    uint8_t shortSum;
    bool names;
    const char16_t* text;
  };
  const Case cases[] = {
      {"two pieces", {last2, one}, 7, true, u"cr2_layout.cr2"},
      {"one piece", {last1}, 7, true, u"a.txt"},
      {"the last piece lost", {one}, 7, false, nullptr},
      {"piece 1 lost", {last2}, 7, false, nullptr},
      {"another short entry", {last2, one}, 8, false, nullptr},
      {"a new name after a broken one", {one, last1}, 7, true, u"a.txt"},
      {"a checksum change mid-name", {last2, piece(0x01, 9, u"cr2_layout.cr")}, 9, false, nullptr},
  };
  for (const Case& c : cases) {
    LongNameBuffer b;
    for (const auto& e : c.pieces) EXPECT_TRUE(b.CheckLFN(e.data())) << c.what;
    EXPECT_EQ(b.Names(c.shortSum), c.names) << c.what;
    if (c.names) {
      EXPECT_EQ(b.Text(), WString(c.text)) << c.what;
    }
  }
}

TEST(FatEntry, VolumeChecks) {
  FATVol fat16(kVolFat16);
  fat16.SetClusterSize(512);
  fat16.sizeSectors = 1000;
  fat16.dataAreaSector = 98;  // cluster 2 at 100: 900 clusters, 2..901
  FATVol fat32(kVolFat32);
  fat32.SetClusterSize(512);
  fat32.sizeSectors = 200000;
  fat32.dataAreaSector = 998;
  struct Case {
    FATVol* vol;
    uint32_t cluster;
    int want;
  };
  const Case cases[] = {{&fat16, 901, kFATEntryFile}, {&fat16, 902, kFATEntryRejected},
                        {&fat16, 1, kFATEntryRejected}, {&fat16, 0x10005, kFATEntryRejected},
                        {&fat32, 0x10005, kFATEntryFile}, {&fat32, 199001, kFATEntryFile},
                        {&fat32, 199002, kFATEntryRejected}};
  for (const Case& c : cases) {
    FATInode node;
    EntryBytes e("README  TXT", 0x20, c.cluster, 6);
    EXPECT_EQ(ParseFATEntry(&node, e.b, c.vol, nullptr), c.want) << c.cluster;
  }
  // FAT32 has seen a cluster above 0xFFFF: a deleted entry whose cluster
  // fits 16 bits may have lost its high word.
  EXPECT_TRUE(fat32.highClusters);
  FATInode node;
  EntryBytes e("\xE5" "EL     TXT", 0x20, 0x1234, 6);
  EXPECT_EQ(ParseFATEntry(&node, e.b, &fat32, nullptr), kFATEntryFile);
  EXPECT_EQ((node.flags & kNodeGradeMask) >> kNodeGradeShift, 4);
  // Labels: taken only by a volume without one (or with "_").
  EntryBytes label("MYDISK     ", 0x08, 0, 0);
  fat16.label = WString(1, u'_');
  EXPECT_EQ(ParseFATEntry(&node, label.b, &fat16, nullptr), kFATEntryLabel);
  EXPECT_EQ(fat16.label, u"MYDISK");
  EntryBytes other("OTHER      ", 0x08, 0, 0);
  EXPECT_EQ(ParseFATEntry(&node, other.b, &fat16, nullptr), kFATEntryLabel);
  EXPECT_EQ(fat16.label, u"MYDISK");
}

TEST(FatEntry, DatesAndTimes) {
  struct Case {
    uint16_t date, time;
    uint8_t tenMs;
    bool valid;
    const char* text;  // as FAT times read, no zone
  };
  const Case cases[] = {
      {0x5A21, 0x6000, 0, true, "2025/01/01 12:00:00"},
      {0x0021, 0x0000, 0, true, "1980/01/01 00:00:00"},
      {0xFF9F, 0xBF7D, 0, true, "2107/12/31 23:59:58"},
      {0x5A21, 0x6000, 199, true, "2025/01/01 12:00:01"},
      {0x0000, 0x0000, 0, false, nullptr},         // month 0
      {0x5A20, 0x6000, 0, false, nullptr},         // day 0
      {0x5A9F, 0x0000, 0, false, nullptr},         // April 31
      {0x5A5E, 0x0000, 0, false, nullptr},         // February 30
      {0x5A5D, 0x0000, 0, true, "2025/02/29 00:00:00"},  // February 29 of any year passes the DOS check
      {0x5A21, 0xC000, 0, false, nullptr},         // hour 24
      {0x5A21, 0x0780, 0, false, nullptr},         // minute 60
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.date) + " " + std::to_string(c.time));
    FATSystemTime t;
    EXPECT_EQ(FATDateTimeToSystemTime(&t, c.date, c.time, c.tenMs), c.valid);
    FATInode node;
    node.creationDate = c.date;
    node.creationTime = c.time;
    node.creationTenMs = c.tenMs;
    if (c.text && std::string(c.text) != "2025/02/29 00:00:00") {
      EXPECT_EQ(Utf8(node.GetTimeText(1)), c.text);
      EXPECT_NE(node.GetFileTime(1), 0u);
    } else if (!c.text) {
      EXPECT_EQ(node.GetFileTime(1), 0u);
      EXPECT_EQ(Utf8(node.GetTimeText(1)), "0000/00/00 00:00:00");
    }
  }
  FATInode n;
  n.writeDate = 0x5A21;
  n.writeTime = 0x6000;
  n.accessDate = 0x5A22;
  EXPECT_EQ(n.GetFileTime(0), 133802064000000000ull);  // 2025-01-01 12:00:00 UTC
  EXPECT_EQ(Utf8(n.GetTimeText(2)), "2025/01/02 00:00:00");
}

TEST(FatNode, ThroughTheNodeModel) {
  cnode* a = CreateNode(kNodeFat | 3);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->Family(), kNodeFat);
  auto* fa = static_cast<FATInode*>(a);
  fa->writeDate = 0x5A21;
  fa->writeTime = 0x6000;
  fa->creationDate = 0x5A21;
  fa->nameChecksum = 0x42;
  fa->confidence = 9;
  fa->size = 77;
  uint64_t t = 0;
  EXPECT_TRUE(a->GetFileTime(&t, 0));
  EXPECT_EQ(t, 133802064000000000ull);
  EXPECT_EQ(Utf8(a->GetTimeText(0)), "2025/01/01 12:00:00");
  cnode* b = CreateNode(kNodeFat);
  ASSERT_TRUE(b->CopyNode(a));
  auto* fb = static_cast<FATInode*>(b);
  EXPECT_EQ(fb->writeDate, 0x5A21);
  EXPECT_EQ(fb->nameChecksum, 0x42);
  EXPECT_EQ(fb->confidence, 0);  // not copied
  EXPECT_EQ(fb->size, 77u);
  DeleteNode(&a);
  DeleteNode(&b);
  EXPECT_EQ(a, nullptr);

  // A long folder queue goes without recursion.
  auto* head = new nodeStack(CreateNode(kNodeFat), u"\\");
  nodeStack* tail = head;
  for (int i = 0; i < 200000; ++i) {
    tail->next = new nodeStack(CreateNode(kNodeFat), nullptr);
    tail = tail->next;
  }
  head->Delete();
  EXPECT_EQ(head->next, nullptr);
  delete head;
}

TEST(FatHelpers, DirectorySectorsVotesAndProducts) {
  uint8_t sector[512] = {};
  EntryBytes dot(".          ", 0x10, 9, 0), dotdot("..         ", 0x10, 0, 0);
  std::memcpy(sector, dot.b, 32);
  std::memcpy(sector + 32, dotdot.b, 32);
  EXPECT_EQ(IsFATDotDirSector(sector), kFATAttrDirectory);
  uint32_t cluster = 0;
  EXPECT_EQ(FATDotEntry(sector, &cluster), 2);
  EXPECT_EQ(cluster, 9u);
  EXPECT_EQ(FATDotEntry(sector + 32), 3);
  sector[11] = 0x20;
  EXPECT_EQ(IsFATDotDirSector(sector), 0);

  uint8_t entries[512] = {};
  EntryBytes small("A       TXT", 0x20, 0xFFF5, 1), big("B       TXT", 0x20, 0xFFF6, 1);
  EntryBytes lfn("B       TXT", 0x0F, 0x123456, 1);
  std::memcpy(entries, small.b, 32);
  EXPECT_FALSE(FATDirHasFAT32Clusters(entries));
  std::memcpy(entries + 32, lfn.b, 32);
  EXPECT_FALSE(FATDirHasFAT32Clusters(entries));
  std::memcpy(entries + 15 * 32, big.b, 32);
  EXPECT_FALSE(FATDirHasFAT32Clusters(entries));  // after an empty entry
  std::memcpy(entries + 64, big.b, 32);
  EXPECT_TRUE(FATDirHasFAT32Clusters(entries));

  EXPECT_TRUE(MulFits32(0x10000, 0xFFFF));
  EXPECT_FALSE(MulFits32(0x10000, 0x10000));
  EXPECT_TRUE(MulFits32(0xFFFFFFFF, 1));

  FATClusterVotes votes;
  for (int i = 0; i < FATClusterVotes::kSlots; ++i) EXPECT_TRUE(votes.Add(i, 1));
  EXPECT_FALSE(votes.Add(99, 1));
  EXPECT_TRUE(votes.Add(5, 3));
  uint32_t total = 0;
  EXPECT_EQ(votes.Best(&total), 5);
  EXPECT_EQ(total, uint32_t(FATClusterVotes::kSlots + 3));

  cnode ufs(kNodeUfs), fat(kNodeFat);
  EXPECT_TRUE(IsBlockMapNode(&ufs));
  EXPECT_FALSE(IsBlockMapNode(&fat));
  // A fresh ext node has no extent tree: its family answers block-mapped;
  // an installed test overrides the answer.
  cnode* ext = CreateNode(kNodeExt);
  ASSERT_NE(ext, nullptr);
  EXPECT_TRUE(IsBlockMapNode(ext));
  SetExtentTreeTest([](const cnode*) { return true; });
  EXPECT_FALSE(IsBlockMapNode(ext));
  SetExtentTreeTest(nullptr);
  DeleteNode(&ext);
}

TEST(FatHelpers, SyntheticFatSectors) {
  // FAT16 index 3 with one contiguous chain, a bad cluster and an end mark.
  uint8_t s[512] = {};
  auto put16 = [&](int j, uint16_t v) {
    s[j * 2] = uint8_t(v);
    s[j * 2 + 1] = uint8_t(v >> 8);
  };
  for (int j = 0; j < 200; ++j) put16(j, uint16_t(3 * 256 + j + 1));
  put16(200, 0xFFFF);
  put16(201, 0xFFF7);
  uint32_t bad = 0, score = 0;
  EXPECT_EQ(CheckFATSector(s, 2, &bad, &score, 5000), 3);
  EXPECT_EQ(bad, 1u);
  EXPECT_GT(score, 200u);
  // The same values above the largest cluster: not a FAT of that volume.
  EXPECT_EQ(CheckFATSector(s, 2, nullptr, nullptr, 500), -1);
  // Only end marks: no index to tell.
  std::memset(s, 0, sizeof s);
  for (int j = 4; j < 14; ++j) put16(j, 0xFFFF);
  EXPECT_EQ(CheckFATSector(s, 2, nullptr, &score, 5000), -2);
  EXPECT_GT(score, 0u);
  // A first sector: media and end marks, then chains.
  std::memset(s, 0, sizeof s);
  put16(0, 0xFFF8);
  put16(1, 0xFFFF);
  put16(2, 0xFFFF);
  for (int j = 3; j < 50; ++j) put16(j, uint16_t(j + 1));
  EXPECT_EQ(CheckFATSector(s, 2, nullptr, nullptr, 5000), 0);
  // FAT32 text is not a FAT.
  std::memset(s, 'A', sizeof s);
  EXPECT_EQ(CheckFATSector(s, 3, nullptr, nullptr, 0), -1);
  EXPECT_EQ(CheckFATSector(s, 7, nullptr, nullptr, 0), -1);
}

TEST(DriveHelpers, FatBootSector) {
  const TempFolder dirTemp("fatboot");
  std::string dir = dirTemp.Path();
  std::string img = dir + "/fat.img";
  if (RunCommand("command -v mkfs.fat || ls /usr/sbin/mkfs.fat 2>/dev/null").empty()) GTEST_SKIP() << "no mkfs.fat";
  for (const char* bits : {"12", "16", "32"}) {
    SCOPED_TRACE(bits);
    unlink(img.c_str());
    RunCommand(std::string("truncate -s 40M '") + img + "' && /usr/sbin/mkfs.fat -F " + bits + " '" + img +
               "' >/dev/null 2>&1");
    std::string boot = ReadFileText(img).substr(0, 512);
    ASSERT_EQ(boot.size(), 512u);
    uint64_t total = 0;
    EXPECT_TRUE(IsFatBootSectorWithTotal(reinterpret_cast<const uint8_t*>(boot.data()), &total));
    EXPECT_EQ(total, 40u * 2048);
    std::string bad = boot;
    bad[510] = 0;
    EXPECT_FALSE(IsFatBootSectorWithTotal(reinterpret_cast<const uint8_t*>(bad.data()), &total));
    bad = boot;
    bad[13] = 3;  // sectors per cluster not a power of two
    EXPECT_FALSE(IsFatBootSectorWithTotal(reinterpret_cast<const uint8_t*>(bad.data()), &total));
  }
}

