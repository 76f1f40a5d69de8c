// The write-everything loop, driven by a single write the test controls.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "status/write_all.h"

namespace {

// What each call of the fake write does in turn: take up to that many bytes, or fail with
// -errno when negative. The bytes taken are collected.
std::vector<int> steps;
std::size_t nextStep = 0;
std::string taken;

ssize_t scriptedWrite(int, const void* bytes, std::size_t count) {
  const int step = nextStep < steps.size() ? steps[nextStep++] : static_cast<int>(count);
  if (step < 0) {
    errno = -step;
    return -1;
  }
  const std::size_t part = static_cast<std::size_t>(step) < count ? step : count;
  taken.append(static_cast<const char*>(bytes), part);
  return static_cast<ssize_t>(part);
}

TEST(WriteAll, ResumesAfterPartialAndInterruptedWritesAndStopsAtAFailure) {
  struct Case {
    std::vector<int> steps;
    bool whole;
    int error;  // errno after a failure
    std::size_t takenCount;
  } const cases[] = {
      {{}, true, 0, 10},
      {{3, 1, 2}, true, 0, 10},
      {{-EINTR, 4, -EINTR}, true, 0, 10},
      {{4, -ENOSPC}, false, ENOSPC, 4},
      {{2, 0}, false, EIO, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.steps));
    steps = c.steps;
    nextStep = 0;
    taken.clear();
    EXPECT_EQ(writeAll(1, "0123456789", 10, scriptedWrite), c.whole);
    if (!c.whole) {
      EXPECT_EQ(errno, c.error);
    }
    EXPECT_EQ(taken, std::string("0123456789").substr(0, c.takenCount));
  }
}

}  // namespace
