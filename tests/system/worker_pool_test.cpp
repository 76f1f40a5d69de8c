// forEachTogether: every part of a job runs once, whatever the threads asked, job after job on
// the same workers, and the caller gets control back only when all have run. WorkAhead: every
// part allowed runs once, by a worker or by the caller, and is done when the caller takes it;
// workers beyond one a core join only for parts that wait.
#include "system/worker_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

TEST(WorkerPool, EveryPartRunsOnceBeforeTheCallReturns) {
  const struct {
    std::size_t count;
    std::size_t threads;
  } jobs[] = {{0, 4}, {1, 4}, {3, 1}, {3, 8}, {1000, 4}, {257, 2}, {50, 16}, {1000, 4}};
  for (const auto& job : jobs) {
    SCOPED_TRACE(testing::Message() << job.count << " parts on " << job.threads << " threads");
    std::vector<std::atomic<int>> runs(job.count);
    std::atomic<std::size_t> done{0};
    forEachTogether(job.count, job.threads, [&](std::size_t part) {
      runs[part].fetch_add(1);
      done.fetch_add(1);
    });
    EXPECT_EQ(done.load(), job.count);
    for (std::size_t part = 0; part < job.count; ++part) EXPECT_EQ(runs[part].load(), 1) << part;
  }
}

TEST(WorkAhead, EveryPartRunsOnceAndIsDoneWhenTheCallerTakesIt) {
  const struct {
    std::size_t workers;
    std::size_t parts;
    std::size_t ahead;  // parts allowed beyond the one the caller takes
  } jobs[] = {{0, 5, 3}, {1, 1, 0}, {1, 200, 4}, {3, 500, 16}, {8, 300, 1}, {2, 100, 200}};
  for (const auto& job : jobs) {
    SCOPED_TRACE(testing::Message() << job.parts << " parts on " << job.workers << " workers, "
                                    << job.ahead << " ahead");
    std::vector<std::atomic<int>> runs(job.parts);
    std::vector<std::atomic<std::size_t>> by(job.parts);
    std::size_t highestWorker = 0;
    {
      WorkAhead ahead(job.workers, job.ahead + 1, [&](std::size_t part, std::size_t worker) {
        by[part] = worker;
        runs[part].fetch_add(1);
      });
      highestWorker = ahead.workers();
      for (std::size_t part = 0; part < job.parts; ++part) {
        ahead.allow(std::min(job.parts, part + 1 + job.ahead));
        if (!ahead.waitOrTake(part)) {
          // Taken for the caller: no worker ran it, and none will.
          EXPECT_EQ(runs[part].load(), 0) << part;
          runs[part].fetch_add(1);
          by[part] = highestWorker + 1;
        } else {
          EXPECT_EQ(runs[part].load(), 1) << part;
          EXPECT_LE(by[part].load(), highestWorker) << part;
        }
      }
    }
    for (std::size_t part = 0; part < job.parts; ++part) EXPECT_EQ(runs[part].load(), 1) << part;
    if (job.workers == 0) {
      EXPECT_EQ(highestWorker, 0u);
    }
  }
}

TEST(WorkAhead, OnlyPartsThatWaitBringInMoreThanAWorkerACore) {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t first = std::max<std::size_t>(cores - 1, 1);
  constexpr std::size_t Most = 16;
  if (first >= Most) GTEST_SKIP() << "this machine starts every worker at once";
  for (const bool waits : {false, true}) {
    SCOPED_TRACE(waits ? "parts that wait" : "parts that only compute");
    std::mutex mutex;
    std::set<std::size_t> workersSeen;
    const auto work = [&](std::size_t, std::size_t worker) {
      // Waiting on the system, or busy for as long as a few small lists take.
      if (waits) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      } else {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
        while (std::chrono::steady_clock::now() < until) {
        }
      }
      const std::lock_guard<std::mutex> lock(mutex);
      if (worker < Most) workersSeen.insert(worker);
    };
    {
      WorkAhead ahead(Most, 32, work);
      constexpr std::size_t Parts = 200;
      for (std::size_t part = 0; part < Parts; ++part) {
        ahead.allow(std::min(Parts, part + 32));
        if (!ahead.waitOrTake(part)) work(part, Most);
      }
    }
    if (waits) {
      EXPECT_GT(workersSeen.size(), first);
    } else {
      EXPECT_LE(workersSeen.size(), first);
    }
  }
}

}  // namespace
