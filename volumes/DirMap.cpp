#include "volumes/DirMap.h"

#include <new>
#include <utility>

#include "foundation/ByteOrder.h"
#include "foundation/Trace.h"
#include "volumes/Node.h"
#include "volumes/NodeTable.h"

namespace {

bool Qualifies(const cnode* node) {
  if (!node || !node->IsSnode()) return false;
  if (node->flags2 & kNode2Directory) return !(node->flags & 0x8000);
  if (node->flags & (0x0001 | 0x0020 | 0x0080)) return false;
  if (node->parentId == 5 && node->volumeIndex != kNoVolume) return false;
  return node->name != nullptr;
}

template <class T>
int Order(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareKey(int64_t parentA, const snode* a, int64_t parentB, uint64_t firstB, uint64_t secondB,
               const uint8_t* nameB) {
  if (int c = Order(int32_t(parentA), int32_t(parentB))) return c;
  if (int c = Order(int64_t(a->creationTime), int64_t(firstB))) return c;
  if (int c = Order(int64_t(a->writeTime), int64_t(secondB))) return c;
  int c = CompareCountedNames(a->name, nameB, false);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

int64_t CDirMap::ParentKey(const CNdArray& table, const cnode* node) {
  if (!(node->flags & kNodeParentIsIndex)) return node->parentId;
  const cnode* parent = table.GetAt(node->parentId);
  return parent ? int64_t(parent->id) : -1;
}

void CDirMap::CreateArray(const CNdArray& table) {
  table_ = &table;
  entries_.clear();
  try {
    // The marks first, then one allocation of the exact size.
    std::vector<uint8_t> marks((size_t(table.Count()) + 7) / 8);
    size_t n = 0;
    for (uint32_t i = 0; i < table.Count(); ++i) {
      if (Qualifies(table.GetAt(i))) {
        marks[i >> 3] |= uint8_t(1u << (i & 7));
        ++n;
      }
    }
    entries_.reserve(n);
    for (uint32_t i = 0; i < table.Count(); ++i) {
      if (marks[i >> 3] & (1u << (i & 7))) entries_.push_back(i);
    }
  } catch (const std::bad_alloc&) {
    entries_.clear();
    ShowErrorAndThrow();
  }
}

int CDirMap::Compare(uint32_t a, uint32_t b) const {
  const snode* na = static_cast<const snode*>(table_->GetAt(a));
  const snode* nb = static_cast<const snode*>(table_->GetAt(b));
  if (!na || !nb) return Order(na != nullptr, nb != nullptr);  // a slot emptied meanwhile
  return CompareKey(ParentKey(*table_, na), na, ParentKey(*table_, nb), nb->creationTime, nb->writeTime, nb->name);
}

void CDirMap::QuickSort() {
  if (!table_ || entries_.size() < 2) return;
  // Iterative, with an explicit stack of ranges; the larger half waits on
  // the stack so it never holds more than log2(n) ranges.
  std::vector<std::pair<int64_t, int64_t>> stack;
  stack.reserve(64);
  stack.emplace_back(0, int64_t(entries_.size()) - 1);
  while (!stack.empty()) {
    auto [lo, hi] = stack.back();
    stack.pop_back();
    while (lo < hi) {
      if (hi - lo < 16) {
        for (int64_t i = lo + 1; i <= hi; ++i) {
          uint32_t v = entries_[size_t(i)];
          int64_t j = i - 1;
          while (j >= lo && Compare(entries_[size_t(j)], v) > 0) {
            entries_[size_t(j + 1)] = entries_[size_t(j)];
            --j;
          }
          entries_[size_t(j + 1)] = v;
        }
        break;
      }
      // Median of three as pivot.
      int64_t mid = lo + (hi - lo) / 2;
      if (Compare(entries_[size_t(mid)], entries_[size_t(lo)]) < 0) std::swap(entries_[size_t(mid)], entries_[size_t(lo)]);
      if (Compare(entries_[size_t(hi)], entries_[size_t(lo)]) < 0) std::swap(entries_[size_t(hi)], entries_[size_t(lo)]);
      if (Compare(entries_[size_t(hi)], entries_[size_t(mid)]) < 0) std::swap(entries_[size_t(hi)], entries_[size_t(mid)]);
      uint32_t pivot = entries_[size_t(mid)];
      int64_t i = lo, j = hi;
      while (i <= j) {
        while (Compare(entries_[size_t(i)], pivot) < 0) ++i;
        while (Compare(entries_[size_t(j)], pivot) > 0) --j;
        if (i <= j) {
          std::swap(entries_[size_t(i)], entries_[size_t(j)]);
          ++i;
          --j;
        }
      }
      if (j - lo < hi - i) {
        if (i < hi) stack.emplace_back(i, hi);
        hi = j;
      } else {
        if (lo < j) stack.emplace_back(lo, j);
        lo = i;
      }
    }
  }
}

int64_t CDirMap::FindEntry(uint32_t parent, uint64_t firstTime, uint64_t secondTime, WStringView name) const {
  if (!table_ || entries_.empty()) return -1;
  uint8_t counted[kCountedNameMaxBytes];
  MakeCountedName(name, counted);
  int64_t lo = 0, hi = int64_t(entries_.size()) - 1;
  while (lo <= hi) {
    int64_t mid = lo + (hi - lo) / 2;
    uint32_t index = entries_[size_t(mid)];
    const snode* node = static_cast<const snode*>(table_->GetAt(index));
    if (!node) return -1;  // the table changed under the map
    int c = CompareKey(ParentKey(*table_, node), node, int64_t(parent), firstTime, secondTime, counted);
    if (c == 0) return index;
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return -1;
}
