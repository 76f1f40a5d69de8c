// Held directories on POSIX: a list file's directory is opened from the current directory one
// component at a time, never through a symbolic link, and kept as a descriptor (O_PATH: it
// needs search permission only). openat2 with RESOLVE_NO_SYMLINKS does the walk in one call
// where the kernel has it.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "channels/held_directory.h"

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

namespace {

constexpr int DirectoryFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The current directory's absolute path, as the directory search writes it; empty when it
// cannot be had.
std::string currentDirectory() {
  std::error_code error;
  std::string path = std::filesystem::current_path(error).string();
  return error ? std::string() : path;
}

// Why the component `name` in `directory` could not be opened as a directory.
std::string reasonFor(int directory, const std::string& name, int code) {
  struct stat status {};
  if (code == ELOOP || (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(status.st_mode))) {
    return "its path leads through a symbolic link";
  }
  if (code == ENOENT || code == ENOTDIR) return "its directory is no longer where it was found";
  return std::string("cannot open its directory: ") + std::strerror(code);
}

// Opens `relative` (components separated by "/", no "..") below the current directory without
// following a link. The descriptor, or -1 with `reason` set.
int openBeneath(const std::string& relative, std::string& reason) {
  if (relative.empty()) {
    const int here = open(".", DirectoryFlags);
    if (here < 0) reason = std::string("cannot open its directory: ") + std::strerror(errno);
    return here;
  }
#if defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long opened;
  do {
    opened = syscall(SYS_openat2, AT_FDCWD, relative.c_str(), &how, sizeof how);
  } while (opened < 0 && errno == EINTR);
  if (opened >= 0) return static_cast<int>(opened);
    // Not offered here, or refused: the walk below either opens it or names the component that
    // failed and why.
#endif
  int directory = open(".", DirectoryFlags);
  if (directory < 0) {
    reason = std::string("cannot open its directory: ") + std::strerror(errno);
    return -1;
  }
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      close(directory);
      reason = "its path leaves the current directory";
      return -1;
    }
    const int next = openat(directory, name.c_str(), DirectoryFlags);
    if (next < 0) {
      reason = reasonFor(directory, name, errno);
      close(directory);
      return -1;
    }
    close(directory);
    directory = next;
  }
  return directory;
}

}  // namespace

bool holdListDirectory(std::string_view listedPath,
                       HeldDirectory& directory,
                       std::string& leaf,
                       std::string& reason) {
  releaseDirectory(directory);
  // The search lists full paths below the current directory: that prefix is where the walk
  // starts, so nothing above the current directory is resolved again.
  static std::string current = currentDirectory();
  std::string prefix = current;
  if (listedPath.substr(0, prefix.size()) != prefix) {
    current = currentDirectory();  // the directory may have been renamed since
    prefix = current;
  }
  if (prefix.empty() || listedPath.substr(0, prefix.size()) != prefix) {
    reason = "it is not below the current directory";
    return false;
  }
  std::string_view rest = listedPath.substr(prefix.size());
  if (prefix.back() != '/') {
    if (rest.empty() || rest.front() != '/') {
      reason = "it is not below the current directory";
      return false;
    }
    rest.remove_prefix(1);
  }
  const std::size_t slash = rest.rfind('/');
  const std::string relative(slash == std::string_view::npos ? std::string_view()
                                                             : rest.substr(0, slash));
  leaf.assign(slash == std::string_view::npos ? rest : rest.substr(slash + 1));
  if (leaf.empty() || leaf == "." || leaf == "..") {
    reason = "it names no file";
    return false;
  }
  const int descriptor = openBeneath(relative, reason);
  if (descriptor < 0) return false;
  directory.descriptor = descriptor;
  return true;
}

void releaseDirectory(HeldDirectory& directory) {
  if (directory.descriptor >= 0) close(directory.descriptor);
  directory = HeldDirectory{};
}

bool isListFileName(std::string_view leaf, std::string_view name) { return leaf == name; }
