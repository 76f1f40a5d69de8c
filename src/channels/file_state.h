// What identifies the content of a file on disk: enough to notice that another process grew,
// shrank or replaced it.
#pragma once

#include <cstdint>

struct FileState {
  std::uint64_t device = 0;
  std::uint64_t fileIndex = 0;
  std::int64_t size = 0;
  std::int64_t modifiedTime = 0;      // in the platform's units: seconds, or 100 ns on Windows
  std::int64_t modifiedFraction = 0;  // nanoseconds within the second where known

  bool operator==(const FileState&) const = default;
};
