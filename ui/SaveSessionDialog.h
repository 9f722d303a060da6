// "Saving the Current Session": whether to write a session file and a CSV
// file of the list, with a name for each, both checked before it closes.
#pragma once
#include "platform/Text.h"
#include "ui/DialogBase.h"

class Drive;
class QCheckBox;
class QLineEdit;
class QPushButton;

class CSaveSessionDlg : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 223 };
  enum : int {
    kSaveSession = 1014, kIntro = 1261, kSessionLabel = 1262, kSessionName = 1263, kSessionBrowse = 1264,
    kCreateCsv = 1265, kCsvLabel = 1266, kCsvName = 1267, kCsvBrowse = 1268,
  };
  // folderDisplay: the list shows folders (no CSV then); drive: the open
  // source, asked whether a name lies on it (none: not asked).
  CSaveSessionDlg(QWidget* parent, bool folderDisplay, Drive* drive);

  int saveSession = 1;
  int createCsv = 0;
  WString sessionName;
  WString csvName;

  // Member values into the controls and back.
  void WriteControls();
  void ReadControls();
  QPushButton* OkButton() const { return ok_; }

  void OnSaveSessionClicked();
  void OnCreateCsvClicked();
  void OnOk();

 private:
  void Browse(bool session);
  void EnableControls();
  // The checks of one name; false with the refusal shown.
  bool CheckName(const WString& name, int editId, bool first);

  bool folderDisplay_ = false;
  Drive* drive_ = nullptr;
  QCheckBox* saveBox_ = nullptr;
  QCheckBox* csvBox_ = nullptr;
  QLineEdit* sessionEdit_ = nullptr;
  QLineEdit* csvEdit_ = nullptr;
  QPushButton* ok_ = nullptr;
};
