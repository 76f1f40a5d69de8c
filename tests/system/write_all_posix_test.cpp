// The write-everything loop, driven by a single write that takes what the test allows.
#include "system/write_all_posix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace {

// Each call takes at most the next step's bytes (all when the steps are used up), or fails with
// the step's negated value as errno. What was taken is collected.
std::vector<int> steps;
std::string taken;

ssize_t scriptedWrite(int, const void* bytes, std::size_t count) {
  const int step = steps.empty() ? static_cast<int>(count) : steps.front();
  if (!steps.empty()) steps.erase(steps.begin());
  if (step < 0) {
    errno = -step;
    return -1;
  }
  const std::size_t part = std::min(count, static_cast<std::size_t>(step));
  taken.append(static_cast<const char*>(bytes), part);
  return static_cast<ssize_t>(part);
}

TEST(WriteAll, ResumesAfterPartialAndInterruptedWritesAndStopsAtAFailure) {
  struct Case {
    std::vector<int> steps;
    int error;  // errno of the failure that ends the write; 0: every byte is taken
    std::size_t takenCount;
  } const cases[] = {
      {{}, 0, 10},      {{3, 1, 2}, 0, 10}, {{-EINTR, 4, -EINTR}, 0, 10}, {{4, -ENOSPC}, ENOSPC, 4},
      {{2, 0}, EIO, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.steps));
    steps = c.steps;
    taken.clear();
    const bool whole = writeAll(1, "0123456789", 10, scriptedWrite);
    EXPECT_EQ(whole ? 0 : errno, c.error);
    EXPECT_EQ(taken, std::string("0123456789").substr(0, c.takenCount));
  }
}

}  // namespace
