#include "ui/OptionDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "foundation/SectRanges.h"
#include "foundation/UiServices.h"
#include "ui/QtPrompt.h"

namespace {

QLabel* Label(const char16_t* text, QWidget* parent) {
  auto* l = new QLabel(ToQ(text), parent);
  l->setWordWrap(false);
  return l;
}

QDialogButtonBox* OkCancel(CDvDialog* d) {
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, d);
  box->button(QDialogButtonBox::Ok)->setText(OkText());
  box->button(QDialogButtonBox::Cancel)->setText(CancelText());
  box->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("ctl1"));
  box->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("ctl2"));
  QObject::connect(box, &QDialogButtonBox::accepted, d, &QDialog::accept);
  QObject::connect(box, &QDialogButtonBox::rejected, d, &QDialog::reject);
  return box;
}

// A read-only field that shows a value.
QLineEdit* ReadOnlyEdit(QWidget* parent) {
  auto* e = new QLineEdit(parent);
  e->setReadOnly(true);
  return e;
}

}  // namespace

// ---- partial scan ----

CRange::CRange(QWidget* parent) : CDvDialog(parent, "CRange", u"html\\afxc078l.htm") {
  auto* v = new QVBoxLayout(this);
  auto* intro = Reg(Label(u"Limit the scan to a subset of files in case the computer lacks sufficient memory (RAM) "
                          u"to scan for all files at once.",
                          this),
                    1171);
  intro->setWordWrap(true);
  v->addWidget(intro);
  auto* row = new QHBoxLayout;
  row->addWidget(Reg(Label(u"Scan for &up to ", this), 1172));
  maximum_ = Reg(new QLineEdit(this), RangeRules::kMaximumEdit);
  row->addWidget(maximum_);
  row->addWidget(Reg(Label(u"files, after &skipping the first ", this), 1173));
  skip_ = Reg(new QLineEdit(this), RangeRules::kSkipEdit);
  row->addWidget(skip_);
  row->addWidget(Reg(Label(u"files.", this), 1174));
  v->addLayout(row);
  qobject_cast<QLabel*>(Control(1172))->setBuddy(maximum_);
  qobject_cast<QLabel*>(Control(1173))->setBuddy(skip_);
  v->addWidget(Reg(Label(u"Changes will apply to new scans.", this), 1170));
  auto* buttons = new QHBoxLayout;
  auto* reset = Reg(new QPushButton(ToQ(u"&Reset"), this), 3);
  connect(reset, &QPushButton::clicked, this, [this] { OnReset(); });
  buttons->addWidget(reset);
  buttons->addStretch();
  buttons->addWidget(OkCancel(this));
  v->addLayout(buttons);
  setWindowTitle(QStringLiteral("Partial Scan"));
  ApplyTexts({{357, 0}, {353, 1171}, {354, 1172}, {355, 1173}, {372, 1174}, {356, 1170}, {416, 3}, {14, 1}, {4, 2}});
}

void CRange::SetRange(int32_t skip, int32_t maximum) {
  rules_.SetRange(skip, maximum);
  maximum_->setText(ToQ(rules_.maximumText));
  skip_->setText(ToQ(rules_.skipText));
}

void CRange::OnReset() {
  rules_.Reset();
  maximum_->setText(ToQ(rules_.maximumText));
  skip_->setText(ToQ(rules_.skipText));
}

void CRange::accept() {
  const DialogVerdict v = rules_.Ok(FromQ(maximum_->text()), FromQ(skip_->text()));
  if (!v.close) return ShowVerdict(v);
  QDialog::accept();
}

// ---- sector exclusion ----

int ExclusionListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(std::min<size_t>(rules_.LineCount(), size_t(INT32_MAX)));
}

QVariant ExclusionListModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid()) return {};
  return ToQ(rules_.Line(size_t(index.row())));
}

void ExclusionListModel::Refresh() {
  beginResetModel();
  endResetModel();
}

