#include "ui/SourceDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <functional>

#include "foundation/AppState.h"
#include "foundation/UiServices.h"
#include "platform/Format.h"
#include "storage/ImageFiles.h"
#include "storage/RDrive.h"
#include "ui/QtPrompt.h"

// "Name (*.a;*.b)|*.a;*.b|..." as the file dialog's filter.
QString QtFilter(WStringView pairs) {
  const QStringList parts = ToQ(pairs).split(QLatin1Char('|'), Qt::SkipEmptyParts);
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2)
    filters << parts[i].section(QLatin1Char('('), 0, 0).trimmed() + QStringLiteral(" (") +
                   QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) + QStringLiteral(")");
  return filters.join(QStringLiteral(";;"));
}

namespace {

QLabel* Label(const char16_t* text, QWidget* parent) { return new QLabel(ToQ(text), parent); }

QLabel* Note(const char16_t* text, QWidget* parent) {
  auto* l = Label(text, parent);
  l->setWordWrap(true);
  return l;
}

QLineEdit* ReadOnlyEdit(QWidget* parent) {
  auto* e = new QLineEdit(parent);
  e->setReadOnly(true);
  return e;
}

void FillList(QListWidget* list, size_t count, const std::function<WString(size_t)>& text, int selection) {
  const QSignalBlocker block(list);
  list->clear();
  for (size_t i = 0; i < count; i++) list->addItem(ToQ(text(i)));
  list->setCurrentRow(selection);
}

}  // namespace

// ---- volume type page ----

