// The main view's list commands: arrange, filter, find, properties and the
// folder display.

#include "ui/DelvoraView.h"

#include <QApplication>
#include <QMenu>

#include "engine/Engine.h"
#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/Wildcard.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "ui/ChkCbBox.h"
#include "ui/FolderTree.h"
#include "ui/ListDialogs.h"
#include "ui/ListHeader.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/OwnControls.h"
#include "ui/PromptDialogs.h"
#include "ui/PropertyDlg.h"
#include "ui/QtPrompt.h"
#include "ui/SystemFileTypes.h"
#include "ui/Viewing.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/ListSort.h"
#include "ui/core/ListText.h"
#include "ui/core/Properties.h"
#include "ui/core/PropertyRules.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"
#include "volumes/RunList.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

// ---- arrange, filter, find, properties, folder view ----

bool CDelvoraView::SortAscending() const { return folderDisplay_ ? sortAscendingFolder_ : sortAscendingFlat_; }

void CDelvoraView::ShowPaneText(int message) {
  if (frame_->statusBar()) frame_->statusBar()->showMessage(ToQ(StripAccelerator(Msg(message))));
}

int CDelvoraView::ArrangeFiles(int code) {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  struct EndWait {
    ~EndWait() { QApplication::restoreOverrideCursor(); }
  } endWait;
  if (code != -1 && list_->IsEmpty()) return -1;
  CMBLstHdrCtrl* header = list_->Header();
  auto showArrow = [header](int column, bool ascending) {
    if (column >= 0 && column < kListColumnCount) header->SetSortArrow(column, ascending);
    else header->ClearSortArrow();
  };
  if (folderDisplay_) {
    // The folder and volume of the open folder's rows are all the same.
    if (code == kSortFolder || code == kSortVolume) return -1;
    if (code != -1) {
      ShowPaneText(266);
      if (code == sortColumnFolder_) {
        sortAscendingFolder_ = !sortAscendingFolder_;
        list_->ReverseOrder();
      } else {
        sortColumnFolder_ = code;
        sortAscendingFolder_ = true;
        list_->SortFolderRows(code);
      }
    }
    showArrow(sortColumnFolder_, sortAscendingFolder_);
  } else {
    if (code != -1) {
      ShowPaneText(266);
      if (code != sortColumnFlat_) {
        sortAscendingFlat_ = true;
        sortColumnFlat_ = code;
        list_->StartSort(code);
        ApplyStepState();
        return code;
      }
      sortAscendingFlat_ = !sortAscendingFlat_;
      list_->ReverseOrder();
    }
    showArrow(sortColumnFlat_, sortAscendingFlat_);
  }
  const int column = folderDisplay_ ? sortColumnFolder_ : sortColumnFlat_;
  if (frame_->statusBar() && column >= 0 && column < kListColumnCount)
    frame_->statusBar()->showMessage(ToQ(FormatW(Msg(270).c_str(), FromQ(list_->HeaderText(column)))));
  RefreshCommands();
  return -1;
}

void CDelvoraView::OnSortFinished(int code) {
  g_activityCode = kActivityIdle;
  list_->setEnabled(true);
  sortColumnFlat_ = code;
  ApplyStepState();
  if (code == kSortFolderOrder) OnFolderView();
  else ArrangeFiles(-1);
  RefreshCommands();
}

void CDelvoraView::OnFolderView() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  struct EndWait {
    ~EndWait() { QApplication::restoreOverrideCursor(); }
  } endWait;
  if (list_->IsEmpty()) return;
  CMBLstHdrCtrl* header = list_->Header();
  if (folderDisplay_) {
    list_->ToggleDisplay();
    folderDisplay_ = false;
    tree_->hide();
    splitterBar_->hide();
    frame_->SetFolderViewButton(false);
    DoLayout();
    list_->setFocus();
    ShowPaneText(260);
    if (sortColumnFlat_ < 0 || sortColumnFlat_ >= kListColumnCount) {
      // The records are in the folder display's order, which no column
      // names: sort them by the column they had before (Folder when none),
      // so the arrow tells the order in force.
      header->ClearSortArrow();
      sortColumnFlat_ = -1;
      ArrangeFiles(flatSortBeforeFolders_ >= 0 ? flatSortBeforeFolders_ : kSortFolder);
      RefreshCommands();
      return;
    }
    header->SetSortArrow(sortColumnFlat_, sortAscendingFlat_);
    RefreshCommands();
    return;
  }
  if (!list_->InFolderOrder()) {
    // The folder display needs the records in folder order: sort first;
    // the sort's end runs this command again.
    ShowPaneText(263);
    flatSortBeforeFolders_ = sortColumnFlat_ >= 0 && sortColumnFlat_ < kListColumnCount ? sortColumnFlat_ : -1;
    sortColumnFlat_ = -1;
    list_->StartSort(kSortFolderOrder);
    lookFor_->setFocus();
    ApplyStepState();
    RefreshCommands();
    return;
  }
  if (sortColumnFolder_ == -1) {
    sortColumnFolder_ = kSortName;
    sortAscendingFolder_ = true;
  }
  const int r = list_->ToggleDisplay();
  if (r < 0) {
    // The folder rows are built on a worker; folderRowsReady ends it.
    ShowPaneText(263);
    ApplyStepState();
    RefreshCommands();
    return;
  }
  OnFolderRowsReady(true);
}

