// The file list on real data, offscreen: an NTFS image made by mkntfs and
// ntfs-3g from /usr/share/doc and /usr/include (tests/fixtures/
// make_list_image.sh), Quick-Scanned into the window, then sorted, shown by
// folder, filtered, searched and exported, each compared with a peer:
// coreutils sort, find, awk, The Sleuth Kit (fls, istat, blkstat) and
// Python's csv reader.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>
#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "engine/Engine.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/Md5.h"
#include "foundation/Messages.h"
#include "foundation/UiServices.h"
#include "storage/ImageFiles.h"
#include "tests/support/FixtureRun.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestUtil.h"
#include "tests/uiqt/QtApp.h"
#include "tests/uiqt/Startup.h"
#include "ui/ChkCbBox.h"
#include "ui/DelvoraApp.h"
#include "ui/DelvoraView.h"
#include "ui/FolderTree.h"
#include "ui/ListDialogs.h"
#include "ui/ListHeader.h"
#include "ui/LookInCb.h"
#include "ui/MainFrame.h"
#include "ui/MyListCtrl.h"
#include "ui/PromptDialogs.h"
#include "ui/PropertyDlg.h"
#include "ui/QtPrompt.h"
#include "ui/core/Activity.h"
#include "ui/core/CommandIds.h"
#include "ui/core/ListSort.h"
#include "ui/core/PropertyRules.h"

namespace {

std::vector<std::string> NulList(const std::string& path) {
  std::vector<std::string> out;
  std::string text = ReadFileText(path), item;
  for (char c : text) {
    if (c == '\0') {
      out.push_back(item);
      item.clear();
    } else {
      item.push_back(c);
    }
  }
  return out;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return s;
}

class ListFixture : public QtAppTest {
 protected:
  std::string folder, img;

