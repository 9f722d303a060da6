#include "ui/core/FolderIndex.h"

#include <algorithm>
#include <unordered_set>

namespace {

// States combined: 0 nothing yet, equal states stay, any difference 3.
uint8_t Combine(uint8_t acc, uint8_t s) {
  if (acc == 0) return s;
  return acc == s ? acc : kCheckMixed;
}

}  // namespace

FolderIndex::FolderIndex() { childStart_.assign(1, 0); }
FolderIndex::~FolderIndex() = default;

WStringView FolderIndex::Name(uint32_t row) const {
  const WString& p = Path(row);
  if (rows_[row].level == 0) return p;
  const size_t slash = p.rfind(u'\\');
  return slash == WString::npos ? WStringView(p) : WStringView(p).substr(slash + 1);
}

uint32_t FolderIndex::RowOfPath(WStringView path) const {
  if (storePaths_) {
    const uint32_t id = storePaths_->Find(path);
    if (id != TextPool::kNotInterned && id < rowOfStorePath_.size() && rowOfStorePath_[id] != kNoFolderRow)
      return rowOfStorePath_[id];
  }
  const uint32_t id = paths_.Find(path);
  return id == TextPool::kNotInterned || id >= rowOfPoolId_.size() ? kNoFolderRow : rowOfPoolId_[id];
}

uint32_t FolderIndex::RowOfRecord(const ListStore& store, size_t record) const {
  if (record >= store.Count()) return kNoFolderRow;
  const uint32_t pathId = store.At(record).pathId;
  return pathId < rowOfStorePath_.size() ? rowOfStorePath_[pathId] : kNoFolderRow;
}

uint32_t FolderIndex::FindOrAdd(WStringView path, int32_t nodeIndex) {
  // Each prefix ending before a "\\" is a folder (the first a volume), then
  // the whole path; rows are made parent first. The folders of the last
  // path are kept (chain_): in folder order a new path shares most of them,
  // so only its new components are looked up.
  size_t same = 0;
  if (!chain_.empty()) {
    const WStringView last = Path(chain_.back().second);
    while (same < last.size() && same < path.size() && last[same] == path[same]) ++same;
  }
  size_t keep = 0;
  while (keep < chain_.size() && chain_[keep].first <= same &&
         (chain_[keep].first == path.size() || path[chain_[keep].first] == u'\\'))
    ++keep;
  chain_.resize(keep);
  uint32_t parent = keep ? chain_.back().second : kNoFolderRow;
  size_t from = keep ? chain_.back().first + 1 : 0;
  if (keep && chain_.back().first == path.size()) return parent;
  uint8_t level = keep ? uint8_t(std::min<size_t>(keep, 255)) : 0;
  while (true) {
    const size_t slash = path.find(u'\\', from);
    const size_t len = slash == WStringView::npos ? path.size() : slash;
    const WStringView prefix = path.substr(0, len);
    // The store's id of the text, when a record has it.
    const uint32_t storeId = storePaths_->Find(prefix);
    uint32_t row = storeId != TextPool::kNotInterned && storeId < rowOfStorePath_.size() ? rowOfStorePath_[storeId]
                                                                                        : kNoFolderRow;
    if (row == kNoFolderRow && storeId == TextPool::kNotInterned) {
      const uint32_t own = paths_.Find(prefix);
      if (own != TextPool::kNotInterned && own < rowOfPoolId_.size()) row = rowOfPoolId_[own];
    }
    if (row == kNoFolderRow) {
      row = uint32_t(rows_.size());
      FolderRow f;
      f.level = level;
      f.parent = parent;
      f.nodeIndex = level == 0 ? nodeIndex : -1;
      rows_.push_back(f);
      if (storeId != TextPool::kNotInterned && storeId < rowOfStorePath_.size()) {
        pathOfRow_.push_back(storeId);
        rowOfStorePath_[storeId] = row;
      } else {
        const uint32_t id = paths_.Intern(prefix);
        pathOfRow_.push_back(id | kOwnPath);
        if (id >= rowOfPoolId_.size()) rowOfPoolId_.resize(std::max<size_t>(id + 1, rowOfPoolId_.size() * 2), kNoFolderRow);
        rowOfPoolId_[id] = row;
      }
      if (level == 0) volumeRows_.push_back(row);
    }
    chain_.emplace_back(len, row);
    if (slash == WStringView::npos) return row;
    parent = row;
    if (level < 255) ++level;
    from = slash + 1;
  }
}

