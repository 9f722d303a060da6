// The "Look for" box: an editable combo box whose text is a list of file
// patterns and whose list shows one checkable line per file type. Clicking
// a line toggles it and keeps the list open; losing the focus tidies the
// text and tells the view (lookForChanged, queued).
#pragma once
#include <QComboBox>

#include "platform/Text.h"
#include "ui/core/CheckComboRules.h"

class QStandardItemModel;

class CMBChkCbBox : public QComboBox {
  Q_OBJECT
 public:
  explicit CMBChkCbBox(QWidget* parent = nullptr);

  // Line 0 is "all files" (extension "*"); the others an extension without
  // "*.".
  void AddLine(const QString& text, const WString& extension);
  void ClearLines();
  void SetAll(bool checked);
  // The text trimmed at both ends.
  WString Text() const;
  void SetText(WStringView text);
  WString NamePatterns();
  WString FolderPatterns();
  bool SetTextChanged(bool changed);
  bool LineChecked(int line) const { return model_.Checked(size_t(line)); }
  int LineCount() const { return int(model_.LineCount()); }
  // A click on a line of the open list.
  void ToggleLine(int line);

  void showPopup() override;
  void hidePopup() override;
  bool PopupOpen() const { return open_; }

 signals:
  void lookForChanged();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void focusOutEvent(QFocusEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void wheelEvent(QWheelEvent* e) override;

 private:
  void PutText();
  void SyncChecks();
  void Split();

  CheckComboModel model_;
  QStandardItemModel* items_ = nullptr;
  LookForSplit split_;
  bool textChanged_ = true;
  bool open_ = false;
  bool putting_ = false;
};
