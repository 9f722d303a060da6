#include "ui/PromptDialogs.h"

#include <algorithm>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QVBoxLayout>

#include "foundation/Messages.h"
#include "ui/QtPrompt.h"
#include "ui/WindowHelp.h"

namespace {

DialogRunner& Runner() {
  static DialogRunner r;
  return r;
}

QString Caption(int message, const char16_t* own) {
  QString t = MessageOr(message, own);
  return t.remove(QLatin1Char('&'));
}

// Wide enough for the title bar to show the whole title.
void FitTitle(QDialog* d) {
  d->setMinimumWidth(std::max(d->minimumWidth(), d->fontMetrics().horizontalAdvance(d->windowTitle()) + 150));
}

// OK and Cancel with the message texts, wired to the dialog's accept and reject.
QDialogButtonBox* OkCancel(QDialog* dialog) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  buttons->button(QDialogButtonBox::Ok)->setText(MessageOr(14, u"OK"));
  buttons->button(QDialogButtonBox::Cancel)->setText(MessageOr(4, u"Cancel"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  return buttons;
}

}  // namespace

void SetDialogRunner(DialogRunner runner) { Runner() = std::move(runner); }

int RunDialog(QDialog& dialog) {
  if (Runner()) {
    if (auto* d = qobject_cast<CDuplicate*>(&dialog)) d->Prepare();
    return Runner()(dialog);
  }
  return dialog.exec();
}

// ---- CDuplicate ----

CDuplicate::CDuplicate(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CDuplicate"));
  AddHelpKey(this, u"html\\afxc11b9.htm");
  setWindowTitle(Caption(217, u"&Overwrite Mode"));
  FitTitle(this);
  auto* v = new QVBoxLayout(this);
  notEmpty_ = new QLabel(MessageOr(369, u"The destination folder is not empty!"), this);
  QFont bold = notEmpty_->font();
  bold.setBold(true);
  notEmpty_->setFont(bold);
  prompt_ = new QLabel(MessageOr(368, u"Please choose an Overwrite Mode when a file already exists:"), this);
  v->addWidget(notEmpty_);
  v->addWidget(prompt_);
  const int ids[4] = {364, 366, 365, 367};
  const char16_t* own[4] = {u"&Use the more recent file", u"Generate a &new unique filename", u"O&verwrite",
                            u"&Skip"};
  for (int i = 0; i < 4; i++) {
    // Message 365 is also the Replace button's text; the radio keeps its own.
    radios_[i] = new QRadioButton(i == 2 ? ToQ(WString(own[i])) : MessageOr(ids[i], own[i]), this);
    v->addWidget(radios_[i]);
  }
  alwaysBox_ = new QCheckBox(MessageOr(370, u"&Always use this response and do not ask this question again."), this);
  v->addWidget(alwaysBox_);
  v->addWidget(OkCancel(this));
}

void CDuplicate::Prepare() {
  notEmpty_->setVisible(!hideNotEmpty_);
  if (hideNotEmpty_) notEmpty_->clear();
  if (mode >= 0 && mode < 4) radios_[mode]->setChecked(true);
  alwaysBox_->setChecked(always != 0);
}

int CDuplicate::exec() {
  Prepare();
  return QDialog::exec();
}

void CDuplicate::accept() {
  for (int i = 0; i < 4; i++)
    if (radios_[i]->isChecked()) {
      mode = i;
      break;
    }
  always = alwaysBox_->isChecked() ? 1 : 0;
  QDialog::accept();
}

// ---- CExist ----

CExist::CExist(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CExist"));
  setWindowTitle(Caption(297, u"Replace or Append"));
  FitTitle(this);
  auto* v = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(32, 32));
  text_ = new QLabel(this);
  text_->setWordWrap(true);
  row->addWidget(icon);
  row->addWidget(text_, 1);
  v->addLayout(row);
  auto* buttons = new QHBoxLayout;
  replace_ = new QPushButton(MessageOr(365, u"&Replace"), this);
  append_ = new QPushButton(MessageOr(448, u"&Append"), this);
  auto* cancel = new QPushButton(MessageOr(4, u"Cancel"), this);
  replace_->setDefault(true);
  buttons->addStretch();
  buttons->addWidget(replace_);
  buttons->addWidget(append_);
  buttons->addWidget(cancel);
  v->addLayout(buttons);
  connect(replace_, &QPushButton::clicked, this, [this] {
    result = 6;
    QDialog::accept();
  });
  connect(append_, &QPushButton::clicked, this, [this] {
    result = 7;
    QDialog::accept();
  });
  connect(cancel, &QPushButton::clicked, this, &CExist::reject);
}

