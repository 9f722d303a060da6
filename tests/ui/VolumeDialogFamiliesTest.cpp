// The volume properties dialog over volumes the families read: VMFS shows
// and takes its file block size, ReFS its own cluster size, in place of the
// volume's cluster size.
#include <gtest/gtest.h>

#include <string>

#include "foundation/Globals.h"
#include "storage/Drive.h"
#include "tests/support/FixtureRun.h"
#include "ui/core/VolPropRules.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/VolumeSearch.h"

namespace {

// The first volume the search finds on an image, its dialog's cluster text
// in view mode.
WString ClusterTextOf(const std::string& image) {
  Drive* d = CreateDrive(FromUtf8(image));
  if (!d) return u"(no drive)";
  d->InitDrive(FromUtf8(image));
  ScanPartitions(*d);
  WString text = u"(no volume)";
  if (VolumeCount(*d)) {
    CVol* v = VolumeAt(*d, 0);
    VolPropRules r(&v, false, TheVolumeMaker(), d);
    r.Init();
    text = r.clusterText;
  }
  DeleteDrive(&d);
  return text;
}

}  // namespace

TEST(VolumeDialogFamilies, VmfsShowsItsFileBlockAndRefsItsClusterSize) {
  GlobalObjectsScope scope;
  const std::string vmfs = FixtureFolder("make_vmfs.sh"), refs = FixtureFolder("make_refs.sh");
  if (vmfs.empty() || refs.empty()) GTEST_SKIP() << "make_vmfs.sh or make_refs.sh cannot make its images";
  EXPECT_EQ(ClusterTextOf(vmfs + "/vmfs3.img"), u"1,048,576");
  EXPECT_EQ(ClusterTextOf(vmfs + "/vmfs5.img"), u"8,388,608");
  EXPECT_EQ(ClusterTextOf(refs + "/refs512.img"), u"65,536");
}

// Save gives the typed size to the family: a VMFS block of 2 MiB is taken
// (the volume's own cluster stays 4 KiB), 3 MiB is refused.
TEST(VolumeDialogFamilies, SaveGivesTheSizeToTheFamily) {
  GlobalObjectsScope scope;
  CVol* v = CreateVol(kVolVmfs);
  v->startSector = 2048;
  v->sizeSectors = 400000;
  VolPropRules r(&v, true, TheVolumeMaker(), nullptr);
  r.Init();
  r.StartTyped(u"2,048");
  r.ClusterChosen(u"2,097,152");
  EXPECT_EQ(r.Ok().message, 0);
  EXPECT_EQ(v->clusterSize, 4096u);
  VolPropRules again(&v, false, TheVolumeMaker(), nullptr);
  again.Init();
  EXPECT_EQ(again.clusterText, u"2,097,152");
  VolPropRules bad(&v, true, TheVolumeMaker(), nullptr);
  bad.Init();
  bad.ClusterChosen(u"3,145,728");
  EXPECT_EQ(bad.Ok().message, 376);
  DeleteVol(&v);
}