void FolderIndex::Build(const ListStore& store, const std::vector<uint8_t>* passBits) {
  rows_.clear();
  paths_.Clear();
  pathOfRow_.clear();
  rowOfPoolId_.clear();
  roots_.clear();
  volumeRows_.clear();
  chain_.clear();
  storePaths_ = &store.Paths();
  rowOfStorePath_.assign(store.Paths().Count(), kNoFolderRow);
  builtForOrder_ = store.OrderGeneration();
  uint32_t lastPath = kNoFolderRow, lastRow = kNoFolderRow;
  const size_t n = store.Count();
  for (size_t i = 0; i < n; ++i) {
    const ListRecord& r = store.At(i);
    uint32_t row;
    if (r.pathId == lastPath) {
      row = lastRow;
    } else {
      row = r.pathId < rowOfStorePath_.size() ? rowOfStorePath_[r.pathId] : kNoFolderRow;
      if (row == kNoFolderRow) row = FindOrAdd(store.Paths().Get(r.pathId), r.nodeIndex);
      lastPath = r.pathId;
      lastRow = row;
    }
    FolderRow& f = rows_[row];
    if (f.firstRecord == kNoFolderRow) f.firstRecord = uint32_t(i);
    f.lastRecord = uint32_t(i);
    const bool passes = passBits ? ((i >> 3) >= passBits->size() || ((*passBits)[i >> 3] & (0x80u >> (i & 7))))
                                 : store.Passes(i);
    if (!f.treeItem && passes) {
      for (uint32_t a = row; a != kNoFolderRow && !rows_[a].treeItem; a = rows_[a].parent) rows_[a].treeItem = 1;
    }
  }
  // Tree children in creation order, held in one array.
  const size_t count = rows_.size();
  childStart_.assign(count + 1, 0);
  ordinal_.assign(count, 0);
  for (uint32_t r = 0; r < count; ++r) {
    if (!rows_[r].treeItem) continue;
    if (rows_[r].parent == kNoFolderRow) {
      ordinal_[r] = uint32_t(roots_.size());
      roots_.push_back(r);
    } else {
      ordinal_[r] = childStart_[rows_[r].parent + 1]++;
    }
  }
  for (size_t r = 0; r < count; ++r) childStart_[r + 1] += childStart_[r];
  children_.assign(childStart_[count], 0);
  for (uint32_t r = 0; r < count; ++r)
    if (rows_[r].treeItem && rows_[r].parent != kNoFolderRow)
      children_[childStart_[rows_[r].parent] + ordinal_[r]] = r;
}

void FolderIndex::Expand(uint32_t row, const ListStore& store, std::vector<uint32_t>& out,
                         const ListNodeSource* nodes) {
  if (row >= rows_.size()) return;
  std::unordered_set<WStringView> shown;
  for (uint32_t i = 0, n = TreeChildCount(row); i < n; ++i) {
    const uint32_t c = TreeChild(row, i);
    if (rows_[c].State() == kCheckUnknown) MarkFolderState(c, store);
    out.push_back(c | 0x80000000u);
    if (nodes) shown.insert(Name(c));
  }
  const FolderRow& f = rows_[row];
  if (f.firstRecord == kNoFolderRow) return;
  ListNodeInfo info;
  for (size_t rec = f.firstRecord; rec <= f.lastRecord && rec < store.Count(); ++rec) {
    if (RowOfRecord(store, rec) != row || !store.Passes(rec)) continue;
    if (!shown.empty() &&
        nodes->GetNodeFacts(store.At(rec).nodeIndex, ListNodeSource::kNodeName | ListNodeSource::kNodeFlags, info) &&
        info.folder && shown.count(info.name))
      continue;
    out.push_back(uint32_t(rec));
  }
}

void FolderIndex::ResetRows() {
  for (FolderRow& f : rows_) {
    f.SetState(kCheckUnknown);
    f.totalSize = kFolderSizeUnknown;
  }
}

