// The option dialogs of the Search and Recovery menus: the partial scan
// window (CRange), the sector exclusion (CExclusiveRangeDlg) and the volume
// affiliation (CSelectVP). Each is a thin window over its controller in
// ui/core.
#pragma once
#include <QAbstractListModel>
#include <memory>

#include "ui/DialogBase.h"
#include "ui/core/AffiliationRules.h"
#include "ui/core/ExclusionRules.h"
#include "ui/core/WizardRules.h"

class CSectRanges;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QRadioButton;

class CRange : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 176 };
  explicit CRange(QWidget* parent = nullptr);
  void SetRange(int32_t skip, int32_t maximum);
  int32_t Skip() const { return rules_.skip; }
  int32_t Maximum() const { return rules_.maximum; }
  void OnReset();
  void accept() override;

 private:
  RangeRules rules_;
  QLineEdit* maximum_ = nullptr;
  QLineEdit* skip_ = nullptr;
};

// The exclusion list: one line per range, made when it is drawn.
class ExclusionListModel : public QAbstractListModel {
  Q_OBJECT
 public:
  ExclusionListModel(const ExclusionRules& rules, QObject* parent) : QAbstractListModel(parent), rules_(rules) {}
  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  void Refresh();

 private:
  const ExclusionRules& rules_;
};

class CExclusiveRangeDlg : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 221 };
  explicit CExclusiveRangeDlg(QWidget* parent = nullptr);
  // A copy of the source's ranges (null: none); the drive's size in bytes
  // and sector size; the source's name.
  void SetRanges(const CSectRanges* ranges);
  void SetBounds(uint64_t startByte, uint64_t endByte, uint32_t unit);
  void SetDriveName(WStringView name);
  // OnInitDialog (exec does it; a test driving the dialog calls it first).
  void Init();
  int exec() override;

  void OnAdd();
  void OnRemove();
  // Load file of a chosen path (the button asks for one).
  void LoadFromPath(const QString& path);
  void accept() override;
  void reject() override;
  // After OK: the set, null when it is empty.
  std::unique_ptr<CSectRanges> TakeResult() { return std::move(result_); }
  const ExclusionRules& Rules() const { return rules_; }
  QListView* List() const { return list_; }

 private:
  void OnLoadFile();
  void UpdateRemove();
  ExclusionRules rules_;
  std::unique_ptr<CSectRanges> result_;
  ExclusionListModel* model_ = nullptr;
  QListView* list_ = nullptr;
  QLineEdit* first_ = nullptr;
  QLineEdit* last_ = nullptr;
  QLabel* drive_ = nullptr;
  QLineEdit* range_ = nullptr;
  QPushButton* remove_ = nullptr;
  bool inited_ = false;
};

class CSelectVP : public CDvDialog {
  Q_OBJECT
 public:
  enum { IDD = 175 };
  explicit CSelectVP(QWidget* parent = nullptr);
  void SetVolumes(std::vector<AffiliationVolume> volumes, uint32_t sectorSize, int64_t driveSectors);
  void SetAnswer(const AffiliationChoice& answer);
  void Init();
  int exec() override;
  void accept() override;
  AffiliationChoice Answer() const { return rules_.Answer(); }
  // Per volume, its size override after OK (0: none).
  const std::vector<int64_t>& Overrides() const { return rules_.Overrides(); }
  AffiliationRules& Rules() { return rules_; }

 private:
  void WriteControls();
  void Enable();
  AffiliationRules rules_;
  QRadioButton* radios_[3] = {};
  QComboBox* combo_ = nullptr;
  QCheckBox* override_ = nullptr;
  bool inited_ = false;
};
