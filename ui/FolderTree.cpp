#include "ui/FolderTree.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include "resources/Icons.h"
#include "ui/MyListCtrl.h"
#include "ui/QtPrompt.h"
#include "ui/core/Activity.h"
#include "ui/core/FolderIndex.h"

namespace {

class TreeDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void Init(QStyleOptionViewItem* option, const QModelIndex& index) const { initStyleOption(option, index); }
};

}  // namespace

// ---- model ----

CFolderTreeModel::CFolderTreeModel(CMyListCtrl* list, QObject* parent) : QAbstractItemModel(parent), list_(list) {}

void CFolderTreeModel::Replace(const std::function<void()>& change) {
  beginResetModel();
  change();
  endResetModel();
}

uint32_t CFolderTreeModel::FolderRowOf(const QModelIndex& index) const {
  const FolderIndex* f = list_->Folders();
  if (!index.isValid() || !f || index.internalId() >= f->Count()) return kNoFolderRow;
  return uint32_t(index.internalId());
}

QModelIndex CFolderTreeModel::IndexOfFolderRow(uint32_t folderRow) const {
  const FolderIndex* f = list_->Folders();
  if (!f || folderRow >= f->Count() || !f->At(folderRow).treeItem) return {};
  return createIndex(int(f->TreeOrdinal(folderRow)), 0, quintptr(folderRow));
}

QModelIndex CFolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
  const FolderIndex* f = list_->Folders();
  if (!f || row < 0 || column != 0) return {};
  if (!parent.isValid()) {
    if (size_t(row) >= f->Roots().size()) return {};
    return createIndex(row, 0, quintptr(f->Roots()[size_t(row)]));
  }
  const uint32_t p = FolderRowOf(parent);
  if (p == kNoFolderRow || uint32_t(row) >= f->TreeChildCount(p)) return {};
  return createIndex(row, 0, quintptr(f->TreeChild(p, uint32_t(row))));
}

QModelIndex CFolderTreeModel::parent(const QModelIndex& child) const {
  const uint32_t r = FolderRowOf(child);
  if (r == kNoFolderRow) return {};
  const FolderIndex* f = list_->Folders();
  const uint32_t p = f->Parent(r);
  if (p == kNoFolderRow) return {};
  return createIndex(int(f->TreeOrdinal(p)), 0, quintptr(p));
}

int CFolderTreeModel::rowCount(const QModelIndex& parent) const {
  const FolderIndex* f = list_->Folders();
  if (!f) return 0;
  if (!parent.isValid()) return int(f->Roots().size());
  if (parent.column() != 0) return 0;
  const uint32_t p = FolderRowOf(parent);
  return p == kNoFolderRow ? 0 : int(f->TreeChildCount(p));
}

int CFolderTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool CFolderTreeModel::hasChildren(const QModelIndex& parent) const { return rowCount(parent) > 0; }

QVariant CFolderTreeModel::data(const QModelIndex& index, int role) const {
  const uint32_t r = FolderRowOf(index);
  if (r == kNoFolderRow) return {};
  const FolderIndex* f = list_->Folders();
  const FolderRow& row = f->At(r);
  switch (role) {
    case Qt::DisplayRole:
      return row.level == 0 ? ToQ(VolumeRowLabel(f->Path(r), list_->VolumeLabelOfFolder(r))) : ToQ(f->Name(r));
    case Qt::DecorationRole:
      return dvres::Icon(row.level == 0 ? dvres::Image::AdvancedVolumes : dvres::Image::Folder);
    case Qt::CheckStateRole:
      switch (row.State()) {
        case kCheckOn:
          return int(Qt::Checked);
        case kCheckMixed:
          return int(Qt::PartiallyChecked);
        default:
          return int(Qt::Unchecked);
      }
    default:
      return {};
  }
}

Qt::ItemFlags CFolderTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  // Checks change through the tree's own click and key rules.
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

// ---- view ----