  void SetUp() override {
    folder = FixtureFolder("make_list_image.sh");
    if (folder.empty()) GTEST_SKIP() << "the list image cannot be made here (root, FUSE, ntfs-3g, ImageMagick)";
    img = folder + "/list.img";
    ASSERT_TRUE(app.InitInstance(TestStartupOptions()));
    SetPromptService(&prompt);
    SetDialogRunner([this](QDialog& d) { return Answer(d); });
    QApplication::processEvents();
    if (!lookFor.isEmpty()) {
      // Typed into the Look-for box, taken when it loses the focus.
      auto* box = dynamic_cast<CMBChkCbBox*>(View()->Control(CDelvoraView::kLookFor));
      ASSERT_NE(box, nullptr);
      box->lineEdit()->setText(lookFor);
      QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
      QApplication::sendEvent(box, &out);
      QApplication::processEvents();
    }
    View()->LoadDiskImages({FromUtf8(img)});
    const int row = View()->LookIn()->FindRow(FromUtf8(img));
    ASSERT_GE(row, 0);
    View()->LookIn()->setCurrentIndex(row);
    View()->OnLookInSelChange();
    View()->OnCommand(cmd::kScan);
    WaitIdle();
    ASSERT_EQ(g_activityCode.load(), kActivityIdle);
    ASSERT_GT(List()->GetItemCount(), lookFor.isEmpty() ? 10000 : 100);
  }
  void TearDown() override {
    if (folder.empty()) return;
    SetPromptService(&prompt);
    SetDialogRunner({});
    SetMenuRunner({});
    app.ExitInstance();
    g_activityCode = kActivityIdle;
    g_busyCounter = 0;
  }
  int Answer(QDialog& d) {
    dialogs.push_back(d.metaObject()->className());
    if (dialogAnswer) return dialogAnswer(d);
    return QDialog::Accepted;
  }
  CDelvoraView* View() { return app.MainFrame()->View(); }
  CMyListCtrl* List() { return View()->List(); }
  void WaitIdle() {
    for (int i = 0; i < 12000 && (g_activityCode.load() != kActivityIdle || g_busyCounter.load() != 0); i++)
      QTest::qWait(10);
    QApplication::processEvents();
  }
  void Command(int id) {
    View()->OnCommand(id);
    WaitIdle();
  }
  // A record's path below the volume with "/" and its name: what fls prints
  // (a line break in a name shows as "^").
  std::string RecordPath(int64_t record) {
    std::string path = ToUtf8(List()->GetItemPath(int(record)));
    for (char& c : path)
      if (c == '\\') c = '/';
    const size_t slash = path.find('/');
    path = slash == std::string::npos ? "" : path.substr(slash + 1);
    std::string name = ToUtf8(List()->GetItemNodeName(int(record)));
    std::replace(name.begin(), name.end(), '\n', '^');
    return (path.empty() ? "" : path + "/") + name;
  }
  ListNodeInfo Node(int64_t record) {
    ListNodeInfo info;
    View()->Nodes().GetNode(List()->GetItemNodeIndex(int(record)), info);
    return info;
  }
  bool IsFolder(int64_t record) {
    // Directories are the records other records sit in.
    return folderPaths.count(RecordPath(record)) != 0;
  }
  // The live files' paths of the displayed rows.
  std::set<std::string> ShownLiveFiles() {
    std::set<std::string> out;
    for (int64_t row = 0; row < List()->RowCount(); ++row) {
      const int64_t r = List()->RecordOfRow(row);
      if (r < 0 || (Node(r).flags & 0x0002)) continue;
      const std::string p = RecordPath(r);
      if (p.empty() || p[0] == '$' || IsFolder(r)) continue;
      out.insert(p);
    }
    return out;
  }
  std::set<std::string> Peer(const std::string& name) {
    std::set<std::string> out;
    for (std::string p : NulList(folder + "/list." + name)) {
      std::replace(p.begin(), p.end(), '\n', '^');
      out.insert(p);
    }
    return out;
  }
  void LoadFolders() {
    folderPaths.clear();
    for (const std::string& line : ntfs_lines("fls.txt"))
      if (line.rfind("d/d ", 0) == 0) folderPaths.insert(line.substr(line.find('\t') + 1));
  }
  std::vector<std::string> ntfs_lines(const std::string& name) {
    std::vector<std::string> out;
    std::istringstream in(ReadFileText(folder + "/list." + name));
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
  }
  void SetFilterThroughDialog(int column, int op, const QString& value, int unit = 2, QDate day = {}) {
    dialogAnswer = [&](QDialog& d) {
      auto* f = qobject_cast<CCustomFilterDlg*>(&d);
      if (!f) return int(QDialog::Rejected);
      f->Operators()->setCurrentIndex(op);
      f->Value()->setText(value);
      f->Unit()->setCurrentIndex(unit);
      if (day.isValid()) f->Date()->setDate(day);
      f->accept();
      return f->result();
    };
    View()->EditFilter(column);
    dialogAnswer = nullptr;
    WaitIdle();
  }

