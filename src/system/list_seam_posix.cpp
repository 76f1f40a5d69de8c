// The list replacement's primitives on POSIX. A list's directory is opened from the run's
// directory one component at a time, never through a symbolic link, and kept as an O_PATH
// descriptor (search permission is enough); openat2 with RESOLVE_NO_SYMLINKS does the walk in
// one call where the kernel has it. Every later name is reached relative to that descriptor.
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "system/file_metadata_posix.h"
#include "system/file_state_posix.h"
#include "system/list_seam.h"
#include "system/write_all_posix.h"

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

namespace {

constexpr int DirectoryFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

SeamCode failed(int code) {
  if (code == EMFILE || code == ENFILE) return {SeamError::Descriptors, code};
  if (code == ENOENT || code == ENOTDIR) return {SeamError::Missing, code};
  if (code == EEXIST) return {SeamError::Exists, code};
  if (code == EBUSY) return {SeamError::Busy, code};
  if (code == ELOOP) return {SeamError::Link, code};
  if (code == EINVAL || code == ENOSYS || code == ENOTSUP) return {SeamError::NotSupported, code};
  return {SeamError::Other, code};
}

int in(const HeldDirectory& directory) {
  return directory.descriptor >= 0 ? directory.descriptor : AT_FDCWD;
}

// The run's directory's absolute path, as the directory search writes it; empty when it cannot
// be had.
std::string currentDirectory() {
  std::error_code error;
  std::string path = std::filesystem::current_path(error).string();
  return error ? std::string() : path;
}

// Why the component `name` in `directory` could not be opened as a directory.
SeamCode componentFailure(int directory, const std::string& name, int code) {
  struct stat status {};
  if (code == ELOOP || (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(status.st_mode))) {
    return {SeamError::Link, ELOOP};
  }
  return failed(code);
}

// Opens `relative` (components separated by "/") below the run's directory without following a
// link: the descriptor, or -1 with `code` set.
int openBeneath(const std::string& relative, SeamCode& code) {
  if (relative.empty()) {
    const int here = open(".", DirectoryFlags);
    if (here < 0) code = failed(errno);
    return here;
  }
#if defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
  // Open for reading where the directory lets us, so that it can be synced as it is held;
  // otherwise for searching alone.
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long opened;
  do {
    opened = syscall(SYS_openat2, AT_FDCWD, relative.c_str(), &how, sizeof how);
    if (opened < 0 && errno == EACCES && (how.flags & O_PATH) == 0) {
      how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
      errno = EINTR;
    }
  } while (opened < 0 && errno == EINTR);
  if (opened >= 0) return static_cast<int>(opened);
  if (errno == EMFILE || errno == ENFILE) {
    code = failed(errno);
    return -1;
  }
  // Not offered here, or refused: the walk below opens it or names why not.
#endif
  int directory = open(".", DirectoryFlags);
  if (directory < 0) {
    code = failed(errno);
    return -1;
  }
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    const int next = name == ".." ? -1 : openat(directory, name.c_str(), DirectoryFlags);
    if (next < 0) {
      code = name == ".." ? SeamCode{SeamError::NotBelow, 0}
                          : componentFailure(directory, name, errno);
      close(directory);
      return -1;
    }
    close(directory);
    directory = next;
  }
  return directory;
}

bool sameFile(const struct stat& found, const FileState& expected) {
  return static_cast<std::uint64_t>(found.st_dev) == expected.device &&
         static_cast<std::uint64_t>(found.st_ino) == expected.fileIndex;
}

}  // namespace

SeamCode holdListDirectory(std::string_view listedPath, HeldDirectory& held, std::string& leaf) {
  releaseDirectory(held);
  // The search lists full paths below the run's directory: that prefix is where the walk starts,
  // so nothing above the run's directory is resolved again.
  thread_local std::string current = currentDirectory();
  if (listedPath.substr(0, current.size()) != current) current = currentDirectory();
  const std::string& prefix = current;
  if (prefix.empty() || listedPath.substr(0, prefix.size()) != prefix) {
    return {SeamError::NotBelow, 0};
  }
  std::string_view rest = listedPath.substr(prefix.size());
  if (prefix.back() != '/') {
    if (rest.empty() || rest.front() != '/') return {SeamError::NotBelow, 0};
    rest.remove_prefix(1);
  }
  const std::size_t slash = rest.rfind('/');
  const std::string relative(slash == std::string_view::npos ? std::string_view()
                                                             : rest.substr(0, slash));
  leaf.assign(slash == std::string_view::npos ? rest : rest.substr(slash + 1));
  if (leaf.empty() || leaf == "." || leaf == "..") return {SeamError::NotBelow, 0};
  SeamCode code;
  held.descriptor = openBeneath(relative, code);
  return code;
}

void releaseDirectory(HeldDirectory& held) {
  if (held.descriptor >= 0) close(held.descriptor);
  held = HeldDirectory{};
}

