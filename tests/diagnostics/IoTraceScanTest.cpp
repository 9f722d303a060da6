// The binary I/O trace of real scans: dvscan --io-trace, checked with
// dviotrace and against the image's own bytes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/IoRecorder.h"
#include "diagnostics/IoTraceFormat.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/Trace.h"
#include "tests/engine/DvscanRun.h"
#include "tests/support/LoopDevice.h"

namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string FileEnding(const std::string& folder, const std::string& tail) {
  std::string found;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.rfind("Marbrix_", 0) == 0 && n.size() > tail.size() &&
          n.compare(n.size() - tail.size(), tail.size(), tail) == 0)
        found = folder + "/" + n;
    }
    closedir(d);
  }
  return found;
}

struct Traced {
  DvscanRun run;
  std::string log, data;
  iotrace::Summary summary;
  std::vector<iotrace::Record> records;
};

// A scan of `source` traced into `folder`.
Traced TraceScan(const std::string& source, const std::string& folder, const std::string& more = "") {
  Traced t;
  t.run =
      Dvscan("--trace '" + folder + "/wubgrain.txt' --trace-switches io,mft --io-trace " + more + " '" + source + "'");
  t.log = FileEnding(folder, "_01.bin");
  t.data = FileEnding(folder, "_00.bin");
  // Every trace a test writes passes dviotrace's check.
  const iotrace::FileCheck c =
      iotrace::CheckFiles(t.log, t.data, [&](const iotrace::Record& r) { t.records.push_back(r); });
  EXPECT_EQ(c.problem, "") << t.log;
  t.summary = c.summary;
  return t;
}

std::string ScanImage(std::string* skip) {
  const std::string folder = FixtureSetFolder("make_ntfs_scan_image.sh", "ntfs-scan", skip);
  return folder.empty() ? folder : folder + "/scan.img";
}

}  // namespace

// scan.img traced: the log checks out against its data file, every read
// holds the image's bytes at its sectors, and the found-file records name
// the listed files.
TEST(IoTraceScan, QuickScanOfScanImg) {
  std::string skip;
  const std::string img = ScanImage(&skip);
  if (img.empty()) GTEST_SKIP() << skip;
  const TempFolder temp("iotrace");
  const Traced t = TraceScan(img, temp.Path());
  ASSERT_EQ(t.run.rc, 0) << t.run.err;
  ASSERT_FALSE(t.log.empty());
  const CommandRun check = RunCommandStatus("'" DV_BINARY_DIR "/bin/dviotrace' --check --quiet '" + t.log + "'");
  EXPECT_EQ(check.rc, 0) << check.out;
  ASSERT_TRUE(t.summary.ok) << t.summary.error;
  EXPECT_EQ(t.summary.shift, 9u);
  EXPECT_NE(t.summary.driveName.find("scan.img"), std::string::npos) << t.summary.driveName;

  const std::vector<uint8_t> image = ReadAll(img), data = ReadAll(t.data);
  ASSERT_EQ(data.size(), t.summary.dataBytes);
  size_t reads = 0, asked = 0, sent = 0;
  std::set<std::string> found;
  for (const iotrace::Record& r : t.records) {
    if (r.op == iotrace::kDriveOp) (r.flags == 6 ? asked : sent)++;
    if (r.op == iotrace::kFoundFile) found.insert(r.name);
    if (r.op != iotrace::kRead && r.op != iotrace::kReadRange && r.op != iotrace::kReadNext) continue;
    ++reads;
    const uint64_t at = uint64_t(r.sector) * 512, n = r.count * 512;
    for (uint64_t i = 0; i < n; i += 512) {
      const bool inside = at + i + 512 <= image.size();
      const uint8_t* want = inside ? image.data() + at + i : nullptr;
      const uint8_t* got = data.data() + r.dataAt + i;
      const bool same =
          inside ? std::equal(got, got + 512, want) : std::all_of(got, got + 512, [](uint8_t b) { return b == 0; });
      ASSERT_TRUE(same) << "sector " << (r.sector + int64_t(i / 512)) << " of the read at log " << r.at;
    }
  }
  EXPECT_GT(reads, 10u);
  EXPECT_GT(asked, 0u);
  EXPECT_GT(sent, 0u);
  EXPECT_GE(asked, sent);  // cache hits are asked, never sent
  // The listed items are the found files; each listed name is in the log.
  ASSERT_FALSE(t.run.items.empty());
  size_t files = 0;
  for (const Listed& l : t.run.items) {
    const std::string base =
        l.path.substr(l.path.find_last_of('\\') == std::string::npos ? 0 : l.path.find_last_of('\\') + 1);
    const std::string name = base.substr(base.find_last_of('/') == std::string::npos ? 0 : base.find_last_of('/') + 1);
    EXPECT_TRUE(found.count(name)) << name;
    ++files;
  }
  EXPECT_GT(files, 100u);
  // The peer names the same files.
  const std::string fls = RunCommand("fls -r -p '" + img + "' 2>/dev/null | sed 's/^[^\\t]*\\t//'");
  if (!fls.empty()) {
    size_t inPeer = 0;
    for (const std::string& name : found)
      if (fls.find("/" + name + "\n") != std::string::npos || fls.find(name + "\n") == 0) ++inPeer;
    EXPECT_GT(inPeer, found.size() / 2);
  }
}