CExclusiveRangeDlg::CExclusiveRangeDlg(QWidget* parent)
    : CDvDialog(parent, "CExclusiveRangeDlg", u"html\\afxc7jdz.htm") {
  auto* v = new QVBoxLayout(this);
  auto* intro = Reg(Label(u"Specify the sectors to exclude from the scan. Use this command to skip over 1) bad sectors "
                          u"that may cause the program to hang or 2) irrelevant sectors.",
                          this),
                    1201);
  intro->setWordWrap(true);
  v->addWidget(intro);
  auto* top = new QGridLayout;
  top->addWidget(Reg(Label(u"Drive:", this), 1208), 0, 0);
  drive_ = Reg(new QLabel(this), ExclusionRules::kDriveText);
  top->addWidget(drive_, 0, 1);
  top->addWidget(Reg(Label(u"Sector range:", this), 1146), 1, 0);
  range_ = Reg(ReadOnlyEdit(this), ExclusionRules::kRangeText);
  top->addWidget(range_, 1, 1);
  v->addLayout(top);
  auto* group = Reg(new QGroupBox(ToQ(u"Sectors to exclude"), this), 1200);
  auto* g = new QGridLayout(group);
  auto* firstLabel = Reg(Label(u"&First sector:", group), 1209);
  first_ = Reg(new QLineEdit(ToQ(u"0"), group), ExclusionRules::kFirstEdit);
  auto* lastLabel = Reg(Label(u"&Last sector:", group), 1210);
  last_ = Reg(new QLineEdit(ToQ(u"0"), group), ExclusionRules::kLastEdit);
  firstLabel->setBuddy(first_);
  lastLabel->setBuddy(last_);
  for (QLineEdit* e : {first_, last_})
    e->setValidator(new AcceptValidator([](WStringView t) { return ExclusionRules::AcceptNumberText(t); }, e));
  auto* add = Reg(new QPushButton(ToQ(u"&Add  >>"), group), ExclusionRules::kAdd);
  add->setDefault(true);
  remove_ = Reg(new QPushButton(ToQ(u"<<  &Remove"), group), ExclusionRules::kRemove);
  auto* listLabel = Reg(Label(u"E&xcluded sectors", group), 1243);
  list_ = Reg(new QListView(group), ExclusionRules::kList);
  list_->setUniformItemSizes(true);
  model_ = new ExclusionListModel(rules_, this);
  list_->setModel(model_);
  listLabel->setBuddy(list_);
  auto* load = Reg(new QPushButton(ToQ(u"L&oad file"), group), ExclusionRules::kLoadFile);
  g->addWidget(firstLabel, 0, 0);
  g->addWidget(first_, 0, 1);
  g->addWidget(lastLabel, 1, 0);
  g->addWidget(last_, 1, 1);
  g->addWidget(add, 2, 1);
  g->addWidget(remove_, 3, 1);
  g->addWidget(listLabel, 0, 2);
  g->addWidget(list_, 1, 2, 3, 1);
  g->addWidget(load, 4, 2);
  v->addWidget(group);
  v->addWidget(OkCancel(this));
  connect(add, &QPushButton::clicked, this, [this] { OnAdd(); });
  connect(remove_, &QPushButton::clicked, this, [this] { OnRemove(); });
  connect(load, &QPushButton::clicked, this, [this] { OnLoadFile(); });
  connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { UpdateRemove(); });
  ApplyTexts({{69, 0}, {406, 1201}, {399, 1208}, {398, 1146}, {417, 1200}, {447, 1209}, {321, 1210},
              {2, ExclusionRules::kAdd}, {27, ExclusionRules::kRemove}, {418, 1243}, {14, 1}, {4, 2}});
  // "&Add" and "<<  &Remove" keep the arrows of the form.
  if (!Msg(2).empty()) add->setText(ToQ(Msg(2)) + QStringLiteral("  >>"));
}

void CExclusiveRangeDlg::SetRanges(const CSectRanges* ranges) { rules_.SetRanges(ranges); }
void CExclusiveRangeDlg::SetBounds(uint64_t startByte, uint64_t endByte, uint32_t unit) {
  rules_.SetBounds(startByte, endByte, unit);
}
void CExclusiveRangeDlg::SetDriveName(WStringView name) { rules_.SetDriveName(name); }

void CExclusiveRangeDlg::Init() {
  if (inited_) return;
  inited_ = true;
  rules_.Init();
  drive_->setText(ToQ(rules_.DriveText()));
  range_->setText(ToQ(rules_.RangeText()));
  first_->setText(ToQ(rules_.firstText));
  last_->setText(ToQ(rules_.lastText));
  model_->Refresh();
  remove_->setEnabled(false);
}

int CExclusiveRangeDlg::exec() {
  Init();
  return QDialog::exec();
}

void CExclusiveRangeDlg::UpdateRemove() { remove_->setEnabled(list_->selectionModel()->hasSelection()); }

void CExclusiveRangeDlg::OnAdd() {
  const DialogVerdict v = rules_.Add(FromQ(first_->text()), FromQ(last_->text()));
  if (v.message) return ShowVerdict(v);
  model_->Refresh();
  first_->setText(ToQ(rules_.firstText));
  last_->setText(ToQ(rules_.lastText));
  first_->setFocus();
  UpdateRemove();
}

void CExclusiveRangeDlg::OnRemove() {
  const QModelIndexList sel = list_->selectionModel()->selectedIndexes();
  if (sel.isEmpty()) return;
  WString first, last;
  if (!rules_.Remove(size_t(sel.first().row()), &first, &last)) return;
  first_->setText(ToQ(first));
  last_->setText(ToQ(last));
  model_->Refresh();
  remove_->setEnabled(false);
}

