// The "Look in" box: the source rows in five groups under bold headings
// (RAID and spanned volumes, disk images, logical volumes, physical drives,
// actions). Headings cannot be chosen. Each row keeps its text, its group
// (item data g + 1, a heading -(g + 1)) and the name its drive is opened
// with.
#pragma once
#include <QComboBox>
#include <array>

#include "platform/Text.h"

class CLookInCb : public QComboBox {
  Q_OBJECT
 public:
  enum { kGroups = 5 };
  static constexpr int kSourceRole = Qt::UserRole + 1;

  explicit CLookInCb(QWidget* parent = nullptr);
  // The row's index, or -1 (group above 4, or no room).
  int AddItem(const QString& text, int group, const WString& source = {});
  void RemoveItem(int index);
  // Removes the logical-volume and physical-drive rows.
  void RemoveDriveRows();
  // Item data of a row: g + 1 for an item, -(g + 1) for a heading.
  int ItemData(int index) const;
  bool IsHeading(int index) const { return ItemData(index) < 0; }
  WString Source(int index) const;
  // The row whose source (else text) equals name, -1 when none.
  int FindRow(WStringView name) const;
  int InsertionPoint(int group) const { return insert_[size_t(group)]; }
  int GroupCount(int group) const { return count_[size_t(group)]; }
  // What the closed face showed at its last painting (for tests).
  int LastFaceState() const { return lastFaceState_; }
  QString LastFaceText() const { return lastFaceText_; }
  bool LastFaceFocus() const { return lastFaceFocus_; }
  bool ListOpen() const { return listOpen_; }
  void showPopup() override;
  void hidePopup() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  std::array<int, kGroups> insert_{};
  std::array<int, kGroups> count_{};
  bool hot_ = false, pressed_ = false, listOpen_ = false;
  int lastFaceState_ = 0;
  QString lastFaceText_;
  bool lastFaceFocus_ = false;
};