// The same image on a device with 4,096-byte logical sectors: shift 12.
TEST(IoTraceScan, FourKiBDeviceGivesShift12) {
  std::string skip;
  const std::string img = ScanImage(&skip);
  if (img.empty()) GTEST_SKIP() << skip;
  const LoopDevice dev(img, "-r --sector-size 4096");
  if (dev.path().empty()) GTEST_SKIP() << "no loop device";
  const TempFolder temp("iotrace");
  const Traced t = TraceScan(dev.path(), temp.Path());
  ASSERT_TRUE(t.summary.ok) << t.summary.error << t.run.err;
  EXPECT_EQ(t.summary.shift, 12u);
  EXPECT_EQ(ReadAll(t.data).size(), t.summary.dataBytes);
}

// A trace folder on 512-byte and on 4,096-byte-sector file systems (the
// second written buffered from a 512-byte source) holds the same bytes.
TEST(IoTraceScan, FolderSectorSizeChangesNothing) {
  std::string skip;
  const std::string img = ScanImage(&skip);
  if (img.empty()) GTEST_SKIP() << skip;
  if (geteuid() != 0 || RunCommand("command -v mkfs.ext4").empty()) GTEST_SKIP() << "root and mkfs.ext4 needed";
  const TempFolder temp("iotrace");
  std::vector<std::vector<uint8_t>> datas;
  for (const char* sector : {"512", "4096"}) {
    const std::string fs = temp.Path() + "/fs" + sector + ".img", mnt = temp.Path() + "/mnt" + sector;
    ASSERT_EQ(RunCommandStatus("truncate -s 32M '" + fs + "' && mkdir -p '" + mnt + "'").rc, 0);
    const LoopDevice dev(fs, std::string("--sector-size ") + sector);
    if (dev.path().empty()) GTEST_SKIP() << "no loop device";
    ASSERT_EQ(RunCommandStatus("mkfs.ext4 -q -F '" + dev.path() + "' && mount '" + dev.path() + "' '" + mnt + "'").rc,
              0);
    const Traced t = TraceScan(img, mnt);
    EXPECT_EQ(t.run.rc, 0) << t.run.err;
    EXPECT_TRUE(t.summary.ok) << t.summary.error;
    datas.push_back(ReadAll(t.data));
    EXPECT_EQ(datas.back().size(), t.summary.dataBytes);
    // That device as the source: a trace folder in its mount is refused.
    const DvscanRun onSource =
        Dvscan("--trace '" + mnt + "/wubgrain.txt' --trace-switches io --io-trace '" + dev.path() + "'");
    EXPECT_EQ(onSource.rc, 1);
    EXPECT_NE(onSource.err.find("--io-trace"), std::string::npos) << onSource.err;
    RunCommand("umount '" + mnt + "'");
  }
  ASSERT_EQ(datas.size(), 2u);
  EXPECT_FALSE(datas[0].empty());
  EXPECT_TRUE(datas[0] == datas[1]);
}

