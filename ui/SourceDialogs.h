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

class CRAID : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 145 };
  // The page keeps its lines over Back: one object serves the whole loop.
  explicit CRAID(QWidget* parent = nullptr);
  void SetParams(int type, int memberCount, std::vector<MemberSource> sources, MemberSourceInfo* info, int kept1,
                 int kept2);
  void Init();
  int exec() override;
  void OnDiskChanged(int index);
  void OnPartitionChanged(int index);
  void OnAdd();
  void OnRemove();
  void OnMoveUp();
  void OnMoveDown();
  void OnBack();
  void accept() override;
  int back = 0;
  RaidPageRules& Rules() { return rules_; }

 private:
  void WriteControls();
  RaidPageRules rules_;
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

class CSpanned : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 172 };
  explicit CSpanned(QWidget* parent = nullptr);
  void SetSources(std::vector<MemberSource> sources, MemberSourceInfo* info);
  void Init();
  int exec() override;
  void OnDiskChanged(int index);
  void OnAdd();
  void OnRemove();
  void OnMoveUp();
  void OnMoveDown();
  void OnBack();
  void accept() override;
  SpanPageRules& Rules() { return rules_; }

 private:
  void WriteControls();
  SpanPageRules rules_;
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