void CDelvoraView::OnFolderRowsReady(bool any) {
  g_activityCode = kActivityIdle;
  list_->setEnabled(true);
  folderDisplay_ = list_->IsFolderDisplay();
  frame_->SetFolderViewButton(folderDisplay_);
  tree_->setVisible(folderDisplay_);
  splitterBar_->setVisible(folderDisplay_);
  DoLayout();
  CMBLstHdrCtrl* header = list_->Header();
  if (sortColumnFolder_ >= 0 && sortColumnFolder_ < kListColumnCount)
    header->SetSortArrow(sortColumnFolder_, sortAscendingFolder_);
  else header->ClearSortArrow();
  if (any) {
    tree_->SelectFolder(list_->CurrentFolder());
    OnFolderChosen(list_->CurrentFolder());
    tree_->setFocus();
  }
  ShowPaneText(261);
  ApplyStepState();
  RefreshCommands();
  if (!any) ShowMessage(kMbIconInformation, u"%s", u"No files found!");
}

void CDelvoraView::OnFolderChosen(uint32_t folderRow) {
  if (!list_->IsFolderDisplay()) return;
  list_->OpenFolder(folderRow);
  if (sortColumnFolder_ >= 0 && sortColumnFolder_ < kListColumnCount && sortColumnFolder_ != kSortFolder &&
      sortColumnFolder_ != kSortVolume) {
    list_->SortFolderRows(sortColumnFolder_);
    if (!sortAscendingFolder_) list_->ReverseOrder();
  }
  if (list_->hasFocus()) propertiesState_ = 0;
  RefreshCommands();
}

void CDelvoraView::OnColumnClick(int column) {
  if (g_activityCode.load() != kActivityIdle || column < 0 || column >= kListColumnCount) return;
  CMBLstHdrCtrl* header = list_->Header();
  if (header->OverFilterIcon() && header->ColumnUnderPointer() == column) {
    if (!list_->Criterion(column)) {
      EditFilter(column);
      return;
    }
    pendingFilterColumn_ = column;
    QMenu menu(this);
    QAction* edit = menu.addAction(QStringLiteral("Edit filter..."));
    QAction* clear = menu.addAction(QStringLiteral("Clear filter"));
    QAction* chosen = RunMenu(menu, QCursor::pos());
    if (chosen == edit) OnCommand(cmd::kFilterEdit);
    else if (chosen == clear) OnCommand(cmd::kFilterClear);
    pendingFilterColumn_ = -1;
    return;
  }
  ArrangeFiles(column);
}

void CDelvoraView::EditFilter(int column) {
  if (column < 0 || column >= kListColumnCount) return;
  CCustomFilterDlg dlg(column, list_->HeaderText(column), this);
  if (const FilterCriterion* k = list_->Criterion(column)) dlg.LoadCriterion(*k);
  if (RunDialog(dlg) == QDialog::Accepted) {
    if (std::unique_ptr<FilterCriterion> k = dlg.BuildCriterion()) {
      list_->SetFilter(column, std::move(k));
      ApplyStepState();
    }
  }
  RefreshCommands();
}

void CDelvoraView::ClearFilter(int column) {
  list_->ClearFilter(column);
  ApplyStepState();
  RefreshCommands();
}

void CDelvoraView::OnFilterFinished() {
  ApplyStepState();
  RefreshCommands();
}

