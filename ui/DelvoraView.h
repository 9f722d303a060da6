// The main view: the working surface of the main window (Look for / Look
// in, Quick / Long, Scan, the Save-to row, the folder tree and the file
// list) and the owner of its commands. It is also the view the compute
// worker reports to: calls from the worker are carried to the
// user-interface thread.
#pragma once
#include <QWidget>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "engine/RecoverDriver.h"
#include "foundation/UiServices.h"
#include "ui/core/AffiliationRules.h"
#include "ui/core/CommandState.h"
#include "ui/core/FileTypeIndex.h"
#include "ui/core/ListStore.h"
#include "ui/core/LookInRows.h"
#include "ui/core/ViewLayout.h"

class CMainFrame;
class CFindDlg;
class CLookInCb;
class CMyListCtrl;
class CMyTreeCtrl;
struct PropertyRecord;
class CStatusDlg;
class CDlgSplitterCtrl;
class CGlassBtnCtrl;
class CImgButton;
class CMBChkCbBox;
class CMyCheckboxCtrl;
class CMyGroupBoxCtrl;
class CMyRadioBtnCtrl;
class CMyStatic;
class CTabBtnCtrl;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QToolButton;

// Installs what Disk Image Create opens (the disk-image dialog); none: the
// command does nothing.
void SetDiskImageDialog(std::function<void(QWidget*)> open);

class CDelvoraView : public QWidget, public ViewSink {
  Q_OBJECT
 public:
  enum { IDD = 101 };
  // Control ids of the form.
  enum : int {
    kTree = 1097,
    kList = 1012,
    kLookFor = 1000,
    kLookIn = 1004,
    kModeGroup = 1287,
    kQuick = 1044,
    kLong = 1045,
    kScanButton = 1010,
    kSaveToLabel = 1279,
    kSaveTo = 1007,
    kUseFolderNames = 1014,
    kBrowse = 1011,
    kSaveButton = 1009,
    kTab1 = 1288,
    kTab2 = 1289,
    kLookForLabel = 1099,
    kLookInLabel = 1192,
    kSplitter = 15000,
  };

  explicit CDelvoraView(CMainFrame* frame);
  ~CDelvoraView() override;

  void OnInitialUpdate();
  // Ends the worker (waiting for it, never a fixed sleep) and drops the
  // objects of the last scan. Safe to call twice.
  void OnDestroy();
  void ForgetStatusDialog() { statusDlg_ = nullptr; }

  void OnCommand(int commandId);
  // The message of a command that has no handler yet.
  void SayNotAvailable(int commandId);
  // Look-in: false (message 125 shown) when the source holds the trace
  // folder.
  bool TraceFolderSafeOn(const WString& name);
  // Options > Trace: the Trace dialog.
  void OnTrace();
  // Disk Image Create with the support option: the support command.
  void OnSupportCommand();
  ViewState State() const;
  void RefreshCommands();

  // ---- reading (frame and tests) ----
  QWidget* Control(int id) const;
  int64_t ListRows() const;
  // The least height of the view that leaves the list a few rows.
  int UsableMinimumHeight() const;
  int PropertiesState() const { return propertiesState_; }
  int Step() const { return step_; }
  CMyListCtrl* List() const { return list_; }
  CMyTreeCtrl* Tree() const { return tree_; }
  CFindDlg* FindDialog() const { return findDlg_; }
  const FileTypeIndex& TypeIndex() const { return typeIndex_; }
  int SortColumnFlat() const { return sortColumnFlat_; }
  int SortColumnFolder() const { return sortColumnFolder_; }
  bool SortAscending() const;
  bool FolderDisplay() const { return folderDisplay_; }
  void SetTreeHasFocus(bool on) { treeHasFocus_ = on; }
  FoundNodeStore& Nodes() { return nodes_; }

