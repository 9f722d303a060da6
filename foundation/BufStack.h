// Cached work buffers for nested parsing (a volume reader calls a record
// parser that reads a run list that reads sectors). A caller pushes a buffer
// of the size it needs and pops it before returning; the region stays cached
// in its slot for the next push at that depth, so inner scan loops allocate
// nothing after their first pass.
//
// Every thread has its own stack, so a scan, a recovery and the preview never
// share slots. Prefer BufStackGuard, which pops on error paths too.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr int kBufStackSlots = 64;
// Largest single buffer: the sizes were 32-bit, and a larger request comes
// from a bad size field rather than a real need.
inline constexpr uint64_t kBufStackMaxBytes = 0xFFFFFFFFull;

class BufStack {
 public:
  BufStack() = default;
  ~BufStack();  // releases every region, in use or not
  BufStack(const BufStack&) = delete;
  BufStack& operator=(const BufStack&) = delete;

  // The buffer of the next slot, at least size bytes; with zero the first
  // size bytes are zero, otherwise they hold what the last user left. A slot
  // whose region is too small gets a new one. Out of memory (or a size above
  // kBufStackMaxBytes) ends in ShowErrorAndThrow; a 65th nested push records
  // the fault and throws DvTextError, leaving the stack as it was.
  void* Push(size_t size, bool zero);
  // Gives back the top buffer. Any other buffer (or an empty stack) is a
  // program error: recorded, DvTextError thrown, stack unchanged.
  void Pop(void* buffer);
  // As Pop, without throwing. A buffer found below the top (its callees
  // leaked pushes) is popped together with everything above it. False when
  // the buffer was not the top.
  bool PopChecked(void* buffer) noexcept;
  // Releases the cached regions of the slots not in use (at and above the
  // top); buffers still held stay valid. Returns the number released.
  int FreeAll() noexcept;

  int Depth() const noexcept { return top_; }
  // Cached regions, in use or not.
  int CachedRegions() const noexcept;
  size_t SlotSize(int slot) const noexcept;
  const void* SlotBuffer(int slot) const noexcept;

 private:
  void* buffers_[kBufStackSlots] = {};
  size_t sizes_[kBufStackSlots] = {};
  int32_t top_ = 0;
};

// The calling thread's stack.
BufStack& theBufStack();

// A pushed buffer popped when the scope ends, also by an exception.
class BufStackGuard {
 public:
  explicit BufStackGuard(size_t size, bool zero = false) : buffer_(theBufStack().Push(size, zero)) {}
  ~BufStackGuard();
  BufStackGuard(const BufStackGuard&) = delete;
  BufStackGuard& operator=(const BufStackGuard&) = delete;

  void* get() const noexcept { return buffer_; }
  uint8_t* bytes() const noexcept { return static_cast<uint8_t*>(buffer_); }
  // Hands the buffer to code that pops it later with BufStack::Pop.
  void* Release() noexcept {
    void* b = buffer_;
    buffer_ = nullptr;
    return b;
  }

 private:
  void* buffer_;
};

// The start-up object: frees the cached regions of the thread that destroys
// the global objects (the main thread) at exit. Other threads free theirs
// when they end.
class BufStackOwner {
 public:
  BufStackOwner() = default;
  ~BufStackOwner() { theBufStack().FreeAll(); }
  BufStackOwner(const BufStackOwner&) = delete;
  BufStackOwner& operator=(const BufStackOwner&) = delete;
};
