#include "ui/LookInCb.h"

#include <QKeyEvent>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QPainter>
#include <QStandardItemModel>
#include <QStyledItemDelegate>

#include "foundation/Messages.h"
#include "ui/OwnButtons.h"
#include "ui/QtPrompt.h"
#include "ui/core/ControlLook.h"

namespace {

constexpr int kHeadingMessage[CLookInCb::kGroups] = {49, 201, 339, 393, 462};

// List rows: headings bold, 5 pixels in, with a line after the text; items
// 10 pixels in.
class LookInDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const bool heading = index.data(Qt::UserRole).toInt() < 0;
    const bool selected = !heading && (option.state & QStyle::State_Selected);
    p->save();
    p->fillRect(option.rect, selected ? option.palette.highlight() : QBrush(Qt::white));
    QFont f = option.font;
    f.setBold(heading);
    p->setFont(f);
    p->setPen(selected ? option.palette.highlightedText().color() : QColor(Qt::black));
    const QString text = index.data(Qt::DisplayRole).toString();
    QRect r = option.rect.adjusted(heading ? 5 : 10, 0, 0, 0);
    p->drawText(r, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, text);
    if (heading) {
      const int x = r.left() + QFontMetrics(f).horizontalAdvance(text) + 2;
      const int y = option.rect.center().y();
      p->setPen(Qt::black);
      if (x < option.rect.right() - 1) p->drawLine(x, y, option.rect.right() - 1, y);
    }
    p->restore();
  }
};

}  // namespace

CLookInCb::CLookInCb(QWidget* parent) : QComboBox(parent) {
  setObjectName(QStringLiteral("CLookInCb"));
  setAttribute(Qt::WA_Hover, true);
  setItemDelegate(new LookInDelegate(this));
}

int CLookInCb::ItemData(int index) const {
  if (index < 0 || index >= count()) return 0;
  return itemData(index, Qt::UserRole).toInt();
}

WString CLookInCb::Source(int index) const {
  if (index < 0 || index >= count() || IsHeading(index)) return {};
  const QString s = itemData(index, kSourceRole).toString();
  return FromQ(s.isEmpty() ? itemText(index) : s);
}

int CLookInCb::FindRow(WStringView name) const {
  const QString n = ToQ(name);
  for (int i = 0; i < count(); i++) {
    if (IsHeading(i)) continue;
    const QString s = itemData(i, kSourceRole).toString();
    if (QString::compare(s.isEmpty() ? itemText(i) : s, n, Qt::CaseInsensitive) == 0) return i;
  }
  return -1;
}

int CLookInCb::AddItem(const QString& text, int group, const WString& source) {
  if (group < 0 || group >= kGroups) return -1;
  auto* model = qobject_cast<QStandardItemModel*>(this->model());
  int at = insert_[size_t(group)];
  int added = 0;
  if (count_[size_t(group)] == 0) {
    const int start = group == 0 ? 0 : insert_[size_t(group - 1)];
    at = start;
    insertItem(at, ToQ(Msg(kHeadingMessage[group])));
    setItemData(at, -(group + 1), Qt::UserRole);
    if (model) {
      QStandardItem* item = model->item(at);
      item->setFlags(item->flags() & ~(Qt::ItemIsSelectable | Qt::ItemIsEnabled));
      QFont f = item->font();
      f.setBold(true);
      item->setFont(f);
    }
    added = 1;
    at++;
  }
  insertItem(at, text);
  setItemData(at, group + 1, Qt::UserRole);
  if (!source.empty()) setItemData(at, ToQ(source), kSourceRole);
  added++;
  count_[size_t(group)]++;
  // A group with no rows has its insertion point where the next begins.
  for (int g = 0; g < kGroups; g++)
    if (g >= group) insert_[size_t(g)] += added;
  return at;
}

void CLookInCb::RemoveItem(int index) {
  if (index < 0 || index >= count()) return;
  for (int p : insert_)
    if (p == index) return;
  const int data = ItemData(index);
  int removed = 1;
  int first = index;
  removeItem(index);
  if (data > 0) {
    const int g = data - 1;
    if (--count_[size_t(g)] == 0 && index > 0 && ItemData(index - 1) == -(g + 1)) {
      removeItem(index - 1);
      removed = 2;
      first = index - 1;
    }
  }
  for (int& p : insert_)
    if (p > first) p -= removed;
}

