// What identifies the content of a list file on disk: enough to notice that another process
// grew, shrank or replaced it while the run was reading it.
#pragma once

#include <cstdint>
#include <string>

struct ListFileState {
  std::uint64_t device = 0;
  std::uint64_t fileIndex = 0;
  std::int64_t size = 0;
  std::int64_t modifiedTime = 0;      // in the platform's units: seconds, or 100 ns on Windows
  std::int64_t modifiedFraction = 0;  // nanoseconds within the second where known

  bool operator==(const ListFileState&) const = default;
};

// Reads the state of the file at `path` (following links, as opening it does). False when the
// file cannot be examined.
bool readListFileState(const std::string& path, ListFileState& state);
