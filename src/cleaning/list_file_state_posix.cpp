// POSIX: device, inode, size and modification time with nanoseconds, of the name in the held
// directory.
#include <fcntl.h>
#include <sys/stat.h>

#include "cleaning/list_file_state.h"

bool readListFileState(const HeldDirectory& directory,
                       const std::string& leaf,
                       const std::string&,
                       ListFileState& state) {
  struct stat info {};
  const int in = directory.descriptor >= 0 ? directory.descriptor : AT_FDCWD;
  if (fstatat(in, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  state.device = static_cast<std::uint64_t>(info.st_dev);
  state.fileIndex = static_cast<std::uint64_t>(info.st_ino);
  state.size = static_cast<std::int64_t>(info.st_size);
  state.modifiedTime = static_cast<std::int64_t>(info.st_mtim.tv_sec);
  state.modifiedFraction = static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  return true;
}
