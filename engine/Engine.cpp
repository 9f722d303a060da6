#include "engine/Engine.h"

#include <algorithm>
#include <new>
#include <cstring>

#include "engine/ProgressStats.h"
#include "engine/SendObj.h"
#include "engine/VolumeRecovery.h"
#include "filesystems/ntfs/Inode.h"
#include "filesystems/ntfs/NtfsVolume.h"
#include "foundation/AppState.h"
#include "foundation/Globals.h"
#include "foundation/SectRanges.h"
#include "foundation/TimeUtil.h"
#include "foundation/Trace.h"
#include "foundation/Wildcard.h"
#include "platform/Errors.h"
#include "storage/Drive.h"
#include "storage/IoTrace.h"
#include "volumes/FileTypes.h"
#include "volumes/Node.h"
#include "volumes/Volume.h"
#include "volumes/VolumeFactory.h"
#include "volumes/VolumeFamily.h"
#include "volumes/VolumeSearch.h"

NTFSObj* g_engine = nullptr;

namespace {

// The drive's volume table, made when the drive has none yet.
std::shared_ptr<VolumeList> EngineVolumeTable(Drive* drive) {
  return drive ? VolumeTableOf(*drive) : std::make_shared<VolumeList>();
}

// Appends without looking for the same volume: its number, and the display
// code of a volume that has no letter.
int32_t AppendVolume(std::vector<CVol*>& table, CVol* v) {
  const size_t n = table.size();
  table.push_back(v);
  v->SetVolumeNumber(uint16_t(n));
  if (!v->HasDriveLetter()) {
    v->driveLetter[0] = char16_t(kNoLetterBase + n);
    v->driveLetter[1] = u':';
  }
  return int32_t(n);
}

}  // namespace

uint8_t ExtensionToTypeOem(std::string_view name) {
  if (name.size() >= 1024) return kNoCarvingType;
  return ExtensionToType(FromUtf8(name));
}

WStringView CarvingTypeExtension(uint8_t code) {
  if (code >= kExtTableSize) return {};
  return FileTypeExtension(code);
}

size_t FindNoCase(WStringView text, WStringView pattern) {
  if (pattern.empty()) return 0;
  if (pattern.size() > text.size()) return WStringView::npos;
  for (size_t i = 0; i + pattern.size() <= text.size(); i++)
    if (EqualsNoCase(text.substr(i, pattern.size()), pattern)) return i;
  return WStringView::npos;
}

int PathFilterMatch(const char16_t* path, const char16_t* filter, const PatternList* list) {
  if (!path || !*path) return 0;
  if (list) return list->Match(path) ? 0 : 1;
  if (!filter || !*filter) return 0;
  const WStringView p(path), f(filter);
  if (f[0] == u'\\') return (p.size() >= f.size() && EqualsNoCase(p.substr(0, f.size()), f)) ? 0 : 1;
  return WildcardMatch(filter, path) ? 0 : 1;
}

// ---------------------------------------------------------------------------

NTFSObj::NTFSObj(Drive* d)
    : volumeTable(EngineVolumeTable(d)),
      volumes(volumeTable->items),
      nodes(std::make_unique<CNdArray>()),
      drive(d),
      scanStart(CurrentFileTime()) {
  for (int i = 0; i < kExtTableSize; i++) {
    std::memset(extTable[i].ext, 0, sizeof extTable[i].ext);
    const WStringView e = FileTypeExtension(i);
    std::copy(e.begin(), e.end(), extTable[i].ext);
    extTable[i].nextNumber = 1;
  }
}

bool NTFSObj::IsSelected(size_t v) const {
  if (int64_t(v) < firstVolume || int64_t(v) >= endVolume) return false;
  return v >= volumes.size() || !volumes[v] || (volumes[v]->scanFlags & kVolScanSelected);
}

bool NTFSObj::DropUserVolume() {
  const int32_t slot = userSlot_;
  userSlot_ = -1;
  // Only the table's last entry can go without renumbering the volumes
  // that the found files point to.
  if (slot < 0 || size_t(slot) + 1 != volumes.size()) return false;
  CVol* v = volumes.back();
  volumes.pop_back();
  DeleteVol(&v);
  return true;
}

NTFSObj::~NTFSObj() {
  nodes.reset();
  // The volumes stay with the drive; they no longer report to this engine.
  for (CVol* v : volumes)
    if (v && v->engine == this) v->engine = nullptr;
}

