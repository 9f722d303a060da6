#include "volumes/NodeTable.h"

#include <new>

#include "foundation/Trace.h"
#include "volumes/Node.h"

CNdArray::CNdArray()
    : namePool(4096, 4096, 2, 2, HtTypes(kHtInt, kHtCounted)), engineNames(4096, 1, 2, 2, HtTypes(kHtInt, kHtText)) {}

CNdArray::~CNdArray() {
  for (uint32_t i = 0; i < count_; ++i) {
    cnode*& slot = Slot(i);
    if (slot) DeleteNode(&slot);
  }
}

cnode* CNdArray::GetAt(int64_t i) const {
  if (i < 0 || i >= int64_t(count_)) return nullptr;
  return Slot(uint32_t(i));
}

void CNdArray::Grow() {
  try {
    std::unique_ptr<cnode*[]> segment(new cnode*[kSegmentSlots]());
    segments_.push_back(std::move(segment));
  } catch (const std::bad_alloc&) {
    ShowErrorAndThrow();
  }
}

int64_t CNdArray::SetAt(cnode* node, int64_t i) {
  TRACE_FN("NTFSObj::InitInodes");
  if (i == kAppend || i == int64_t(count_)) {
    if (count_ == UINT32_MAX) return -1;  // -1 stays free to mean "append"
    if (count_ >= Capacity()) Grow();
    Slot(count_) = node;
    return int64_t(count_++);
  }
  if (i < 0 || i > int64_t(count_)) return -1;
  cnode*& slot = Slot(uint32_t(i));
  if (slot != node) {
    DeleteNode(&slot);
    slot = node;
  }
  return i;
}

void CNdArray::DeleteAt(int64_t i) {
  if (i < 0 || i >= int64_t(count_)) return;
  DeleteNode(&Slot(uint32_t(i)));
}

cnode* CNdArray::TakeAt(int64_t i) {
  if (i < 0 || i >= int64_t(count_)) return nullptr;
  cnode* node = Slot(uint32_t(i));
  Slot(uint32_t(i)) = nullptr;
  return node;
}

const uint8_t* CNdArray::InternName(WStringView text) {
  MakeCountedName(text, scratch_);
  return namePool.InternCounted(scratch_, nullptr, true);
}

int64_t CNdArray::FindByPosition(uint64_t position, int64_t lo, int64_t hi) const {
  if (lo < 0) lo = 0;
  if (hi >= int64_t(count_)) hi = int64_t(count_) - 1;
  while (lo <= hi) {
    int64_t mid = lo + (hi - lo) / 2;
    const cnode* node = Slot(uint32_t(mid));
    if (!node || !node->IsSnode()) {
      if (traceMft.load(std::memory_order_relaxed)) TracePrintfA("nd[%ld] = 0\n", mid);
      return -1;
    }
    uint64_t p = static_cast<const snode*>(node)->position;
    if (p == position) return mid;
    if (p < position) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return -1;
}

const uint8_t* CNdArray::NodeName(const void* table, HWord index) {
  const cnode* node = table ? static_cast<const CNdArray*>(table)->GetAt(int64_t(index)) : nullptr;
  return node ? node->name : nullptr;
}
