// The volume choice dialog without its window: one row per volume of the
// drive (checked: scanned) and per partition on which no volume was found,
// the volumes the user defines on such rows or on a new one (through the
// properties dialog), and what OK leaves in the drive's volume table.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/Text.h"
#include "ui/core/DialogRules.h"

class CVol;
class Drive;
class VolumeMaker;

class BootSectRules {
 public:
  enum Control : int { kHint = 1405, kList = 1392 };
  enum : int { kCommandProperties = 32867, kCommandAdd = 32868 };

  BootSectRules(Drive& drive, VolumeMaker& maker);
  ~BootSectRules();
  BootSectRules(const BootSectRules&) = delete;
  BootSectRules& operator=(const BootSectRules&) = delete;

  void Init();
  WString HintText() const { return hint_; }

  struct Row {
    CVol* volume = nullptr;  // the drive's, or one defined here (owned until the drive takes it)
    int partition = -1;      // the partition entry of a row that is no volume of the drive
    bool checked = false;
    bool newRow = false;     // a "New volume" row
  };
  size_t RowCount() const { return rows_.size(); }
  const Row& RowAt(size_t i) const { return rows_[i]; }
  WString RowText(size_t i) const;
  // Rows from here on stand for partitions or new rows.
  size_t DriveVolumeRows() const { return driveVolumes_; }
  int selection = -1;

  // A click on a row's check picture or the space key: true when the row
  // now needs its properties opened (a partition row that was checked).
  bool Toggle(size_t row);
  // Whether a click at (x, y) within a row lies on its check picture.
  static bool OnCheckPicture(int x, int y) { return x >= 7 && x <= 17 && y >= 3 && y <= 13; }
  // Makes the volume of a partition or new row (a volume of type 0 over the
  // partition's sectors) when it has none; the row's volume slot.
  CVol** VolumeSlot(size_t row);
  // Whether a row's properties open in edit mode.
  bool EditsRow(size_t row) const { return row >= driveVolumes_; }
  // After the properties dialog of a row: OK adds the row's volume to the
  // drive (572 when the drive has it already, 573 when it cannot be added:
  // both then count as Cancel); Cancel of a partition or new row deletes its
  // volume and leaves the row unchecked.
  DialogVerdict PropertiesClosed(size_t row, bool accepted);

  // The context menu's items.
  WString PropertiesItemText() const;
  WString AddItemText() const;
  bool PropertiesItemEnabled() const { return selection >= 0 && size_t(selection) < rows_.size(); }
  bool AddItemEnabled() const { return rows_.empty() || !rows_.back().newRow; }
  // Add: a "New volume" row over the whole drive, unchecked and selected.
  void AddNewRow();

  // OK: the drive's volumes whose rows are unchecked are left out of the
  // scan.
  void Ok();

 private:
  void Fill();
  void DeleteTemporary(size_t row);

  Drive& drive_;
  VolumeMaker& maker_;
  std::vector<Row> rows_;
  size_t driveVolumes_ = 0;
  WString hint_;
};
