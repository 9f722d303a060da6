// The main view's source: the Look-in rows, opening the chosen source and
// loading disk images.

#include "ui/DelvoraView.h"

#include <QApplication>
#include <QFileDialog>

#include "engine/Engine.h"
#include "engine/Worker.h"
#include "foundation/Messages.h"
#include "foundation/Trace.h"
#include "foundation/Wildcard.h"
#include "platform/Errors.h"
#include "resources/Icons.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "storage/ImageFiles.h"
#include "storage/VhdDrive.h"
#include "storage/VirtualDisk.h"
#include "ui/Commands.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/QtPrompt.h"
#include "ui/core/Activity.h"
#include "ui/core/Properties.h"
#include "volumes/Volume.h"
#include "volumes/VolumeSearch.h"

void CDelvoraView::InitDriveList() {
  std::vector<LookInRow> rows = MachineLookInRows();
  SetLookInRows(rows);
}

void CDelvoraView::SetLookInRows(const std::vector<LookInRow>& rows) {
  lookInRows_ = rows;
  const QSignalBlocker block(lookIn_);
  lookIn_->RemoveDriveRows();
  for (int i = lookIn_->count() - 1; i >= 0; i--)
    if (lookIn_->ItemData(i) == 5) lookIn_->RemoveItem(i);
  // Images registered before (sessions, the drive layer) keep their rows.
  for (const WString& path : theImageFiles().Paths())
    if (lookIn_->FindRow(path) < 0) lookIn_->AddItem(ToQ(path), 1, path);
  for (const LookInRow& r : rows) {
    if (r.group == 4 || r.source.empty()) continue;
    lookIn_->AddItem(ToQ(r.text), r.group, r.source);
  }
  lookIn_->AddItem(ToQ(Msg(99)), 4);
  const int cur = currentSource_.empty() ? -1 : lookIn_->FindRow(currentSource_);
  lookIn_->setCurrentIndex(cur);
  RefreshCommands();
}

void CDelvoraView::SelectLookInRow(int index) {
  if (index < 0 || size_t(index) >= lookInRows_.size()) return;
  const LookInRow& r = lookInRows_[size_t(index)];
  const int row = r.source.empty() ? lookIn_->count() - 1 : lookIn_->FindRow(r.source);
  if (row < 0) return;
  lookIn_->setCurrentIndex(row);
  OnLookInSelChange();
}

void CDelvoraView::RevertLookIn() {
  const QSignalBlocker block(lookIn_);
  lookIn_->setCurrentIndex(currentSource_.empty() ? -1 : lookIn_->FindRow(currentSource_));
  if (sessionLoadState_ == 1) sessionLoadState_ = 2;
  RefreshCommands();
}

void CDelvoraView::CloseSource() {
  delete g_engine;
  g_engine = nullptr;
  DeleteDrive(&g_currentDrive);
  currentSource_.clear();
}

bool CDelvoraView::TraceFolderSafeOn(const WString& name) {
  const std::string folder = theTrace().TraceFolder();
  if (folder.empty()) return true;
  // A drive of its own for the question: the current source stays open.
  Drive* probe = nullptr;
  bool safe = true;
  try {
    probe = CreateDrive(name);
    probe->InitDrive(name);
    safe = probe->IsSafeVolume(FromUtf8(folder + "/"));
  } catch (const DvCodeError&) {
  } catch (const DvTextError&) {
  }
  DeleteDrive(&probe);
  if (!safe) {
    QApplication::restoreOverrideCursor();
    ShowError(u"%s", Msg(125));
    QApplication::setOverrideCursor(Qt::WaitCursor);
  }
  return safe;
}

