#include "ui/core/BootSectRules.h"

#include "foundation/Messages.h"
#include "foundation/Utilities.h"
#include "platform/Format.h"
#include "storage/Drive.h"
#include "storage/PartitionTable.h"
#include "ui/core/VolPropRules.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

namespace {

WString SizeAtOffset(int64_t sizeBytes, int64_t offsetBytes) {
  return FormatW(u"%s (%s %s)", FormatSize(sizeBytes), Msg(568), FormatSize(offsetBytes));
}

int64_t Shifted(uint64_t sectors, uint32_t shift) {
  return sectors > (uint64_t(INT64_MAX) >> shift) ? INT64_MAX : int64_t(sectors << shift);
}

}  // namespace

BootSectRules::BootSectRules(Drive& drive, VolumeMaker& maker) : drive_(drive), maker_(maker) {}

BootSectRules::~BootSectRules() {
  for (size_t i = driveVolumes_; i < rows_.size(); i++) DeleteTemporary(i);
}

void BootSectRules::DeleteTemporary(size_t row) {
  if (row < driveVolumes_ || row >= rows_.size() || !rows_[row].volume) return;
  maker_.Delete(rows_[row].volume);
  rows_[row].volume = nullptr;
}

void BootSectRules::Init() {
  hint_ = EntryName(567, u"Check the volumes to scan.");
  if (!drive_.partitionTable) drive_.partitionTable = std::make_shared<PartitionTable>(&drive_, drive_.SectorSize());
  Fill();
  if (rows_.empty()) {
    // Nothing found: one row over the whole drive, and the longer hint.
    const int index = drive_.partitionTable->AddPartition(0, drive_.SectorCount(), 0);
    if (index >= 0) {
      Row r;
      r.partition = index;
      rows_.push_back(r);
    }
    hint_ += EntryName(637, u" If unsure click 'Cancel' and choose the Long Scan.");
  }
}

void BootSectRules::Fill() {
  // The table grows with the rows: added volumes and new rows get a place
  // of their own.
  rows_.clear();
  driveVolumes_ = VolumeCount(drive_);
  for (uint32_t i = 0; i < driveVolumes_; i++) {
    Row r;
    r.volume = VolumeAt(drive_, i);
    r.checked = true;
    rows_.push_back(r);
  }
  const PartitionTable& table = *drive_.partitionTable;
  for (uint32_t i = 0; i < table.Count(); i++) {
    if (table.Entry(i).searchResult != 0) continue;
    Row r;
    r.partition = int(i);
    rows_.push_back(r);
  }
}

WString BootSectRules::RowText(size_t i) const {
  if (i >= rows_.size()) return {};
  const Row& r = rows_[i];
  if (i < driveVolumes_ && r.volume) {
    CVol* v = r.volume;
    WString t = FileSystemTypeName(v->type) + u" " + v->GetDisplayName();
    const WString& label = v->GetVolumeLabel();
    if (!label.empty()) t += FormatW(u" (%s)", label);
    return t + u" - " + SizeAtOffset(Shifted(v->sizeSectors, v->sectorShift), Shifted(v->startSector, v->sectorShift));
  }
  if (r.newRow) return EntryName(595, u"New volume");
  const PartitionTable& table = *drive_.partitionTable;
  if (r.partition < 0 || uint32_t(r.partition) >= table.Count()) return {};
  const PartitionEntry& e = table.Entry(uint32_t(r.partition));
  const uint32_t shift = drive_.Shift();
  return EntryName(571, u"Unknown partition") + u" " + SizeAtOffset(Shifted(e.Length(), shift), Shifted(e.Start(), shift));
}

bool BootSectRules::Toggle(size_t row) {
  if (row >= rows_.size()) return false;
  if (rows_[row].checked) {
    rows_[row].checked = false;
    return false;
  }
  rows_[row].checked = true;
  selection = int(row);
  return row >= driveVolumes_;
}

