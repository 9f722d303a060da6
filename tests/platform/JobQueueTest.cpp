#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/JobQueue.h"

// Every job runs once, whichever thread takes it (the waiter itself when
// none has); a job's exception comes out of its Wait and of no other.
TEST(JobQueue, EachJobRunsOnceAndItsFailureReachesItsWaiter) {
  for (unsigned threads : {0u, 1u, 3u}) {
    SCOPED_TRACE(threads);
    JobQueue jobs(threads);
    std::vector<int> ran(200, 0);
    std::vector<uint64_t> ids;
    for (size_t i = 0; i < ran.size(); i++)
      ids.push_back(jobs.Post([&ran, i] {
        ran[i]++;
        if (i == 7) throw std::runtime_error("seven");
      }));
    for (size_t i = 0; i < ids.size(); i++) {
      if (i == 7) {
        EXPECT_THROW(jobs.Wait(ids[i]), std::runtime_error);
      } else {
        EXPECT_NO_THROW(jobs.Wait(ids[i]));
      }
      EXPECT_FALSE(jobs.Running(ids[i]));
    }
    for (int n : ran) EXPECT_EQ(n, 1);
  }
}

// A job a thread is running is not run again by its waiter, who waits.
TEST(JobQueue, AWaiterWaitsForARunningJob) {
  JobQueue jobs(1);
  std::atomic<bool> started{false}, release{false};
  std::atomic<int> runs{0};
  const uint64_t id = jobs.Post([&] {
    started = true;
    while (!release) std::this_thread::yield();
    runs++;
  });
  while (!started) std::this_thread::yield();
  EXPECT_TRUE(jobs.Running(id));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
  });
  jobs.Wait(id);
  releaser.join();
  EXPECT_EQ(runs.load(), 1);
}