void CDelvoraView::OnLookInSelChange() {
  const int row = lookIn_->currentIndex();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (row >= 0 && lookIn_->ItemData(row) == 5) {
    // Refresh: the machine's sources again, the current one kept chosen.
    theDiskList().Refresh();
    InitDriveList();
    if (!currentSource_.empty() && lookIn_->FindRow(currentSource_) < 0) {
      if (ListRows() > 0) ClearResults();
      CloseSource();
    }
    RevertLookIn();
  } else if (row >= 0 && !lookIn_->IsHeading(row)) {
    const WString name = lookIn_->Source(row);
    if (!TraceFolderSafeOn(name)) {
      RevertLookIn();
      QApplication::restoreOverrideCursor();
      return;
    }
    // "Clear current scan results?" answered Yes clears them; the scan
    // starts only from Scan, in the mode then shown.
    if (ListRows() > 0) {
      QApplication::restoreOverrideCursor();
      const int answer = ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(335));
      QApplication::setOverrideCursor(Qt::WaitCursor);
      if (answer != kIdYes) {
        RevertLookIn();
        QApplication::restoreOverrideCursor();
        return;
      }
      ClearResults();
    }
    if (!theDrvAttr().FindDrvInfo(name)) theDrvAttr().AddDrvInfo(std::make_unique<DrvInfo>(name));
    if (frame_->statusBar()) frame_->statusBar()->showMessage(ToQ(Msg(172) + u" "));
    // The previous source goes before the new one is opened; a failed open
    // leaves no source at all and the Scan button disabled.
    CloseSource();
    Drive* drive = nullptr;
    WString error;
    bool needsParent = false;
    try {
      drive = CreateDrive(name);
      drive->InitDrive(name);
    } catch (const DvCodeError& e) {
      error = LastErrorText();
      needsParent = e.code == kNeedsParent;
    } catch (const DvTextError& e) {
      error = e.text;
    }
    if (!error.empty() || !drive) {
      const bool vhd = dynamic_cast<VHDDrive*>(drive) != nullptr;
      DeleteDrive(&drive);
      sourceFailed_ = true;
      RevertLookIn();
      ApplyStepState();
      QApplication::restoreOverrideCursor();
      if (needsParent) {
        // A child without its parent: the chained-image road, with the
        // child and the file that bears the parent's name filled in.
        if (ShowMessage(kMbYesNo | kMbIconQuestion, u"%s\n\nOpen the chained image dialog with this file?", error) ==
            kIdYes)
          OnLoadChain(vhd, name, LastParentGuess());
        return;
      }
      ShowError(u"%s", error.empty() ? WString(u"?") : error);
      return;
    }
    g_currentDrive = drive;
    currentSource_ = name;
    sourceFailed_ = false;
    QApplication::restoreOverrideCursor();
    try {
      AfterSourceOpened(drive, name);
    } catch (const DvCodeError&) {
      ShowLastError();
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    drive->CloseDevice();
    ApplyStepState();
  }
  QApplication::restoreOverrideCursor();
  RefreshCommands();
}

int CDelvoraView::AddDiskImage(const WString& path) {
  if (path.empty() || theImageFiles().Find(path) >= 0) return 0;
  if (path[0] != u'/') {
    ShowError(Msg(117), path);
    return 0;
  }
  if (theImageFiles().Add(path) != 0) {
    ShowError(u"%s", LastErrorText());
    return 0;
  }
  const QSignalBlocker block(lookIn_);
  const int keep = lookIn_->currentIndex();
  const WString keepSource = keep >= 0 ? lookIn_->Source(keep) : WString();
  lookIn_->AddItem(ToQ(path), 1, path);
  lookIn_->setCurrentIndex(keepSource.empty() ? -1 : lookIn_->FindRow(keepSource));
  return 1;
}

void CDelvoraView::LoadDiskImages(const std::vector<WString>& paths) {
  int added = 0;
  WString first;
  for (const WString& p : paths) {
    if (p.empty()) continue;
    if (AddDiskImage(p) == 1) {
      if (!added) first = p;
      added++;
    }
  }
  if (added > 0) ShowMessage(kMbIconInformation, Msg(98), added, Msg(added == 1 ? 80 : 70));
  // A freshly loaded image becomes the source, unless that would throw away
  // results on the screen.
  if (added > 0 && ListRows() == 0 && g_activityCode.load() == kActivityIdle) {
    const int row = lookIn_->FindRow(first);
    if (row >= 0) {
      {
        const QSignalBlocker block(lookIn_);
        lookIn_->setCurrentIndex(row);
      }
      OnLookInSelChange();
    }
  }
  RefreshCommands();
}

void CDelvoraView::OnDiskImageLoad() {
  // "Disk Image File (*.dsk;*.img)|*.dsk;*.img|All Files (*.*)|*.*||" as Qt filters.
  const QStringList parts = ToQ(Msg(432)).split(QLatin1Char('|'), Qt::SkipEmptyParts);
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) filters << parts[i].section(QLatin1Char('('), 0, 0).trimmed() +
                                                            QStringLiteral(" (") + QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) + QStringLiteral(")");
  const QStringList files = QFileDialog::getOpenFileNames(this, QString(), QString(), filters.join(QStringLiteral(";;")));
  std::vector<WString> paths;
  for (const QString& f : files) paths.push_back(FromQ(f));
  LoadDiskImages(paths);
}
