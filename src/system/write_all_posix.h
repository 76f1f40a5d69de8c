// Writing every byte to a descriptor (POSIX): the one loop that resumes after partial writes and
// interrupted calls. It sits with the status store, at the bottom, so that the console, the
// built-in commands and the file device may all use it.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

// Writes all `count` bytes to `descriptor`, each step one call of `writeOnce` (write(2) unless
// the caller wraps it), again after a partial write or EINTR. True when every byte was taken;
// false at the first other failure, errno telling why (EIO when a call took nothing).
bool writeAll(int descriptor,
              const char* bytes,
              std::size_t count,
              ssize_t (*writeOnce)(int, const void*, std::size_t) = write);