  // ---- surface ----
  void SetStep(int step);
  void ClearResults();
  // Replaces the machine's rows of the Look-in box (InitDriveList fills
  // them from the machine); the image and RAID rows stay.
  void SetLookInRows(const std::vector<LookInRow>& rows);
  // Picks the row of rows[index] as the user would (runs the selection
  // change).
  void SelectLookInRow(int index);
  void InitDriveList();
  CLookInCb* LookIn() const { return lookIn_; }
  // The Look-in selection change: opens the row's source.
  void OnLookInSelChange();
  // Registers a disk image and adds its row: 1 when added, 0 otherwise.
  int AddDiskImage(const WString& path);
  // Disk Image Load with the chosen paths (the command asks for them).
  void LoadDiskImages(const std::vector<WString>& paths);
  // The Save-to text.
  void SetSaveTo(const QString& text);
  bool OverwriteAlways() const { return overwriteAlways_; }
  // The overwrite choice (RecoverDriver.h), given to each recovery.
  uint8_t OverwriteMode() const { return overwriteMode_; }
  void SetOverwriteAlways(bool on) { overwriteAlways_ = on; }
  // Appends found items as a worker batch would (GUI thread).
  void TakeFoundItems(std::vector<FoundItem>& items, int percent);
  // Session Save (its dialog answered by the dialog runner) and Session
  // Load of a chosen file (the command asks for it): false when the load
  // did not start.
  void OnSessionSave();
  bool LoadSession(const WString& path);
  // Scan-mode radios (0 Quick, 1 Long), as if clicked.
  void OnScanModeChange(int index);

  // ---- arrange, filter, find, properties, folder view ----
  // Sorts by a column code (-1: after a finished sort); -1, or the code
  // sorting on a worker.
  int ArrangeFiles(int code);
  // A click on a column heading (the header tells whether it hit the
  // filter icon).
  void OnColumnClick(int column);
  // The column filter commands: the dialog for a column (its runner
  // answers in tests), then the list's filter.
  void EditFilter(int column);
  void ClearFilter(int column);
  // The Find dialog's Find Next.
  void OnFindNext();
  // The properties of the selected row or the tree's folder.
  void OnProperties();
  // The properties dialog's record of a list row, or of a folder row of
  // the tree (folderRow); 1.
  int GetPropertyRecord(int row, bool folderRow, PropertyRecord& record);
  void OnFolderView();
  // A folder chosen in the tree: the list shows its contents.
  void OnFolderChosen(uint32_t folderRow);
  // The Look-for rows and the file-type index from the MIME database.
  void BuildLookForList();

  // ---- option and source commands (ViewSourceCommands.cpp) ----
  // Runs one of them; false for any other command.
  bool OnOptionCommand(int commandId);
  // Volume Affiliation: true on OK (the answer and the size overrides are
  // stored).
  bool RunVolumeAffiliation();
  const AffiliationChoice& Affiliation() const { return affiliation_; }

  // ---- ViewSink (any thread) ----
  void OperationStarted() override;
  void FoundItems(std::vector<FoundItem>& items, int percent) override;
  void StatusItems(std::vector<StatusItem>& items, int code) override;
  void ProgressText(int code, WStringView text) override;
  void FillRecoveryList(std::vector<RecoveryListEntry>& list) override;
  void LogLine(WStringView line) override;
  void OperationEnded(int64_t itemsFound) override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;

 private:
  // The window's controls, panel by panel in the order they are made.
  void BuildControls();
  // Names a control "ctl<id>" and keeps it for Control(id).
  void RegisterControl(QWidget* w, int id);
  void BuildStepTabs();
  void BuildSourcePanel();
  void BuildModePanel();
  void BuildActionButtons();
  void BuildSaveToPanel();
  // The found items' list, the folder tree and the splitter between them.
  void BuildResultPanel();
  void DoLayout();
  void ApplyStepState();
  void EnterScanningState();
  void OnScan();
  void StartScan();
  void OnSave();
  void StartSave();
  void OnBrowse();
  void OnDiskImageLoad();
  void OnSessionLoad();
  bool WriteSessionFile(const WString& path);
  void PauseAndAsk(int activity);
  void RevertLookIn();
  void CloseSource();
  // Runs the scan or recovery entry (RunScan, RunRecovery) on the worker.
  void StartWorker(std::function<int(ViewSink*)> run);
  void TakeStatusItems(std::vector<StatusItem>& items);
  // The status window's counters from the list and the recovery's totals.
  void PublishCounters(bool scanEnded);
  void FillRecListOnGui(std::vector<RecoveryListEntry>& list);
  bool RecordOf(int32_t index, struct RecListRecord& out) const;
  void OnWorkerStarted();
  void OnWorkerEnded(int64_t items);
  bool OpenSource(const WString& name);
  void ShowContextMenu(QPoint global, bool fromKeyboard);
  void OnSortFinished(int code);
  void OnFolderRowsReady(bool any);
  void OnFilterFinished();
  void ShowPaneText(int message);
  void OnSplitterMove(int x);
  void OnLookForChanged();
  void ShowViewingTips();
  void OnPartialScan();
  void OnSectorExclusion();
  bool RunExclusionDialog(const WString& name);
  void OnOverwriteMode();
  // The chained-image dialog; a differencing file opened alone comes with
  // the child as its first link and the file bearing its parent's name.
  void OnLoadChain(bool vhd, const WString& child = {}, const WString& parent = {});
  void OnAdvancedVolumes();
  // Step 9 of the scan: the volume choice (Quick Scan of a disk or image) or
  // the usage tip (Long Scan of a volume device); false stops the scan.
  bool ChooseVolumesBeforeScan(struct DrvInfo* info, bool* chosen);
  // The drive's volume search on a thread, the window live meanwhile;
  // false when it failed (error) or was stopped.
  bool SearchVolumesLive(class Drive& drive, WString* error, bool* stopped);
  // The 4K question and the review of the source's exclusions.
  void AfterSourceOpened(class Drive* drive, const WString& name);
  // Hands the affiliation to the engine before a recovery.
  void ApplyAffiliation();

