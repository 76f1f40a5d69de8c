// "move /y SRC DST" on POSIX, and the replacement of a list file by its cleaned copy behind it:
// DST never goes missing. On one file system: take over DST's metadata, fsync SRC, rename it over
// DST, fsync DST's directory. Across file systems: copy SRC to a temporary file beside DST,
// fsync, rename over DST, fsync the directory, remove SRC. A symbolic link, directory or other
// non-regular file at DST is refused. Everything is reached through directory descriptors, so
// that the directory a caller resolved is the one that receives the replacement.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_processor.h"

namespace {

// The directory part of `path`: "." for a bare name, "/" for a name in the root.
std::string directoryOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  std::size_t end = path.find_last_not_of('/', slash);
  if (end == std::string::npos) return "/";
  return path.substr(0, end + 1);
}

std::string errorText(std::string_view what, int code) {
  return std::string(what) + ": " + std::strerror(code);
}

// fsync on the directory `directory` (any descriptor of it, O_PATH included), so a rename into
// it survives a crash. Returns 0 or an errno value.
int syncDirectory(int directory) {
  int fd = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int code = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  // Some file systems cannot sync a directory; the rename is then as durable as they allow.
  return code == EINVAL || code == EROFS ? 0 : code;
}

// Gives the file open on `fd` the permission bits (and, where the process may, the owner and
// group) of `model`. Owner first: changing it can clear set-id bits. When the group cannot be
// taken over, the group may do no more than everyone else may, so the file is not opened to a
// group that could not read the original. Returns 0 or an errno value.
int takeOverMetadata(int fd, const struct stat& model, const struct stat& current) {
  mode_t mode = model.st_mode & 07777;
  if (model.st_uid != current.st_uid || model.st_gid != current.st_gid) {
    if (fchown(fd, model.st_uid, model.st_gid) != 0) {
      if (errno != EPERM) return errno;
      // Not allowed to give the file away; the group alone may still be ours to set.
      if (model.st_gid != current.st_gid && fchown(fd, static_cast<uid_t>(-1), model.st_gid) != 0) {
        if (errno != EPERM) return errno;
        const mode_t others = mode & S_IRWXO;
        mode = (mode & ~static_cast<mode_t>(S_ISGID | S_IRWXG)) | (mode & (others << 3));
      }
    }
  }
  if ((current.st_mode & 07777) != mode && fchmod(fd, mode) != 0) return errno;
  return 0;
}

// Restores what takeOverMetadata changed on SRC when the replacement does not happen.
void restoreMetadata(int fd, const struct stat& original) {
  // Best effort: the content is untouched either way.
  bool ownerRestored = fchown(fd, original.st_uid, original.st_gid) == 0;
  bool modeRestored = fchmod(fd, original.st_mode & 07777) == 0;
  static_cast<void>(ownerRestored && modeRestored);
}