uint64_t FolderIndex::ComputeFolderSize(uint32_t row, const ListStore& store, const ListNodeSource* nodes) {
  if (row >= rows_.size()) return 0;
  if (rows_[row].totalSize != kFolderSizeUnknown) return rows_[row].totalSize;
  // Post-order over the tree below; only rows with tree items hold passing
  // files. Sizes come from disk: the sums saturate.
  std::vector<std::pair<uint32_t, uint32_t>> stack{{row, 0}};
  while (!stack.empty()) {
    auto& [r, next] = stack.back();
    if (next < TreeChildCount(r)) {
      const uint32_t c = TreeChild(r, next++);
      if (rows_[c].totalSize == kFolderSizeUnknown) stack.emplace_back(c, 0);
      continue;
    }
    unsigned __int128 sum = 0;
    const FolderRow& f = rows_[r];
    if (f.firstRecord != kNoFolderRow) {
      ListNodeInfo info;
      for (size_t rec = f.firstRecord; rec <= f.lastRecord && rec < store.Count(); ++rec) {
        if (RowOfRecord(store, rec) != r || !store.Passes(rec)) continue;
        const int32_t node = store.At(rec).nodeIndex;
        if (node != -1 && nodes && nodes->GetNodeFacts(node, ListNodeSource::kNodeSize, info)) sum += info.size;
      }
    }
    for (uint32_t i = 0, n = TreeChildCount(r); i < n; ++i) sum += rows_[TreeChild(r, i)].totalSize;
    // All-ones means "not worked out": the largest size is one less.
    rows_[r].totalSize = sum >= kFolderSizeUnknown ? kFolderSizeUnknown - 1 : uint64_t(sum);
    stack.pop_back();
  }
  return rows_[row].totalSize;
}

uint8_t FolderIndex::OwnFilesState(uint32_t row, const ListStore& store) const {
  if (row >= rows_.size()) return kNoOwnFiles;
  const FolderRow& f = rows_[row];
  uint8_t acc = 0;
  if (f.firstRecord != kNoFolderRow) {
    for (size_t rec = f.firstRecord; rec <= f.lastRecord && rec < store.Count(); ++rec) {
      if (RowOfRecord(store, rec) != row || !store.Passes(rec)) continue;
      acc = Combine(acc, store.CheckState(rec) == kCheckOn ? kCheckOn : kCheckOff);
      if (acc == kCheckMixed) break;
    }
  }
  return acc == 0 ? kNoOwnFiles : acc;
}

uint8_t FolderIndex::GetParentFilesState(uint32_t row, const ListStore& store) const {
  if (row >= rows_.size() || rows_[row].parent == kNoFolderRow) return kNoOwnFiles;
  return OwnFilesState(rows_[row].parent, store);
}

uint8_t FolderIndex::StateFromChildren(uint32_t row, const ListStore& store) const {
  const uint8_t own = OwnFilesState(row, store);
  uint8_t acc = own == kNoOwnFiles ? 0 : own;
  for (uint32_t i = 0, n = TreeChildCount(row); i < n && acc != kCheckMixed; ++i)
    acc = Combine(acc, rows_[TreeChild(row, i)].State());
  return acc == 0 ? kCheckOff : acc;
}

uint8_t FolderIndex::MarkFolderState(uint32_t row, const ListStore& store) {
  if (row >= rows_.size()) return kCheckOff;
  std::vector<std::pair<uint32_t, uint32_t>> stack{{row, 0}};
  while (!stack.empty()) {
    auto& [r, next] = stack.back();
    if (next < TreeChildCount(r)) {
      const uint32_t c = TreeChild(r, next++);
      if (rows_[c].State() == kCheckUnknown) stack.emplace_back(c, 0);
      continue;
    }
    rows_[r].SetState(StateFromChildren(r, store));
    stack.pop_back();
  }
  return rows_[row].State();
}

void FolderIndex::MarkAllFolderStates(const ListStore& store) {
  // Children are made after their parents: from the end, every child is
  // done before its parent.
  for (size_t r = rows_.size(); r-- > 0;)
    if (rows_[r].treeItem && rows_[r].State() == kCheckUnknown) rows_[r].SetState(StateFromChildren(uint32_t(r), store));
}

void FolderIndex::ClearFolderStates() {
  for (FolderRow& f : rows_) f.SetState(kCheckUnknown);
}

void FolderIndex::SetState(uint32_t row, uint8_t state, std::vector<uint32_t>* changed) {
  if (rows_[row].State() == state) return;
  rows_[row].SetState(state);
  if (changed) changed->push_back(row);
}

void FolderIndex::SetRecords(uint32_t row, uint8_t state, ListStore& store, const ListNodeSource* nodes) {
  const FolderRow& f = rows_[row];
  if (f.firstRecord == kNoFolderRow) return;
  for (size_t rec = f.firstRecord; rec <= f.lastRecord && rec < store.Count(); ++rec)
    if (RowOfRecord(store, rec) == row && store.Passes(rec)) store.SetCheck(rec, state, nodes);
}

