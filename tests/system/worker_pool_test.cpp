// forEachTogether: every part of a job runs once, whatever the threads asked, job after job on
// the same workers, and the caller gets control back only when all have run.
#include "system/worker_pool.h"

#include <gtest/gtest.h>

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

}  // namespace
