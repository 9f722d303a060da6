#include "ui/VolumeDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <QVBoxLayout>

#include "storage/Drive.h"
#include "ui/PromptDialogs.h"
#include "ui/QtPrompt.h"
#include "volumes/Volume.h"

namespace {

QLabel* Label(const char16_t* text, QWidget* parent) { return new QLabel(ToQ(text), parent); }

QDialogButtonBox* OkCancel(CDvDialog* d) {
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, d);
  box->button(QDialogButtonBox::Ok)->setText(OkText());
  box->button(QDialogButtonBox::Cancel)->setText(CancelText());
  QObject::connect(box, &QDialogButtonBox::accepted, d, &QDialog::accept);
  QObject::connect(box, &QDialogButtonBox::rejected, d, &QDialog::reject);
  return box;
}

// The row's state picture: 3 checked, 2 unchecked (16 x 16).
QIcon StatePicture(QWidget* w, bool checked) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  QStyleOptionButton o;
  o.initFrom(w);
  o.rect = QRect(2, 2, 12, 12);
  o.state = QStyle::State_Enabled | (checked ? QStyle::State_On : QStyle::State_Off);
  w->style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &o, &p, w);
  return QIcon(pm);
}

}  // namespace

// ---- read boot ----

CReadBoot::CReadBoot(QWidget* parent) : CDvDialog(parent, "CReadBoot", u"html\\afxcrb01.htm") {
  using R = ReadBootRules;
  setWindowTitle(QStringLiteral("Read boot sector"));
  auto* g = new QGridLayout(this);
  auto* drive = Reg(new QRadioButton(ToQ(u"Read from the current drive."), this), R::kDriveRadio);
  auto* sectorLabel = Reg(Label(u"Sector number :", this), R::kSectorLabel);
  auto* sector = Reg(new QLineEdit(this), R::kSectorEdit);
  sectorLabel->setBuddy(sector);
  auto* file = Reg(new QRadioButton(ToQ(u"Read from a file."), this), R::kFileRadio);
  auto* path = Reg(new QLineEdit(this), R::kFileEdit);
  auto* browse = Reg(new QPushButton(ToQ(u"Browse"), this), R::kBrowse);
  g->addWidget(drive, 0, 0, 1, 3);
  g->addWidget(sectorLabel, 1, 1);
  g->addWidget(sector, 1, 2);
  g->addWidget(file, 2, 0, 1, 3);
  g->addWidget(path, 3, 1, 1, 2);
  g->addWidget(browse, 3, 3);
  g->setColumnMinimumWidth(0, 20);
  g->addWidget(OkCancel(this), 4, 0, 1, 4);
  connect(drive, &QRadioButton::clicked, this, [this] { SetFromDrive(true); });
  connect(file, &QRadioButton::clicked, this, [this] { SetFromDrive(false); });
  connect(browse, &QPushButton::clicked, this, [this] { OnBrowse(); });
  ApplyTexts({{569, 0}, {578, R::kDriveRadio}, {579, R::kSectorLabel}, {580, R::kFileRadio}, {3, R::kBrowse}});
}

void CReadBoot::Init() {
  if (inited_) return;
  inited_ = true;
  rules_.Init();
  Ctl<QLineEdit>(ReadBootRules::kSectorEdit)->setText(ToQ(rules_.sectorText));
  SetFromDrive(true);
  Control(ReadBootRules::kSectorEdit)->setFocus();
}

int CReadBoot::exec() {
  Init();
  return QDialog::exec();
}

void CReadBoot::SetFromDrive(bool on) {
  rules_.SetFromDrive(on);
  Ctl<QRadioButton>(on ? ReadBootRules::kDriveRadio : ReadBootRules::kFileRadio)->setChecked(true);
  Enable();
}

void CReadBoot::Enable() {
  for (int id : {ReadBootRules::kSectorEdit, ReadBootRules::kSectorLabel, ReadBootRules::kFileEdit,
                 ReadBootRules::kBrowse})
    Control(id)->setEnabled(rules_.Enabled(id));
}

void CReadBoot::OnBrowse() {
  const QString path = QFileDialog::getOpenFileName(this);
  if (!path.isEmpty()) Ctl<QLineEdit>(ReadBootRules::kFileEdit)->setText(path);
}

void CReadBoot::accept() {
  result_ = rules_.Ok(FromQ(Ctl<QLineEdit>(ReadBootRules::kSectorEdit)->text()),
                      FromQ(Ctl<QLineEdit>(ReadBootRules::kFileEdit)->text()));
  QDialog::accept();
}

// ---- volume properties ----

