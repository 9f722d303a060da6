// The dialogs that define compound sources: the pages of the RAID and
// spanned-volume wizard (CAdvancedVolume, COpenSchemaFile, CRAID,
// CRAID6Settings, CSpanned) and the chained-image dialog
// (CChainDskImgsDlg). Thin windows over their controllers in ui/core; a
// page ends with OK and its back flag, and the view runs the loop.
#pragma once
#include <memory>

#include "ui/DialogBase.h"

// "Name (*.a;*.b)|*.a;*.b|..." (a message-table filter) as the file
// dialog's filter.
QString QtFilter(WStringView pairs);
#include "ui/core/MemberPageRules.h"
#include "ui/core/WizardRules.h"

class QComboBox;
class QHBoxLayout;
class QLineEdit;
class QListWidget;
class QPushButton;

class CAdvancedVolume : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 380 };
  explicit CAdvancedVolume(QWidget* parent = nullptr);
  // The type shown when the page comes back (its name).
  void SetTypeText(WStringView name) { typeText_ = WString(name); }
  void SetRotation(int code) { rotation_ = code; }
  void SetAvailableDisks(int n) { available_ = n; }
  void Init();
  int exec() override;
  void OnTypeChanged();
  void accept() override;
  AdvancedVolumeRules& Rules() { return rules_; }
  WString TypeText() const { return typeText_; }

 private:
  void Enable();
  AdvancedVolumeRules rules_;
  WString typeText_;
  int rotation_ = -1;
  int available_ = 0;
  bool inited_ = false;
};

class COpenSchemaFile : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 384 };
  explicit COpenSchemaFile(QWidget* parent = nullptr);
  void SetPath(WStringView path);
  void SetAvailableDisks(int n) { available_ = n; }
  void Init();
  int exec() override;
  void OnBrowse();
  void OnBack();
  void accept() override;
  int back = 0;
  const SchemaPageRules& Rules() const { return rules_; }

 private:
  SchemaPageRules rules_;
  int available_ = 0;
  bool inited_ = false;
};

// What the RAID and spanned member pages share: the disk box, the member
// list with Add, Remove and the moves, and Back, Finish and Cancel. `Page`
// is the page's controller.
template <class Page>
class CMemberPage : public CDvDialog {
 public:
  void Init();
  int exec() override;
  void OnDiskChanged(int index);
  void OnAdd();
  void OnRemove();
  void OnMoveUp();
  void OnMoveDown();
  void OnBack();
  void accept() override;
  int back = 0;
  Page& Rules() { return rules_; }

 protected:
  struct ListButtons {
    QPushButton *add, *remove, *up, *down;
  };
  CMemberPage(QWidget* parent, const char* objectName, WStringView helpTopic);
  // Add and Remove, then Move Up and Move Down, for the page to place (in
  // the order of the tab chain).
  ListButtons MakeAddRemove();
  void MakeMoves(ListButtons* buttons);
  // Back, Finish and Cancel in a row, connected.
  QHBoxLayout* MakeEndButtons();
  // The disk box, the list and its buttons, connected.
  void ConnectMembers(const ListButtons& buttons);
  void WriteDisks();
  void WriteList();
  // Runs the controller's change of the list, then shows the result.
  void Change(void (Page::*change)());
  // What the page reads from its edits before Add.
  virtual void ReadBeforeAdd() {}
  virtual void WriteControls() = 0;
  Page rules_;
};

class CRAID : public CMemberPage<RaidPageRules> {
  Q_OBJECT
 public:
  enum { IDD = 145 };
  // The page keeps its lines over Back: one object serves the whole loop.
  explicit CRAID(QWidget* parent = nullptr);
  void SetParams(int type, int memberCount, std::vector<MemberSource> sources, MemberSourceInfo* info, int kept1,
                 int kept2);
  void OnPartitionChanged(int index);

 private:
  void ReadBeforeAdd() override;
  void WriteControls() override;
};

class CRAID6Settings : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 383 };
  explicit CRAID6Settings(QWidget* parent = nullptr);
  void SetRotation(int code) { rules_.SetRotation(code); }
  void Init();
  int exec() override;
  void OnBack();
  void accept() override;
  int back = 0;
  Raid6SettingsRules& Rules() { return rules_; }

 private:
  void WriteControls();
  Raid6SettingsRules rules_;
  bool inited_ = false;
};

class CSpanned : public CMemberPage<SpanPageRules> {
  Q_OBJECT
 public:
  enum { IDD = 172 };
  explicit CSpanned(QWidget* parent = nullptr);
  void SetSources(std::vector<MemberSource> sources, MemberSourceInfo* info);

 private:
  void WriteControls() override;
};

class CChainDskImgsDlg : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 378 };
  explicit CChainDskImgsDlg(QWidget* parent = nullptr);
  // 1 VHD, 0 VMDK (before Init).
  void SetVhd(bool vhd) { rules_ = ChainRules(vhd); }
  void Init();
  int exec() override;
  void SetBasePath(const QString& path);
  void AddLink(const QString& path);
  void OnRemove();
  void OnMoveUp();
  void OnMoveDown();
  void accept() override;
  ChainRules& Rules() { return rules_; }
  WString Definition() const { return rules_.definition; }

 private:
  QString ChooseFile();
  void WriteControls();
  ChainRules rules_;
  bool inited_ = false;
};
