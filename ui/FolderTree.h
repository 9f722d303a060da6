// The folder tree beside the file list: a QTreeView with uniform rows over
// a model that reads the list's folder rows, whose parent, child count and
// place among siblings are kept in the rows, so that trees of hundreds of
// thousands of folders answer at once. Three-state checks spread up and
// down through the list's folder rows.
#pragma once
#include <QAbstractItemModel>
#include <QTreeView>
#include <functional>

class CMyListCtrl;

class CFolderTreeModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  CFolderTreeModel(CMyListCtrl* list, QObject* parent = nullptr);
  // Runs change (which replaces the list's folder rows) inside a model reset.
  void Replace(const std::function<void()>& change);
  // The folder row of an index; 0xFFFFFFFF for none.
  uint32_t FolderRowOf(const QModelIndex& index) const;
  QModelIndex IndexOfFolderRow(uint32_t folderRow) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  CMyListCtrl* list_;
};

class CMyTreeCtrl : public QTreeView {
  Q_OBJECT
 public:
  static constexpr int kControlId = 1097;
  explicit CMyTreeCtrl(CMyListCtrl* list, QWidget* parent = nullptr);
  CFolderTreeModel* FolderModel() const { return model_; }
  // Selects a folder row's item (opening its ancestors); the list then
  // shows it through folderChosen.
  void SelectFolder(uint32_t folderRow);
  uint32_t CurrentFolder() const;
  // The item's check indicator in viewport coordinates.
  QRect CheckRect(const QModelIndex& index) const;
  // While a recovery runs the checks do not change.
  void SetRecoveryRunning(bool running) { recoveryRunning_ = running; }

 signals:
  void folderChosen(quint32 folderRow);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void Toggle(const QModelIndex& index);

  CMyListCtrl* list_;
  CFolderTreeModel* model_;
  bool recoveryRunning_ = false;
};