CVol** BootSectRules::VolumeSlot(size_t row) {
  if (row >= rows_.size()) return nullptr;
  Row& r = rows_[row];
  if (row >= driveVolumes_ && !r.volume) {
    const PartitionTable& table = *drive_.partitionTable;
    if (r.partition < 0 || uint32_t(r.partition) >= table.Count()) return nullptr;
    const PartitionEntry& e = table.Entry(uint32_t(r.partition));
    CVol* v = maker_.Create(0);
    if (!v) return nullptr;
    v->drive = &drive_;
    v->startSector = e.Start();
    v->sizeSectors = e.Length();
    v->SetSectorSize(drive_.SectorSize());
    r.volume = v;
  }
  return &r.volume;
}

DialogVerdict BootSectRules::PropertiesClosed(size_t row, bool accepted) {
  if (row >= rows_.size()) return {};
  DialogVerdict verdict;
  if (accepted && row >= driveVolumes_ && rows_[row].volume) {
    CVol* v = rows_[row].volume;
    if (FindVolume(drive_, v) >= 0) {
      verdict = DialogVerdict::Refuse(572, kList);
      accepted = false;
    } else if (!AddVolume(drive_, v, 0, nullptr)) {
      verdict = DialogVerdict::Refuse(573, kList);
      accepted = false;
    } else {
      // The drive owns it now; the rows are made again, the volumes left
      // out before stay left out and the new one (last of the drive's) is
      // checked.
      std::vector<bool> unchecked(driveVolumes_);
      for (size_t i = 0; i < driveVolumes_; i++) unchecked[i] = !rows_[i].checked;
      const int partition = rows_[row].partition;
      rows_[row].volume = nullptr;
      std::vector<Row> pending;
      for (size_t i = driveVolumes_; i < rows_.size(); i++)
        if (i != row && rows_[i].volume) pending.push_back(rows_[i]);
      if (partition >= 0 && uint32_t(partition) < drive_.partitionTable->Count())
        drive_.partitionTable->Entry(uint32_t(partition)).searchResult = 1;
      Fill();
      for (size_t i = 0; i < unchecked.size() && i < rows_.size(); i++) rows_[i].checked = !unchecked[i];
      // Volumes defined on other rows and not yet taken keep their rows.
      for (Row& p : pending)
        for (size_t i = driveVolumes_; i < rows_.size(); i++)
          if (rows_[i].partition == p.partition && !rows_[i].volume) {
            rows_[i].volume = p.volume;
            rows_[i].checked = p.checked;
            p.volume = nullptr;
          }
      for (Row& p : pending)
        if (p.volume) maker_.Delete(p.volume);
      selection = int(driveVolumes_) - 1;
      return verdict;
    }
  }
  if (!accepted && row >= driveVolumes_) {
    DeleteTemporary(row);
    rows_[row].checked = false;
  }
  return verdict;
}

WString BootSectRules::PropertiesItemText() const { return EntryName(271, u"&Properties") + u"\u2026"; }

WString BootSectRules::AddItemText() const {
  return EntryName(2, u"&Add") + u"\u2026 (" + EntryName(598, u"Experts only") + u")";
}

void BootSectRules::AddNewRow() {
  if (!AddItemEnabled()) return;
  const uint32_t before = drive_.partitionTable->Count();
  const int index = drive_.partitionTable->AddPartition(0, drive_.SectorCount(), 0);
  if (index < 0) return;
  // An entry inserted before others moves them: the rows follow.
  if (drive_.partitionTable->Count() > before)
    for (Row& other : rows_)
      if (other.partition >= index) other.partition++;
  Row r;
  r.partition = index;
  r.newRow = true;
  rows_.push_back(r);
  selection = int(rows_.size()) - 1;
}

void BootSectRules::Ok() {
  for (size_t i = 0; i < driveVolumes_ && i < rows_.size(); i++)
    if (!rows_[i].checked && rows_[i].volume) rows_[i].volume->scanFlags &= uint8_t(~kVolScanSelected);
}
