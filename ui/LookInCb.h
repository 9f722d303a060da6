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

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::array<int, kGroups> insert_{};
  std::array<int, kGroups> count_{};
};