void CExist::SetText(WStringView text) { text_->setText(ToQ(text)); }

void CExist::reject() {
  result = 2;
  QDialog::reject();
}

// ---- CSameDrv ----

WString CSameDrv::OverridingCode() { return Msg(472).empty() ? WString(u"yes") : Msg(472); }

CSameDrv::CSameDrv(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CSameDrv"));
  AddHelpKey(this, u"html\\afxc83mt.htm");
  setWindowTitle(Caption(34, u"Saving Data to the Same Drive"));
  FitTitle(this);
  auto* v = new QVBoxLayout(this);
  auto* first = new QLabel(MessageOr(229, u"Files must not be saved to the drive holding the lost data. Please click "
                                          u"Cancel to close this dialog and select a folder on another drive."),
                           this);
  auto* second = new QLabel(MessageOr(218, u"If you decide to proceed and risk permanently overwriting the lost data, "
                                           u"please press F1 to read the warning and type the overriding code in the "
                                           u"box below:"),
                            this);
  first->setWordWrap(true);
  second->setWordWrap(true);
  v->addWidget(first);
  v->addWidget(second);
  warning_ = new QCheckBox(MessageOr(203, u"&I have pressed F1 and read the warning."), this);
  v->addWidget(warning_);
  auto* row = new QHBoxLayout;
  codeLabel_ = new QLabel(MessageOr(419, u"O&verriding code:"), this);
  edit_ = new QLineEdit(this);
  codeLabel_->setBuddy(edit_);
  row->addWidget(codeLabel_);
  row->addWidget(edit_, 1);
  v->addLayout(row);
  auto* buttons = OkCancel(this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  v->addWidget(buttons);
  ok_->setEnabled(false);
  codeLabel_->setEnabled(false);
  edit_->setEnabled(false);
  connect(warning_, &QCheckBox::toggled, this, [this](bool on) {
    warningRead = on ? 1 : 0;
    codeLabel_->setEnabled(on);
    edit_->setEnabled(on);
    if (on) edit_->setFocus();
  });
  connect(edit_, &QLineEdit::textChanged, this, [this](const QString& t) {
    code = FromQ(t);
    ok_->setEnabled(t.compare(ToQ(OverridingCode()), Qt::CaseInsensitive) == 0);
  });
}

// ---- CSkip ----

CSkip::CSkip(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CSkip"));
  AddHelpKey(this, u"html\\afxc2xio.htm");
  setWindowTitle(Caption(382, u"Skip &Deleted Files and Folders"));
  FitTitle(this);
  auto* v = new QVBoxLayout(this);
  auto* text = new QLabel(MessageOr(410, u"Deleted files and folders, if not needed, can be skipped for cleaner, "
                                         u"uncluttered results. Do you want to skip them?"),
                          this);
  text->setWordWrap(true);
  v->addWidget(text);
  auto* row = new QHBoxLayout;
  skip_ = new QPushButton(MessageOr(411, u"&Yes. Skip deleted files."), this);
  display_ = new QPushButton(MessageOr(412, u"&No. Display deleted files."), this);
  display_->setDefault(true);
  row->addStretch();
  row->addWidget(skip_);
  row->addWidget(display_);
  v->addLayout(row);
  connect(display_, &QPushButton::clicked, this, &QDialog::accept);
  connect(skip_, &QPushButton::clicked, this, &QDialog::reject);
}
