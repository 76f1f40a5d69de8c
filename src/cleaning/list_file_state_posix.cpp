// POSIX: device, inode, size and modification time with nanoseconds.
#include <sys/stat.h>

#include "cleaning/list_file_state.h"

bool readListFileState(const std::string& path, ListFileState& state) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  state.device = static_cast<std::uint64_t>(info.st_dev);
  state.fileIndex = static_cast<std::uint64_t>(info.st_ino);
  state.size = static_cast<std::int64_t>(info.st_size);
  state.modifiedTime = static_cast<std::int64_t>(info.st_mtim.tv_sec);
  state.modifiedFraction = static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  return true;
}
