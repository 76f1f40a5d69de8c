// Descriptor primitives (POSIX) that the console, the built-in commands and the file streams
// share: the one loop that writes every byte, resuming after partial writes and interrupted
// calls, and the one way a private file is made anew. They sit at the bottom of the system layer
// so that every folder above may use them.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <string>

// Writes all `count` bytes to `descriptor`, each step one call of `writeOnce` (write(2) unless
// the caller wraps it), again after a partial write or EINTR. True when every byte was taken;
// false at the first other failure, errno telling why (EIO when a call took nothing).
bool writeAll(int descriptor,
              const char* bytes,
              std::size_t count,
              ssize_t (*writeOnce)(int, const void*, std::size_t) = write);

// Whether files this process creates keep their owner's read and write bits.
bool umaskKeepsOwnerBits();

// Creates `name` in `directory` (a descriptor or AT_FDCWD) with `flags` and O_EXCL as a new,
// empty file readable and writable by its owner alone: its content may be a private list's
// entries or paths. Whatever held the name before is removed first, never emptied or written
// through: a file another user prepared there, and may hold open, must not receive the content,
// and a second name of another file or a link must not empty that file. A directory there is
// refused (EISDIR); a character device is opened as it is when `keepDevices`. The descriptor
// with `info` set to the file's state, or -1 with errno.
int createPrivateFile(
    int directory, const std::string& name, int flags, bool keepDevices, struct stat* info);

// A lock request of `type` (F_RDLCK, F_WRLCK) over the whole file. Taken with F_OFD_SETLK it is
// held by the open file description: it lasts while the file stays open, whoever else opens
// it, and goes when the process dies.
inline struct flock wholeFile(short type) {
  struct flock region {};
  region.l_type = type;
  region.l_whence = SEEK_SET;
  return region;
}
