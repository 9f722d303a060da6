#include "ui/SaveSessionDialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/PathUtil.h"
#include "storage/Drive.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "ui/SourceDialogs.h"
#include "ui/core/SessionRules.h"

CSaveSessionDlg::CSaveSessionDlg(QWidget* parent, bool folderDisplay, Drive* drive)
    : CDvDialog(parent, "CSaveSessionDlg", u"html\\afxc0zmt.htm"), folderDisplay_(folderDisplay), drive_(drive) {
  setWindowTitle(QStringLiteral("Saving the Current Session"));
  auto* grid = new QGridLayout(this);
  auto* intro = Reg(new QLabel(QStringLiteral("This command creates a session file that can be reloaded later.\n\n"
                                              "Warning: The file must not be created on the drive containing the "
                                              "lost data."),
                               this),
                    kIntro);
  intro->setWordWrap(true);
  grid->addWidget(intro, 0, 0, 1, 3);
  saveBox_ = Reg(new QCheckBox(QStringLiteral("&Save session."), this), kSaveSession);
  grid->addWidget(saveBox_, 1, 0, 1, 3);
  auto* sessionLabel = Reg(new QLabel(QStringLiteral("&Filename:"), this), kSessionLabel);
  sessionEdit_ = Reg(new QLineEdit(this), kSessionName);
  sessionEdit_->setMinimumWidth(320);
  sessionLabel->setBuddy(sessionEdit_);
  auto* sessionBrowse = Reg(new QPushButton(QStringLiteral("&Browse..."), this), kSessionBrowse);
  grid->addWidget(sessionLabel, 2, 0);
  grid->addWidget(sessionEdit_, 2, 1);
  grid->addWidget(sessionBrowse, 2, 2);
  csvBox_ = Reg(new QCheckBox(QStringLiteral("Create a CS&V file for spreadsheet manipulation."), this), kCreateCsv);
  grid->addWidget(csvBox_, 3, 0, 1, 3);
  auto* csvLabel = Reg(new QLabel(QStringLiteral("File&name:"), this), kCsvLabel);
  csvEdit_ = Reg(new QLineEdit(this), kCsvName);
  csvLabel->setBuddy(csvEdit_);
  auto* csvBrowse = Reg(new QPushButton(QStringLiteral("Bro&wse..."), this), kCsvBrowse);
  grid->addWidget(csvLabel, 4, 0);
  grid->addWidget(csvEdit_, 4, 1);
  grid->addWidget(csvBrowse, 4, 2);
  auto* row = new QHBoxLayout;
  row->addStretch();
  ok_ = Reg(new QPushButton(OkText(), this), 1);
  ok_->setDefault(true);
  auto* cancel = Reg(new QPushButton(CancelText(), this), 2);
  row->addWidget(ok_);
  row->addWidget(cancel);
  grid->addLayout(row, 5, 0, 1, 3);
  ApplyTexts({{156, 0}, {439, kIntro}, {438, kSaveSession}, {13, kSessionLabel}, {3, kSessionBrowse},
              {441, kCreateCsv}, {442, kCsvLabel}, {443, kCsvBrowse}, {14, 1}, {4, 2}});
  connect(saveBox_, &QCheckBox::clicked, this, &CSaveSessionDlg::OnSaveSessionClicked);
  connect(csvBox_, &QCheckBox::clicked, this, &CSaveSessionDlg::OnCreateCsvClicked);
  connect(sessionBrowse, &QPushButton::clicked, this, [this] { Browse(true); });
  connect(csvBrowse, &QPushButton::clicked, this, [this] { Browse(false); });
  connect(ok_, &QPushButton::clicked, this, &CSaveSessionDlg::OnOk);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  WriteControls();
}

void CSaveSessionDlg::WriteControls() {
  saveBox_->setChecked(saveSession != 0);
  csvBox_->setChecked(createCsv != 0);
  sessionEdit_->setText(ToQ(sessionName));
  csvEdit_->setText(ToQ(csvName));
  EnableControls();
}

void CSaveSessionDlg::ReadControls() {
  saveSession = saveBox_->isChecked() ? 1 : 0;
  createCsv = csvBox_->isChecked() ? 1 : 0;
  sessionName = FromQ(sessionEdit_->text());
  csvName = FromQ(csvEdit_->text());
}

void CSaveSessionDlg::EnableControls() {
  for (int id : {kSessionLabel, kSessionName, kSessionBrowse}) Control(id)->setEnabled(saveSession != 0);
  for (int id : {kCsvLabel, kCsvName, kCsvBrowse}) Control(id)->setEnabled(createCsv != 0);
  ok_->setEnabled(SessionDialogOkEnabled(saveSession != 0, createCsv != 0));
}

void CSaveSessionDlg::OnSaveSessionClicked() {
  ReadControls();
  EnableControls();
}

void CSaveSessionDlg::OnCreateCsvClicked() {
  if (folderDisplay_ && csvBox_->isChecked()) {
    ShowMessage(kMbIconError, u"%s", Msg(673));
    createCsv = 0;
    ReadControls();
    createCsv = 0;
    WriteControls();
    return;
  }
  ReadControls();
  EnableControls();
}

void CSaveSessionDlg::Browse(bool session) {
  ReadControls();
  WString& name = session ? sessionName : csvName;
  const WString fallback = g_appState ? g_appState->defaultFolder : WString();
  const WString folder = GetInitialBrowseFolder(name, fallback, true);
  const QString chosen = QFileDialog::getSaveFileName(this, QString(), ToQ(folder),
                                                      QtFilter(Msg(session ? 430 : 17)));
  if (chosen.isEmpty()) return;
  QString path = chosen;
  const QString ext = session ? QStringLiteral(".dvs") : QStringLiteral(".csv");
  if (!path.contains(QLatin1Char('.'))) path += ext;
  name = FromQ(path);
  WriteControls();
}

bool CSaveSessionDlg::CheckName(const WString& name, int editId, bool first) {
  DialogVerdict v = CheckSessionNameForm(name, editId);
  if (!v.close) {
    ShowVerdict(v);
    return false;
  }
  // The same-drive warning is asked of the first file only: OK accepts the
  // risk for both.
  if (first && drive_ && !drive_->IsSafeVolume(name)) {
    CSameDrv dlg(this);
    if (RunDialog(dlg) != QDialog::Accepted) {
      if (QWidget* w = Control(editId)) w->setFocus();
      return false;
    }
  }
  v = CheckSessionNameKind(name, editId);
  if (!v.close) {
    ShowVerdict(v);
    return false;
  }
  return true;
}

void CSaveSessionDlg::OnOk() {
  ReadControls();
  if (saveSession && !CheckName(sessionName, kSessionName, true)) return;
  if (createCsv && !CheckName(csvName, kCsvName, saveSession == 0)) return;
  accept();
}