// An NTFS record whose two strides end in different words logs opcode 6 at
// the record's sector.
TEST(IoTraceScan, StrideMismatchLogsOpcode6) {
  const int32_t io = traceIo, mft = traceMft;
  traceIo = 1;
  traceMft = 1;
  const TempFolder temp("iotrace");
  IoRecorder rec;
  rec.Open(FromUtf8(temp.Path() + "/wubgrain.txt"), 9, u"x");
  IoTrace* before = g_ioTrace;
  g_ioTrace = &rec;
  std::vector<uint8_t> record(1024, 0);
  std::memcpy(record.data(), "FILE", 4);
  record[4] = 0x30;  // update sequence at 48, three words
  record[6] = 3;
  record[0x30] = 1;  // the sequence number
  record[510] = 1;
  record[1022] = 2;  // the second stride's word differs
  {
    NTFSVol vol;
    vol.SetRecordSize(1024);
    inode node(record.data(), &vol);
    node.position = 4242;
    node.parseEntry();
    node.record = nullptr;
  }
  g_ioTrace = before;
  rec.Close();
  traceIo = io;
  traceMft = mft;
  std::vector<iotrace::Record> strides;
  const iotrace::FileCheck c =
      iotrace::CheckFiles(FileEnding(temp.Path(), "_01.bin"), std::string(), [&](const iotrace::Record& r) {
        if (r.op == iotrace::kStride) strides.push_back(r);
      });
  ASSERT_EQ(c.problem, "");
  ASSERT_EQ(strides.size(), 1u);
  EXPECT_EQ(strides[0].sector, 4242);
  EXPECT_EQ(strides[0].value, 1u);
  EXPECT_EQ(strides[0].value2, 2u);
}

// A Long Scan of pictures laid in zeros logs each carved hit (opcode 12)
// at the sector its trace line names.
TEST(IoTraceScan, CarvedHitsLogOpcode12) {
  const TempFolder temp("iotrace");
  const std::string img = temp.Path() + "/carve.img";
  const std::string src = DV_SOURCE_DIR "/tests/fixtures/carve/";
  ASSERT_EQ(RunCommandStatus("truncate -s 4M '" + img + "' && dd if='" + src + "jpg_baseline.jpg' of='" + img +
                             "' bs=512 seek=100 conv=notrunc status=none && dd if='" + src + "bmp3_small.bmp' of='" +
                             img + "' bs=512 seek=3000 conv=notrunc status=none")
                .rc,
            0);
  const Traced t = TraceScan(img, temp.Path(), "--long");
  ASSERT_TRUE(t.summary.ok) << t.summary.error << t.run.err;
  std::set<int64_t> logged;
  for (const iotrace::Record& r : t.records)
    if (r.op == iotrace::kHit) logged.insert(r.sector);
  // "type @ sector size counter" lines of the text trace.
  const std::string text = ReadFileText(temp.Path() + "/wubgrain.txt");
  std::set<int64_t> traced;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t at = line.find(" @ ");
    if (at == std::string::npos || at == 0 || line.find(' ') != at) continue;
    traced.insert(std::stoll(line.substr(at + 3)));
  }
  EXPECT_TRUE(traced.count(100)) << text.substr(0, 2000);
  EXPECT_TRUE(traced.count(3000));
  EXPECT_EQ(logged, traced);
}