SeamCode holdAtListedPath(const HeldDirectory& held,
                          std::string_view listedPath,
                          HeldDirectory& now) {
  releaseDirectory(now);
  if (held.descriptor < 0) return {};  // the run's own directory
  std::string leaf;
  return holdListDirectory(listedPath, now, leaf);
}

bool sameDirectory(const HeldDirectory& one, const HeldDirectory& other) {
  struct stat first {};
  struct stat second {};
  return fstat(in(one), &first) == 0 && fstat(in(other), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool isListFileName(std::string_view leaf, std::string_view name) { return leaf == name; }

SeamCode lookAt(const HeldDirectory& directory, const std::string& name, NameLook& look) {
  struct stat found {};
  if (fstatat(in(directory), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) return failed(errno);
  look.regular = S_ISREG(found.st_mode);
  look.links = static_cast<std::uint32_t>(found.st_nlink);
  look.state = fileStateOf(found);
  return {};
}

SeamCode exchangeNames(const HeldDirectory& directory,
                       const std::string& first,
                       const std::string& second) {
  if (renameat2(in(directory), first.c_str(), in(directory), second.c_str(), RENAME_EXCHANGE) ==
      0) {
    return {};
  }
  return failed(errno);
}

SeamCode renameOver(const HeldDirectory& directory,
                    FileHandle,
                    const std::string& from,
                    const std::string& to,
                    const FileState&) {
  if (renameat(in(directory), from.c_str(), in(directory), to.c_str()) == 0) return {};
  return failed(errno);
}

SeamCode removeName(const HeldDirectory& directory,
                    const std::string& name,
                    const FileState& expected,
                    bool looked) {
  struct stat found {};
  if (!looked && fstatat(in(directory), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
    return failed(errno);
  }
  if (!looked && !sameFile(found, expected)) return {SeamError::Changed, 0};
  if (unlinkat(in(directory), name.c_str(), 0) != 0) return failed(errno);
  return {};
}

void closeKept(FileHandle& kept) {
  if (kept >= 0) close(static_cast<int>(kept));
  kept = -1;
}

SeamCode claimList(FileHandle list) {
  struct flock region = wholeFile(F_RDLCK);
  if (fcntl(static_cast<int>(list), F_OFD_SETLK, &region) == 0) return {};
  return errno == EAGAIN || errno == EACCES ? SeamCode{SeamError::Busy, errno} : failed(errno);
}

SeamCode lookAtLeftover(const HeldDirectory& directory,
                        const std::string& name,
                        NameLook& look,
                        FileHandle& hold) {
  hold = -1;
  if (const SeamCode code = lookAt(directory, name, look); !code.ok() || !look.regular) {
    return code;
  }
  // Any lock of a live run (a copy's, or an old list's after its exchange) makes it busy; then a
  // shared lock of our own keeps a run that made the copy a moment ago from claiming it now.
  const int probe =
      openat(in(directory), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (probe < 0) return failed(errno);
  struct flock held = wholeFile(F_WRLCK);
  struct flock region = wholeFile(F_RDLCK);
  struct stat found {};
  if (fcntl(probe, F_OFD_GETLK, &held) != 0 || held.l_type != F_UNLCK ||
      fcntl(probe, F_OFD_SETLK, &region) != 0 || fstat(probe, &found) != 0 ||
      !sameFile(found, look.state)) {
    close(probe);
    return {SeamError::Busy, 0};
  }
  hold = probe;
  return {};
}

SeamCode syncData(FileHandle file) {
  int result;
  do {
    result = fdatasync(static_cast<int>(file));
  } while (result != 0 && errno == EINTR);
  return result == 0 ? SeamCode{} : SeamCode{SeamError::Other, errno};
}

SeamCode syncDirectory(const HeldDirectory& directory) {
  // A directory held open for reading is synced as it is; one held for searching only (O_PATH)
  // through a descriptor opened for it.
  int code;
  do {
    code = directory.descriptor >= 0 && fsync(directory.descriptor) == 0 ? 0 : errno;
  } while (code == EINTR);
  if (code == EINVAL || code == EROFS) code = 0;
  if (directory.descriptor < 0 || code == EBADF) code = ::syncDirectory(in(directory));
  return code == 0 ? SeamCode{} : SeamCode{SeamError::Other, code};
}

SeamCode giveListsAccess(FileHandle copy,
                         const FileState& copyState,
                         FileHandle list,
                         const FileState& listState) {
  std::string why;
  // A copy made beside the list may have inherited a default access control list there.
  const int code = carryOverMetadata(static_cast<int>(copy), copyState, static_cast<int>(list),
                                     listState, true, why);
  return code == 0 ? SeamCode{} : SeamCode{SeamError::Access, code};
}

std::uint32_t processOwner() { return static_cast<std::uint32_t>(geteuid()); }

std::string randomStagedName() { return newCopyTemporaryName(); }

SeamCode codeOf(int system) { return system == 0 ? SeamCode{SeamError::Other, 0} : failed(system); }

std::size_t openFileLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return 1 << 20;
  return static_cast<std::size_t>(files.rlim_cur);
}