void CDelvoraView::OnFindNext() {
  if (!findDlg_) return;
  const FindOptions options = findDlg_->Options();
  if (options.text.empty()) return;
  const int64_t rows = list_->RowCount();
  FindPlan plan = PlanFind(rows, list_->FirstSelected(), findColumn_, options.down);
  list_->ClearSelection();
  while (true) {
    const auto [row, column] = plan.empty ? std::pair<int64_t, int>(-1, -1) : list_->FindNext(plan, options);
    if (row >= 0) {
      findColumn_ = column;
      setFocus();
      list_->setFocus();
      list_->SelectRow(row);
      list_->EnsureVisible(row);
      RefreshCommands();
      return;
    }
    if (plan.wholeList) {
      ShowMessage(kMbIconInformation, u"%s", Msg(169));
      break;
    }
    if (ShowMessage(kMbYesNo | kMbIconQuestion, u"%s. %s", Msg(169), Msg(170)) != kIdYes) break;
    // Once more over the whole list: from row 0 downwards (the last row
    // upwards).
    plan = PlanFind(rows, -1, findColumn_, options.down);
  }
  RefreshCommands();
}

int CDelvoraView::GetPropertyRecord(int row, bool folderRow, PropertyRecord& record) {
  record = PropertyRecord{};
  ListItemInfo info;
  const int kind = folderRow ? list_->GetFolderItemInfo(uint32_t(row), info) : list_->GetItemInfo(row, info);
  if (kind < 0) return 1;
  const bool idle = g_activityCode.load() == kActivityIdle;
  if (kind == 2) {
    // A volume row: the engine's volume by the node's index or the path's
    // number, each checked against the table.
    record.flags |= PropertyRecord::kVolume;
    record.displayMode = 2;
    record.volume.letterCode = info.folder.empty() ? 0 : int(info.folder[0]);
    record.volume.label = info.name;
    if (CVol* v = idle ? VolumeOfRow(g_engine, info.nodeIndex, info.folder) : nullptr) {
      record.volume.label = v->label;
      record.volume.firstSector = int64_t(v->startSector);
      record.volume.sectorCount = int64_t(v->sizeSectors);
      record.volume.fileSystem = VolumeFileSystemName(*v);
      record.volume.sectorSize = v->sectorSize;
    }
    return 1;
  }
  record.flags |= PropertyRecord::kDetails;
  record.displayMode = kind;
  record.name = info.name;
  record.folder = info.folder;
  record.sizeText = info.sizeText;
  record.dateText = info.dateText;
  record.recordNumber = kind == 0 ? info.nodeIndex : -1;
  // The engine's node table is read only while no worker adds to it.
  if (kind != 0 || info.nodeIndex < 0 || !idle || !g_engine || !g_engine->nodes) return 1;
  cnode* node = g_engine->nodes->GetAt(info.nodeIndex);
  if (!node) return 1;
  record.flags |= PropertyRecord::kNumber;
  CVol* volume = NodeVolume(g_engine, *node);
  record.numberKind = volume ? volume->type : 0;
  record.location = int64_t(NodeLocation(*node));
  // The run list for the Runs row (an extension chain has none to show).
  if (const uint8_t* runs = node->RunBuffer()) {
    const uint32_t length = std::min<uint32_t>(RunListBytes(runs), uint32_t(kRunsDisplayLimit));
    record.nodeData.assign(runs, runs + kRunListHeaderBytes + length);
  }
  propertiesState_ = list_->CanPreview(row) ? 1 : 0;
  if (propertiesState_ == 1 && node->size != 0 && !IsLinkWithoutData(*node)) {
    if (g_appState) g_appState->stopRequested = 0;
    g_engine->SelectPartition(0, 0, 0, 0);
    if (ReadPreviewBytes(g_engine, g_currentDrive, info.nodeIndex, record.picture))
      record.flags |= PropertyRecord::kPicture;
  }
  return 1;
}

void CDelvoraView::OnProperties() {
  const bool tree = treeHasFocus_ && folderDisplay_;
  if (!tree && list_->SelectedCount() != 1) return;
  int last = 0;
  const int first = list_->GetSelectionRange(tree, last);
  if (first < 0) return;
  ShowPropertiesDialog(
      [this](int position, bool fromTree, PropertyRecord& record) {
        return GetPropertyRecord(position, fromTree, record) == 1 && record.flags != 0;
      },
      first, last, tree, this);
  RefreshCommands();
}

void CDelvoraView::BuildLookForList() {
  // One stand-in picture (2) for every type until types have their icons.
  LoadSystemFileTypes(typeIndex_, 2);
  for (const auto& [text, ext] : typeIndex_.LookForRows()) lookFor_->AddLine(ToQ(text), ext);
}