void CLookInCb::RemoveDriveRows() {
  for (int i = count() - 1; i >= 0; i--) {
    const int d = ItemData(i);
    if (d == 3 || d == 4) RemoveItem(i);
  }
}

void CLookInCb::keyPressEvent(QKeyEvent* event) {
  // Arrows step over the headings, which are never chosen.
  if (event->key() == Qt::Key_Down || event->key() == Qt::Key_Up) {
    const int dir = event->key() == Qt::Key_Down ? 1 : -1;
    int i = currentIndex() + dir;
    while (i >= 0 && i < count() && IsHeading(i)) i += dir;
    if (i >= 0 && i < count() && i != currentIndex()) {
      setCurrentIndex(i);
      emit activated(i);
    }
    return;
  }
  QComboBox::keyPressEvent(event);
}

// ---- the closed face ----

void CLookInCb::showPopup() {
  listOpen_ = true;
  QComboBox::showPopup();
  update();
}

void CLookInCb::hidePopup() {
  QComboBox::hidePopup();
  listOpen_ = false;
  pressed_ = false;
  update();
}

void CLookInCb::enterEvent(QEnterEvent* event) {
  QComboBox::enterEvent(event);
  if (!hot_) {
    hot_ = true;
    update();
  }
}

void CLookInCb::leaveEvent(QEvent* event) {
  QComboBox::leaveEvent(event);
  if (hot_) {
    hot_ = false;
    update();
  }
}

void CLookInCb::mousePressEvent(QMouseEvent* event) {
  pressed_ = true;
  update();
  QComboBox::mousePressEvent(event);
}

void CLookInCb::mouseReleaseEvent(QMouseEvent* event) {
  pressed_ = false;
  update();
  QComboBox::mouseReleaseEvent(event);
}

void CLookInCb::paintEvent(QPaintEvent*) {
  QStylePainter p(this);
  QStyle* st = OwnStyle(this);
  const bool disabled = !isEnabled();
  lastFaceState_ = LookInFaceState(disabled, pressed_ || listOpen_, hot_);
  lastFaceFocus_ = LookInShowsFocus(hasFocus(), listOpen_);
  QStyleOptionComboBox o;
  initStyleOption(&o);
  o.state &= ~(QStyle::State_MouseOver | QStyle::State_Sunken | QStyle::State_HasFocus | QStyle::State_On);
  if (lastFaceState_ == 2) o.state |= QStyle::State_MouseOver;
  if (lastFaceState_ == 3) o.state |= QStyle::State_Sunken | QStyle::State_On;
  if (lastFaceFocus_) o.state |= QStyle::State_HasFocus;
  o.currentText.clear();
  o.currentIcon = QIcon();
  st->drawComplexControl(QStyle::CC_ComboBox, &o, &p, this);
  // Only an item shows; a heading or no selection leaves the field empty.
  const int sel = currentIndex();
  lastFaceText_ = LookInShowsText(sel, ItemData(sel)) ? itemText(sel) : QString();
  if (lastFaceText_.isEmpty()) return;
  const QRect field = st->subControlRect(QStyle::CC_ComboBox, &o, QStyle::SC_ComboBoxEditField, this);
  const QRect inner = field.adjusted(1, 1, -1, -1);
  const FaceColour c = LookInTextColour(lastFaceFocus_, !disabled);
  if (lastFaceFocus_) p.fillRect(inner, palette().highlight());
  p.setPen(c == FaceColour::kHighlightText ? palette().color(QPalette::HighlightedText)
           : c == FaceColour::kWindowText  ? palette().color(QPalette::Text)
                                           : palette().color(QPalette::Disabled, QPalette::Text));
  const QRect text = QRect(std::max(inner.left(), 13) - 10 + 4, inner.top(), inner.width() - 4, inner.height());
  p.drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
             fontMetrics().elidedText(lastFaceText_, Qt::ElideRight, text.width()));
  if (lastFaceFocus_) {
    QStyleOptionFocusRect fo;
    fo.initFrom(this);
    fo.rect = inner;
    st->drawPrimitive(QStyle::PE_FrameFocusRect, &fo, &p, this);
  }
}