void CExclusiveRangeDlg::OnLoadFile() {
  const QStringList parts = ToQ(Msg(17)).split(QLatin1Char('|'), Qt::SkipEmptyParts);
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2)
    filters << parts[i].section(QLatin1Char('('), 0, 0).trimmed() + QStringLiteral(" (") +
                   QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) + QStringLiteral(")");
  const QString path = QFileDialog::getOpenFileName(this, QString(), QString(), filters.join(QStringLiteral(";;")));
  if (!path.isEmpty()) LoadFromPath(path);
}

void CExclusiveRangeDlg::LoadFromPath(const QString& path) {
  if (!rules_.LoadFile(path.toStdString())) return;
  model_->Refresh();
  UpdateRemove();
}

void CExclusiveRangeDlg::accept() {
  result_ = rules_.TakeResult();
  QDialog::accept();
}

void CExclusiveRangeDlg::reject() {
  if (rules_.CancelAsks() && ShowMessage(kMbYesNo | kMbIconQuestion, u"%s", Msg(394)) != kIdYes) return;
  QDialog::reject();
}

// ---- volume affiliation ----

CSelectVP::CSelectVP(QWidget* parent) : CDvDialog(parent, "CSelectVP", u"html\\afxc1d0l.htm") {
  using R = AffiliationRules;
  auto* v = new QVBoxLayout(this);
  auto* intro = Reg(Label(u"Multiple volumes (or partitions) are found, possibly including defunct volumes. Files must "
                          u"be affiliated with the correct volume for successful recovery.",
                          this),
                    R::kIntro);
  intro->setWordWrap(true);
  v->addWidget(intro);
  radios_[0] = Reg(new QRadioButton(
                       ToQ(u"&Let Delvora determine volume affiliation (should be selected in almost all cases)."), this),
                   R::kProgramDecides);
  radios_[1] = Reg(new QRadioButton(ToQ(u"&Affiliate all files with:"), this), R::kChosenVolume);
  radios_[2] = Reg(new QRadioButton(ToQ(u"Affiliate all files with the &user-specified volume below: (Experts only)"), this),
                   R::kUserSpecified);
  v->addWidget(radios_[0]);
  v->addWidget(radios_[1]);
  auto* chosen = new QGridLayout;
  chosen->setColumnMinimumWidth(0, 20);
  combo_ = Reg(new QComboBox(this), R::kVolumeCombo);
  chosen->addWidget(combo_, 0, 1, 1, 3);
  override_ = Reg(new QCheckBox(ToQ(u"O&verride volume size. "), this), R::kOverrideBox);
  chosen->addWidget(override_, 1, 1, 1, 3);
  auto* note = Reg(Label(u"A larger size usually helps to recover more files, possibly including superfluous ones.", this),
                   R::kOverrideNote);
  note->setWordWrap(true);
  chosen->addWidget(note, 2, 1, 1, 3);
  auto* overLabel = Reg(Label(u"Overriding &size:", this), R::kOverrideLabel);
  auto* overEdit = Reg(new QLineEdit(this), R::kOverrideEdit);
  overLabel->setBuddy(overEdit);
  chosen->addWidget(overLabel, 3, 1);
  chosen->addWidget(overEdit, 3, 2);
  chosen->addWidget(Reg(Label(u"sectors", this), R::kOverrideDisplay), 3, 3);
  chosen->addWidget(Reg(Label(u"Maximum possible value:", this), R::kMaximumLabel), 4, 1);
  chosen->addWidget(Reg(ReadOnlyEdit(this), R::kMaximumEdit), 4, 2);
  chosen->addWidget(Reg(Label(u"sectors", this), R::kMaximumDisplay), 4, 3);
  v->addLayout(chosen);
  v->addWidget(radios_[2]);
  auto* user = new QGridLayout;
  user->setColumnMinimumWidth(0, 20);
  auto* firstLabel = Reg(Label(u"&First sector:", this), R::kFirstLabel);
  auto* first = Reg(new QLineEdit(this), R::kFirstEdit);
  auto* numberLabel = Reg(Label(u"&Number of sectors:", this), R::kNumberLabel);
  auto* number = Reg(new QLineEdit(this), R::kNumberEdit);
  firstLabel->setBuddy(first);
  numberLabel->setBuddy(number);
  user->addWidget(firstLabel, 0, 1);
  user->addWidget(first, 0, 2);
  user->addWidget(Reg(new QLabel(this), R::kOffsetDisplay), 0, 3);
  user->addWidget(numberLabel, 1, 1);
  user->addWidget(number, 1, 2);
  user->addWidget(Reg(new QLabel(this), R::kSizeDisplay), 1, 3);
  v->addLayout(user);
  v->addWidget(OkCancel(this));

  first->setValidator(new AcceptValidator([this](WStringView t) { return rules_.AcceptFirstText(t); }, first));
  number->setValidator(new AcceptValidator([this](WStringView t) { return rules_.AcceptNumberText(t); }, number));
  for (int m = 0; m < 3; m++)
    connect(radios_[m], &QRadioButton::clicked, this, [this, m] {
      rules_.SelectMode(m);
      Enable();
    });
  connect(override_, &QCheckBox::clicked, this, [this](bool on) {
    rules_.SetOverrideFlag(on);
    Enable();
  });
  connect(combo_, qOverload<int>(&QComboBox::activated), this, [this](int index) {
    rules_.SelectVolume(index);
    WriteControls();
  });
  connect(overEdit, &QLineEdit::textEdited, this, [this](const QString& t) {
    rules_.OverrideTyped(FromQ(t));
    Ctl<QLabel>(R::kOverrideDisplay)->setText(ToQ(rules_.overrideDisplay));
  });
  connect(first, &QLineEdit::textEdited, this, [this](const QString& t) {
    rules_.FirstTyped(FromQ(t));
    Ctl<QLabel>(R::kOffsetDisplay)->setText(ToQ(rules_.offsetDisplay));
  });
  connect(number, &QLineEdit::textEdited, this, [this](const QString& t) {
    rules_.NumberTyped(FromQ(t));
    Ctl<QLabel>(R::kSizeDisplay)->setText(ToQ(rules_.sizeDisplay));
  });
  ApplyTexts({{359, 0}, {349, R::kIntro}, {157, R::kProgramDecides}, {192, R::kChosenVolume}, {380, R::kOverrideBox},
              {113, R::kOverrideNote}, {371, R::kOverrideLabel}, {340, R::kMaximumLabel}, {199, R::kUserSpecified},
              {447, R::kFirstLabel}, {337, R::kNumberLabel}, {14, 1}, {4, 2}});
}