CVolProp::CVolProp(CVol** slot, bool editMode, Drive* drive, QWidget* parent, VolumeMaker* maker)
    : CDvDialog(parent, "CVolProp", u"html\\afxc1d0x.htm"),
      rules_(slot, editMode, maker ? *maker : TheVolumeMaker(), drive) {
  using R = VolPropRules;
  setWindowTitle(QStringLiteral("Dialog"));
  auto* v = new QVBoxLayout(this);
  auto* top = new QGridLayout;
  top->addWidget(Reg(Label(u"File system :", this), 1389), 0, 0);
  top->addWidget(Reg(new QComboBox(this), R::kFsCombo), 0, 1, 1, 2);
  top->addWidget(Reg(Label(u"Capacity :", this), 1396), 1, 0);
  top->addWidget(Reg(new QLineEdit(this), R::kCapacityEdit), 1, 1);
  top->addWidget(Reg(new QLabel(this), R::kCapacityDisplay), 1, 2);
  top->addWidget(Reg(Label(u"Starting sector :", this), 1390), 2, 0);
  top->addWidget(Reg(new QLineEdit(this), R::kStartEdit), 2, 1);
  top->addWidget(Reg(new QLabel(this), R::kOffsetDisplay), 2, 2);
  v->addLayout(top);
  auto* size = Reg(new QGroupBox(ToQ(u"Size"), this), 1146);
  auto* sg = new QGridLayout(size);
  sg->addWidget(Reg(Label(u"Sector :", size), 1391), 0, 0);
  sg->addWidget(Reg(new QComboBox(size), R::kSectorCombo), 0, 1);
  sg->addWidget(Reg(Label(u"Cluster :", size), R::kClusterLabel), 0, 2);
  sg->addWidget(Reg(new QComboBox(size), R::kClusterCombo), 0, 3);
  v->addWidget(size);
  auto* settings = Reg(new QGroupBox(ToQ(u"File system settings"), this), 1402);
  auto* fg = new QGridLayout(settings);
  for (int r = 0; r < R::kRowCount; r++) {
    fg->addWidget(Reg(new QLabel(settings), R::kRowLabels[size_t(r)]), r, 0);
    auto* e = Reg(new QLineEdit(settings), R::kRowEdits[size_t(r)]);
    fg->addWidget(e, r, 1);
    connect(e, &QLineEdit::textEdited, this, [this, r](const QString& t) { rules_.RowTyped(r, FromQ(t)); });
  }
  v->addWidget(settings);
  v->addWidget(Reg(new QCheckBox(ToQ(u"I know the boot sector location.\n (Experts only)"), this), R::kBootBox));
  auto* note = Reg(Label(u"Note: The settings are internal to Delvora. No actual changes are made on the hard drive.", this),
                   R::kNote);
  note->setWordWrap(true);
  v->addWidget(note);
  auto* box = OkCancel(this);
  Reg(box->button(QDialogButtonBox::Ok), 1);
  Reg(box->button(QDialogButtonBox::Cancel), 2);
  v->addWidget(box);
  connect(Ctl<QComboBox>(R::kFsCombo), qOverload<int>(&QComboBox::activated), this,
          [this](int i) { OnFileSystemChanged(i); });
  connect(Ctl<QCheckBox>(R::kBootBox), &QCheckBox::clicked, this, [this](bool on) { OnBootBox(on); });
  connect(Ctl<QLineEdit>(R::kStartEdit), &QLineEdit::textEdited, this, [this](const QString& t) {
    rules_.StartTyped(FromQ(t));
    Ctl<QLabel>(VolPropRules::kOffsetDisplay)->setText(ToQ(rules_.offsetDisplay));
    Control(VolPropRules::kBootBox)->setEnabled(rules_.bootBoxEnabled);
  });
  connect(Ctl<QLineEdit>(R::kCapacityEdit), &QLineEdit::textEdited, this, [this](const QString& t) {
    rules_.CapacityTyped(FromQ(t));
    Ctl<QLabel>(VolPropRules::kCapacityDisplay)->setText(ToQ(rules_.capacityDisplay));
  });
  ApplyTexts({{271, 0}, {115, 1389}, {132, 1396}, {311, 1390}, {93, 1146}, {389, 1391}, {599, R::kClusterLabel},
              {390, 1402}, {577, R::kBootBox}, {584, R::kNote}, {14, 1}, {4, 2}});
}

void CVolProp::Init() {
  if (inited_) return;
  inited_ = true;
  rules_.Init();
  WriteControls();
}

int CVolProp::exec() {
  Init();
  return QDialog::exec();
}

