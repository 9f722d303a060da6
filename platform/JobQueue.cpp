#include "platform/JobQueue.h"

#include <algorithm>

JobQueue::JobQueue(unsigned threads) {
  for (unsigned i = 0; i < threads; i++) threads_.emplace_back([this] { Loop(); });
}

JobQueue::~JobQueue() {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    quit_ = true;
  }
  posted_.notify_all();
  for (std::thread& t : threads_) t.join();
}

unsigned JobQueue::DefaultThreads(unsigned cap) {
  return std::clamp(std::thread::hardware_concurrency(), 1u, std::max(1u, cap));
}

uint64_t JobQueue::Post(std::function<void()> job) {
  uint64_t id;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    id = next_++;
    queue_.push_back(Job{id, std::move(job)});
  }
  if (!threads_.empty()) posted_.notify_one();
  return id;
}

void JobQueue::RunTaken(Job& job, std::unique_lock<std::mutex>& hold) {
  running_.insert(job.id);
  hold.unlock();
  std::exception_ptr failed;
  try {
    job.run();
  } catch (...) {
    failed = std::current_exception();
  }
  job.run = nullptr;
  hold.lock();
  running_.erase(job.id);
  if (failed) failed_[job.id] = failed;
  finished_.notify_all();
}

void JobQueue::Wait(uint64_t id) {
  std::unique_lock<std::mutex> hold(lock_);
  auto it = std::find_if(queue_.begin(), queue_.end(), [id](const Job& j) { return j.id == id; });
  if (it != queue_.end()) {
    Job job = std::move(*it);
    queue_.erase(it);
    RunTaken(job, hold);
  } else {
    finished_.wait(hold, [&] { return running_.count(id) == 0; });
  }
  auto f = failed_.find(id);
  if (f == failed_.end()) return;
  const std::exception_ptr failed = f->second;
  failed_.erase(f);
  hold.unlock();
  std::rethrow_exception(failed);
}

bool JobQueue::Running(uint64_t id) {
  const std::lock_guard<std::mutex> hold(lock_);
  return running_.count(id) != 0;
}

void JobQueue::Loop() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    posted_.wait(hold, [&] { return quit_ || !queue_.empty(); });
    if (quit_) return;
    Job job = std::move(queue_.front());
    queue_.pop_front();
    RunTaken(job, hold);
  }
}