CAdvancedVolume::CAdvancedVolume(QWidget* parent) : CDvDialog(parent, "CAdvancedVolume", u"html\\afxc7gkk.htm") {
  using R = AdvancedVolumeRules;
  setWindowTitle(QStringLiteral(" RAID and spanned volumes"));
  auto* g = new QGridLayout(this);
  g->addWidget(Reg(Label(u"Volume &type:", this), 1439), 0, 0);
  g->addWidget(Reg(new QComboBox(this), R::kTypeCombo), 0, 1, 1, 2);
  g->addWidget(Reg(Label(u"&Number of drives:", this), R::kDisksLabel), 1, 0);
  g->addWidget(Reg(new QLineEdit(this), R::kDisksEdit), 1, 1);
  g->addWidget(Reg(Label(u"(including any missing drives)", this), R::kDisksNote), 1, 2);
  g->addWidget(Reg(Label(u"Parity &Rotation:", this), R::kRotationLabel), 2, 0);
  g->addWidget(Reg(new QComboBox(this), R::kRotationCombo), 2, 1, 1, 2);
  g->addWidget(Reg(Label(u"&Block size:", this), R::kBlockLabel), 3, 0);
  auto* block = Reg(new QComboBox(this), R::kBlockCombo);
  block->setEditable(true);
  g->addWidget(block, 3, 1);
  g->addWidget(Reg(Label(u"KB", this), R::kBlockUnit), 3, 2);
  g->addWidget(Reg(Label(u"Parity &delay:", this), R::kDelayLabel), 4, 0);
  auto* delay = Reg(new QComboBox(this), R::kDelayCombo);
  delay->setEditable(true);
  delay->addItems({QStringLiteral("1"), QStringLiteral("16")});
  g->addWidget(delay, 4, 1);
  g->addWidget(Reg(Note(u"(16 for most HP RAIDs. 1 for other brands.)", this), R::kDelayNote), 4, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* next = Reg(new QPushButton(ToQ(u"&Next >>"), this), 1);
  next->setDefault(true);
  auto* cancel = Reg(new QPushButton(CancelText(), this), 2);
  buttons->addWidget(next);
  buttons->addWidget(cancel);
  g->addLayout(buttons, 5, 0, 1, 3);
  connect(next, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(Ctl<QComboBox>(R::kTypeCombo), qOverload<int>(&QComboBox::activated), this, [this] { OnTypeChanged(); });
  for (int id : {1439, int(R::kDisksLabel), int(R::kRotationLabel), int(R::kBlockLabel), int(R::kDelayLabel)})
    Ctl<QLabel>(id)->setBuddy(Control(id == 1439 ? R::kTypeCombo : id == R::kDisksLabel ? R::kDisksEdit
                                      : id == R::kRotationLabel ? R::kRotationCombo
                                      : id == R::kBlockLabel ? R::kBlockCombo : R::kDelayCombo));
  ApplyTexts({{49, 0}, {666, 1439}, {103, R::kDisksLabel}, {105, R::kDisksNote}, {384, R::kRotationLabel},
              {21, R::kBlockLabel}, {449, R::kBlockUnit}, {25, R::kDelayLabel}, {28, R::kDelayNote}, {530, 1}, {4, 2}});
}

void CAdvancedVolume::Init() {
  if (inited_) return;
  inited_ = true;
  using R = AdvancedVolumeRules;
  auto* type = Ctl<QComboBox>(R::kTypeCombo);
  type->clear();
  for (const WString& n : rules_.TypeNames()) type->addItem(ToQ(n));
  type->setCurrentIndex(type->findText(ToQ(typeText_)));
  auto* block = Ctl<QComboBox>(R::kBlockCombo);
  block->clear();
  for (const WString& b : AdvancedVolumeRules::BlockSizeTexts()) block->addItem(ToQ(b));
  block->setCurrentIndex(-1);
  block->setEditText(QString());
  Ctl<QLineEdit>(R::kDisksEdit)->clear();
  OnTypeChanged();
}

int CAdvancedVolume::exec() {
  Init();
  return QDialog::exec();
}

void CAdvancedVolume::OnTypeChanged() {
  using R = AdvancedVolumeRules;
  typeText_ = FromQ(Ctl<QComboBox>(R::kTypeCombo)->currentText());
  rules_.SelectType(typeText_);
  auto* rotation = Ctl<QComboBox>(R::kRotationCombo);
  rotation->clear();
  for (const WString& n : AdvancedVolumeRules::RotationNames(rules_.TypeCode())) rotation->addItem(ToQ(n));
  rotation->setCurrentIndex(rotation->findText(ToQ(AdvancedVolumeRules::RotationName(rotation_))));
  Enable();
}

void CAdvancedVolume::Enable() {
  using R = AdvancedVolumeRules;
  for (int id : {R::kRotationCombo, R::kRotationLabel, R::kBlockCombo, R::kBlockLabel, R::kBlockUnit, R::kDelayCombo,
                 R::kDelayLabel, R::kDelayNote, R::kDisksEdit, R::kDisksLabel, R::kDisksNote})
    Control(id)->setEnabled(rules_.Enabled(id));
}

void CAdvancedVolume::accept() {
  using R = AdvancedVolumeRules;
  typeText_ = FromQ(Ctl<QComboBox>(R::kTypeCombo)->currentText());
  rules_.SelectType(typeText_);
  const DialogVerdict v =
      rules_.Next(FromQ(Ctl<QLineEdit>(R::kDisksEdit)->text()), FromQ(Ctl<QComboBox>(R::kBlockCombo)->currentText()),
                  FromQ(Ctl<QComboBox>(R::kDelayCombo)->currentText()),
                  FromQ(Ctl<QComboBox>(R::kRotationCombo)->currentText()), available_);
  if (!v.close) return ShowVerdict(v);
  rotation_ = rules_.rotation;
  QDialog::accept();
}

// ---- schema file page ----

COpenSchemaFile::COpenSchemaFile(QWidget* parent) : CDvDialog(parent, "COpenSchemaFile", u"html\\schmfile.htm") {
  setWindowTitle(QStringLiteral("Open RAID schema file"));
  auto* g = new QGridLayout(this);
  g->addWidget(Reg(Note(u"This function is currently available only under special arrangement.", this), 1462), 0, 0, 1, 3);
  auto* label = Reg(Label(u"RAID &schema file:", this), 1463);
  auto* edit = Reg(new QLineEdit(this), SchemaPageRules::kPathEdit);
  label->setBuddy(edit);
  g->addWidget(label, 1, 0);
  g->addWidget(edit, 1, 1);
  auto* browse = Reg(new QPushButton(ToQ(u"&Browse..."), this), 1129);
  g->addWidget(browse, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* back = Reg(new QPushButton(ToQ(u"< &Back"), this), 1452);
  auto* next = Reg(new QPushButton(ToQ(u"&Next >"), this), 1);
  next->setDefault(true);
  auto* cancel = Reg(new QPushButton(CancelText(), this), 2);
  for (QPushButton* b : {back, next, cancel}) buttons->addWidget(b);
  g->addLayout(buttons, 2, 0, 1, 3);
  connect(browse, &QPushButton::clicked, this, [this] { OnBrowse(); });
  connect(back, &QPushButton::clicked, this, [this] { OnBack(); });
  connect(next, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  ApplyTexts({{669, 0}, {670, 1462}, {671, 1463}, {443, 1129}, {667, 1452}, {530, 1}, {4, 2}});
}

void COpenSchemaFile::SetPath(WStringView path) { rules_.path = WString(path); }

void COpenSchemaFile::Init() {
  if (inited_) return;
  inited_ = true;
  if (!rules_.path.empty()) Ctl<QLineEdit>(SchemaPageRules::kPathEdit)->setText(ToQ(rules_.path));
  back = 0;
  rules_.disks = 0;
}

int COpenSchemaFile::exec() {
  Init();
  return QDialog::exec();
}

void COpenSchemaFile::OnBrowse() {
  auto* edit = Ctl<QLineEdit>(SchemaPageRules::kPathEdit);
  QString start = edit->text();
  if (start.isEmpty() && g_appState) start = ToQ(g_appState->defaultFolder);
  const QString filter = ToQ(FormatW(u"%s (*.txt);;%s (*)", EntryName(205, u"RAID schema file"), EntryName(54, u"All Files")));
  const QString path = QFileDialog::getOpenFileName(this, windowTitle(), start, filter);
  if (!path.isEmpty()) edit->setText(path);
}

void COpenSchemaFile::OnBack() {
  back = 1;
  QDialog::accept();
}

void COpenSchemaFile::accept() {
  back = 0;
  const DialogVerdict v = rules_.Next(
      FromQ(Ctl<QLineEdit>(SchemaPageRules::kPathEdit)->text()),
      [](WStringView p) { return RDrive::CountSchemaMembers(p); }, available_);
  if (!v.close) return ShowVerdict(v);
  QDialog::accept();
}

// ---- member pages ----

template <class Page>
CMemberPage<Page>::CMemberPage(QWidget* parent, const char* objectName, WStringView helpTopic)
    : CDvDialog(parent, objectName, helpTopic) {}

template <class Page>
void CMemberPage<Page>::Init() {
  rules_.Init();
  back = 0;
  WriteControls();
}

template <class Page>
int CMemberPage<Page>::exec() {
  Init();
  return QDialog::exec();
}

template <class Page>
typename CMemberPage<Page>::ListButtons CMemberPage<Page>::MakeAddRemove() {
  ListButtons b{};
  b.add = Reg(new QPushButton(ToQ(u"&Add"), this), Page::kAdd);
  b.remove = Reg(new QPushButton(ToQ(u"&Remove"), this), Page::kRemove);
  return b;
}

template <class Page>
void CMemberPage<Page>::MakeMoves(ListButtons* buttons) {
  buttons->up = Reg(new QPushButton(ToQ(u"Move &Up"), this), Page::kMoveUp);
  buttons->down = Reg(new QPushButton(ToQ(u"Move Do&wn"), this), Page::kMoveDown);
}

template <class Page>
QHBoxLayout* CMemberPage<Page>::MakeEndButtons() {
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* back = Reg(new QPushButton(ToQ(u"< &Back"), this), Page::kBack);
  auto* finish = Reg(new QPushButton(ToQ(u"&Finish"), this), Page::kFinish);
  finish->setDefault(true);
  auto* cancel = Reg(new QPushButton(CancelText(), this), 2);
  for (QPushButton* b : {back, finish, cancel}) buttons->addWidget(b);
  connect(back, &QPushButton::clicked, this, [this] { OnBack(); });
  connect(finish, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  return buttons;
}

template <class Page>
void CMemberPage<Page>::ConnectMembers(const ListButtons& buttons) {
  connect(Ctl<QComboBox>(Page::kDiskCombo), qOverload<int>(&QComboBox::activated), this,
          [this](int i) { OnDiskChanged(i); });
  connect(Ctl<QListWidget>(Page::kList), &QListWidget::currentRowChanged, this, [this](int row) {
    rules_.Select(row);
    for (int id : {Page::kRemove, Page::kMoveUp, Page::kMoveDown}) Control(id)->setEnabled(rules_.Enabled(id));
  });
  connect(buttons.add, &QPushButton::clicked, this, [this] { OnAdd(); });
  connect(buttons.remove, &QPushButton::clicked, this, [this] { OnRemove(); });
  connect(buttons.up, &QPushButton::clicked, this, [this] { OnMoveUp(); });
  connect(buttons.down, &QPushButton::clicked, this, [this] { OnMoveDown(); });
}

template <class Page>
void CMemberPage<Page>::WriteDisks() {
  auto* disks = Ctl<QComboBox>(Page::kDiskCombo);
  const QSignalBlocker block(disks);
  disks->clear();
  for (const MemberSource& s : rules_.Disks()) disks->addItem(ToQ(s.text));
  disks->setCurrentIndex(rules_.diskIndex);
}

template <class Page>
void CMemberPage<Page>::WriteList() {
  FillList(Ctl<QListWidget>(Page::kList), rules_.Lines().size(), [this](size_t i) { return rules_.LineText(i); },
           rules_.selection);
}

template <class Page>
void CMemberPage<Page>::OnDiskChanged(int index) {
  rules_.SelectDisk(index);
  WriteControls();
}

template <class Page>
void CMemberPage<Page>::OnAdd() {
  ReadBeforeAdd();
  const DialogVerdict v = rules_.Add();
  WriteControls();
  if (v.message) ShowVerdict(v);
}

template <class Page>
void CMemberPage<Page>::Change(void (Page::*change)()) {
  (rules_.*change)();
  WriteControls();
}

template <class Page>
void CMemberPage<Page>::OnRemove() { Change(&Page::Remove); }

template <class Page>
void CMemberPage<Page>::OnMoveUp() { Change(&Page::MoveUp); }

template <class Page>
void CMemberPage<Page>::OnMoveDown() { Change(&Page::MoveDown); }

template <class Page>
void CMemberPage<Page>::OnBack() {
  rules_.Back();
  back = 1;
  QDialog::accept();
}

template <class Page>
void CMemberPage<Page>::accept() {
  back = 0;
  const DialogVerdict v = rules_.Finish();
  if (!v.close) return ShowVerdict(v);
  QDialog::accept();
}

template class CMemberPage<RaidPageRules>;
template class CMemberPage<SpanPageRules>;

// ---- RAID disks page ----

CRAID::CRAID(QWidget* parent) : CMemberPage(parent, "CRAID", u"html\\afxc6fms.htm") {
  using R = RaidPageRules;
  setWindowTitle(QStringLiteral("RAID disks"));
  auto* v = new QVBoxLayout(this);
  v->addWidget(Reg(Note(u"For software-based RAID specify the disk extents in the original order. For hardware RAID "
                        u"specify the component disks in the correct order.",
                        this),
                   1005));
  auto* g = new QGridLayout;
  g->addWidget(Reg(Label(u"Physical &disk:", this), R::kDiskLabel), 0, 0);
  g->addWidget(Reg(new QComboBox(this), R::kDiskCombo), 0, 1, 1, 2);
  g->addWidget(Reg(Label(u"&Partition:", this), R::kPartitionLabel), 1, 0);
  g->addWidget(Reg(new QComboBox(this), R::kPartitionCombo), 1, 1, 1, 2);
  g->addWidget(Reg(Label(u"&First sector:", this), R::kFirstLabel), 2, 0);
  g->addWidget(Reg(new QLineEdit(this), R::kFirstEdit), 2, 1);
  ListButtons list = MakeAddRemove();
  g->addWidget(list.add, 3, 1);
  g->addWidget(list.remove, 3, 2);
  g->addWidget(Reg(Label(u"Disk extents or co&mponent disks (1st sector:last sector):", this), 1091), 4, 0, 1, 3);
  g->addWidget(Reg(new QListWidget(this), R::kList), 5, 0, 2, 2);
  MakeMoves(&list);
  g->addWidget(list.up, 5, 2);
  g->addWidget(list.down, 6, 2);
  v->addLayout(g);
  auto* size = Reg(new QGroupBox(ToQ(u"Size"), this), 1146);
  auto* sg = new QGridLayout(size);
  sg->addWidget(Reg(Label(u"For &each disk:", size), 1135), 0, 0);
  sg->addWidget(Reg(new QLineEdit(size), R::kPerDiskEdit), 0, 1);
  sg->addWidget(Reg(Label(u"MB", size), 1127), 0, 2);
  sg->addWidget(Reg(Label(u"Maximum:", size), 1126), 1, 0);
  sg->addWidget(Reg(ReadOnlyEdit(size), R::kMaximumEdit), 1, 1);
  sg->addWidget(Reg(Label(u"MB", size), 1283), 1, 2);
  sg->addWidget(Reg(Label(u"Total volume size:", size), 1136), 2, 0);
  sg->addWidget(Reg(ReadOnlyEdit(size), R::kTotalEdit), 2, 1);
  sg->addWidget(Reg(Label(u"MB", size), 1284), 2, 2);
  v->addWidget(size);
  v->addWidget(Reg(Note(u"Important notice: Incorrect disk order or first sector value will result in unusable "
                        u"recovered files.",
                        this),
                   1168));
  v->addLayout(MakeEndButtons());
  ConnectMembers(list);
  connect(Ctl<QComboBox>(R::kPartitionCombo), qOverload<int>(&QComboBox::activated), this,
          [this](int i) { OnPartitionChanged(i); });
  connect(Ctl<QLineEdit>(R::kFirstEdit), &QLineEdit::textEdited, this, [this](const QString& t) {
    rules_.FirstTyped(FromQ(t));
    Control(RaidPageRules::kAdd)->setEnabled(rules_.Enabled(RaidPageRules::kAdd));
  });
  connect(Ctl<QLineEdit>(R::kPerDiskEdit), &QLineEdit::textEdited, this, [this](const QString& t) {
    if (t.trimmed().isEmpty()) return;  // typing goes on; an empty field comes back on leaving it
    if (!rules_.PerDiskTyped(FromQ(t))) {
      ShowMessage(kMbIconError, u"%s", Msg(376));
      Ctl<QLineEdit>(RaidPageRules::kPerDiskEdit)->setText(ToQ(rules_.PerDiskText()));
    }
    WriteControls();
  });
  connect(Ctl<QLineEdit>(R::kPerDiskEdit), &QLineEdit::editingFinished, this, [this] { WriteControls(); });
  ApplyTexts({{61, 0}, {94, 1005}, {79, R::kDiskLabel}, {12, 1091}, {616, R::kPartitionLabel}, {447, R::kFirstLabel},
              {2, R::kAdd}, {27, R::kRemove}, {211, R::kMoveUp}, {166, R::kMoveDown}, {4, 2}, {93, 1146},
              {126, 1135}, {136, 1136}, {247, 1168}, {114, 1126}, {450, 1127}, {450, 1283}, {450, 1284},
              {515, R::kFinish}, {667, R::kBack}});
}

void CRAID::SetParams(int type, int memberCount, std::vector<MemberSource> sources, MemberSourceInfo* info,
                      int kept1, int kept2) {
  rules_.SetParams(type, memberCount, std::move(sources), info, kept1, kept2);
}

void CRAID::WriteControls() {
  using R = RaidPageRules;
  WriteDisks();
  auto* parts = Ctl<QComboBox>(R::kPartitionCombo);
  {
    const QSignalBlocker block(parts);
    parts->clear();
    for (const WString& t : rules_.PartitionTexts()) parts->addItem(ToQ(t));
    parts->setCurrentIndex(rules_.partitionIndex);
  }
  Ctl<QLineEdit>(R::kFirstEdit)->setText(ToQ(rules_.firstText));
  WriteList();
  auto* perDisk = Ctl<QLineEdit>(R::kPerDiskEdit);
  if (!perDisk->hasFocus() || perDisk->text().trimmed().isEmpty()) perDisk->setText(ToQ(rules_.PerDiskText()));
  Ctl<QLineEdit>(R::kMaximumEdit)->setText(ToQ(rules_.MaximumText()));
  Ctl<QLineEdit>(R::kTotalEdit)->setText(ToQ(rules_.TotalText()));
  Ctl<QPushButton>(R::kFinish)->setText(ToQ(rules_.FinishText()));
  for (int id : {R::kFinish, R::kRemove, R::kAdd, R::kDiskCombo, R::kDiskLabel, R::kFirstEdit, R::kFirstLabel,
                 R::kPartitionCombo, R::kPartitionLabel, R::kMoveUp, R::kMoveDown, R::kPerDiskEdit})
    Control(id)->setEnabled(rules_.Enabled(id));
  if (!rules_.Enabled(R::kDiskCombo)) Control(R::kList)->setFocus();
}

void CRAID::OnPartitionChanged(int index) {
  rules_.SelectPartition(index);
  WriteControls();
}

void CRAID::ReadBeforeAdd() { rules_.FirstTyped(FromQ(Ctl<QLineEdit>(RaidPageRules::kFirstEdit)->text())); }

// ---- RAID 6 generators ----

CRAID6Settings::CRAID6Settings(QWidget* parent) : CDvDialog(parent, "CRAID6Settings", u"html\\afxc6fms.htm") {
  using R = Raid6SettingsRules;
  setWindowTitle(QStringLiteral("RAID 6 generators"));
  auto* v = new QVBoxLayout(this);
  auto* formula = Reg(new QGroupBox(ToQ(u"Generator &formula"), this), 1454);
  auto* fl = new QVBoxLayout(formula);
  fl->addWidget(Reg(new QRadioButton(ToQ(u"Se&quential (1, 2, 3, 4,...)"), formula), R::kSequential));
  fl->addWidget(Reg(new QRadioButton(ToQ(u"E&xponential (1, 2, 4, 8,...)"), formula), R::kExponential));
  v->addWidget(formula);
  auto* rotation = Reg(new QGroupBox(ToQ(u"Generator &rotation"), this), 1456);
  auto* rl = new QVBoxLayout(rotation);
  rl->addWidget(Reg(new QRadioButton(ToQ(u"Rotate with &parity blocks."), rotation), R::kRotate));
  rl->addWidget(Reg(new QRadioButton(ToQ(u"&Static."), rotation), R::kStatic));
  rl->addWidget(Reg(new QCheckBox(ToQ(u"S&kip parity blocks."), rotation), R::kSkip));
  v->addWidget(rotation);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* back = Reg(new QPushButton(ToQ(u"< &Back"), this), 1452);
  auto* finish = Reg(new QPushButton(ToQ(u"&Finish"), this), 1);
  finish->setDefault(true);
  auto* cancel = Reg(new QPushButton(CancelText(), this), 2);
  for (QPushButton* b : {back, finish, cancel}) buttons->addWidget(b);
  v->addLayout(buttons);
  connect(Ctl<QRadioButton>(R::kSequential), &QRadioButton::clicked, this, [this] { rules_.SetFormula(0); });
  connect(Ctl<QRadioButton>(R::kExponential), &QRadioButton::clicked, this, [this] { rules_.SetFormula(1); });
  connect(Ctl<QRadioButton>(R::kRotate), &QRadioButton::clicked, this, [this] {
    rules_.SetStatic(false);
    WriteControls();
  });
  connect(Ctl<QRadioButton>(R::kStatic), &QRadioButton::clicked, this, [this] {
    rules_.SetStatic(true);
    WriteControls();
  });
  connect(Ctl<QCheckBox>(R::kSkip), &QCheckBox::clicked, this, [this](bool on) { rules_.SetSkip(on); });
  connect(back, &QPushButton::clicked, this, [this] { OnBack(); });
  connect(finish, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  ApplyTexts({{101, 0}, {385, 1454}, {388, R::kSequential}, {264, R::kExponential}, {387, 1456}, {230, R::kRotate},
              {74, R::kStatic}, {77, R::kSkip}, {667, 1452}, {515, 1}, {4, 2}});
}

void CRAID6Settings::Init() {
  if (inited_) return;
  inited_ = true;
  rules_.Init();
  back = 0;
  WriteControls();
}

int CRAID6Settings::exec() {
  Init();
  return QDialog::exec();
}

void CRAID6Settings::WriteControls() {
  using R = Raid6SettingsRules;
  Ctl<QRadioButton>(rules_.formula ? R::kExponential : R::kSequential)->setChecked(true);
  Ctl<QRadioButton>(rules_.staticOrder ? R::kStatic : R::kRotate)->setChecked(true);
  Ctl<QCheckBox>(R::kSkip)->setChecked(rules_.skip);
  for (int id : {R::kSkip, R::kRotate}) Control(id)->setEnabled(rules_.Enabled(id));
}

void CRAID6Settings::OnBack() {
  back = 1;
  QDialog::accept();
}

void CRAID6Settings::accept() {
  back = 0;
  QDialog::accept();
}

// ---- spanned extents ----

CSpanned::CSpanned(QWidget* parent) : CMemberPage(parent, "CSpanned", u"html\\afxc4a3o.htm") {
  using R = SpanPageRules;
  setWindowTitle(QStringLiteral("Reconstructing a Spanned Volume"));
  auto* v = new QVBoxLayout(this);
  v->addWidget(Reg(Note(u"Specify the disk extents in the correct order. ", this), 1145));
  auto* g = new QGridLayout;
  g->addWidget(Reg(Label(u"Physical &disk:", this), 1144), 0, 0);
  g->addWidget(Reg(new QComboBox(this), R::kDiskCombo), 0, 1, 1, 3);
  g->addWidget(Reg(Label(u"First &sector:", this), 1195), 1, 0);
  auto* first = Reg(new QLineEdit(this), R::kFirstEdit);
  g->addWidget(first, 1, 1);
  g->addWidget(Reg(Label(u"&Last sector:", this), 1069), 1, 2);
  auto* last = Reg(new QLineEdit(this), R::kLastEdit);
  g->addWidget(last, 1, 3);
  g->addWidget(Reg(Label(u"Maximum:", this), 1126), 2, 2);
  g->addWidget(Reg(ReadOnlyEdit(this), R::kMaximumEdit), 2, 3);
  g->addWidget(Reg(Label(u"Extent size:", this), 1125), 2, 0);
  auto* extent = new QHBoxLayout;
  extent->addWidget(Reg(ReadOnlyEdit(this), R::kExtentEdit));
  extent->addWidget(Reg(Label(u"MB", this), 1127));
  g->addLayout(extent, 2, 1);
  ListButtons list = MakeAddRemove();
  g->addWidget(list.add, 3, 1);
  g->addWidget(list.remove, 3, 2);
  g->addWidget(Reg(Label(u"Disk &extents (First sector:Last sector):", this), 1141), 4, 0, 1, 4);
  g->addWidget(Reg(new QListWidget(this), R::kList), 5, 0, 2, 3);
  MakeMoves(&list);
  g->addWidget(list.up, 5, 3);
  g->addWidget(list.down, 6, 3);
  g->addWidget(Reg(Label(u"Total volume size:", this), 1136), 7, 0);
  auto* total = new QHBoxLayout;
  total->addWidget(Reg(ReadOnlyEdit(this), R::kTotalEdit));
  total->addWidget(Reg(Label(u"MB", this), 1283));
  g->addLayout(total, 7, 1);
  v->addLayout(g);
  v->addLayout(MakeEndButtons());
  for (QLineEdit* e : {first, last})
    e->setValidator(new AcceptValidator([this](WStringView t) { return rules_.AcceptSectorText(t); }, e));
  ConnectMembers(list);
  connect(first, &QLineEdit::textEdited, this, [this](const QString& t) {
    rules_.FirstTyped(FromQ(t));
    WriteControls();
  });
  connect(last, &QLineEdit::textEdited, this, [this](const QString& t) {
    rules_.LastTyped(FromQ(t));
    WriteControls();
  });
  ApplyTexts({{23, 0}, {79, 1144}, {213, 1141}, {447, 1195}, {321, 1069}, {114, 1126}, {2, R::kAdd}, {27, R::kRemove},
              {211, R::kMoveUp}, {166, R::kMoveDown}, {515, R::kFinish}, {4, 2}, {212, 1125}, {136, 1136},
              {226, 1145}, {450, 1127}, {450, 1283}, {667, R::kBack}});
}

void CSpanned::SetSources(std::vector<MemberSource> sources, MemberSourceInfo* info) {
  rules_.SetSources(std::move(sources), info);
}

void CSpanned::WriteControls() {
  using R = SpanPageRules;
  WriteDisks();
  auto* first = Ctl<QLineEdit>(R::kFirstEdit);
  auto* last = Ctl<QLineEdit>(R::kLastEdit);
  if (first->text() != ToQ(rules_.firstText)) first->setText(ToQ(rules_.firstText));
  if (last->text() != ToQ(rules_.lastText)) last->setText(ToQ(rules_.lastText));
  Ctl<QLineEdit>(R::kMaximumEdit)->setText(ToQ(rules_.MaximumText()));
  Ctl<QLineEdit>(R::kExtentEdit)->setText(ToQ(rules_.ExtentText()));
  Ctl<QLineEdit>(R::kTotalEdit)->setText(ToQ(rules_.TotalText()));
  WriteList();
  for (int id : {R::kFinish, R::kRemove, R::kFirstEdit, R::kLastEdit, R::kAdd, R::kMoveUp, R::kMoveDown})
    Control(id)->setEnabled(rules_.Enabled(id));
}

// ---- chained images ----

CChainDskImgsDlg::CChainDskImgsDlg(QWidget* parent) : CDvDialog(parent, "CChainDskImgsDlg", u"html\\afxc3ky7.htm") {
  using R = ChainRules;
  auto* g = new QGridLayout(this);
  auto* baseLabel = Reg(new QLabel(this), R::kBaseLabel);
  auto* base = Reg(new QLineEdit(this), R::kBaseEdit);
  baseLabel->setBuddy(base);
  g->addWidget(baseLabel, 0, 0, 1, 2);
  g->addWidget(base, 1, 0);
  auto* browse = Reg(new QPushButton(this), R::kBrowse);
  g->addWidget(browse, 1, 1);
  auto* listLabel = Reg(new QLabel(this), R::kListLabel);
  auto* list = Reg(new QListWidget(this), R::kList);
  listLabel->setBuddy(list);
  g->addWidget(listLabel, 2, 0, 1, 2);
  g->addWidget(list, 3, 0, 4, 1);
  auto* add = Reg(new QPushButton(this), R::kAddLink);
  auto* up = Reg(new QPushButton(ToQ(u"Move &Up"), this), R::kMoveUp);
  auto* down = Reg(new QPushButton(ToQ(u"Move &Down"), this), R::kMoveDown);
  auto* remove = Reg(new QPushButton(ToQ(u"Re&move"), this), R::kRemove);
  g->addWidget(add, 3, 1);
  g->addWidget(up, 4, 1);
  g->addWidget(down, 5, 1);
  g->addWidget(remove, 6, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* ok = Reg(new QPushButton(OkText(), this), 1);
  ok->setDefault(true);
  auto* cancel = Reg(new QPushButton(CancelText(), this), 2);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  g->addLayout(buttons, 7, 0, 1, 2);
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString p = ChooseFile();
    if (!p.isEmpty()) SetBasePath(p);
  });
  connect(add, &QPushButton::clicked, this, [this] {
    const QString p = ChooseFile();
    if (!p.isEmpty()) AddLink(p);
  });
  connect(up, &QPushButton::clicked, this, [this] { OnMoveUp(); });
  connect(down, &QPushButton::clicked, this, [this] { OnMoveDown(); });
  connect(remove, &QPushButton::clicked, this, [this] { OnRemove(); });
  connect(list, &QListWidget::currentRowChanged, this, [this](int row) {
    rules_.Select(row);
    for (int id : {ChainRules::kRemove, ChainRules::kMoveUp, ChainRules::kMoveDown})
      Control(id)->setEnabled(rules_.Enabled(id));
  });
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CChainDskImgsDlg::Init() {
  if (inited_) return;
  inited_ = true;
  using R = ChainRules;
  setWindowTitle(ToQ(rules_.Caption()));
  Ctl<QLabel>(R::kBaseLabel)->setText(ToQ(rules_.BaseLabel()));
  Ctl<QLabel>(R::kListLabel)->setText(ToQ(rules_.ListLabel()));
  Ctl<QPushButton>(R::kBrowse)->setText(ToQ(rules_.BrowseText()));
  Ctl<QPushButton>(R::kAddLink)->setText(ToQ(rules_.AddText()));
  ApplyTexts({{rules_.Vhd() ? 624 : 623, 0}, {211, R::kMoveUp}, {166, R::kMoveDown}, {27, R::kRemove}, {14, 1}, {4, 2}});
  WriteControls();
}

int CChainDskImgsDlg::exec() {
  Init();
  return QDialog::exec();
}

QString CChainDskImgsDlg::ChooseFile() { return QFileDialog::getOpenFileName(this, QString(), QString(), QtFilter(rules_.FileFilter())); }

void CChainDskImgsDlg::SetBasePath(const QString& path) { Ctl<QLineEdit>(ChainRules::kBaseEdit)->setText(path); }

void CChainDskImgsDlg::AddLink(const QString& path) {
  rules_.AddLink(FromQ(path));
  WriteControls();
}

void CChainDskImgsDlg::WriteControls() {
  using R = ChainRules;
  FillList(Ctl<QListWidget>(R::kList), rules_.links.size(), [this](size_t i) { return rules_.links[i]; },
           rules_.selection);
  for (int id : {R::kAddLink, R::kRemove, R::kMoveUp, R::kMoveDown}) Control(id)->setEnabled(rules_.Enabled(id));
}

void CChainDskImgsDlg::OnRemove() {
  rules_.Remove();
  WriteControls();
}

void CChainDskImgsDlg::OnMoveUp() {
  rules_.MoveUp();
  WriteControls();
}

void CChainDskImgsDlg::OnMoveDown() {
  rules_.MoveDown();
  WriteControls();
}

void CChainDskImgsDlg::accept() {
  WString caption;
  const DialogVerdict v = rules_.Ok(FromQ(Ctl<QLineEdit>(ChainRules::kBaseEdit)->text()), &caption);
  if (!v.close) return ShowVerdict(v, caption);
  ChainRules::RegisterImages(rules_.definition, [](WStringView p) { theImageFiles().AddW(p); });
  QDialog::accept();
}
