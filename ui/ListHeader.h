// The file list's column header: draws each section itself with the sort
// arrow of the sort column, a filter icon per column while idle, and a
// check box in the first column that checks or unchecks every row.
#pragma once
#include <QHeaderView>
#include <QPixmap>
#include <array>
#include <functional>

class CMBLstHdrCtrl : public QHeaderView {
  Q_OBJECT
 public:
  explicit CMBLstHdrCtrl(QWidget* parent = nullptr);

  void SetSortArrow(int column, bool ascending);
  void ClearSortArrow();
  int SortColumn() const { return sortColumn_; }
  bool SortAscending() const { return ascending_; }
  void SetFilterMark(int column, bool on);  // columns 0-6; others ignored
  bool FilterMark(int column) const;
  void LoadFilterIcons();
  void SetHasFiles(bool hasFiles);
  void SetMouseDisabled(bool disabled);
  bool MouseDisabled() const { return mouseDisabled_; }
  void SetIllustration(bool on);
  // The view reads these when a column is clicked.
  bool OverFilterIcon() const { return overFilterIcon_; }
  int ColumnUnderPointer() const { return pointerColumn_; }
  // Reads the activity code (idle -1); filter icons are drawn only while idle.
  void SetActivityReader(std::function<int()> reader) { activity_ = std::move(reader); }
  // Header check box: state 1 empty, 2 checked; shown while the list has files.
  void SetCheckBoxState(int state);
  int CheckBoxState() const { return checkState_; }
  // The sort-arrow image drawn last for the sort column (-1 none), for tests.
  int LastArrowImage() const { return lastArrowImage_; }
  // The filter icon (0..2) drawn last for a column (-1 none), for tests.
  int LastFilterIcon(int column) const;

 signals:
  void checkBoxToggled(bool checked);

 protected:
  void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void TrackPointer(int x);
  bool InCheckBox(const QPoint& pos) const;

  int sortColumn_ = -1;
  bool ascending_ = true;
  bool hover_ = false;
  int lastX_ = -1, lastY_ = -1;
  bool mouseDisabled_ = false;
  bool overFilterIcon_ = false;
  int pointerColumn_ = -1;
  bool hasFiles_ = false;
  bool illustration_ = false;
  bool iconsLoaded_ = false;
  int checkState_ = 1;
  std::array<bool, 7> filterMarks_{};
  std::array<QPixmap, 3> icons_;
  std::array<QPixmap, 6> arrows_;
  std::function<int()> activity_;
  mutable int lastArrowImage_ = -1;
  mutable std::array<int, 7> lastIcon_{-1, -1, -1, -1, -1, -1, -1};
};
