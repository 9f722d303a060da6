// The fixture of the main-road window tests: the window on the committed
// NTFS images, the duplicate and same-drive questions answered, Save into a
// folder, the list's rows by path.
#pragma once
#include <gtest/gtest.h>

#include <QRadioButton>
#include <map>
#include <string>

#include "foundation/Utilities.h"
#include "storage/ImageFiles.h"
#include "tests/support/FixtureImage.h"
#include "tests/support/TempFolder.h"
#include "tests/uiqt/WindowTest.h"
#include "ui/Commands.h"
#include "ui/DelvoraView.h"
#include "ui/MyListCtrl.h"
#include "ui/PromptDialogs.h"
#include "ui/core/ListStore.h"

class MainRoadTest : public WindowTest {
 protected:
  TempFolder box_{"mainroad"};
  int serial_ = 0;

  // A path in the test's folder, not made yet. A new name on every call:
  // the image registry outlives a test, also when the tests are repeated in
  // one process.
  std::string TempDir(const std::string& name) { return box_.Path() + "/" + name + "-" + std::to_string(++serial_); }

  // CDuplicate takes duplicateMode, CSameDrv is cancelled.
  void SetUp() override {
    handlers["CDuplicate"] = [this](QDialog& d) {
      auto& dup = static_cast<CDuplicate&>(d);
      dup.Radio(duplicateMode)->setChecked(true);
      dup.accept();
      return int(QDialog::Accepted);
    };
    handlers["CSameDrv"] = [](QDialog&) { return int(QDialog::Rejected); };
    WindowTest::SetUp();
  }
  // Load the image, pick it, Quick Scan.
  void ScanImage(const std::string& img) {
    // The image registry lives as long as the process: an image an earlier
    // test loaded is not added (nor announced) again.
    imageWasRegistered = theImageFiles().Find(FromUtf8(img)) >= 0;
    WindowTest::ScanImage(img);
  }
  void Save(const std::string& dest) {
    View()->SetStep(1);
    View()->SetSaveTo(QString::fromStdString(dest));
    View()->OnCommand(cmd::kSave);
    WaitIdle();
  }
  std::map<std::string, bool> ListedPaths() {
    std::map<std::string, bool> out;  // path without the volume folder -> deleted
    CMyListCtrl* l = View()->List();
    for (int i = 0; i < l->GetItemCount(); i++) {
      std::string folder = ToUtf8(l->GetItemPath(i));
      for (char& c : folder)
        if (c == '\\') c = '/';
      const size_t slash = folder.find('/');
      folder = slash == std::string::npos ? "" : folder.substr(slash + 1);
      const std::string path = (folder.empty() ? "" : folder + "/") + ToUtf8(l->GetItemNodeName(i));
      ListNodeInfo info;
      View()->Nodes().GetNode(l->GetItemNodeIndex(i), info);
      out[path] = (info.flags & 0x0002) != 0;
    }
    return out;
  }

  int duplicateMode = 1;
  bool imageWasRegistered = false;
  // The destination is not empty: answer the overwrite question once for all.
  void SetOverwriteAlwaysForTest() { View()->SetOverwriteAlways(true); }
};

#define IMAGE_OR_SKIP(var, name)                     \
  const std::string var = ntfs_fixture::Image(name); \
  if (var.empty()) GTEST_SKIP() << "xz missing: cannot unpack " name
