#include "ui/ChkCbBox.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QStandardItemModel>
#include <QStyledItemDelegate>

#include "resources/Skins.h"
#include "ui/QtPrompt.h"

namespace {

// A line: the check picture at (2, 4), the text from x 11 with a blank in
// front, highlighted under the pointer.
class CheckLineDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    const bool selected = option.state & (QStyle::State_Selected | QStyle::State_MouseOver);
    p->save();
    p->fillRect(option.rect, option.palette.base());
    p->drawPixmap(option.rect.left() + 2, option.rect.top() + 4, dvres::CheckPicture(checked ? 0 : 1));
    const QRect tr = option.rect.adjusted(11, 0, 0, 0);
    p->fillRect(tr, selected ? option.palette.highlight() : option.palette.base());
    p->setPen(selected ? option.palette.highlightedText().color() : option.palette.text().color());
    const QString text = QLatin1Char(' ') + index.data(Qt::DisplayRole).toString();
    p->drawText(tr, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                option.fontMetrics.elidedText(text, Qt::ElideRight, tr.width()));
    p->restore();
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(option.fontMetrics.height() + 2);
    return s;
  }
};

}  // namespace

CMBChkCbBox::CMBChkCbBox(QWidget* parent) : QComboBox(parent) {
  setObjectName(QStringLiteral("CMBChkCbBox"));
  setEditable(true);
  setInsertPolicy(QComboBox::NoInsert);
  // Typing never picks a line.
  setCompleter(nullptr);
  items_ = new QStandardItemModel(this);
  setModel(items_);
  setItemDelegate(new CheckLineDelegate(this));
  view()->viewport()->installEventFilter(this);
  view()->installEventFilter(this);
  connect(lineEdit(), &QLineEdit::textEdited, this, [this](const QString&) { textChanged_ = true; });
}

void CMBChkCbBox::AddLine(const QString& text, const WString& extension) {
  std::vector<bool> checks;
  for (size_t i = 0; i < model_.LineCount(); i++) checks.push_back(model_.Checked(i));
  const QString keep = lineEdit()->text();
  auto* item = new QStandardItem(text);
  item->setData(ToQ(extension), Qt::UserRole);
  item->setFlags(Qt::ItemIsEnabled);
  items_->appendRow(item);
  std::vector<WString> ext;
  for (int i = 0; i < items_->rowCount(); i++) ext.push_back(FromQ(items_->item(i)->data(Qt::UserRole).toString()));
  model_.SetLines(std::move(ext));
  for (size_t i = 0; i < checks.size(); i++) model_.SetChecked(i, checks[i]);
  model_.SetText(FromQ(keep));
  SyncChecks();
  // The first line added becomes current on its own: the text stays.
  putting_ = true;
  setCurrentIndex(-1);
  lineEdit()->setText(keep);
  putting_ = false;
}

void CMBChkCbBox::ClearLines() {
  items_->clear();
  model_.SetLines({});
}

void CMBChkCbBox::PutText() {
  putting_ = true;
  setCurrentIndex(-1);
  lineEdit()->setText(ToQ(model_.Text()));
  putting_ = false;
}

void CMBChkCbBox::SyncChecks() {
  for (int i = 0; i < items_->rowCount(); i++)
    items_->item(i)->setData(model_.Checked(size_t(i)) ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
  view()->viewport()->update();
}

void CMBChkCbBox::SetAll(bool checked) {
  model_.SetAll(checked);
  SyncChecks();
  PutText();
}

WString CMBChkCbBox::Text() const { return TidyLookForText(FromQ(lineEdit()->text())); }

void CMBChkCbBox::SetText(WStringView text) {
  model_.SetText(text);
  textChanged_ = true;
  PutText();
}

void CMBChkCbBox::Split() {
  if (!textChanged_) return;
  split_ = SplitLookForText(FromQ(lineEdit()->text()));
  textChanged_ = false;
}

WString CMBChkCbBox::NamePatterns() {
  Split();
  return split_.names;
}

WString CMBChkCbBox::FolderPatterns() {
  Split();
  return ScanFolderPatterns(split_);
}

bool CMBChkCbBox::SetTextChanged(bool changed) {
  const bool was = textChanged_;
  textChanged_ = changed;
  return was;
}

void CMBChkCbBox::ToggleLine(int line) {
  if (line < 0 || line >= items_->rowCount()) return;
  textChanged_ = true;
  model_.SetText(FromQ(lineEdit()->text()));
  model_.Toggle(size_t(line));
  SyncChecks();
  PutText();
}

void CMBChkCbBox::showPopup() {
  model_.SetText(FromQ(lineEdit()->text()));
  model_.DropDown();
  SyncChecks();
  PutText();
  open_ = true;
  QComboBox::showPopup();
  // No line is current: the pointer alone highlights.
  view()->setCurrentIndex(QModelIndex());
}

void CMBChkCbBox::hidePopup() {
  open_ = false;
  QComboBox::hidePopup();
  PutText();
}

bool CMBChkCbBox::eventFilter(QObject* watched, QEvent* event) {
  if (watched == view()->viewport()) {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick: {
        auto* me = static_cast<QMouseEvent*>(event);
        const QModelIndex index = view()->indexAt(me->position().toPoint());
        if (index.isValid()) {
          ToggleLine(index.row());
          emit activated(index.row());
        }
        return true;
      }
      case QEvent::MouseButtonRelease:
        // Eaten: a click never selects a line or closes the list.
        return true;
      default:
        break;
    }
  }
  if (watched == view() && event->type() == QEvent::KeyPress) {
    const int k = static_cast<QKeyEvent*>(event)->key();
    if (k == Qt::Key_Up || k == Qt::Key_Down || k == Qt::Key_PageUp || k == Qt::Key_PageDown) return true;
  }
  return QComboBox::eventFilter(watched, event);
}

void CMBChkCbBox::focusOutEvent(QFocusEvent* e) {
  QComboBox::focusOutEvent(e);
  // The list taking the focus is not the box losing it.
  if (e->reason() == Qt::PopupFocusReason || open_) return;
  model_.SetText(FromQ(lineEdit()->text()));
  model_.Tidy();
  PutText();
  QMetaObject::invokeMethod(this, [this] { emit lookForChanged(); }, Qt::QueuedConnection);
}

void CMBChkCbBox::keyPressEvent(QKeyEvent* e) {
  const int k = e->key();
  if (!open_ && (k == Qt::Key_Up || k == Qt::Key_Down || k == Qt::Key_PageUp || k == Qt::Key_PageDown) &&
      !(e->modifiers() & Qt::AltModifier)) {
    e->accept();
    return;
  }
  QComboBox::keyPressEvent(e);
}

void CMBChkCbBox::wheelEvent(QWheelEvent* e) {
  if (!open_) {
    e->accept();
    return;
  }
  QComboBox::wheelEvent(e);
}
