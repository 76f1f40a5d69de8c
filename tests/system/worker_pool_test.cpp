// forEachTogether: every part of a job runs once, whatever the threads asked, job after job on
// the same workers, and the caller gets control back only when all have run. WorkAhead: every
// part allowed runs once, by a worker or by the caller, and is done when the caller takes it.
#include "system/worker_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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

}  // namespace
