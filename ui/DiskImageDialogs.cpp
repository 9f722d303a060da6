#include "ui/DiskImageDialogs.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <sys/stat.h>

#include "diagnostics/DebugFn.h"
#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "foundation/Trace.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "storage/DiskList.h"
#include "storage/Drive.h"
#include "storage/RDrive.h"
#include "storage/VolumeDefinition.h"
#include "ui/DelvoraView.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/core/RunsListCopy.h"

namespace {

QLabel* Label(const char16_t* text, QWidget* parent) { return new QLabel(ToQ(text), parent); }

// The one-line name prompt of the copy's output file.
class CDumpNameDlg : public QDialog {
 public:
  CDumpNameDlg(WStringView proposed, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CDebugFn"));
    setWindowTitle(QStringLiteral("File name"));
    auto* v = new QVBoxLayout(this);
    edit_ = new QLineEdit(ToQ(proposed), this);
    edit_->setObjectName(QStringLiteral("fileName"));
    edit_->setMinimumWidth(320);
    v->addWidget(edit_);
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* ok = new QPushButton(OkText(), this);
    ok->setDefault(true);
    auto* cancel = new QPushButton(CancelText(), this);
    row->addWidget(ok);
    row->addWidget(cancel);
    v->addLayout(row);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  }
  WString Name() const {
    CDebugFn fn;
    fn.OnOk(FromQ(edit_->text()));
    return fn.GetFileName();
  }

 private:
  QLineEdit* edit_ = nullptr;
};

bool PathExists(const WString& path) {
  struct stat st;
  return ::stat(ToUtf8(path).c_str(), &st) == 0;
}

// Never a file that is, or lies on, what is being read.
bool WritesOnSource(Drive* drive, const WString& path) {
  if (theTrace().IsProtectedSource(ToUtf8(path))) return true;
  return drive && !drive->IsSafeVolume(path);
}

}  // namespace

// ---- progress ----

CDumpingPrgrsDlg::CDumpingPrgrsDlg(int64_t first, int64_t last, int regenerate, int binary, FILE* text,
                                   QWidget* parent)
    : CDvDialog(parent, "CDumpingPrgrsDlg", u"") {
  job_.first = first;
  job_.last = last;
  job_.regenerate = regenerate;
  job_.binary = binary;
  job_.text = text;
  job_.cancel = &cancel_;
  auto* grid = new QGridLayout(this);
  const std::pair<int, const char16_t*> rows[] = {{1208, u"Drive:"},
                                                   {1294, u"Sectors copied:"},
                                                   {1302, u"Elapsed time:"},
                                                   {1297, u"Estimated time left:"},
                                                   {1298, u"Average transfer rate:"},
                                                   {1301, u"Immediate transfer rate:"}};
  const int values[] = {1295, 1296, 1303, 1299, 1300, 1304};
  for (int i = 0; i < 6; ++i) {
    grid->addWidget(Reg(Label(rows[i].second, this), rows[i].first), i, 0);
    auto* value = Reg(new QLabel(this), values[i]);
    value->setMinimumWidth(260);
    grid->addWidget(value, i, 1);
  }
  drive_ = qobject_cast<QLabel*>(Control(1295));
  bar_ = Reg(new QProgressBar(this), 1197);
  bar_->setRange(0, 100);
  grid->addWidget(bar_, 6, 0, 1, 2);
  auto* cancel = Reg(new QPushButton(CancelText(), this), 2);
  connect(cancel, &QPushButton::clicked, this, &CDumpingPrgrsDlg::reject);
  grid->addWidget(cancel, 7, 1, Qt::AlignRight);
  setWindowTitle(QStringLiteral("Progress"));
  ApplyTexts({{0, 0}, {399, 1208}, {214, 1294}, {222, 1302}, {227, 1297}, {232, 1298}, {234, 1301}, {4, 2}});
  timer_ = new QTimer(this);
  timer_->setInterval(1000);
  connect(timer_, &QTimer::timeout, this, &CDumpingPrgrsDlg::OnTimer);
}

CDumpingPrgrsDlg::~CDumpingPrgrsDlg() {
  cancel_ = 1;
  if (thread_.joinable()) thread_.join();
  if (job_.text) std::fclose(job_.text);
}

void CDumpingPrgrsDlg::SetDriveName(WStringView name) { drive_->setText(ToQ(name)); }

