// What identifies the content of a file on disk: enough to notice that another process grew,
// shrank, replaced or rewrote it. The modification time can be set back by any writer (a copy
// tool that keeps times does so); the status-change time cannot, so a rewrite in place shows
// there even when size and modification time were made to look as before.
#pragma once

#include <cstdint>

struct FileState {
  std::uint64_t device = 0;
  std::uint64_t fileIndex = 0;
  std::int64_t size = 0;
  std::int64_t modifiedTime = 0;      // in the platform's units: seconds, or 100 ns on Windows
  std::int64_t modifiedFraction = 0;  // nanoseconds within the second where known
  std::int64_t changedTime = 0;       // status-change time in seconds (Windows: 100 ns units);
                                      // 0 where not known
  std::int64_t changedFraction = 0;   // nanoseconds within that second
  // POSIX: the permission bits, owner and group; Windows: the owner only (a number for its
  // SID). 0 where not known. A change of any of them shows in the status-change time too.
  std::uint32_t permissions = 0;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;

  bool operator==(const FileState&) const = default;
};