int32_t NTFSObj::AddVolume(CVol* volume) {
  if (!volume) return -1;
  int32_t index = -1;
  if (drive) {
    if (!::AddVolume(*drive, volume, 0, &index)) return -1;
  } else {
    if (volumes.size() >= kMaxDriveVolumes) return -1;
    index = AppendVolume(volumes, volume);
  }
  volume->engine = this;
  return index;
}

bool NTFSObj::ExtendPartitionTable() {
  const size_t n = volumes.size();
  if (n >= kMaxDriveVolumes) return false;
  try {
    volumes.reserve(std::min<size_t>(kMaxDriveVolumes, std::max(volumes.capacity(), n) + 32));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void NTFSObj::SelectPartition(uint8_t kind, uint16_t selected, int64_t userStart, int64_t userCount) {
  if (kind <= 2) volumeRangeChosen = kind != 0;
  switch (kind) {
    case 0:
      firstVolume = 0;
      endVolume = int32_t(volumes.size());
      break;
    case 1:
      firstVolume = selected;
      endVolume = selected + 1;
      break;
    case 2: {
      for (size_t i = 0; i < volumes.size(); i++) {
        if (int64_t(volumes[i]->startSector) == userStart && int64_t(volumes[i]->sizeSectors) == userCount) {
          firstVolume = int32_t(i);
          endVolume = firstVolume + 1;
          return;
        }
      }
      // One user-defined slot per engine: a later call reuses it. It is
      // appended as it stands (the table grows for it): the same-volume
      // test of the volume search would merge it into a volume near it.
      if (userSlot_ < 0 || size_t(userSlot_) >= volumes.size()) {
        if (!ExtendPartitionTable()) {
          // A full table takes no slot: nothing is selected.
          firstVolume = endVolume = 0;
          break;
        }
        auto* v = new NTFSVol(this);
        v->drive = drive;
        userSlot_ = AppendVolume(volumes, v);
      }
      CVol* v = volumes[size_t(userSlot_)];
      v->SetClusterSize(4096);
      v->startSector = uint64_t(userStart);
      v->sizeSectors = uint64_t(userCount);
      firstVolume = userSlot_;
      endVolume = userSlot_ + 1;
      break;
    }
    default:
      break;
  }
}

NTFSVol* NTFSObj::CreateDefaultVolume() {
  auto* v = new NTFSVol(this);
  v->drive = drive;
  v->startSector = 0;
  v->sizeSectors = drive ? drive->SectorCount() : 0;
  v->SetClusterSize(4096);
  v->type = kVolNtfs;
  v->defaultVolume = true;
  return v;
}

void NTFSObj::ComputePercentForVolumes(std::vector<uint32_t>* shares) {
  uint64_t total = 0;
  int last = -1;
  for (size_t i = 0; i < volumes.size(); i++)
    if (IsSelected(i)) {
      total += volumes[i]->sizeSectors;
      last = int(i);
    }
  std::vector<uint32_t> out(volumes.size(), 0);
  uint32_t sum = 0;
  for (size_t i = 0; i < volumes.size(); i++) {
    if (!IsSelected(i)) continue;
    if (int(i) == last) {
      out[i] = 100 - sum;
    } else {
      // size * 100 / total without overflow for sizes up to 2^64 / 100
      const uint64_t s = volumes[i]->sizeSectors;
      out[i] = total ? uint32_t(s > UINT64_MAX / 100 ? s / (total / 100 ? total / 100 : 1) : s * 100 / total) : 0;
      out[i] = std::min(out[i], 100 - sum);
      sum += out[i];
    }
  }
  for (size_t i = 0; i < volumes.size(); i++) volumes[i]->progressSteps = out[i];
  if (shares) *shares = out;
}

uint32_t* NTFSObj::RecordSlot(uint16_t volume, uint32_t record, bool grow) {
  if (volume >= byRecord_.size()) {
    if (!grow) return nullptr;
    byRecord_.resize(size_t(volume) + 1);
  }
  std::vector<uint32_t>& v = byRecord_[volume];
  if (record >= v.size()) {
    if (!grow) return nullptr;
    v.resize(std::max<size_t>(size_t(record) + 1, v.size() + v.size() / 2), 0);
  }
  return &v[record];
}

cnode* NTFSObj::AddNewNode(cnode* node, bool copy, int64_t* index) {
  if (!node) return nullptr;
  const bool keyed = node->IsSnode() && node->volumeIndex != kNoVolume && node->id != kNoNodeId;
  // A record the sector pass stored without a volume, met again with its
  // volume: the new node takes the old one's place and index.
  int64_t replace = -1;
  if (node->IsSnode() && !(node->flags & kInodeCarved) && !looseByPosition_.empty()) {
    const uint64_t at = static_cast<snode*>(node)->position;
    auto hit = looseByPosition_.find(at);
    if (hit != looseByPosition_.end() && node->volumeIndex != kNoVolume) {
      const cnode* old = nodes->GetAt(hit->second - 1);
      if (old && old->volumeIndex == kNoVolume && !(old->flags & kNodeHandedOver)) {
        replace = hit->second - 1;
        if (!old->IsDirectory()) foundCount--;
      }
      looseByPosition_.erase(hit);
    }
  }
  if (keyed) {
    const uint32_t* slot = RecordSlot(node->volumeIndex, node->id, false);
    if (slot && *slot) {
      cnode* there = nodes->GetAt(*slot - 1);
      if (there && static_cast<snode*>(there)->position == static_cast<snode*>(node)->position) {
        if (index) *index = *slot - 1;
        if (!copy) DeleteNode(&node);
        return there;
      }
    }
  }
  cnode* stored = node;
  if (copy) {
    stored = CreateNode(node->kind);
    if (!stored) return nullptr;
    if (!stored->CopyNode(node)) {
      DeleteNode(&stored);
      return nullptr;
    }
  }
  const int64_t at = nodes->SetAt(stored, replace);
  if (at < 0) {
    if (copy) DeleteNode(&stored);
    return nullptr;
  }
  if (keyed) *RecordSlot(stored->volumeIndex, stored->id, true) = uint32_t(at) + 1;
  if (scanMode == kScanLong && stored->IsSnode() && stored->volumeIndex == kNoVolume &&
      !(stored->flags & kInodeCarved))
    looseByPosition_[static_cast<snode*>(stored)->position] = uint32_t(at) + 1;
  if (index) *index = at;
  return stored;
}

namespace {

// A listed node for the binary trace: opcode 3, then its run list.
void LogStoredNode(const cnode& node) {
  IoTraceFoundFile f;
  f.name = node.GetNameW();
  f.parent = node.parentId;
  f.position = node.id;
  f.secondPosition = node.id;
  if (node.IsSnode()) {
    f.recordSector = int64_t(static_cast<const snode&>(node).position);
    f.secondPosition = static_cast<const snode&>(node).position;
  } else {
    f.recordSector = node.GetFirstSector();
  }
  f.size = node.size;
  f.directory = node.IsDirectory();
  if (const uint8_t* list = node.RunBuffer()) {
    const uint32_t bytes = RunListBytes(list);
    if (bytes) f.runLists.emplace_back(list + kRunListHeaderBytes, list + kRunListHeaderBytes + bytes);
  }
  theIoTrace().LogFoundFile(f);
}

}  // namespace

int NTFSObj::StoreFileItem(WStringView prefix, WStringView path, int64_t nodeIndex) {
  cnode* node = nodes->GetAt(nodeIndex);
  // The files of one folder come in a row: their folder path is made once.
  struct FolderMemo {
    WString prefix, path, cut, folder;
    bool valid = false;
  };
  thread_local FolderMemo memo;
  const WString& cut = Options().repeatedPath;
  if (!memo.valid || prefix != memo.prefix || path != memo.path || cut != memo.cut) {
    WString full(prefix);
    WString rest(path);
    if (!cut.empty()) {
      const size_t at = FindNoCase(rest, cut);
      if (at != WStringView::npos) {
        size_t end = at + cut.size();
        while (end + cut.size() <= rest.size() && EqualsNoCase(WStringView(rest).substr(end, cut.size()), cut))
          end += cut.size();
        rest.erase(at, end - at);
      }
    }
    full += rest;
    if (full.size() > 3 && full.back() == u'\\') full.pop_back();
    memo.prefix.assign(prefix);
    memo.path.assign(path);
    memo.cut = cut;
    memo.folder = std::move(full);
    memo.valid = true;
  }
  FoundItem item;
  item.folderPath = memo.folder;
  item.nodeIndex = int32_t(nodeIndex);
  if (node) {
    const int grade = (node->flags & kNodeGradeMask) >> kNodeGradeShift;
    item.condition = grade == kGradeGood ? 328 : grade == kGradePoor ? 329 : -1;
    if (!(node->flags & kNodeDeleted) && !node->IsDirectory()) {
      ++liveFiles;
      if (grade == kGradePoor) ++livePoorFiles;
    }
    item.name = node->GetNameW();
    item.size = node->size;
    item.flags = node->flags;
    item.flags2 = node->flags2;
    item.volumeIndex = node->volumeIndex;
    item.symlink = (node->flags & kNodeSymlink) && NodeHasTrait(node->kind, kNodeTraitNoSymlinks);
    uint64_t t = 0;
    if (node->GetFileTime(&t, 0)) item.time = t;
  }
  if (node && traceMft.load(std::memory_order_relaxed)) LogStoredNode(*node);
  int answer = 1;
  if (sendObj) answer = sendObj->AddItem(std::move(item));
  if (answer == 2) {
    if (g_appState) g_appState->stopRequested = 1;
  } else if (answer == 0 && node && !node->IsDirectory()) {
    // Before the window: the file is not needed, but a folder may still be
    // the parent of later nodes, so folders stay.
    nodes->DeleteAt(nodeIndex);
  }
  storedCount++;
  return answer;
}

const uint8_t* NTFSObj::GetNodeData(int64_t index) const {
  const cnode* n = nodes->GetAt(index);
  return n ? n->runs : nullptr;
}

// ---- ScanSink ----

void NTFSObj::AddNodeRanges(const CVol& volume, const NodeRun* runs, size_t count, uint32_t unit, uint64_t firstByte,
                            uint64_t limitByte) {
  if (drive) drive->AddNodeRanges(runs, count, int64_t(volume.startSector), unit, false, firstByte, limitByte);
  coveredGeneration_++;
}

bool NTFSObj::IsCovered(uint64_t firstByte, uint64_t endByte) const {
  const CSectRanges* covered = drive ? drive->Covered() : nullptr;
  if (!covered || firstByte >= endByte) return false;
  for (const CSectRanges::Range& r : covered->List())
    if (r.first <= firstByte && endByte <= r.end) return true;
  return false;
}

int32_t NTFSObj::FindVolume(uint8_t type, int64_t sector, uint64_t count) const {
  if (sector < 0) return -1;
  for (size_t i = 0; i < volumes.size(); i++) {
    const CVol* v = volumes[i];
    if (!v || v->type != type || uint64_t(sector) < v->startSector) continue;
    const uint64_t end = v->startSector + v->sizeSectors;
    if (uint64_t(sector) + count <= end) return int32_t(i);
  }
  return -1;
}

void NTFSObj::SetPercentComplete(int percent, int mode) {
  if (sendObj) sendObj->SetPercentComplete(percent, kCodeFoundItems, mode);
}

uint64_t NTFSObj::ItemsBeforeWindow() const { return sendObj ? sendObj->ItemsBeforeWindow() : 0; }

int NTFSObj::PathFilterMatch(const char16_t* path) const {
  if (!drive) return 0;
  const WString* filter = drive->SecondText();
  return ::PathFilterMatch(path, filter ? filter->c_str() : nullptr, drive->SecondFilter());
}

void NTFSObj::CountStat(ScanStat which, uint32_t n) { theProgressAndStats().block[size_t(which)] += n; }

bool NTFSObj::StopRequested() const { return abort || Options().stopRequested; }

void NTFSObj::WaitWhilePaused() {
  while (Options().pauseRequested && !StopRequested()) {
    if (g_eventPause) g_eventPause->Wait(100);
  }
}

bool NTFSObj::SavesFoundFiles() const { return Options().scanAndSave && !saveDestination.empty(); }

bool NTFSObj::SaveFoundFile(CVol& volume, const cnode& node, WStringView name) {
  if (!SavesFoundFiles()) return false;
  const AppState& options = Options();
  if (!saveCheckpoint_ && options.checkpoint && !options.checkpoint->file.empty()) {
    saveCheckpoint_ = std::make_unique<Checkpoint>();
    saveCheckpoint_->Load(options.checkpoint->file);
    if (options.checkpoint->frequency > 0)
      saveCheckpoint_->SetInterval(int32_t(std::min<int64_t>(options.checkpoint->frequency, INT32_MAX)));
  }
  RecoverNodeToFolder(&volume, &node, saveDestination, name, saveCheckpoint_.get(), diskFullAnswer);
  return true;
}
