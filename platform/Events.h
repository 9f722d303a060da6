// Events with timed waits, in place of the system's auto-reset and
// manual-reset event objects.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class Event {
 public:
  explicit Event(bool manualReset, bool initiallySet = false) : manual_(manualReset), set_(initiallySet) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set() {
    std::lock_guard<std::mutex> lock(m_);
    set_ = true;
    if (manual_) cv_.notify_all();
    else cv_.notify_one();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(m_);
    set_ = false;
  }
  // Waits until set or the time-out (milliseconds; negative waits forever).
  // An auto-reset event is cleared by the wait that takes it.
  bool Wait(int64_t timeoutMs = -1) {
    std::unique_lock<std::mutex> lock(m_);
    if (timeoutMs < 0) cv_.wait(lock, [&] { return set_; });
    else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return set_; })) return false;
    if (!manual_) set_ = false;
    return true;
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(m_);
    return set_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  const bool manual_;
  bool set_;
};

class AutoResetEvent : public Event {
 public:
  AutoResetEvent() : Event(false) {}
};

class ManualResetEvent : public Event {
 public:
  explicit ManualResetEvent(bool initiallySet = false) : Event(true, initiallySet) {}
};

// Monotonic time for rates and durations.
inline int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
inline constexpr int64_t kSteadyTicksPerSecond = 1000000000;
