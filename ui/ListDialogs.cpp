#include "ui/ListDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "foundation/AppState.h"
#include "foundation/Messages.h"
#include "foundation/UiServices.h"
#include "ui/QtPrompt.h"
#include "ui/core/ListText.h"
#include "ui/WindowHelp.h"

namespace {

int Language() { return g_appState ? g_appState->language : 0; }

MenuRunner& Runner() {
  static MenuRunner runner;
  return runner;
}

}  // namespace

void SetMenuRunner(MenuRunner runner) { Runner() = std::move(runner); }

QAction* RunMenu(QMenu& menu, const QPoint& global) { return Runner() ? Runner()(menu, global) : menu.exec(global); }

// ---- Find ----

CFindDlg::CFindDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CFindDlg"));
  AddHelpKey(this, u"html\\afxc9pwk.htm");
  setWindowTitle(QStringLiteral("Find"));
  setModal(false);
  auto* label = new QLabel(QStringLiteral("Fi&nd what:"), this);
  text_ = new QLineEdit(this);
  text_->setObjectName(QStringLiteral("ctl1058"));
  label->setBuddy(text_);
  wholeWord_ = new QCheckBox(QStringLiteral("Match &whole word only"), this);
  wholeWord_->setObjectName(QStringLiteral("ctl1014"));
  matchCase_ = new QCheckBox(QStringLiteral("Match ca&se"), this);
  matchCase_->setObjectName(QStringLiteral("ctl1082"));
  auto* direction = new QGroupBox(QStringLiteral("Direction"), this);
  up_ = new QRadioButton(QStringLiteral("&Up"), direction);
  up_->setObjectName(QStringLiteral("ctl1044"));
  downButton_ = new QRadioButton(QStringLiteral("&Down"), direction);
  downButton_->setObjectName(QStringLiteral("ctl1083"));
  auto* dirLayout = new QHBoxLayout(direction);
  dirLayout->addWidget(up_);
  dirLayout->addWidget(downButton_);
  findNext_button_ = new QPushButton(QStringLiteral("&Find Next"), this);
  findNext_button_->setObjectName(QStringLiteral("ctl1084"));
  findNext_button_->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  auto* grid = new QGridLayout(this);
  grid->addWidget(label, 0, 0);
  grid->addWidget(text_, 0, 1, 1, 2);
  grid->addWidget(findNext_button_, 0, 3);
  grid->addWidget(wholeWord_, 1, 0, 1, 2);
  grid->addWidget(direction, 1, 2, 2, 1);
  grid->addWidget(cancel, 1, 3);
  grid->addWidget(matchCase_, 2, 0, 1, 2);
  // Languages whose texts are longer get a wider dialog.
  static const int kA[10] = {0, 0, 0, 0, 0, 0, 0, 0, 25, 0};
  static const int kB[10] = {0, 20, 0, 0, 30, 30, 0, 30, 35, 0};
  const int lang = Language() >= 0 && Language() < 10 ? Language() : 0;
  setMinimumWidth(sizeHint().width() + kA[lang] + kB[lang]);
  downButton_->setChecked(true);
  findNext_button_->setEnabled(false);
  connect(text_, &QLineEdit::textChanged, this,
          [this](const QString& t) { findNext_button_->setEnabled(!t.isEmpty()); });
  connect(up_, &QRadioButton::clicked, this, [this] { down_ = false; });
  connect(downButton_, &QRadioButton::clicked, this, [this] { down_ = true; });
  connect(findNext_button_, &QPushButton::clicked, this, [this] { OnFindNext(); });
  connect(cancel, &QPushButton::clicked, this, [this] { hide(); });
}

void CFindDlg::SetSearchDown(bool down) {
  down_ = down;
  (down ? downButton_ : up_)->setChecked(true);
}

void CFindDlg::ReadControls() {
  matchCase_value_ = matchCase_->isChecked();
  wholeWord_value_ = wholeWord_->isChecked();
  down_ = downButton_->isChecked();
  search_ = FromQ(text_->text());
}

FindOptions CFindDlg::Options() const {
  FindOptions o;
  o.text = search_;
  o.matchCase = matchCase_value_;
  o.wholeWord = wholeWord_value_;
  o.down = down_;
  return o;
}

void CFindDlg::OnFindNext() {
  ReadControls();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  if (findNext_) findNext_();
  QApplication::restoreOverrideCursor();
}

void CFindDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  (down_ ? downButton_ : up_)->setChecked(true);
  findNext_button_->setEnabled(!text_->text().isEmpty());
  text_->setFocus();
  text_->selectAll();
}

// ---- View Filter ----

CCustomFilterDlg::CCustomFilterDlg(int column, const QString& title, QWidget* parent)
    : QDialog(parent), column_(column), kind_(FilterKindOfColumn(column)) {
  setObjectName(QStringLiteral("CCustomFilterDlg"));
  AddHelpKey(this, u"html\\afxcview.htm");
  setWindowTitle(QStringLiteral("View Filter"));
  auto* layout = new QVBoxLayout(this);
  auto* heading = new QLabel(title, this);
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  layout->addWidget(heading);
  auto* row = new QHBoxLayout;
  operators_ = new QComboBox(this);
  for (const WString& t : FilterOperatorTexts(kind_)) operators_->addItem(ToQ(t));
  operators_->setCurrentIndex(2);
  value_ = new QLineEdit(this);
  unit_ = new QComboBox(this);
  for (const char* u : {"bytes", "KB", "MB", "GB", "TB"}) unit_->addItem(QString::fromLatin1(u));
  unit_->setCurrentIndex(2);
  date_ = new QDateEdit(QDate::currentDate(), this);
  date_->setCalendarPopup(true);
  date_->setDisplayFormat(QStringLiteral("yyyy/MM/dd"));
  row->addWidget(operators_);
  row->addWidget(value_, 1);
  row->addWidget(unit_);
  row->addWidget(date_, 1);
  layout->addLayout(row);
  value_->setVisible(kind_ != kFilterDate);
  unit_->setVisible(kind_ == kFilterSize);
  date_->setVisible(kind_ == kFilterDate);
  if (kind_ == kFilterText) {
    layout->addWidget(new QLabel(QStringLiteral("Use ? to represent any single character"), this));
    layout->addWidget(new QLabel(QStringLiteral("Use * to represent any series of characters"), this));
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &CCustomFilterDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CCustomFilterDlg::reject);
  connect(buttons, &QDialogButtonBox::helpRequested, this, [] { RequestHelpTopic(u"html\\afxcview.htm"); });
  connect(value_, &QLineEdit::textChanged, this, [this] { UpdateOk(); });
  UpdateOk();
}

void CCustomFilterDlg::UpdateOk() { ok_->setEnabled(kind_ == kFilterDate || !value_->text().isEmpty()); }

void CCustomFilterDlg::LoadCriterion(const FilterCriterion& k) {
  if (k.op >= 0 && k.op < operators_->count()) operators_->setCurrentIndex(k.op);
  if (kind_ == kFilterText) {
    value_->setText(ToQ(k.pattern));
  } else if (kind_ == kFilterSize) {
    const SizeInUnits s = SizeForDialog(k.value);
    value_->setText(QString::number(qulonglong(s.quotient)));
    unit_->setCurrentIndex(s.unit);
  } else {
    int y = 0, m = 0, d = 0;
    LocalDayOfFileTime(k.day, y, m, d);
    date_->setDate(QDate(y, m, d));
  }
  UpdateOk();
}

void CCustomFilterDlg::accept() {
  if (kind_ == kFilterSize && !SizeFromDialog(FromQ(value_->text()), unit_->currentIndex(), bytes_)) {
    // A value whose bytes do not fit is refused; the dialog stays open.
    ShowMessage(kMbIconError, u"%s", Msg(376));
    value_->setFocus();
    value_->selectAll();
    return;
  }
  QDialog::accept();
}

std::unique_ptr<FilterCriterion> CCustomFilterDlg::BuildCriterion() const {
  auto k = std::make_unique<FilterCriterion>();
  k->kind = kind_;
  k->op = operators_->currentIndex();
  if (kind_ == kFilterSize) {
    uint64_t bytes = 0;
    if (!SizeFromDialog(FromQ(value_->text()), unit_->currentIndex(), bytes)) return nullptr;
    k->SetValue(bytes);
  } else if (kind_ == kFilterDate) {
    const QDate d = date_->date();
    k->SetDay(FileTimeOfLocalDay(d.year(), d.month(), d.day()));
  } else {
    k->SetPattern(FromQ(value_->text()));
  }
  return k;
}