  // The Look-for text of the scan; empty keeps the box's "*".
  QString lookFor;
  CDelvoraApp app;
  ScriptedPrompt prompt;
  std::vector<std::string> dialogs;
  std::function<int(QDialog&)> dialogAnswer;
  std::set<std::string> folderPaths;
};

TEST_F(ListFixture, SortByNameSizeDateAndFolderOrder) {
  CMyListCtrl* l = List();
  const int n = l->GetItemCount();
  // Name: the order of the lower-cased names equals LC_ALL=C sort over the
  // lower-cased names (the comparison folds A-Z to a-z).
  Command(cmd::kArrangeName);
  EXPECT_EQ(View()->SortColumnFlat(), kSortName);
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back(ToUtf8(l->GetItemNodeName(i)));
  const TempFolder temp("sort");
  {
    const std::string in = temp.Path() + "/names";
    std::string all;
    for (const std::string& s : names) all += s + '\0';
    WriteFileText(in, all);
    const std::string sorted = RunCommand("tr A-Z a-z <'" + in + "' | LC_ALL=C sort -z");
    std::vector<std::string> peer;
    std::string item;
    for (char c : sorted) {
      if (c) item.push_back(c);
      else peer.push_back(std::exchange(item, std::string()));
    }
    std::vector<std::string> ours;
    for (const std::string& s : names) ours.push_back(Lower(s));
    EXPECT_EQ(ours, peer);
    // sort -f folds to upper case instead: without "[\]^_`" in the names
    // the orders agree.
    std::string plain, ourPlain;
    for (const std::string& s : names)
      if (s.find_first_of("[\\]^_`") == std::string::npos) plain += s + '\0';
    WriteFileText(in, plain);
    const std::string f = RunCommand("LC_ALL=C sort -z -f <'" + in + "' | tr A-Z a-z");
    for (const std::string& s : names)
      if (s.find_first_of("[\\]^_`") == std::string::npos) ourPlain += Lower(s) + '\0';
    EXPECT_EQ(ourPlain, f);
  }
  // The same column again reverses at once, without a worker.
  View()->OnCommand(cmd::kArrangeName);
  EXPECT_EQ(g_activityCode.load(), kActivityIdle);
  EXPECT_FALSE(View()->SortAscending());
  EXPECT_EQ(ToUtf8(l->GetItemNodeName(0)), names.back());
  // Size: folders ahead of every file, the files as sort -n has them.
  Command(cmd::kArrangeSize);
  std::string sizes;
  int folders = 0;
  while (folders < n && Node(folders).folder) ++folders;
  for (int i = folders; i < n; ++i) {
    EXPECT_FALSE(Node(i).folder) << "a folder among the files at row " << i;
    sizes += std::to_string(Node(i).size) + "\n";
  }
  EXPECT_GT(folders, 0);
  const std::string in = temp.Path() + "/sizes";
  WriteFileText(in, sizes);
  EXPECT_EQ(RunCommand("sort -n '" + in + "'"), sizes);
  // Back from Tree View the list is in the order of the column it had
  // before, and the header's arrow says so: by date, then by name.
  Command(cmd::kArrangeDate);
  Command(cmd::kFolderView);
  ASSERT_TRUE(View()->FolderDisplay());
  Command(cmd::kFolderView);
  ASSERT_FALSE(View()->FolderDisplay());
  EXPECT_EQ(View()->SortColumnFlat(), kSortDate);
  EXPECT_EQ(l->Header()->SortColumn(), kColDate);
  for (int i = 1; i < n; ++i) EXPECT_LE(Node(i - 1).time, Node(i).time) << "row " << i;
  Command(cmd::kArrangeName);
  Command(cmd::kFolderView);
  Command(cmd::kFolderView);
  EXPECT_EQ(View()->SortColumnFlat(), kSortName);
  EXPECT_EQ(l->Header()->SortColumn(), kColName);
}

TEST_F(ListFixture, FolderDisplayTreeSizesAndChecks) {
  LoadFolders();
  // Folder View on the unsorted list sorts by folder and switches at once.
  Command(cmd::kFolderView);
  ASSERT_TRUE(View()->FolderDisplay());
  ASSERT_TRUE(List()->IsFolderDisplay());
  FolderIndex* f = List()->Folders();
  ASSERT_NE(f, nullptr);
  // Folders: find's (of every entry) with their ancestors, and those of
  // the deleted files; system folders aside.
  std::set<std::string> peer;
  auto addWithAncestors = [&](std::string p) {
    while (!p.empty() && p != ".") {
      if (p.rfind("./", 0) == 0) p = p.substr(2);
      peer.insert(p);
      const size_t slash = p.rfind('/');
      p = slash == std::string::npos ? "" : p.substr(0, slash);
    }
  };
  for (const std::string& p : NulList(folder + "/list.folders.lst")) addWithAncestors(p);
  for (const std::string& line : ntfs_lines("deleted.tsv")) {
    const std::string path = line.substr(0, line.find('\t'));
    addWithAncestors(path.substr(0, path.rfind('/')));
  }
  std::set<std::string> ours;
  for (uint32_t r = 0; r < f->Count(); ++r) {
    if (!f->At(r).treeItem || f->At(r).level == 0) continue;
    std::string p = ToUtf8(f->Path(r));
    for (char& c : p)
      if (c == '\\') c = '/';
    p = p.substr(p.find('/') + 1);
    if (p[0] == '$') continue;
    ours.insert(p);
  }
  EXPECT_EQ(ours, peer);
  // Sizes: awk's sums over fls's body file (every regular file, deleted
  // ones included; no streams, no system files, no name attributes), and
  // the folders' own records below (their index sizes, as the scan gave
  // them).
  const std::string sums = RunCommand(
      "awk -F'|' '$2 !~ /^\\/\\$/ && $2 !~ /:/ && $2 !~ /[(][$]FILE_NAME[)]/ && $4 ~ /^[r-]\\/r/ { p=$2; "
      "sub(/ [(]deleted[)]$/, \"\", p); n=split(p, a, \"/\"); d=\"\"; "
      "for (i=2; i<n; i++) { d = d \"/\" a[i]; s[d] += $7 } } "
      "END { for (d in s) print substr(d,2) \"\\t\" s[d] }' '" +
      folder + "/list.body.txt'");
  std::map<std::string, uint64_t> expected;
  {
    std::istringstream in(sums);
    std::string line;
    while (std::getline(in, line)) expected[line.substr(0, line.find('\t'))] = std::stoull(line.substr(line.find('\t') + 1));
  }
  for (int i = 0; i < List()->GetItemCount(); ++i) {
    const std::string p = RecordPath(i);
    if (!IsFolder(i)) continue;
    for (size_t at = p.find('/'); at != std::string::npos; at = p.find('/', at + 1)) expected[p.substr(0, at)] += Node(i).size;
  }
  const WString volume = List()->Store().Path(0).substr(0, 2);
  auto rowOf = [&](std::string p) {
    std::replace(p.begin(), p.end(), '/', '\\');
    return f->RowOfPath(volume + u"\\" + FromUtf8(p));
  };
  for (const char* p : {"include", "doc", "include/linux", "odd", "good", "pics"}) {
    const uint32_t r = rowOf(p);
    ASSERT_NE(r, kNoFolderRow) << p;
    ASSERT_TRUE(expected.count(p)) << p;
    EXPECT_EQ(f->ComputeFolderSize(r, List()->Store(), &View()->Nodes()), expected[p]) << p;
  }
  // Checking a folder checks the bytes under it.
  const uint32_t inc = rowOf("include");
  View()->OnCommand(cmd::kDeselectAll);
  List()->SetFolderCheckState(inc, kCheckOn);
  EXPECT_EQ(uint64_t(List()->Store().CheckedBytes()), expected["include"]);
  // The tree model holds to the model rules.
  QAbstractItemModelTester tester(View()->Tree()->FolderModel(), QAbstractItemModelTester::FailureReportingMode::Fatal);
  // Enter opens the selected folder, Backspace goes back up.
  View()->Tree()->SelectFolder(inc);
  QApplication::processEvents();
  EXPECT_EQ(List()->CurrentFolder(), inc);
  int64_t sub = -1;
  for (int64_t row = 0; row < List()->RowCount() && sub < 0; ++row)
    if (IsFolderEntry(List()->EntryOfRow(row))) sub = row;
  ASSERT_GE(sub, 0);
  const uint32_t subRow = List()->EntryOfRow(sub) & ~kFolderRowBit;
  QApplication::setActiveWindow(app.MainFrame());
  List()->setFocus();
  ASSERT_TRUE(List()->hasFocus());
  List()->SelectRow(sub);
  QTest::keyClick(List(), Qt::Key_Return);
  EXPECT_EQ(List()->CurrentFolder(), subRow);
  QTest::keyClick(List(), Qt::Key_Backspace);
  EXPECT_EQ(List()->CurrentFolder(), inc);
  // Arrange by Folder or Volume does nothing here.
  Command(cmd::kArrangeSize);
  const int column = View()->SortColumnFolder();
  const std::vector<uint32_t> before = List()->Store().Displayed();
  Command(cmd::kArrangeFolder);
  Command(cmd::kArrangeVolume);
  EXPECT_EQ(View()->SortColumnFolder(), column);
  EXPECT_EQ(List()->Store().Displayed(), before);
  // Folders first, then files by size.
  bool files = false;
  for (uint32_t e : List()->Store().Displayed()) {
    if (!IsFolderEntry(e)) files = true;
    else EXPECT_FALSE(files) << "a folder row after a file row";
  }
}

TEST_F(ListFixture, FiltersAgainstFindAndTheSleuthKit) {
  LoadFolders();
  // Filename equals *.h: find -iname '*.h'.
  SetFilterThroughDialog(kColName, 0, QStringLiteral("*.h"));
  EXPECT_TRUE(List()->IsFilterActive());
  EXPECT_EQ(ShownLiveFiles(), Peer("find-iname-h.lst"));
  // Size above 1 MB added: find -size +1048576c, and A then B equals both
  // at once (replacing a criterion makes a full pass).
  SetFilterThroughDialog(kColSize, 2, QStringLiteral("1"), 2);
  std::set<std::string> both;
  for (const std::string& p : Peer("find-iname-h.lst"))
    if (Peer("find-size-1m.lst").count(p)) both.insert(p);
  const std::set<std::string> incremental = ShownLiveFiles();
  EXPECT_EQ(incremental, both);
  Command(cmd::kArrangeName);
  EXPECT_EQ(List()->Header()->SortColumn(), kColName);
  SetFilterThroughDialog(kColName, 0, QStringLiteral("*.h"));
  EXPECT_EQ(ShownLiveFiles(), incremental);
  EXPECT_EQ(List()->Header()->SortColumn(), -1);
  View()->ClearFilter(kColName);
  WaitIdle();
  EXPECT_EQ(ShownLiveFiles(), Peer("find-size-1m.lst"));
  View()->ClearFilter(kColSize);
  WaitIdle();
  EXPECT_FALSE(List()->IsFilterActive());
  // Dates under UTC and Berlin across the daylight-saving day.
  for (const char* tz : {"UTC", "Europe/Berlin"}) {
    SCOPED_TRACE(tz);
    ScopedTimeZone zone(tz);
    const std::string tag = std::string(tz) == "UTC" ? "UTC" : "Europe-Berlin";
    SetFilterThroughDialog(kColDate, 0, QString(), 2, QDate(2021, 3, 28));
    EXPECT_EQ(ShownLiveFiles(), Peer("find-on-" + tag + ".lst"));
    SetFilterThroughDialog(kColDate, 2, QString(), 2, QDate(2021, 3, 28));
    EXPECT_EQ(ShownLiveFiles(), Peer("find-after-" + tag + ".lst"));
    View()->ClearFilter(kColDate);
    WaitIdle();
  }
  // Status Poor: the deleted files whose clusters another file took
  // (blkstat says Allocated).
  SetFilterThroughDialog(kColStatus, 0, QStringLiteral("Poor"));
  std::set<std::string> poor, peerPoor;
  for (int64_t row = 0; row < List()->RowCount(); ++row) poor.insert(RecordPath(List()->RecordOfRow(row)));
  for (const std::string& line : ntfs_lines("deleted.tsv"))
    if (line.size() > 5 && line.compare(line.size() - 5, 5, "\tPoor") == 0) peerPoor.insert(line.substr(0, line.size() - 5));
  EXPECT_EQ(poor, peerPoor);
  EXPECT_GE(peerPoor.size(), 2u);
  // The filter icon of a filtered column opens the two-item menu; of
  // another column the dialog.
  CMBLstHdrCtrl* h = List()->Header();
  auto iconPoint = [h](int column) {
    const int right = h->sectionViewportPosition(column) + h->sectionSize(column);
    return QPoint(right - 8 - 8, h->height() / 2);
  };
  std::vector<QString> items;
  SetMenuRunner([&](QMenu& menu, const QPoint&) -> QAction* {
    for (QAction* a : menu.actions()) items.push_back(a->text());
    return menu.actions().value(1);  // "Clear filter"
  });
  QTest::mouseMove(h->viewport(), iconPoint(kColStatus) - QPoint(30, 0));
  QTest::mouseMove(h->viewport(), iconPoint(kColStatus));
  ASSERT_TRUE(h->OverFilterIcon());
  View()->OnColumnClick(kColStatus);
  WaitIdle();
  EXPECT_EQ(items, (std::vector<QString>{QStringLiteral("Edit filter..."), QStringLiteral("Clear filter")}));
  EXPECT_FALSE(List()->IsFilterActive());
  dialogs.clear();
  dialogAnswer = [](QDialog&) { return int(QDialog::Rejected); };
  QTest::mouseMove(h->viewport(), iconPoint(kColType) - QPoint(30, 0));
  QTest::mouseMove(h->viewport(), iconPoint(kColType));
  View()->OnColumnClick(kColType);
  dialogAnswer = nullptr;
  EXPECT_EQ(dialogs, std::vector<std::string>{"CCustomFilterDlg"});
}

TEST_F(ListFixture, FindNextAndTypeAhead) {
  CFindDlg* find = View()->FindDialog();
  ASSERT_NE(find, nullptr);
  Command(cmd::kArrangeName);
  View()->OnCommand(cmd::kFind);
  find->SearchText()->setText(QStringLiteral("deleted.jpg"));
  find->WholeWordBox()->setChecked(true);
  find->OnFindNext();
  ASSERT_EQ(List()->SelectedCount(), 1);
  const int64_t hit = List()->FirstSelected();
  EXPECT_EQ(ToQ(List()->CellText(hit, kColName)), QStringLiteral("deleted.jpg"));
  // Again: nothing more below; not the whole list, so the question comes,
  // answered No; the selection is gone.
  prompt.Push(kIdNo);
  const size_t asked = prompt.asked().size();
  find->OnFindNext();
  ASSERT_EQ(prompt.asked().size(), asked + 1);
  EXPECT_EQ(prompt.asked().back().text,
            u"Finished searching the list. Do you want to continue the search from the beginning?");
  EXPECT_EQ(List()->SelectedCount(), 0);
  // With no row selected a miss says so once.
  find->SearchText()->setText(QStringLiteral("no such text anywhere"));
  find->OnFindNext();
  EXPECT_EQ(prompt.asked().back().text, u"Finished searching the list");
  // Type-ahead: "+" and "-" move nothing; a name prefix jumps, wrapping
  // round; a prefix nobody has leaves the selection.
  QApplication::setActiveWindow(app.MainFrame());
  List()->setFocus();
  List()->SelectRow(0);
  // Keys belong to one typed text however slowly they come.
  List()->SetTypeAheadInterval(3600 * 1000);
  QTest::keyClicks(List(), QStringLiteral("+"));
  EXPECT_EQ(List()->CurrentRow(), 0);
  List()->ResetTypeAhead();
  QTest::keyClicks(List(), QStringLiteral("insid"));
  const int64_t inside = List()->CurrentRow();
  EXPECT_EQ(ToQ(List()->CellText(inside, kColName)).left(5).toLower(), QStringLiteral("insid"));
  List()->ResetTypeAhead();
  QTest::keyClicks(List(), QStringLiteral("~qq"));
  EXPECT_EQ(List()->CurrentRow(), inside);
  EXPECT_EQ(List()->SelectedCount(), 1);
}

TEST_F(ListFixture, ExportReadByPythonsCsvReader) {
  LoadFolders();
  const TempFolder temp("export");
  const std::string dir = temp.Path();
  const std::string csv = dir + "/list.csv";
  ASSERT_TRUE(List()->ExportList(QString::fromStdString(csv)));
  // Folder and name of every row, as Python reads them.
  const std::string script = dir + "/read.py";
  WriteFileText(script,
                "import csv, sys\n"
                "rows = list(csv.reader(open(sys.argv[1], encoding='utf-16', newline='')))\n"
                "assert rows[0] == ['Filename','Type','Folder','Volume','Status','Size','Modified Date'], rows[0]\n"
                "bad = [r for r in rows if len(r) != 7]\n"
                "print(len(rows) - 1, len(bad))\n"
                "for r in rows[1:]:\n"
                "    f = r[2].lstrip('\\\\').replace('\\\\', '/')\n"
                "    sys.stdout.buffer.write(((f + '/' if f else '') + r[0]).encode() + b'\\0')\n");
  const CommandRun run = RunCommandStatus("python3 '" + script + "' '" + csv + "'");
  ASSERT_EQ(run.rc, 0) << run.out;
  std::istringstream head(run.out.substr(0, run.out.find('\n')));
  int64_t rows = 0, bad = -1;
  head >> rows >> bad;
  EXPECT_EQ(rows, List()->RowCount());
  EXPECT_EQ(bad, 0);
  std::set<std::string> exported;
  std::string rest = run.out.substr(run.out.find('\n') + 1), item;
  for (char c : rest) {
    if (c) item.push_back(c);
    else exported.insert(std::exchange(item, std::string()));
  }
  // Awkward names round-trip whole.
  for (const char* awkward : {"odd/quote\"name.txt", "odd/comma,name.txt", "odd/line\nbreak.txt"})
    EXPECT_TRUE(exported.count(awkward)) << awkward;
  // Every live and deleted file fls lists is a row.
  int missing = 0;
  for (const std::string& line : ntfs_lines("fls.txt")) {
    if (line.rfind("r/r ", 0) != 0) continue;
    std::string path = line.substr(line.find('\t') + 1);
    if (path.find(':') != std::string::npos || path[0] == '$') continue;
    std::replace(path.begin(), path.end(), '^', '\n');
    if (!exported.count(path) && path.find('\n') == std::string::npos) ++missing;
  }
  EXPECT_EQ(missing, 0);
  // A full disk: false.
  const std::string small = dir + "/small";
  mkdir(small.c_str(), 0755);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") == 0) {
    EXPECT_FALSE(List()->ExportList(QString::fromStdString(small + "/list.csv")));
    umount(small.c_str());
  }
}

