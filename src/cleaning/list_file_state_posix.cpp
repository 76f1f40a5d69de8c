// POSIX: device, inode, size and modification time with nanoseconds, of the name in the held
// directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "channels/file_state_posix.h"
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
  state = fileStateOf(info);
  return true;
}

bool listFileEndsWithCrLf(const HeldDirectory& directory,
                          const std::string& leaf,
                          const std::string&,
                          std::int64_t size) {
  if (size == 0) return true;
  if (size < 2) return false;
  const int in = directory.descriptor >= 0 ? directory.descriptor : AT_FDCWD;
  const int file = openat(in, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) return false;
  char tail[2] = {};
  const bool read = pread(file, tail, sizeof tail, static_cast<off_t>(size - 2)) == 2;
  close(file);
  return read && tail[0] == '\r' && tail[1] == '\n';
}