CMyTreeCtrl::CMyTreeCtrl(CMyListCtrl* list, QWidget* parent) : QTreeView(parent), list_(list) {
  model_ = list->TreeModel();
  setItemDelegate(new TreeDelegate(this));
  setModel(model_);
  setHeaderHidden(true);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setExpandsOnDoubleClick(true);
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
    const uint32_t r = model_->FolderRowOf(current);
    if (r != kNoFolderRow) emit folderChosen(r);
  });
  connect(list, &CMyListCtrl::folderStatesChanged, this, [this] { viewport()->update(); });
}

void CMyTreeCtrl::SelectFolder(uint32_t folderRow) {
  const QModelIndex index = model_->IndexOfFolderRow(folderRow);
  if (!index.isValid()) return;
  for (QModelIndex p = index.parent(); p.isValid(); p = p.parent()) expand(p);
  setCurrentIndex(index);
  scrollTo(index);
}

uint32_t CMyTreeCtrl::CurrentFolder() const { return model_->FolderRowOf(currentIndex()); }

QRect CMyTreeCtrl::CheckRect(const QModelIndex& index) const {
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  option.rect = visualRect(index);
  static_cast<TreeDelegate*>(itemDelegate())->Init(&option, index);
  return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
}

void CMyTreeCtrl::Toggle(const QModelIndex& index) {
  const uint32_t r = model_->FolderRowOf(index);
  if (r == kNoFolderRow || recoveryRunning_ || g_activityCode.load() == kActivityRecovery) return;
  list_->ToggleFolderCheck(r);
}

void CMyTreeCtrl::mousePressEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  const QModelIndex index = indexAt(pos);
  if (event->button() == Qt::LeftButton && index.isValid() && CheckRect(index).contains(pos)) {
    Toggle(index);
    event->accept();
    return;
  }
  QTreeView::mousePressEvent(event);
}

void CMyTreeCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (index.isValid() && CheckRect(index).contains(event->position().toPoint())) {
    Toggle(index);
    event->accept();
    return;
  }
  QTreeView::mouseDoubleClickEvent(event);
}

void CMyTreeCtrl::keyPressEvent(QKeyEvent* event) {
  if (event->modifiers() & Qt::ControlModifier) {
    // With Ctrl held the keys only scroll.
    QScrollBar* v = verticalScrollBar();
    QScrollBar* h = horizontalScrollBar();
    switch (event->key()) {
      case Qt::Key_PageUp: v->triggerAction(QAbstractSlider::SliderPageStepSub); break;
      case Qt::Key_PageDown: v->triggerAction(QAbstractSlider::SliderPageStepAdd); break;
      case Qt::Key_Home: v->setValue(v->minimum()); break;
      case Qt::Key_End: v->setValue(v->maximum()); break;
      case Qt::Key_Up: v->triggerAction(QAbstractSlider::SliderSingleStepSub); break;
      case Qt::Key_Down: v->triggerAction(QAbstractSlider::SliderSingleStepAdd); break;
      case Qt::Key_Left: h->triggerAction(QAbstractSlider::SliderSingleStepSub); break;
      case Qt::Key_Right: h->triggerAction(QAbstractSlider::SliderSingleStepAdd); break;
      default: event->ignore(); return;
    }
    event->accept();
    return;
  }
  const QModelIndex current = currentIndex();
  if ((event->modifiers() & Qt::KeypadModifier) && (event->key() == Qt::Key_Plus || event->key() == Qt::Key_Minus)) {
    if (current.isValid()) setExpanded(current, event->key() == Qt::Key_Plus);
    event->accept();
    return;
  }
  if (event->key() == Qt::Key_Space) {
    if (current.isValid()) Toggle(current);
    event->accept();
    return;
  }
  QTreeView::keyPressEvent(event);
}

void CMyTreeCtrl::wheelEvent(QWheelEvent* event) {
  // Three lines per notch of 120 units, upwards for positive deltas.
  const int notches = event->angleDelta().y() / 120;
  if (notches != 0) verticalScrollBar()->setValue(verticalScrollBar()->value() - notches * 3);
  event->accept();
}
