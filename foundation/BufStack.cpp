#include "foundation/BufStack.h"

#include <cassert>
#include <cstring>

#include "platform/Errors.h"
#include "platform/Memory.h"
#include "foundation/Trace.h"

namespace {

// A misuse of the stack is a bug in the caller; it is recorded as the last
// error and in the trace so the report shows where the nesting broke.
WString MisuseText(const char16_t* what) { return FormatW(u"Internal error: work buffer stack %s.", what); }

void RecordMisuse(const char16_t* what) noexcept {
  try {
    ErrorMsg(MisuseText(what));
    TracePrintfW(u"BufStack: %s\n", what);
  } catch (...) {
  }
}

[[noreturn]] void ThrowMisuse(const char16_t* what) {
  RecordMisuse(what);
  throw DvTextError{MisuseText(what)};
}

}  // namespace

BufStack::~BufStack() {
  for (int i = 0; i < kBufStackSlots; ++i) AlignedFree(buffers_[i]);
}

void* BufStack::Push(size_t size, bool zero) {
  if (top_ >= kBufStackSlots) {
    ThrowMisuse(u"overflow (more than 64 nested buffers)");
  }
  if (uint64_t(size) > kBufStackMaxBytes) ShowErrorAndThrow();
  int slot = top_;
  if (!buffers_[slot] || sizes_[slot] < size) {
    // Release first: the old contents are not kept, and this lowers the peak.
    AlignedFree(buffers_[slot]);
    buffers_[slot] = nullptr;
    sizes_[slot] = 0;
    void* region = AlignedAlloc(size);
    if (!region) ShowErrorAndThrow();
    buffers_[slot] = region;
    sizes_[slot] = size;
  } else if (zero) {
    std::memset(buffers_[slot], 0, size);
  }
  // A fresh region is zero-filled already.
  top_ = slot + 1;
  return buffers_[slot];
}

bool BufStack::PopChecked(void* buffer) noexcept {
  if (top_ > 0 && buffer && buffers_[top_ - 1] == buffer) {
    --top_;
    return true;
  }
  for (int i = top_ - 2; i >= 0; --i) {
    if (buffer && buffers_[i] == buffer) {
      RecordMisuse(u"popped below its top (a nested push was not popped)");
      top_ = i;
      return false;
    }
  }
  RecordMisuse(top_ > 0 ? u"popped with a buffer that is not on it" : u"popped while empty");
  return false;
}

void BufStack::Pop(void* buffer) {
  if (top_ > 0 && buffer && buffers_[top_ - 1] == buffer) {
    --top_;
    return;
  }
  ThrowMisuse(top_ > 0 ? u"popped with a buffer that is not its top" : u"popped while empty");
}

int BufStack::FreeAll() noexcept {
  int released = 0;
  for (int i = top_; i < kBufStackSlots; ++i) {
    if (!buffers_[i]) continue;
    AlignedFree(buffers_[i]);
    buffers_[i] = nullptr;
    sizes_[i] = 0;
    ++released;
  }
  return released;
}

int BufStack::CachedRegions() const noexcept {
  int n = 0;
  for (void* b : buffers_) n += b != nullptr;
  return n;
}

size_t BufStack::SlotSize(int slot) const noexcept {
  return slot >= 0 && slot < kBufStackSlots ? sizes_[slot] : 0;
}

const void* BufStack::SlotBuffer(int slot) const noexcept {
  return slot >= 0 && slot < kBufStackSlots ? buffers_[slot] : nullptr;
}

BufStack& theBufStack() {
  thread_local BufStack stack;
  return stack;
}

BufStackGuard::~BufStackGuard() {
  if (!buffer_) return;
  [[maybe_unused]] bool wasTop = theBufStack().PopChecked(buffer_);
  assert(wasTop && "work buffer popped out of order");
}