void CSelectVP::SetVolumes(std::vector<AffiliationVolume> volumes, uint32_t sectorSize, int64_t driveSectors) {
  rules_.SetVolumes(std::move(volumes), sectorSize, driveSectors);
}

void CSelectVP::SetAnswer(const AffiliationChoice& answer) { rules_.SetAnswer(answer); }

void CSelectVP::Init() {
  if (inited_) return;
  inited_ = true;
  rules_.Init();
  combo_->clear();
  for (const WString& line : rules_.ComboLines()) combo_->addItem(ToQ(line));
  radios_[rules_.mode]->setChecked(true);
  WriteControls();
}

int CSelectVP::exec() {
  Init();
  return QDialog::exec();
}

void CSelectVP::WriteControls() {
  using R = AffiliationRules;
  combo_->setCurrentIndex(rules_.comboIndex);
  override_->setChecked(rules_.overrideFlag);
  Ctl<QLineEdit>(R::kOverrideEdit)->setText(ToQ(rules_.overrideText));
  Ctl<QLabel>(R::kOverrideDisplay)->setText(ToQ(rules_.overrideDisplay));
  Ctl<QLineEdit>(R::kMaximumEdit)->setText(ToQ(rules_.maximumText));
  Ctl<QLabel>(R::kMaximumDisplay)->setText(ToQ(rules_.maximumDisplay));
  Ctl<QLineEdit>(R::kFirstEdit)->setText(ToQ(rules_.firstText));
  Ctl<QLineEdit>(R::kNumberEdit)->setText(ToQ(rules_.numberText));
  Ctl<QLabel>(R::kOffsetDisplay)->setText(ToQ(rules_.offsetDisplay));
  Ctl<QLabel>(R::kSizeDisplay)->setText(ToQ(rules_.sizeDisplay));
  Enable();
}

void CSelectVP::Enable() {
  using R = AffiliationRules;
  for (int id : {R::kFirstEdit, R::kNumberEdit, R::kOffsetDisplay, R::kSizeDisplay, R::kFirstLabel, R::kNumberLabel,
                 R::kVolumeCombo, R::kOverrideBox, R::kOverrideNote, R::kOverrideLabel, R::kOverrideDisplay,
                 R::kMaximumLabel, R::kMaximumDisplay, R::kOverrideEdit, R::kMaximumEdit})
    if (QWidget* w = Control(id)) w->setEnabled(rules_.Enabled(id));
}

void CSelectVP::accept() {
  rules_.OverrideTyped(FromQ(Ctl<QLineEdit>(AffiliationRules::kOverrideEdit)->text()));
  rules_.FirstTyped(FromQ(Ctl<QLineEdit>(AffiliationRules::kFirstEdit)->text()));
  rules_.NumberTyped(FromQ(Ctl<QLineEdit>(AffiliationRules::kNumberEdit)->text()));
  const DialogVerdict v = rules_.Ok();
  if (!v.close) return ShowVerdict(v);
  QDialog::accept();
}
