// The write-everything loop and the private file made anew, on POSIX systems.
#include "system/write_all_posix.h"

#include <fcntl.h>

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

bool umaskKeepsOwnerBits() {
  // Read once: only reading the mask sets it, and nothing in the program changes it.
  static const bool keeps = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return (mask & (S_IRUSR | S_IWUSR)) == 0;
  }();
  return keeps;
}

namespace {

int openRetried(int directory, const std::string& name, int flags, mode_t mode) {
  int descriptor;
  do {
    descriptor = ::openat(directory, name.c_str(), flags, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

}  // namespace

int createPrivateFile(
    int directory, const std::string& name, int flags, bool keepDevices, struct stat* info) {
  constexpr mode_t Private = S_IRUSR | S_IWUSR;
  // Another process may put something back at the name between the removal and the create:
  // enough rounds that only a writer who keeps doing it fails the open.
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int descriptor = openRetried(directory, name, flags | O_CREAT | O_EXCL, Private);
    if (descriptor >= 0) {
      // The umask may have taken the owner's bits; the file is the process's own to set. Its
      // identity lets the replacement make sure that the file it moves is this one.
      if ((!umaskKeepsOwnerBits() && ::fchmod(descriptor, Private) != 0) ||
          ::fstat(descriptor, info) != 0) {
        const int code = errno;
        ::close(descriptor);
        errno = code;
        return -1;
      }
      return descriptor;
    }
    if (errno != EEXIST) return -1;
    struct stat existing {};
    if (::fstatat(directory, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (keepDevices && S_ISCHR(existing.st_mode)) {
      const int device = openRetried(directory, name, flags & ~O_CREAT, 0);
      if (device < 0) return -1;
      if (::fstat(device, info) != 0 || !S_ISCHR(info->st_mode)) {
        ::close(device);
        return -1;
      }
      return device;
    }
    if (S_ISDIR(existing.st_mode)) {
      errno = EISDIR;
      return -1;
    }
    if (::unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT) return -1;
  }
  errno = EEXIST;
  return -1;
}