bool writeAll(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// A new private file of the temporary name beside the destination, in `directory`: `name`
// receives its name. The descriptor, or -1 with errno set.
int createCopyTemporary(int directory, std::string* name) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Unpredictable, so that nobody can take the names in advance.
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
    std::string candidate(CopyTemporaryPrefix);
    for (unsigned char byte : random) candidate.push_back(letters[byte % (sizeof letters - 1)]);
    int fd = openat(directory, candidate.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0) {
      *name = candidate;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

// What one replacement works on: the two names, their directories and what was found there.
struct Replacing {
  int sourceDirectory;
  const std::string& source;
  int destinationDirectory;
  const std::string& destination;
  const ReplaceCheck* check;
  std::string* reason;
  int sourceFd = -1;
  struct stat sourceStatus {};
  bool replacing = false;
  struct stat destinationStatus {};
};

ReplaceOutcome failed(const Replacing& work, std::string text) {
  *work.reason = std::move(text);
  return ReplaceOutcome::Failed;
}

// The last look before the rename: both names still hold the files the caller expects.
ReplaceOutcome lastLook(const Replacing& work) {
  if (work.check == nullptr) return ReplaceOutcome::Replaced;
  struct stat source {};
  struct stat destination {};
  const bool sourceThere =
      fstatat(work.sourceDirectory, work.source.c_str(), &source, AT_SYMLINK_NOFOLLOW) == 0;
  const bool destinationThere = fstatat(work.destinationDirectory, work.destination.c_str(),
                                        &destination, AT_SYMLINK_NOFOLLOW) == 0;
  if (!sourceThere || !destinationThere || !(*work.check)(source, destination)) {
    return ReplaceOutcome::Changed;
  }
  return ReplaceOutcome::Replaced;
}

// Renames over the destination and makes the rename durable; the outcome once the rename is done.
ReplaceOutcome renameInPlace(const Replacing& work, int fromDirectory, const std::string& from) {
  if (renameat(fromDirectory, from.c_str(), work.destinationDirectory, work.destination.c_str()) !=
      0) {
    return ReplaceOutcome::Failed;  // errno tells why
  }
  if (int code = syncDirectory(work.destinationDirectory); code != 0) {
    *work.reason = errorText("cannot flush its directory", code);
    return ReplaceOutcome::ReplacedNotDurable;
  }
  return ReplaceOutcome::Replaced;
}

// The cross-file-system replacement: a copy of the source beside the destination, renamed over
// it. `model`: the metadata the copy gets. The destination is untouched and no temporary is left
// behind unless the rename happened.
ReplaceOutcome copyOver(Replacing& work, const struct stat& model) {
  removeCopyLeftovers(work.destinationDirectory);
  std::string temporary;
  int copyFd = createCopyTemporary(work.destinationDirectory, &temporary);
  if (copyFd < 0) return failed(work, errorText("cannot create a copy beside it", errno));

  auto abandon = [&](std::string_view what, int code) {
    close(copyFd);
    unlinkat(work.destinationDirectory, temporary.c_str(), 0);
    return failed(work, errorText(what, code));
  };
  std::vector<char> buffer(256 * 1024);
  if (lseek(work.sourceFd, 0, SEEK_SET) != 0) return abandon("cannot read the copy", errno);
  for (;;) {
    ssize_t got = read(work.sourceFd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return abandon("cannot read the copy", errno);
    if (got == 0) break;
    if (!writeAll(copyFd, buffer.data(), static_cast<std::size_t>(got))) {
      return abandon("cannot write a copy beside it", errno);
    }
  }
  struct stat copyStatus;
  if (fstat(copyFd, &copyStatus) != 0) return abandon("cannot inspect the copy", errno);
  if (int code = takeOverMetadata(copyFd, model, copyStatus); code != 0) {
    return abandon("cannot set the permissions of the copy", code);
  }
  if (fsync(copyFd) != 0) return abandon("cannot write a copy beside it", errno);
  if (close(copyFd) != 0) {
    const int code = errno;
    unlinkat(work.destinationDirectory, temporary.c_str(), 0);
    return failed(work, errorText("cannot write a copy beside it", code));
  }
  if (ReplaceOutcome look = lastLook(work); look != ReplaceOutcome::Replaced) {
    unlinkat(work.destinationDirectory, temporary.c_str(), 0);
    return look;
  }
  const ReplaceOutcome outcome = renameInPlace(work, work.destinationDirectory, temporary);
  if (outcome == ReplaceOutcome::Failed) {
    const int code = errno;
    unlinkat(work.destinationDirectory, temporary.c_str(), 0);
    return failed(work, errorText("cannot replace it", code));
  }
  // The source is the caller's to remove when this fails: the replacement has happened.
  unlinkat(work.sourceDirectory, work.source.c_str(), 0);
  return outcome;
}

// Opens the source and looks at the destination; Failed with a reason when either is refused.
ReplaceOutcome inspect(Replacing& work) {
  // What is moved is the regular file found at SRC itself: a link is not followed, and a FIFO
  // does not hold the open.
  work.sourceFd = openat(work.sourceDirectory, work.source.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (work.sourceFd < 0) {
    if (errno == ELOOP) return failed(work, "the cleaned copy is not a regular file");
    return failed(work, errorText("cannot open the cleaned copy", errno));
  }
  if (fstat(work.sourceFd, &work.sourceStatus) != 0) {
    return failed(work, errorText("cannot inspect the cleaned copy", errno));
  }
  if (!S_ISREG(work.sourceStatus.st_mode)) {
    return failed(work, "the cleaned copy is not a regular file");
  }
  work.replacing = fstatat(work.destinationDirectory, work.destination.c_str(),
                           &work.destinationStatus, AT_SYMLINK_NOFOLLOW) == 0;
  if (!work.replacing && errno != ENOENT)
    return failed(work, errorText("cannot inspect it", errno));
  if (work.replacing && S_ISLNK(work.destinationStatus.st_mode)) {
    return failed(work, "it is a symbolic link");
  }
  if (work.replacing && !S_ISREG(work.destinationStatus.st_mode)) {
    return failed(work, "it is not a regular file");
  }
  return ReplaceOutcome::Replaced;
}

}  // namespace

ReplaceOutcome replaceFileAt(int sourceDirectory,
                             const std::string& source,
                             int destinationDirectory,
                             const std::string& destination,
                             const ReplaceCheck* check,
                             std::string* reason) {
  Replacing work{sourceDirectory, source, destinationDirectory, destination, check, reason};
  ReplaceOutcome outcome = inspect(work);
  if (outcome != ReplaceOutcome::Replaced) {
    if (work.sourceFd >= 0) close(work.sourceFd);
    return outcome;
  }
  // A replacement that skipped this would briefly expose a private list under SRC's mode.
  const struct stat& model = work.replacing ? work.destinationStatus : work.sourceStatus;
  if (work.replacing) {
    if (int code = takeOverMetadata(work.sourceFd, model, work.sourceStatus); code != 0) {
      restoreMetadata(work.sourceFd, work.sourceStatus);
      close(work.sourceFd);
      return failed(work, errorText("cannot take over its permissions", code));
    }
  }
  if (fsync(work.sourceFd) != 0) {
    const int code = errno;
    if (work.replacing) restoreMetadata(work.sourceFd, work.sourceStatus);
    close(work.sourceFd);
    return failed(work, errorText("cannot flush the cleaned copy", code));
  }
  outcome = lastLook(work);
  if (outcome == ReplaceOutcome::Replaced) {
    outcome = renameInPlace(work, sourceDirectory, source);
    if (outcome == ReplaceOutcome::Failed) {
      const int code = errno;
      if (work.replacing) restoreMetadata(work.sourceFd, work.sourceStatus);
      outcome = code == EXDEV ? copyOver(work, model)
                              : failed(work, errorText("cannot replace it", code));
    }
  } else if (work.replacing) {
    restoreMetadata(work.sourceFd, work.sourceStatus);
  }
  close(work.sourceFd);
  return outcome;
}

int replaceFile(const std::string& source, const std::string& destination) {
  const std::string directory = directoryOf(destination);
  const std::size_t slash = destination.find_last_of('/');
  const std::string name = slash == std::string::npos ? destination : destination.substr(slash + 1);
  int directoryFd = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd < 0) {
    reportCommandError("move: cannot open the directory of \"" + destination +
                       "\": " + std::strerror(errno));
    return 1;
  }
  std::string reason;
  const ReplaceOutcome outcome =
      name.empty() ? (reason = "it names no file", ReplaceOutcome::Failed)
                   : replaceFileAt(AT_FDCWD, source, directoryFd, name, nullptr, &reason);
  close(directoryFd);
  switch (outcome) {
    case ReplaceOutcome::Replaced:
      return 0;
    case ReplaceOutcome::ReplacedNotDurable:
      reportCommandError("move: replaced \"" + destination + "\", but " + reason);
      return 1;
    case ReplaceOutcome::Changed:
    case ReplaceOutcome::Failed:
      break;
  }
  reportCommandError("move: cannot replace \"" + destination + "\" by \"" + source +
                     "\": " + reason);
  return 1;
}

void removeCopyLeftovers(int) {}