void FolderIndex::SpreadUp(uint32_t row, uint8_t state, const ListStore& store, std::vector<uint32_t>* changed) {
  uint32_t cur = row;
  uint8_t b = state;
  while (true) {
    const uint32_t parent = rows_[cur].parent;
    if (b != kCheckMixed) {
      const uint32_t n = parent == kNoFolderRow ? uint32_t(roots_.size()) : TreeChildCount(parent);
      for (uint32_t i = 0; i < n && b != kCheckMixed; ++i) {
        const uint32_t s = parent == kNoFolderRow ? roots_[i] : TreeChild(parent, i);
        if (s != cur && rows_[s].State() != b) b = kCheckMixed;
      }
      if (b != kCheckMixed) {
        const uint8_t own = GetParentFilesState(cur, store);
        if (own != kNoOwnFiles && own != b) b = kCheckMixed;
      }
    }
    if (parent == kNoFolderRow) return;
    if (b == kCheckMixed) {
      for (uint32_t a = parent; a != kNoFolderRow; a = rows_[a].parent) SetState(a, kCheckMixed, changed);
      return;
    }
    if (rows_[parent].State() == b) return;
    SetState(parent, b, changed);
    cur = parent;
  }
}

void FolderIndex::SetCheckState(uint32_t row, uint8_t state, ListStore& store, const ListNodeSource* nodes,
                                std::vector<uint32_t>* changed) {
  if (row >= rows_.size() || state < kCheckOff || state > kCheckMixed) return;
  if (rows_[row].State() == state) return;
  if (state == kCheckMixed) {
    SetState(row, state, changed);
  } else {
    // The row and every row below, with their passing records.
    std::vector<uint32_t> stack{row};
    while (!stack.empty()) {
      const uint32_t r = stack.back();
      stack.pop_back();
      SetState(r, state, changed);
      SetRecords(r, state, store, nodes);
      for (uint32_t i = 0, n = TreeChildCount(r); i < n; ++i) stack.push_back(TreeChild(r, i));
    }
  }
  SpreadUp(row, state, store, changed);
}

void FolderIndex::ToggleCheckState(uint32_t row, ListStore& store, const ListNodeSource* nodes,
                                   std::vector<uint32_t>* changed) {
  if (row >= rows_.size()) return;
  SetCheckState(row, rows_[row].State() == kCheckOn ? kCheckOff : kCheckOn, store, nodes, changed);
}

void FolderIndex::CheckAllFolders(bool check, ListStore& store, const ListNodeSource* nodes) {
  const uint8_t state = check ? kCheckOn : kCheckOff;
  for (uint32_t root : std::vector<uint32_t>(roots_)) {
    // A root already in the state may still hold rows that are not.
    rows_[root].SetState(kCheckUnknown);
    SetCheckState(root, state, store, nodes);
  }
}

void FolderIndex::InvertFrom(uint32_t row, ListStore& store, const ListNodeSource* nodes) {
  std::vector<uint32_t> starts = row == kNoFolderRow ? roots_ : std::vector<uint32_t>{row};
  std::vector<uint32_t> subtree;
  for (uint32_t start : starts) {
    if (start >= rows_.size()) continue;
    subtree.clear();
    std::vector<uint32_t> stack{start};
    while (!stack.empty()) {
      const uint32_t r = stack.back();
      stack.pop_back();
      subtree.push_back(r);
      const FolderRow& f = rows_[r];
      if (f.firstRecord != kNoFolderRow)
        for (size_t rec = f.firstRecord; rec <= f.lastRecord && rec < store.Count(); ++rec)
          if (RowOfRecord(store, rec) == r && store.Passes(rec)) store.Toggle(rec, nodes);
      for (uint32_t i = 0, n = TreeChildCount(r); i < n; ++i) stack.push_back(TreeChild(r, i));
    }
    // Checked and unchecked folders swap, mixed ones stay mixed: the states
    // again from the records, children first.
    std::sort(subtree.begin(), subtree.end());
    for (size_t i = subtree.size(); i-- > 0;) rows_[subtree[i]].SetState(StateFromChildren(subtree[i], store));
    if (row != kNoFolderRow) SpreadUp(start, rows_[start].State(), store, nullptr);
  }
}

void FolderIndex::RefreshUpwards(uint32_t row, const ListStore& store, std::vector<uint32_t>* changed) {
  if (row >= rows_.size()) return;
  SetState(row, StateFromChildren(row, store), changed);
  SpreadUp(row, rows_[row].State(), store, changed);
}

size_t FolderIndex::MemoryBytes() const {
  return rows_.capacity() * sizeof(FolderRow) + paths_.MemoryBytes() +
         (pathOfRow_.capacity() + rowOfPoolId_.capacity() + rowOfStorePath_.capacity() + roots_.capacity() +
          volumeRows_.capacity() + childStart_.capacity() + children_.capacity() + ordinal_.capacity()) *
             sizeof(uint32_t);
}