  CMainFrame* frame_;
  CStatusDlg* statusDlg_ = nullptr;
  std::map<int, QWidget*> controls_;
  CTabBtnCtrl* tab1_ = nullptr;
  CTabBtnCtrl* tab2_ = nullptr;
  CMyStatic* lookForLabel_ = nullptr;
  CMyStatic* lookInLabel_ = nullptr;
  CMBChkCbBox* lookFor_ = nullptr;
  CLookInCb* lookIn_ = nullptr;
  CMyGroupBoxCtrl* modeGroup_ = nullptr;
  CMyRadioBtnCtrl* quick_ = nullptr;
  CMyRadioBtnCtrl* long_ = nullptr;
  CImgButton* scanButton_ = nullptr;
  CMyStatic* saveToLabel_ = nullptr;
  QComboBox* saveTo_ = nullptr;
  CMyCheckboxCtrl* useFolderNamesBox_ = nullptr;
  CGlassBtnCtrl* browse_ = nullptr;
  CImgButton* saveButton_ = nullptr;
  CMyTreeCtrl* tree_ = nullptr;
  CFindDlg* findDlg_ = nullptr;
  FileTypeIndex typeIndex_;
  CDlgSplitterCtrl* splitterBar_ = nullptr;
  CMyListCtrl* list_ = nullptr;

  std::vector<LookInRow> lookInRows_;
  FoundNodeStore nodes_;
  LayoutValues layout_;
  int splitter_ = 250;
  int step_ = 0;
  int scanModeRadio_ = 0;
  bool useFolderNames_ = true;
  bool folderDisplay_ = false;
  bool treeHasFocus_ = false;
  int propertiesState_ = 0;
  int sortColumnFlat_ = -1, sortColumnFolder_ = -1;
  int flatSortBeforeFolders_ = -1;  // the flat list's column when Tree View sorted it into folder order
  bool sortAscendingFlat_ = true, sortAscendingFolder_ = true;
  int findColumn_ = -1;
  int pendingFilterColumn_ = -1;
  int sessionLoadState_ = 0;
  bool scanEnabled_ = true, saveEnabled_ = false;
  bool step2Enabled_ = false;
  int lastPercent_ = 0;
  WString currentSource_;               // the name of the source opened, empty for none
  int32_t recNext_ = 0, recTotal_ = 0;  // FillRecList's running index and total
  bool overwriteAlways_ = false;
  uint8_t overwriteMode_ = kOverwriteRename;
  bool sourceFailed_ = false;
  double pausedSeconds_ =
      0;  // time spent in the pause questions of this run  // the last source could not be opened: no Scan
  WString recoveryDestination_;
  AffiliationChoice affiliation_;  // cleared by every new scan

  std::thread worker_;
  std::atomic<bool> workerRunning_{false};
  bool destroyed_ = false;
  uint64_t scanBytesBase_ = 0;  // the source's bytes read when the run started
  bool stopAsked_ = false;      // Yes to the abort question of the running worker
  bool viewingTipsPending_ = false;
  class QTimer* progressTimer_ = nullptr;  // publishes the counters while a run goes
};
