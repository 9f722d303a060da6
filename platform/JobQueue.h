// Kept threads that run posted jobs in the order they were posted. A job
// is waited for by its number; one no thread has taken yet is run by the
// waiter itself, so waiting never idles a caller that could do the work.
// What a job writes goes to its own slots: the results never depend on
// which thread ran it.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

class JobQueue {
 public:
  // `threads` kept threads (0: every job runs on its waiter).
  explicit JobQueue(unsigned threads);
  ~JobQueue();
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  unsigned Threads() const { return unsigned(threads_.size()); }
  uint64_t Post(std::function<void()> job);
  // Returns once job `id` has run; what it threw comes out here. Every
  // posted job is to be waited for once.
  void Wait(uint64_t id);
  // Whether a thread runs job `id` now (taken, not finished).
  bool Running(uint64_t id);

  // The processors a job may use: hardware_concurrency, at least 1, at
  // most `cap`.
  static unsigned DefaultThreads(unsigned cap);

 private:
  struct Job {
    uint64_t id;
    std::function<void()> run;
  };
  void Loop();
  void RunTaken(Job& job, std::unique_lock<std::mutex>& hold);

  std::vector<std::thread> threads_;
  std::mutex lock_;
  std::condition_variable posted_, finished_;
  std::deque<Job> queue_;       // posted, not taken
  std::set<uint64_t> running_;  // taken, not finished
  std::map<uint64_t, std::exception_ptr> failed_;
  uint64_t next_ = 0;
  bool quit_ = false;
};
