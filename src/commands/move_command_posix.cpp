// "move /y SRC DST" on POSIX, and the replacement of a list file by its cleaned copy behind it:
// DST never goes missing. On one file system: take over DST's metadata, fsync SRC, rename it over
// DST, fsync DST's directory. Across file systems: copy SRC to a temporary file beside DST,
// fsync, rename over DST, fsync the directory, remove SRC. A symbolic link, directory or other
// non-regular file at DST is refused. Everything is reached through directory descriptors, so
// that the directory a caller resolved is the one that receives the replacement.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_processor_posix.h"
#include "system/file_metadata_posix.h"
#include "system/system_error.h"
#include "system/write_all_posix.h"

namespace {

// The directory part of `path`: "." for a bare name, "/" for a name in the root.
std::string directoryOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  std::size_t end = path.find_last_not_of('/', slash);
  if (end == std::string::npos) return "/";
  return path.substr(0, end + 1);
}

}  // namespace

namespace {

// What one replacement works on: the two names, their directories and what was found there.
struct Replacing {
  int sourceDirectory;
  const std::string& source;
  int destinationDirectory;
  const std::string& destination;
  std::string& reason;
  int sourceFd = -1;
  struct stat sourceStatus {};
  int destinationFd = -1;  // the file being replaced, open; -1 when there is none
};

ReplaceOutcome failed(const Replacing& work, std::string text) {
  work.reason = std::move(text);
  return ReplaceOutcome::Failed;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Moves the source, as opened, beside the destination under a new temporary name, where only
// those who may change the destination's directory can reach it: in the source's directory
// another user could put a file of theirs at its name at any moment. True with `temporary` set;
// false with errno set (EXDEV: another file system) or, when the name held another file than
// the one opened, ESTALE (that file is removed again).
bool stageBesideDestination(const Replacing& work, std::string* temporary) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temporary = newCopyTemporaryName();
    int moved = renameat2(work.sourceDirectory, work.source.c_str(), work.destinationDirectory,
                          temporary->c_str(), RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL) {
      // A file system without RENAME_NOREPLACE: a second name made exclusively, then the first
      // removed, gives the same.
      moved = linkat(work.sourceDirectory, work.source.c_str(), work.destinationDirectory,
                     temporary->c_str(), 0);
      if (moved == 0) unlinkat(work.sourceDirectory, work.source.c_str(), 0);
    }
    if (moved != 0 && errno == EEXIST) continue;
    if (moved != 0) return false;
    struct stat staged {};
    if (fstatat(work.destinationDirectory, temporary->c_str(), &staged, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFile(staged, work.sourceStatus)) {
      unlinkat(work.destinationDirectory, temporary->c_str(), 0);
      errno = ESTALE;
      return false;
    }
    return true;
  }
  errno = EEXIST;
  return false;
}

// Renames over the destination and makes the rename durable; the outcome once the rename is done.
ReplaceOutcome renameInPlace(const Replacing& work, int fromDirectory, const std::string& from) {
  if (renameat(fromDirectory, from.c_str(), work.destinationDirectory, work.destination.c_str()) !=
      0) {
    return ReplaceOutcome::Failed;  // errno tells why
  }
  if (int code = syncDirectory(work.destinationDirectory); code != 0) {
    work.reason = failureText("cannot flush its directory", code);
    return ReplaceOutcome::ReplacedNotDurable;
  }
  return ReplaceOutcome::Replaced;
}

// Fills the copy open on `copyFd` with the source's bytes. False with the reason in `why`.
bool copyBytes(const Replacing& work, int copyFd, std::string& why) {
  std::vector<char> buffer(256 * 1024);
  if (lseek(work.sourceFd, 0, SEEK_SET) != 0) {
    why = failureText("cannot read the copy", errno);
    return false;
  }
  for (;;) {
    ssize_t got = read(work.sourceFd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      why = failureText("cannot read the copy", errno);
      return false;
    }
    if (got == 0) return true;
    if (!writeAll(copyFd, buffer.data(), static_cast<std::size_t>(got))) {
      why = failureText("cannot write a copy beside it", errno);
      return false;
    }
  }
}

// Gives the copy the destination's metadata, or the source's permission bits where there is no
// destination yet. False with the reason in `why`.
bool copyMetadata(const Replacing& work, int copyFd, std::string& why) {
  if (work.destinationFd >= 0) return carryOverMetadata(copyFd, work.destinationFd, why) == 0;
  if (fchmod(copyFd, work.sourceStatus.st_mode & 0777) != 0) {
    why = failureText("cannot set the permissions of the copy", errno);
    return false;
  }
  return true;
}

// Fills the copy open on `copyFd` with the source's bytes and gives it its metadata. False with
// the reason in `why`, the descriptor then closed.
bool fillCopy(const Replacing& work, int copyFd, std::string& why) {
  if (copyBytes(work, copyFd, why) && copyMetadata(work, copyFd, why)) return true;
  close(copyFd);
  return false;
}

// Makes the copy durable and closes it, its identity in `status`. False with the reason in
// `why`; the descriptor is closed either way.
bool finishCopy(int copyFd, struct stat* status, std::string& why) {
  const char* failure = nullptr;
  if (fsync(copyFd) != 0) {
    failure = "cannot write a copy beside it";
  } else if (fstat(copyFd, status) != 0) {
    failure = "cannot inspect the copy";
  }
  if (failure != nullptr) {
    why = failureText(failure, errno);
    close(copyFd);
    return false;
  }
  if (close(copyFd) != 0) {
    why = failureText("cannot write a copy beside it", errno);
    return false;
  }
  return true;
}

// The last look before the copy is renamed over the destination: the temporary's name must
// still be the copy: in a directory others can write, another file could have taken it.
ReplaceOutcome lastLookAtCopy(const Replacing& work,
                              const std::string& temporary,
                              const struct stat& copy) {
  struct stat named {};
  if (fstatat(work.destinationDirectory, temporary.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !sameFile(named, copy)) {
    return ReplaceOutcome::Changed;
  }
  return ReplaceOutcome::Replaced;
}

// Removes the source once the replacement has happened; the caller's to remove when this fails.
// Only the source itself is removed, not a file another user has put at its name.
void removeMovedSource(const Replacing& work) {
  struct stat left {};
  if (fstatat(work.sourceDirectory, work.source.c_str(), &left, AT_SYMLINK_NOFOLLOW) == 0 &&
      sameFile(left, work.sourceStatus)) {
    unlinkat(work.sourceDirectory, work.source.c_str(), 0);
  }
}

// The cross-file-system replacement: a copy of the source beside the destination, renamed over
// it, with the destination's metadata. The destination is untouched and no temporary is left
// behind unless the rename happened.
ReplaceOutcome copyOver(Replacing& work) {
  std::string temporary;
  const int copyFd = createCopyTemporary(work.destinationDirectory, &temporary);
  if (copyFd < 0) return failed(work, failureText("cannot create a copy beside it", errno));
  std::string why;
  struct stat copyStatus {};
  if (!fillCopy(work, copyFd, why) || !finishCopy(copyFd, &copyStatus, why)) {
    unlinkat(work.destinationDirectory, temporary.c_str(), 0);
    return failed(work, why);
  }
  const ReplaceOutcome look = lastLookAtCopy(work, temporary, copyStatus);
  if (look != ReplaceOutcome::Replaced) {
    unlinkat(work.destinationDirectory, temporary.c_str(), 0);
    return look;
  }
  const ReplaceOutcome outcome = renameInPlace(work, work.destinationDirectory, temporary);
  if (outcome == ReplaceOutcome::Failed) {
    const int code = errno;
    unlinkat(work.destinationDirectory, temporary.c_str(), 0);
    return failed(work, failureText("cannot replace it", code));
  }
  removeMovedSource(work);
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
    return failed(work, failureText("cannot open the cleaned copy", errno));
  }
  if (fstat(work.sourceFd, &work.sourceStatus) != 0) {
    return failed(work, failureText("cannot inspect the cleaned copy", errno));
  }
  if (!S_ISREG(work.sourceStatus.st_mode)) {
    return failed(work, "the cleaned copy is not a regular file");
  }
  // The file replaced is opened itself (never through a link; a FIFO does not hold the open):
  // its metadata is read from it and handed to the replacement.
  work.destinationFd = openat(work.destinationDirectory, work.destination.c_str(),
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (work.destinationFd < 0) {
    if (errno == ENOENT) return ReplaceOutcome::Replaced;
    if (errno == ELOOP) return failed(work, "it is a symbolic link");
    return failed(work, failureText("cannot open it", errno));
  }
  struct stat status {};
  if (fstat(work.destinationFd, &status) != 0) {
    return failed(work, failureText("cannot inspect it", errno));
  }
  if (!S_ISREG(status.st_mode)) return failed(work, "it is not a regular file");
  return ReplaceOutcome::Replaced;
}

// The replacement on one file system: the source, staged beside the destination as `temporary`,
// given the destination's metadata and renamed over it.
ReplaceOutcome replaceByStaged(Replacing& work, const std::string& temporary) {
  ReplaceOutcome outcome = ReplaceOutcome::Replaced;
  if (work.destinationFd >= 0) {
    std::string why;
    if (carryOverMetadata(work.sourceFd, work.destinationFd, why) != 0) {
      outcome = failed(work, why);
    }
  }
  if (outcome == ReplaceOutcome::Replaced) {
    outcome = renameInPlace(work, work.destinationDirectory, temporary);
    if (outcome == ReplaceOutcome::Failed) {
      outcome = failed(work, failureText("cannot replace it", errno));
    }
  }
  // Not replaced: the copy, which may carry the destination's access by now, is removed.
  if (outcome == ReplaceOutcome::Changed || outcome == ReplaceOutcome::Failed) {
    unlinkat(work.destinationDirectory, temporary.c_str(), 0);
  }
  return outcome;
}

}  // namespace

ReplaceOutcome replaceFileAt(int sourceDirectory,
                             const std::string& source,
                             int destinationDirectory,
                             const std::string& destination,
                             std::string& reason) {
  Replacing work{sourceDirectory, source, destinationDirectory, destination, reason};
  ReplaceOutcome outcome = inspect(work);
  if (outcome == ReplaceOutcome::Replaced && fsync(work.sourceFd) != 0) {
    outcome = failed(work, failureText("cannot flush the cleaned copy", errno));
  }
  // The copy is moved beside the destination before it is given the destination's access: in
  // the source's directory another user might open it, or swap another file in for it. A run
  // killed between that move and the rename leaves the copy there: this user's leftovers go
  // before a new one comes.
  std::string temporary;
  if (outcome == ReplaceOutcome::Replaced) removeCopyLeftovers(destinationDirectory);
  if (outcome == ReplaceOutcome::Replaced && !stageBesideDestination(work, &temporary)) {
    const int code = errno;
    outcome = code == EXDEV ? copyOver(work)
              : code == ESTALE
                  ? ReplaceOutcome::Changed
                  : failed(work, failureText("cannot move the cleaned copy beside it", code));
    temporary.clear();
  }
  if (!temporary.empty()) outcome = replaceByStaged(work, temporary);
  if (work.sourceFd >= 0) close(work.sourceFd);
  if (work.destinationFd >= 0) close(work.destinationFd);
  return outcome;
}

int replaceFile(const std::string& source, const std::string& destination) {
  const std::string directory = directoryOf(destination);
  const std::size_t slash = destination.find_last_of('/');
  const std::string name = slash == std::string::npos ? destination : destination.substr(slash + 1);
  int directoryFd = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd < 0) {
    reportCommandError("move: cannot open the directory of \"" + destination +
                       "\": " + systemErrorText(errno));
    return 1;
  }
  std::string reason;
  const ReplaceOutcome outcome = name.empty()
                                     ? (reason = "it names no file", ReplaceOutcome::Failed)
                                     : replaceFileAt(AT_FDCWD, source, directoryFd, name, reason);
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
