// The write-everything loop on POSIX systems.
#include "system/write_all_posix.h"

#include <cerrno>

bool writeAll(int descriptor,
              const char* bytes,
              std::size_t count,
              ssize_t (*writeOnce)(int, const void*, std::size_t)) {
  while (count > 0) {
    const ssize_t written = writeOnce(descriptor, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}
