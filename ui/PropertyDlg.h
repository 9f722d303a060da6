// The properties dialog: one row of the file list or the folder tree as a
// two-column table, with a reduced preview of a picture to its left. << and
// >> walk the neighbouring rows; a right-click on a value copies it.
#pragma once
#include <QDialog>
#include <QImage>
#include <functional>

#include "ui/PicturePreview.h"
#include "ui/core/PropertyRules.h"

class QPushButton;
class QTableWidget;

// Fills the record of a row (the view's GetPropertyRecord): false when the
// row cannot be described (the table then stays as it was).
using PropertyRecordSource = std::function<bool(int position, bool fromTree, PropertyRecord& record)>;

class CPropertyDlg : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 158, kList = 1053, kPrevious = 1436, kNext = 1437 };
  CPropertyDlg(PropertyRecordSource source, QWidget* parent = nullptr);

  void SetPosition(int position, int last, bool fromTree);
  // OnInitDialog: caption, sizes, columns, the first row.
  void Init();
  void OnPrevious();
  void OnNext();
  // Copies the value of a row to the clipboard.
  void OnCopy(int row);
  // Whether a right-click on (row, column) offers Copy.
  bool OffersCopy(int row, int column) const;

  // ---- reading (tests) ----
  QTableWidget* Table() const { return table_; }
  QPushButton* PreviousButton() const { return prev_; }
  QPushButton* NextButton() const { return next_; }
  int Position() const { return position_; }
  bool PictureRequested() const { return requested_; }
  bool PictureDrawn() const { return drawn_; }
  const DecodedPreview& Preview() const { return preview_; }
  PreviewBox Box() const { return box_; }
  QSize MinimumTrackingSize() const { return minTrack_; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void keyPressEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void LoadItem();
  void Fill();
  void LayOutControls();
  int LabelWidth(bool volume) const;

  PropertyRecordSource source_;
  PropertyRecord record_;
  int position_ = 0, last_ = 0;
  bool fromTree_ = false;
  bool firstLoad_ = true;
  bool showedVolume_ = false;
  bool requested_ = false, drawn_ = false;
  DecodedPreview preview_;
  PreviewBox box_;
  int u_ = 8, buttonH_ = 23;
  QSize baseClient_, minTrack_;
  QTableWidget* table_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* prev_ = nullptr;
  QPushButton* next_ = nullptr;
};

// The Properties command's call: shows the dialog modally for the row at
// position (0..last) of the list or, fromTree, of the folder tree. Runs
// through RunDialog, so tests can answer it.
void ShowPropertiesDialog(PropertyRecordSource source, int position, int last, bool fromTree, QWidget* parent);