TEST_F(ListFixture, PropertiesOfADeletedJpegCarryItsBytes) {
  int64_t row = -1;
  for (int i = 0; i < List()->GetItemCount() && row < 0; ++i)
    if (RecordPath(i) == "good/deleted.jpg") row = i;
  ASSERT_GE(row, 0);
  List()->SelectRow(row);
  EXPECT_EQ(View()->PropertiesState(), 1) << "a picture: Preview";
  PropertyRecord record;
  EXPECT_EQ(View()->GetPropertyRecord(int(row), false, record), 1);
  EXPECT_TRUE(record.flags & PropertyRecord::kDetails);
  EXPECT_TRUE(record.flags & PropertyRecord::kNumber);
  EXPECT_EQ(record.numberKind, 1) << "an NTFS volume";
  EXPECT_EQ(record.name, u"deleted.jpg");
  ASSERT_TRUE(record.flags & PropertyRecord::kPicture);
  Md5 md5;
  md5.Update(record.picture.data(), record.picture.size());
  uint8_t digest[kMd5DigestSize];
  md5.Final(digest);
  const std::string expect = ReadFileText(folder + "/list.good-jpeg.md5").substr(0, 32);
  EXPECT_EQ(Lower(HexText(digest, kMd5DigestSize)), expect);
  // The dialog decodes the picture.
  CPropertyDlg dlg([this](int p, bool t, PropertyRecord& r) { return View()->GetPropertyRecord(p, t, r) == 1; });
  dlg.SetPosition(int(row), List()->GetItemCount() - 1, false);
  dlg.Init();
  EXPECT_TRUE(dlg.PictureRequested());
  EXPECT_TRUE(dlg.Preview().ok);
  // The whole road through the command.
  dialogs.clear();
  View()->OnCommand(cmd::kProperties);
  EXPECT_EQ(dialogs, std::vector<std::string>{"CPropertyDlg"});
}

