// A run carries its own state: scans and recoveries of different images one
// after another in one process (each with its own request) give the list
// and the bytes that fresh dvscan processes give, whatever ran before.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/Worker.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/UiServices.h"
#include "storage/Drive.h"
#include "tests/support/EngineRun.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "volumes/DestinationPath.h"
#include "volumes/Node.h"

namespace {

// The list as dvscan --list writes it, without its header.
std::string ListOf(const HeadlessView& view) {
  DestinationPathCache paths(u"/r");
  std::string out, dest;
  for (const FoundItem& it : view.found) {
    if (paths.Build(FolderBelowVolume(it.folderPath), it.name, &dest)) out += dest.substr(3);
    else out += '?';
    out += '\t' + std::to_string(it.size) + ((it.flags & kNodeDeleted) ? "\t1\t" : "\t0\t");
    out += it.condition == 328 ? "Good" : it.condition == 329 ? "Poor" : "";
    out += '\t' + std::to_string(it.nodeIndex) + '\t';
    if (it.volumeIndex != 0xFFFF) out += std::to_string(it.volumeIndex);
    out += (it.flags2 & kNode2Directory) ? "\tfolder\n" : it.symlink ? "\tlink\n" : "\tfile\n";
  }
  return out;
}

std::string TreeMd5s(const std::string& dir) {
  return RunCommand("cd '" + dir + "' && find . -type f ! -name Recovery.log -print0 | sort -z | xargs -0 -r md5sum");
}

// A fresh process: dvscan's list (without its header) and, with `recover`,
// the files it recovers there.
std::string FreshList(const std::string& args, const std::string& list, const std::string& recover = "") {
  const std::string cmd = std::string("'") + DV_BINARY_DIR + "/bin/dvscan' --list '" + list + "'" +
                          (recover.empty() ? "" : " --recover '" + recover + "'") + " " + args + " >/dev/null 2>&1";
  const CommandRun run = RunCommandStatus(cmd);
  EXPECT_EQ(run.rc, 0) << cmd;
  const std::string text = ReadFileText(list);
  const size_t header = text.find('\n');
  return header == std::string::npos ? std::string() : text.substr(header + 1);
}

struct Step {
  std::string image;
  ScanSelection selection;
  std::string args;  // the same scan as dvscan's options
};

}  // namespace

TEST(RunStateTest, ScansAndRecoveriesInARowEqualFreshProcesses) {
  const std::string ntfs = ntfs_fixture::Image("basic");
  if (ntfs.empty()) GTEST_SKIP() << "xz missing";
  const std::string fat = FixtureFolder("make_fat_images.sh");
  if (fat.empty()) GTEST_SKIP() << "dosfstools or mtools missing";
  const int ext = RunFixtureScript("make_ext.sh", FixtureCache() + "/ext", ">/dev/null 2>&1");
  if (ext == 77) GTEST_SKIP() << "e2fsprogs or sleuthkit missing";
  ASSERT_EQ(ext, 0);
  // A whole-drive Quick Scan, one volume of a disk of two, a Long Scan, and
  // the first again: what one run chose must not reach the next.
  std::vector<Step> steps(4);
  steps[0].image = ntfs;
  steps[1].image = FixtureCache() + "/ext/ext-disk.img";
  steps[1].selection.selectionKind = 1;
  steps[1].selection.selectedVolume = 1;
  steps[1].args = "--volume 1";
  steps[2].image = fat + "/fat32.img";
  steps[2].selection.scanMode = 1;
  steps[2].args = "--long";
  steps[3].image = ntfs;

  const TempFolder temp("runstate");
  GlobalObjectsScope scope;
  std::vector<Drive*> drives;
  std::vector<std::string> lists;
  for (size_t k = 0; k < steps.size(); k++) {
    const Step& s = steps[k];
    SCOPED_TRACE(s.image + " " + s.args);
    const std::string at = temp.Path() + "/" + std::to_string(k);
    HeadlessView view;
    g_appState->view = &view;
    // The drives stay open as the window keeps its sources: only the
    // requests name the one a run reads.
    drives.push_back(ScanDriveImage(s.image, view, s.selection));
    const std::string list = ListOf(view);
    EXPECT_GT(list.size(), 40u);
    ASSERT_TRUE(RecoverListed(at + "-in", view));
    const std::string fresh = FreshList(s.args + " '" + s.image + "'", at + ".tsv", at + "-fresh");
    EXPECT_EQ(list, fresh);
    const std::string md5s = TreeMd5s(at + "-in");
    EXPECT_GT(md5s.size(), 40u);
    EXPECT_EQ(md5s, TreeMd5s(at + "-fresh"));
    lists.push_back(list);
    g_appState->view = nullptr;
  }
  EXPECT_EQ(lists[3], lists[0]);
  delete g_engine;
  g_engine = nullptr;
  DropSendObjs();
  for (Drive*& d : drives) DeleteDrive(&d);
}