void CDumpingPrgrsDlg::showEvent(QShowEvent* event) {
  CDvDialog::showEvent(event);
  if (!started_) StartCopy();
}

void CDumpingPrgrsDlg::StartCopy() {
  started_ = true;
  Drive* drive = g_currentDrive;
  if (!drive || job_.first > job_.last) {
    if (!drive) ErrorMsg(Msg(181).c_str());
    failed_ = !drive;
    QMetaObject::invokeMethod(this, [this] { OnStatus(failed_ ? 1 : 0); }, Qt::QueuedConnection);
    return;
  }
  cancel_ = 0;
  progress_.Start(uint64_t(job_.last - job_.first) + 1, drive->SectorSize());
  setWindowTitle(ToQ(progress_.caption));
  bar_->setValue(0);
  job_.progress = [this](uint64_t total) {
    QMetaObject::invokeMethod(this, [this, total] { OnBytes(total); }, Qt::QueuedConnection);
  };
  thread_ = std::thread([this, drive] {
    const int status = CopyDiskImageThread(*drive, job_);
    QMetaObject::invokeMethod(this, [this, status] { OnStatus(status); }, Qt::QueuedConnection);
  });
}

void CDumpingPrgrsDlg::OnBytes(uint64_t total) {
  if (!timer_->isActive()) {
    timer_->start();
    clock_.start();
  }
  progress_.OnBytes(total);
  Push();
}

void CDumpingPrgrsDlg::OnTimer() {
  progress_.OnTick(clock_.isValid() ? double(clock_.elapsed()) / 1000.0 : 0);
}

void CDumpingPrgrsDlg::Push() {
  setWindowTitle(ToQ(progress_.caption));
  bar_->setValue(progress_.percent);
  qobject_cast<QLabel*>(Control(1296))->setText(ToQ(progress_.sectorsText));
  qobject_cast<QLabel*>(Control(1303))->setText(ToQ(progress_.elapsedText));
  qobject_cast<QLabel*>(Control(1299))->setText(ToQ(progress_.leftText));
  qobject_cast<QLabel*>(Control(1300))->setText(ToQ(progress_.averageText));
  qobject_cast<QLabel*>(Control(1304))->setText(ToQ(progress_.immediateText));
}

WString CDumpingPrgrsDlg::ElapsedSeconds() const {
  const int64_t ms = clock_.isValid() ? clock_.elapsed() : 0;
  return FormatW(u"%d.%02d seconds", int32_t(ms / 1000), int32_t(ms % 1000 / 10));
}

void CDumpingPrgrsDlg::reject() {
  if (finished_) {
    QDialog::reject();
    return;
  }
  if (!started_) {
    QDialog::reject();
    return;
  }
  if (Prompt().MessageBox(Msg(134), Msg(142), kMbYesNo | kMbIconQuestion) == kIdYes) cancel_ = 1;
}

void CDumpingPrgrsDlg::OnStatus(int status) {
  if (thread_.joinable()) thread_.join();
  timer_->stop();
  finished_ = true;
  if (job_.error) failed_ = true;
  if (cancel_ || status == 1) QDialog::done(QDialog::Rejected);
  else QDialog::done(QDialog::Accepted);
}

// ---- the dialog ----

