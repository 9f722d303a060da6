// The file list's dialogs: the modeless Find dialog and the View Filter
// dialog of one column.
#pragma once
#include <QDialog>
#include <functional>
#include <memory>
#include <vector>

#include "platform/Text.h"
#include "ui/core/ListFilter.h"
#include "ui/core/ListFind.h"

class QAction;
class QCheckBox;
class QMenu;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// Popup menus of the list run through this, so that tests can pick an
// item; the default is QMenu::exec at the point.
using MenuRunner = std::function<QAction*(QMenu&, const QPoint&)>;
void SetMenuRunner(MenuRunner runner);  // empty restores exec
QAction* RunMenu(QMenu& menu, const QPoint& global);

class CFindDlg : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 150 };
  explicit CFindDlg(QWidget* parent = nullptr);
  // What Find Next calls (the view's search), with the dialog's options.
  void SetView(std::function<void()> findNext) { findNext_ = std::move(findNext); }
  // The options as last read from the controls.
  FindOptions Options() const;
  bool SearchDown() const { return down_; }
  void SetSearchDown(bool down);
  // Reads the controls, shows the wait cursor and asks the view to search.
  void OnFindNext();
  QLineEdit* SearchText() const { return text_; }
  QPushButton* FindNextButton() const { return findNext_button_; }
  QCheckBox* MatchCaseBox() const { return matchCase_; }
  QCheckBox* WholeWordBox() const { return wholeWord_; }
  QRadioButton* UpButton() const { return up_; }
  QRadioButton* DownButton() const { return downButton_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ReadControls();
  std::function<void()> findNext_;
  bool matchCase_value_ = false, wholeWord_value_ = false, down_ = true;
  WString search_;
  QLineEdit* text_;
  QCheckBox* matchCase_;
  QCheckBox* wholeWord_;
  QRadioButton* up_;
  QRadioButton* downButton_;
  QPushButton* findNext_button_;
};

class CCustomFilterDlg : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 371 };
  // title: the column's header text.
  CCustomFilterDlg(int column, const QString& title, QWidget* parent = nullptr);
  // Fills the dialog from an existing criterion.
  void LoadCriterion(const FilterCriterion& criterion);
  // The criterion after OK (null when the dialog was not accepted).
  std::unique_ptr<FilterCriterion> BuildCriterion() const;
  int Column() const { return column_; }
  QComboBox* Operators() const { return operators_; }
  QLineEdit* Value() const { return value_; }
  QComboBox* Unit() const { return unit_; }
  QDateEdit* Date() const { return date_; }
  QPushButton* OkButton() const { return ok_; }
  void accept() override;

 private:
  void UpdateOk();
  int column_;
  int kind_;
  QComboBox* operators_;
  QLineEdit* value_;
  QComboBox* unit_;
  QDateEdit* date_;
  QPushButton* ok_;
  uint64_t bytes_ = 0;
};
