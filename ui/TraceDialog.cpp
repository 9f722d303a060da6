#include "ui/TraceDialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "diagnostics/DebugFn.h"
#include "foundation/Messages.h"
#include "platform/Format.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"

namespace {

struct Box {
  int id;
  const char16_t* label;
};
constexpr Box kBoxes[] = {{1014, u"&Execution path"},
                          {1088, u"&I/O"},
                          {1087, u"&MFT"},
                          {1085, u"R&AID"},
                          {1098, u"&Content"},
                          {1134, u"Com&pression"},
                          {1352, u"Ext&3/UFS/XFS"},
                          {1353, u"&HFS/HFS+"},
                          {1232, u"Use I&/O buffering for speed."},
                          {1251, u"Se&quential search."}};

}  // namespace

bool AskDebugFn(QWidget* parent, int mode, WString* text) {
  QDialog d(parent);
  d.setObjectName(QStringLiteral("CDebugFn"));
  d.setWindowTitle(QStringLiteral("Trace Filename"));
  auto* v = new QVBoxLayout(&d);
  v->addWidget(new QLabel(mode == 1 ? QStringLiteral("Content code:") : QStringLiteral("&Trace filename:"), &d));
  auto* edit = new QLineEdit(&d);
  edit->setObjectName(QStringLiteral("ctl1158"));
  v->addWidget(edit);
  auto* row = new QHBoxLayout;
  row->addStretch();
  auto* ok = new QPushButton(OkText(), &d);
  ok->setDefault(true);
  auto* cancel = new QPushButton(CancelText(), &d);
  row->addWidget(ok);
  row->addWidget(cancel);
  v->addLayout(row);
  QObject::connect(ok, &QPushButton::clicked, &d, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, &d, &QDialog::reject);
  if (RunDialog(d) != QDialog::Accepted) return false;
  CDebugFn fn;
  fn.mode = mode;
  fn.OnOk(FromQ(edit->text()));
  *text = fn.GetFileName();
  return true;
}

CTraceDialog::CTraceDialog(QWidget* parent) : CDvDialog(parent, "CDebugDlg", kTraceHelpTopic) {
  setWindowTitle(QStringLiteral("Trace"));
  auto* v = new QVBoxLayout(this);
  auto* warning = new QLabel(
      QStringLiteral("WARNING\nThe trace folder must not be created on the drive containing lost data. Writing to that "
                     "drive may cause lost data to be permanently overwritten and unrecoverable."),
      this);
  warning->setWordWrap(true);
  v->addWidget(warning);
  v->addWidget(Reg(new QCheckBox(QStringLiteral("I have read the &WARNING above."), this), 1128));
  auto* folderRow = new QHBoxLayout;
  auto* folderLabel = new QLabel(QStringLiteral("Trace &folder:"), this);
  auto* folder = Reg(new QLineEdit(this), 1027);
  folderLabel->setBuddy(folder);
  auto* browse = Reg(new QPushButton(QStringLiteral("&Browse..."), this), 1129);
  folderRow->addWidget(folderLabel);
  folderRow->addWidget(folder, 1);
  folderRow->addWidget(browse);
  v->addLayout(folderRow);
  auto* grid = new QGridLayout;
  int i = 0;
  for (const Box& b : kBoxes) {
    grid->addWidget(Reg(new QCheckBox(ToQ(b.label), this), b.id), i / 2, i % 2);
    ++i;
  }
  v->addLayout(grid);
  auto* intervalRow = new QHBoxLayout;
  auto* intervalLabel = new QLabel(QStringLiteral("Inter&val:"), this);
  auto* interval = Reg(new QLineEdit(this), 1158);
  interval->setValidator(new AcceptValidator(
      [](WStringView t) {
        return t.size() <= 9 && std::all_of(t.begin(), t.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
      },
      interval));
  intervalLabel->setBuddy(interval);
  intervalRow->addWidget(intervalLabel);
  intervalRow->addWidget(interval);
  intervalRow->addStretch();
  v->addLayout(intervalRow);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* ok = Reg(new QPushButton(OkText(), this), 1028);
  ok->setDefault(true);
  auto* cancel = Reg(new QPushButton(CancelText(), this), 1104);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  v->addLayout(buttons);

  asks.traceFileName = [this](WString* name) { return AskDebugFn(this, 0, name); };
  asks.contentCode = [this](WString* code) { return AskDebugFn(this, 1, code); };
  asks.replaceOrAppend = [this](WStringView path) {
    CExist exist(this);
    exist.SetText(FormatW(Msg(140), WString(path)));
    RunDialog(exist);
    return exist.result == 6 ? 0 : exist.result == 7 ? 1 : 2;
  };

  rules_.Start();
  Load();
  auto* warn = Ctl<QCheckBox>(1128);
  connect(warn, &QCheckBox::toggled, this, [folder, browse](bool on) {
    folder->setEnabled(on);
    browse->setEnabled(on);
  });
  connect(browse, &QPushButton::clicked, this, [this, folder] {
    const QString start = folder->text();
    const QString chosen =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Browse for the trace folder"), start);
    if (!chosen.isEmpty()) folder->setText(chosen);
  });
  connect(box(1098), &QCheckBox::clicked, this, [this](bool on) {
    Store();
    rules_.OnContentBox(on, asks);
    Load();
  });
  connect(box(1352), &QCheckBox::clicked, this, [this](bool on) {
    Store();
    rules_.OnUnixFsBox(on);
    Load();
  });
  connect(box(1353), &QCheckBox::clicked, this, [this](bool on) {
    Store();
    rules_.OnHfsBox(on);
    Load();
  });
  connect(ok, &QPushButton::clicked, this, &CTraceDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QCheckBox* CTraceDialog::box(int id) const { return Ctl<QCheckBox>(id); }

void CTraceDialog::Load() {
  const QSignalBlocker b1(box(1128));
  box(1128)->setChecked(rules_.warningRead);
  Ctl<QLineEdit>(1027)->setText(ToQ(rules_.folder));
  Ctl<QLineEdit>(1027)->setEnabled(rules_.warningRead);
  Control(1129)->setEnabled(rules_.warningRead);
  const bool values[] = {rules_.executionPath, rules_.io,     rules_.mft, rules_.raid,      rules_.content,
                         rules_.compression,   rules_.unixFs, rules_.hfs, rules_.buffering, rules_.sequential};
  for (size_t i = 0; i < std::size(kBoxes); ++i) box(kBoxes[i].id)->setChecked(values[i]);
  Ctl<QLineEdit>(1158)->setText(QString::number(rules_.interval));
}

void CTraceDialog::Store() {
  rules_.warningRead = box(1128)->isChecked();
  rules_.folder = FromQ(Ctl<QLineEdit>(1027)->text());
  bool* values[] = {&rules_.executionPath, &rules_.io,     &rules_.mft, &rules_.raid,      &rules_.content,
                    &rules_.compression,   &rules_.unixFs, &rules_.hfs, &rules_.buffering, &rules_.sequential};
  for (size_t i = 0; i < std::size(kBoxes); ++i) *values[i] = box(kBoxes[i].id)->isChecked();
  rules_.interval = Ctl<QLineEdit>(1158)->text().toInt();
}

void CTraceDialog::accept() {
  Store();
  switch (rules_.OnOk(asks)) {
    case CDebugDlg::Result::kOk:
      Load();
      QDialog::accept();
      break;
    case CDebugDlg::Result::kCancel: QDialog::reject(); break;
    case CDebugDlg::Result::kStay:
      Load();
      Ctl<QLineEdit>(1027)->setFocus();
      break;
  }
}