CDISaveDlg::CDISaveDlg(QWidget* parent, bool sessionDrive)
    : CDvDialog(parent, "CDISaveDlg", u"html\\afxc8o51.htm"), session_(sessionDrive) {
  auto* v = new QVBoxLayout(this);
  auto* warning = Reg(new QGroupBox(QStringLiteral("Warning"), this), 1304);
  auto* wl = new QGridLayout(warning);
  auto* icon = new QLabel(warning);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
  wl->addWidget(icon, 0, 0, Qt::AlignTop);
  auto* text = Reg(Label(u"The destination folder must not reside on the drive containing the lost data. Writing "
                         u"to that drive may cause the lost data to be permanently overwritten and unrecoverable.",
                         warning),
                   1307);
  text->setWordWrap(true);
  wl->addWidget(text, 0, 1);
  auto* check = Reg(new QCheckBox(QStringLiteral("&I have read the WARNING above."), warning), 1014);
  wl->addWidget(check, 1, 1);
  wl->setColumnStretch(1, 1);
  v->addWidget(warning);
  connect(check, &QCheckBox::clicked, this, [this] { OnWarningRead(); });

  auto* grid = new QGridLayout;
  grid->addWidget(Reg(Label(u"Source drive:", this), 1308), 0, 0);
  auto* source = Reg(new QLineEdit(this), 1158);
  source->setReadOnly(true);
  grid->addWidget(source, 0, 1, 1, 2);
  auto* folderLabel = Reg(Label(u"&Destination folder:", this), 1302);
  grid->addWidget(folderLabel, 1, 0);
  folder_ = Reg(new QLineEdit(this), 1097);
  folderLabel->setBuddy(folder_);
  grid->addWidget(folder_, 1, 1);
  auto* browse = Reg(new QPushButton(QStringLiteral("&Browse..."), this), 1011);
  connect(browse, &QPushButton::clicked, this, [this] { OnBrowse(); });
  grid->addWidget(browse, 1, 2);
  v->addLayout(grid);

  auto* groups = new QHBoxLayout;
  auto* format = Reg(new QGroupBox(QStringLiteral("Format"), this), 1309);
  auto* fl = new QVBoxLayout(format);
  binary_ = Reg(new QRadioButton(QStringLiteral("Binar&y"), format), 1044);
  text_ = Reg(new QRadioButton(QStringLiteral("&Text (suitable for human viewing only)"), format), 1310);
  fl->addWidget(binary_);
  fl->addWidget(text_);
  groups->addWidget(format);
  connect(binary_, &QRadioButton::clicked, this, [this] {
    rules_.binary = 1;
    ShowSpace();
  });
  connect(text_, &QRadioButton::clicked, this, [this] {
    rules_.binary = 0;
    ShowSpace();
  });
  auto* range = Reg(new QGroupBox(QStringLiteral("Range"), this), 1303);
  auto* rl = new QGridLayout(range);
  auto* firstLabel = Reg(Label(u"&First sector:", range), 1107);
  first_ = Reg(new QLineEdit(range), DiskImageRules::kFirstEdit);
  firstLabel->setBuddy(first_);
  auto* lastLabel = Reg(Label(u"&Last sector:", range), 1069);
  last_ = Reg(new QLineEdit(range), DiskImageRules::kLastEdit);
  lastLabel->setBuddy(last_);
  rl->addWidget(firstLabel, 0, 0);
  rl->addWidget(first_, 0, 1, 1, 2);
  rl->addWidget(lastLabel, 1, 0);
  rl->addWidget(last_, 1, 1, 1, 2);
  rl->addWidget(Reg(Label(u"Disk space required:", range), 1133), 2, 0);
  space_ = Reg(new QLabel(range), 1305);
  space_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  rl->addWidget(space_, 2, 1);
  rl->addWidget(Reg(Label(u"MB", range), 1282), 2, 2);
  groups->addWidget(range);
  v->addLayout(groups);
  connect(first_, &QLineEdit::textEdited, this, [this] { ShowSpace(); });
  connect(last_, &QLineEdit::textEdited, this, [this] { ShowSpace(); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* create = Reg(new QPushButton(QStringLiteral("&Create"), this), 1106);
  create->setDefault(true);
  create->setAutoDefault(true);
  connect(create, &QPushButton::clicked, this, [this] { OnCreate(); });
  auto* cancel = Reg(new QPushButton(CancelText(), this), 2);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  buttons->addWidget(create);
  buttons->addWidget(cancel);
  v->addLayout(buttons);
  setWindowTitle(QStringLiteral("Creating a disk image file"));
  ApplyTexts({{256, 0},     {106, 1304},  {282, 1307},  {309, 1014}, {295, 1308}, {73, 1302},
              {3, 1011},    {327, 1309},  {318, 1044},  {323, 1310}, {107, 1303}, {10, 1107},
              {321, 1069},  {315, 1133},  {450, 1282},  {108, 1106}, {4, 2}});

  // Opening: the current drive's name and its whole range.
  Drive* drive = g_currentDrive;
  DrvInfo* info = drive ? theDrvAttr().FindDrvInfo(drive->Name()) : nullptr;
  const WString name = info ? info->name : drive ? drive->Name() : WString();
  rules_.Init(name, session_, drive ? int64_t(drive->SectorCount()) : 0, drive ? drive->SectorSize() : 512);
  source->setText(ToQ(rules_.driveName));
  first_->setText(ToQ(rules_.firstText));
  last_->setText(ToQ(rules_.lastText));
  space_->setText(ToQ(rules_.spaceText));
  binary_->setChecked(true);
  for (int id : DiskImageRules::GuardedControls())
    if (QWidget* w = Control(id)) w->setEnabled(false);
}

void CDISaveDlg::ReadControls() {
  rules_.folder = FromQ(folder_->text());
  rules_.firstText = FromQ(first_->text());
  rules_.lastText = FromQ(last_->text());
  rules_.binary = binary_->isChecked() ? 1 : 0;
  rules_.warningRead = Ctl<QCheckBox>(DiskImageRules::kWarningCheck)->isChecked() ? 1 : 0;
}

void CDISaveDlg::ShowSpace() {
  ReadControls();
  rules_.UpdateSpace();
  space_->setText(ToQ(rules_.spaceText));
}

void CDISaveDlg::OnWarningRead() {
  ReadControls();
  for (int id : DiskImageRules::GuardedControls())
    if (QWidget* w = Control(id)) w->setEnabled(rules_.warningRead != 0);
  // A drive of a loaded session cannot be copied.
  if (QWidget* create = Control(DiskImageRules::kCreate)) create->setEnabled(rules_.warningRead && rules_.createEnabled);
}

void CDISaveDlg::OnBrowse() {
  ReadControls();
  const QString start = FolderExists(rules_.folder) ? ToQ(rules_.folder) : QString();
  const QString dir = QFileDialog::getExistingDirectory(this, ToQ(Msg(236)).section(QLatin1Char('\n'), 0, 0), start);
  if (dir.isEmpty()) return;
  folder_->setText(dir);
}

void CDISaveDlg::Refuse(int message, int focus, WString text) {
  ShowVerdict(DialogVerdict::Refuse(message, focus, std::move(text)));
}

bool CDISaveDlg::MemberCommand(const DiskImageRules::Typed& typed) {
  auto* set = dynamic_cast<RDrive*>(g_currentDrive);
  if (!set || (set->RaidType() != kRaidCustom && set->Settings().schemaPath.empty())) return true;
  if (typed.command == DiskImageRules::Command::ShowMembers) {
    if (typed.number >= 0 && set->ReadSectors(typed.number, 0x10000, Drive::kRetryPiece, nullptr, true))
      last_->setText(ToQ(set->FormatMemberStarts()));
  } else if (typed.member >= 0 && typed.number >= 0) {
    const WString text = set->FormatMemberSectors(typed.member, typed.number);
    if (!text.empty()) last_->setText(ToQ(text));
  }
  return true;
}

void CDISaveDlg::OnCreate() {
  ReadControls();
  Drive* drive = g_currentDrive;
  const DiskImageRules::Typed typed = rules_.ReadCommand(session_);
  if (typed.command == DiskImageRules::Command::ShowMembers ||
      typed.command == DiskImageRules::Command::MapMemberSector) {
    MemberCommand(typed);
    return;
  }
  if (typed.command == DiskImageRules::Command::CopyRunsList) {
    if (!drive) return;
    const WString folder = TrimPathEnd(rules_.folder);
    if (DialogVerdict dv = DiskImageRules::CheckDestination(folder, drive); !dv.close) return ShowVerdict(dv);
    if (RunsListCopy::Run(*drive, folder, typed.fileName, RunsListCopy::ListPath()) != 0)
      return Refuse(0, 0, LastErrorText());
    ShowMessage(kMbIconInformation, u"The listed runs have been copied to %s/%s.", folder, typed.fileName);
    return;
  }
  const WString last = TrimBlanks(rules_.lastText);
  DialogVerdict v = DiskImageRules::CheckPresent(typed.first, last);
  if (!v.close) return ShowVerdict(v);
  v = DiskImageRules::CheckDestination(TrimPathEnd(rules_.folder), drive);
  if (!v.close) return ShowVerdict(v);
  int64_t first = 0, end = 0;
  v = DiskImageRules::CheckRange(typed.first, last, &first, &end);
  if (!v.close) return ShowVerdict(v);
  if (!drive) return;
  const bool binary = rules_.binary != 0;

  CDumpNameDlg prompt(DiskImageRules::ProposedName(first, end, binary), this);
  if (RunDialog(prompt) != QDialog::Accepted) return;
  const WString typedName = prompt.Name();
  if (typedName.empty()) return;
  DiskImageRules::Output out = DiskImageRules::ResolveOutput(rules_.folder, typedName);
  Trace& trace = theTrace();
  if (out.diskNumber >= 0) {
    if (!drive->IsSafeDrive(out.diskNumber)) return Refuse(316, 0);
    trace.sectorTargetIsDevice = 1;
    if (!out.path.starts_with(u"/")) {
      const CPhysDisk* disk = theDiskList().FindDisk(WStringView(out.path));
      if (!disk) return Refuse(0, 0, FormatW(u"%s: %s", out.path, Msg(181)));
      out.path = FromUtf8(disk->devicePath);
    }
  } else {
    trace.sectorTargetIsDevice = 0;
    if (WritesOnSource(drive, out.path)) return Refuse(316, 0);
    // The output file: new, appended at a start sector, or asked.
    const char* mode = "w";
    if (PathExists(out.path) && out.startSector <= 0) {
      CExist exist(this);
      exist.SetText(FormatW(Msg(140), out.path));
      RunDialog(exist);
      if (exist.result == 2) return;
      mode = exist.result == 6 ? "w" : "a";
    } else if (PathExists(out.path)) {
      mode = "a";
    }
    FILE* f = std::fopen(ToUtf8(out.path).c_str(), mode);
    if (!f) {
      ErrorMsg(nullptr, out.path.c_str());
      return Refuse(0, 0, LastErrorText());
    }
    std::fclose(f);
  }

  // A lost member of a RAID set, rebuilt.
  int regenerate = 0;
  auto* set = dynamic_cast<RDrive*>(drive);
  if (set && binary && set->MissingCount() > 0 && out.regenerate) {
    regenerate = out.regenerate;
    ShowMessage(kMbIconInformation, u"%s",
                regenerate == 2 ? u"Dumping missing RAID 6 drive" : u"Dumping missing RAID 5 drive");
    const int64_t members = std::max(1, set->DataMembers());
    end = std::min<int64_t>(end, int64_t(set->SectorCount()) / members - 1);
  }

  FILE* listing = nullptr;
  bool opened = true;
  if (binary && regenerate == 2) {
    for (int i = 0; i < 2 && opened; ++i) {
      const WString member = RebuildMemberPath(out.path, i);
      opened = !WritesOnSource(drive, member) && trace.OpenSectorFile(ToUtf8(member), i, nullptr) >= 0;
    }
  } else if (binary) {
    int64_t at = out.startSector;
    opened = trace.OpenSectorFile(ToUtf8(out.path), 0, &at) >= 0;
  } else {
    listing = std::fopen(ToUtf8(out.path).c_str(), "a");
    if (!listing) ErrorMsg(nullptr, out.path.c_str());
    opened = listing != nullptr;
  }
  if (!opened) {
    trace.CloseHandles();
    trace.sectorTargetIsDevice = 0;
    return Refuse(0, 0, LastErrorText());
  }

  drive->HookExclusiveRanges(theDrvAttr());
  WString pending;
  unsigned style = kMbIconError;
  {
    CDumpingPrgrsDlg progress(first, end, regenerate, binary ? 1 : 0, listing, this);
    progress.SetDriveName(rules_.driveName);
    const int result = RunDialog(progress);
    if (progress.Failed()) {
      pending = LastErrorText();
    } else if (result == QDialog::Accepted) {
      if (typed.command == DiskImageRules::Command::Notepad) {
        if (end - first <= 2048) QDesktopServices::openUrl(QUrl::fromLocalFile(ToQ(out.path)));
      } else {
        pending = FormatW(Msg(322), progress.ElapsedSeconds());
        style = kMbIconInformation;
      }
    } else {
      pending = Msg(179);
      style = kMbIconWarning;
    }
  }
  if (!pending.empty()) ShowMessage(style, u"%s", pending);
  trace.sectorTargetIsDevice = 0;
  drive->CloseDevice();
  drive->ReleaseBuffers();
}

void InstallDiskImageDialog() {
  SetDiskImageDialog([](QWidget* parent) {
    CDISaveDlg dlg(parent);
    RunDialog(dlg);
  });
}
