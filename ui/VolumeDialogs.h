// The volume dialogs before a Quick Scan: the choice of volumes to scan
// (CBootSect), a volume's properties (CVolProp) and where to read a boot
// sector or superblock from (CReadBoot). Thin windows over their
// controllers in ui/core.
#pragma once
#include <memory>

#include "ui/DialogBase.h"
#include "ui/core/BootSectRules.h"
#include "ui/core/VolPropRules.h"

class CVol;
class Drive;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QRadioButton;

class CReadBoot : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 377 };
  explicit CReadBoot(QWidget* parent = nullptr);
  void SetSector(int64_t sector) { rules_.SetSector(sector); }
  void Init();
  int exec() override;
  void SetFromDrive(bool on);
  void OnBrowse();
  void accept() override;
  const BootSource& Result() const { return result_; }

 private:
  void Enable();
  ReadBootRules rules_;
  BootSource result_;
  bool inited_ = false;
};

class CVolProp : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 375 };
  CVolProp(CVol** slot, bool editMode, Drive* drive, QWidget* parent = nullptr, VolumeMaker* maker = nullptr);
  void Init();
  int exec() override;
  void OnFileSystemChanged(int index);
  // The check box: opens the read-boot dialog (through RunDialog) and
  // reads the block.
  void OnBootBox(bool checked);
  void accept() override;
  VolPropRules& Rules() { return rules_; }

 private:
  void WriteControls();
  void ReadControls();
  VolPropRules rules_;
  bool inited_ = false;
};

class CBootSect : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 281 };
  explicit CBootSect(Drive& drive, QWidget* parent = nullptr, VolumeMaker* maker = nullptr);
  void Init();
  int exec() override;
  void accept() override;
  // A click on the row's check picture, the space key, a double click.
  void OnToggle(int row);
  void OnOpen(int row);
  // The context menu's commands and its items' states.
  void OnContextCommand(int command);
  std::unique_ptr<QMenu> MakeContextMenu();
  QListWidget* List() const { return list_; }
  BootSectRules& Rules() { return rules_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Fill();
  void OpenProperties(int row);
  BootSectRules rules_;
  QListWidget* list_ = nullptr;
  QLabel* hint_ = nullptr;
  bool inited_ = false;
};