void CVolProp::WriteControls() {
  using R = VolPropRules;
  setWindowTitle(ToQ(rules_.caption));
  const bool ro = rules_.EditsReadOnly();
  auto fill = [](QComboBox* c, const std::vector<WString>& items, int index) {
    const QSignalBlocker block(c);
    c->clear();
    for (const WString& s : items) c->addItem(ToQ(s));
    c->setCurrentIndex(index);
  };
  fill(Ctl<QComboBox>(R::kFsCombo), rules_.fileSystems, rules_.fileSystemIndex);
  int sector = -1;
  for (size_t i = 0; i < rules_.sectorSizes.size(); i++)
    if (rules_.sectorSizes[i] == rules_.sectorText) sector = int(i);
  fill(Ctl<QComboBox>(R::kSectorCombo), rules_.sectorSizes, sector);
  fill(Ctl<QComboBox>(R::kClusterCombo), rules_.clusterSizes, rules_.clusterIndex);
  Ctl<QLineEdit>(R::kCapacityEdit)->setText(ToQ(rules_.capacityText));
  Ctl<QLineEdit>(R::kCapacityEdit)->setReadOnly(ro);
  Ctl<QLabel>(R::kCapacityDisplay)->setText(ToQ(rules_.capacityDisplay));
  Ctl<QLineEdit>(R::kStartEdit)->setText(ToQ(rules_.startText));
  Ctl<QLineEdit>(R::kStartEdit)->setReadOnly(ro);
  Ctl<QLabel>(R::kOffsetDisplay)->setText(ToQ(rules_.offsetDisplay));
  Ctl<QLabel>(R::kClusterLabel)->setText(ToQ(rules_.clusterLabel));
  for (int r = 0; r < R::kRowCount; r++) {
    auto* label = Ctl<QLabel>(R::kRowLabels[size_t(r)]);
    auto* edit = Ctl<QLineEdit>(R::kRowEdits[size_t(r)]);
    label->setText(ToQ(rules_.rowLabels[size_t(r)]));
    edit->setText(ToQ(rules_.rowTexts[size_t(r)]));
    edit->setReadOnly(rules_.rowReadOnly[size_t(r)]);
    label->setVisible(rules_.rowShown[size_t(r)]);
    edit->setVisible(rules_.rowShown[size_t(r)]);
  }
  auto* boot = Ctl<QCheckBox>(R::kBootBox);
  boot->setVisible(rules_.EditMode());
  boot->setEnabled(rules_.bootBoxEnabled);
  boot->setChecked(rules_.bootChecked);
  Control(R::kNote)->setVisible(rules_.EditMode());
  auto* ok = Ctl<QPushButton>(1);
  ok->setVisible(rules_.okShown);
  ok->setEnabled(rules_.okEnabled);
  if (!rules_.okText.empty()) ok->setText(ToQ(rules_.okText));
  Ctl<QPushButton>(2)->setText(ToQ(rules_.cancelText));
}

void CVolProp::ReadControls() {
  using R = VolPropRules;
  rules_.SectorChosen(FromQ(Ctl<QComboBox>(R::kSectorCombo)->currentText()));
  rules_.ClusterChosen(FromQ(Ctl<QComboBox>(R::kClusterCombo)->currentText()));
  rules_.StartTyped(FromQ(Ctl<QLineEdit>(R::kStartEdit)->text()));
  rules_.CapacityTyped(FromQ(Ctl<QLineEdit>(R::kCapacityEdit)->text()));
  for (int r = 0; r < R::kRowCount; r++)
    rules_.RowTyped(r, FromQ(Ctl<QLineEdit>(R::kRowEdits[size_t(r)])->text()));
}

void CVolProp::OnFileSystemChanged(int index) {
  ReadControls();
  rules_.FileSystemChanged(index);
  WriteControls();
}

void CVolProp::OnBootBox(bool checked) {
  if (!checked) return;
  ReadControls();
  CReadBoot dlg(this);
  dlg.SetSector(rules_.DefaultBootSector());
  if (RunDialog(dlg) != QDialog::Accepted) {
    Ctl<QCheckBox>(VolPropRules::kBootBox)->setChecked(false);
    return;
  }
  const DialogVerdict v = rules_.ReadBoot(dlg.Result());
  WriteControls();
  if (v.message) ShowVerdict(v);
}

void CVolProp::accept() {
  ReadControls();
  const DialogVerdict v = rules_.Ok();
  if (!v.close) return ShowVerdict(v);
  QDialog::accept();
}

// ---- volume choice ----

CBootSect::CBootSect(Drive& drive, QWidget* parent, VolumeMaker* maker)
    : CDvDialog(parent, "CBootSect", u"html\\afxc09wy.htm"), rules_(drive, maker ? *maker : TheVolumeMaker()) {
  setWindowTitle(QStringLiteral("Choose volumes"));
  auto* v = new QVBoxLayout(this);
  hint_ = Reg(Label(u"Check the volumes to scan.", this), BootSectRules::kHint);
  hint_->setWordWrap(true);
  v->addWidget(hint_);
  list_ = Reg(new QListWidget(this), BootSectRules::kList);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setIconSize(QSize(16, 16));
  list_->setMinimumWidth(460);
  list_->viewport()->installEventFilter(this);
  list_->installEventFilter(this);
  v->addWidget(list_);
  v->addWidget(OkCancel(this));
  ApplyTexts({{153, 0}, {14, 1}, {4, 2}});
}