// The properties of rows reached by F3, the way a user asks: the volume in
// the folder tree against fsstat (mmls finds no partition table on this
// image, so the volume starts at sector 0), and a picture in the list
// against ImageMagick's size.
TEST_F(ListFixture, F3ShowsTheVolumeAsFsstatAndAPictureAsMade) {
  std::map<std::string, std::string> rows;
  bool preview = false;
  QSize previewSize;
  dialogAnswer = [&](QDialog& d) {
    auto* dlg = qobject_cast<CPropertyDlg*>(&d);
    if (!dlg) return int(QDialog::Rejected);
    rows.clear();
    for (int r = 0; r < dlg->Table()->rowCount(); ++r) {
      const QTableWidgetItem* label = dlg->Table()->item(r, 0);
      const QTableWidgetItem* value = dlg->Table()->item(r, 1);
      if (label && value) rows[label->text().toStdString()] = value->text().toStdString();
    }
    preview = dlg->Preview().ok;
    previewSize = QSize(dlg->Preview().sourceWidth, dlg->Preview().sourceHeight);
    return int(QDialog::Accepted);
  };
  const std::string fsstat = RunCommand("fsstat '" + img + "'");
  ASSERT_NE(fsstat.find("Volume Name: LISTVOL"), std::string::npos) << fsstat;
  const size_t range = fsstat.find("Total Sector Range: 0 - ");
  ASSERT_NE(range, std::string::npos);
  const int64_t sectors = std::stoll(fsstat.substr(range + 24)) + 1;
  EXPECT_NE(RunCommandStatus("mmls '" + img + "' >/dev/null 2>&1").rc, 0) << "no partition table";

  // Keys go to the focused control of the active window.
  app.MainFrame()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(app.MainFrame()));
  Command(cmd::kFolderView);
  ASSERT_TRUE(View()->FolderDisplay());
  CMyTreeCtrl* tree = View()->Tree();
  tree->setCurrentIndex(tree->FolderModel()->index(0, 0));
  tree->setFocus();
  QApplication::processEvents();
  dialogs.clear();
  QTest::keyClick(tree, Qt::Key_F3);
  ASSERT_EQ(dialogs, std::vector<std::string>{"CPropertyDlg"});
  EXPECT_EQ(rows[ToUtf8(Msg(174))], "LISTVOL");
  EXPECT_EQ(rows[ToUtf8(StripAccelerator(Msg(269)))], "0");
  EXPECT_EQ(rows[ToUtf8(Msg(37))], ToUtf8(CapacityText(sectors, 512)));
  EXPECT_EQ(rows[ToUtf8(StripAccelerator(Msg(63)))], "NTFS");

  // Back in the flat list: one picture selected, F3 from the list.
  Command(cmd::kFolderView);
  ASSERT_FALSE(View()->FolderDisplay());
  int64_t row = -1;
  for (int64_t r = 0; r < List()->RowCount() && row < 0; ++r)
    if (RecordPath(List()->RecordOfRow(r)) == "pics/circle.png") row = r;
  ASSERT_GE(row, 0);
  List()->SelectRow(row);
  List()->setFocus();
  QApplication::processEvents();
  dialogs.clear();
  QTest::keyClick(List(), Qt::Key_F3);
  ASSERT_EQ(dialogs, std::vector<std::string>{"CPropertyDlg"});
  EXPECT_EQ(rows[ToUtf8(Msg(45))], "circle.png");
  EXPECT_EQ(rows[ToUtf8(Msg(39))], "\\pics");
  EXPECT_TRUE(preview);
  EXPECT_EQ(previewSize, QSize(64, 64)) << "convert -size 64x64";
  dialogAnswer = nullptr;
}

// A scan that looks for "*.h" lists the files find -iname '*.h' names, and
// no other file.
class ListFixtureLookFor : public ListFixture {
 protected:
  void SetUp() override {
    lookFor = QStringLiteral("*.h");
    ListFixture::SetUp();
  }
};

TEST_F(ListFixtureLookFor, OnlyTheFilesFindNames) {
  LoadFolders();
  EXPECT_EQ(ShownLiveFiles(), Peer("find-iname-h.lst"));
  // No deleted file either: none of them ends in ".h".
  for (int64_t row = 0; row < List()->RowCount(); ++row) {
    const int64_t r = List()->RecordOfRow(row);
    if (r < 0 || IsFolder(r)) continue;
    EXPECT_TRUE(Lower(ToUtf8(List()->GetItemNodeName(int(r)))).ends_with(".h")) << RecordPath(r);
  }
}

}  // namespace