void CBootSect::Init() {
  if (inited_) return;
  inited_ = true;
  rules_.Init();
  hint_->setText(ToQ(rules_.HintText()));
  Fill();
}

int CBootSect::exec() {
  Init();
  return QDialog::exec();
}

void CBootSect::Fill() {
  const QSignalBlocker block(list_);
  list_->clear();
  for (size_t i = 0; i < rules_.RowCount(); i++) {
    auto* item = new QListWidgetItem(StatePicture(list_, rules_.RowAt(i).checked), ToQ(rules_.RowText(i)), list_);
    item->setData(Qt::UserRole, rules_.RowAt(i).partition);
    item->setData(Qt::UserRole + 1, rules_.RowAt(i).checked ? 3 : 2);
  }
  if (rules_.selection >= 0 && rules_.selection < list_->count()) {
    list_->setCurrentRow(rules_.selection);
    list_->scrollToItem(list_->item(rules_.selection));
  }
}

void CBootSect::OnToggle(int row) {
  if (row < 0 || size_t(row) >= rules_.RowCount()) return;
  const bool open = rules_.Toggle(size_t(row));
  Fill();
  if (open) OpenProperties(row);
}

void CBootSect::OnOpen(int row) {
  if (row < 0 || size_t(row) >= rules_.RowCount()) return;
  rules_.selection = row;
  OpenProperties(row);
}

void CBootSect::OpenProperties(int row) {
  CVol** slot = rules_.VolumeSlot(size_t(row));
  if (!slot || !*slot) return;
  Drive* drive = (*slot)->drive;
  CVolProp dlg(slot, rules_.EditsRow(size_t(row)), drive, this);
  const bool accepted = RunDialog(dlg) == QDialog::Accepted;
  const DialogVerdict v = rules_.PropertiesClosed(size_t(row), accepted);
  Fill();
  if (v.message) ShowVerdict(v);
}

std::unique_ptr<QMenu> CBootSect::MakeContextMenu() {
  auto menu = std::make_unique<QMenu>(this);
  QAction* props = menu->addAction(ToQ(rules_.PropertiesItemText()));
  props->setData(BootSectRules::kCommandProperties);
  props->setEnabled(rules_.PropertiesItemEnabled());
  QAction* add = menu->addAction(ToQ(rules_.AddItemText()));
  add->setData(BootSectRules::kCommandAdd);
  add->setEnabled(rules_.AddItemEnabled());
  return menu;
}

void CBootSect::OnContextCommand(int command) {
  if (command == BootSectRules::kCommandProperties && rules_.PropertiesItemEnabled()) {
    OnOpen(rules_.selection);
  } else if (command == BootSectRules::kCommandAdd && rules_.AddItemEnabled()) {
    rules_.AddNewRow();
    Fill();
  }
}

bool CBootSect::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_->viewport()) {
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
      auto* me = static_cast<QMouseEvent*>(event);
      QListWidgetItem* item = list_->itemAt(me->position().toPoint());
      if (me->button() == Qt::LeftButton && item) {
        const int row = list_->row(item);
        const QRect r = list_->visualItemRect(item);
        const QPoint at = me->position().toPoint() - r.topLeft();
        rules_.selection = row;
        list_->setCurrentRow(row);
        if (BootSectRules::OnCheckPicture(at.x(), at.y())) {
          if (event->type() == QEvent::MouseButtonPress) OnToggle(row);
          return true;
        }
        if (event->type() == QEvent::MouseButtonDblClick) {
          OnOpen(row);
          return true;
        }
      }
    }
    if (event->type() == QEvent::ContextMenu) {
      auto* ce = static_cast<QContextMenuEvent*>(event);
      rules_.selection = list_->currentRow();
      std::unique_ptr<QMenu> menu = MakeContextMenu();
      QPoint at = ce->globalPos();
      if (ce->reason() == QContextMenuEvent::Keyboard) {
        QListWidgetItem* cur = list_->currentItem();
        const QPoint local = cur ? list_->visualItemRect(cur).bottomLeft() : QPoint(0, list_->viewport()->height() / 2);
        at = list_->viewport()->mapToGlobal(local);
      }
      if (QAction* chosen = menu->exec(at)) OnContextCommand(chosen->data().toInt());
      return true;
    }
  }
  if (watched == list_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space) {
    OnToggle(list_->currentRow());
    return true;
  }
  return CDvDialog::eventFilter(watched, event);
}

void CBootSect::accept() {
  rules_.Ok();
  QDialog::accept();
}
