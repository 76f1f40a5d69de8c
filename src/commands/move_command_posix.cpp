// "move /y SRC DST" on POSIX: replaces DST by SRC so that DST never goes missing. On one file
// system: fsync SRC, rename it over DST, fsync DST's directory. Across file systems: copy SRC
// to a temporary file beside DST, fsync, rename over DST, fsync the directory, remove SRC.
// The replacement takes over an existing DST's permission bits and, where allowed, its owner
// and group; a symbolic link, directory or other non-regular file at DST is refused.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_processor.h"

namespace {

int fail(std::string_view what, std::string_view path, int code) {
  reportCommandError("move: " + std::string(what) + " \"" + std::string(path) +
                     "\": " + std::strerror(code));
  return 1;
}

int failWithReason(std::string_view what, std::string_view path, std::string_view reason) {
  reportCommandError("move: " + std::string(what) + " \"" + std::string(path) +
                     "\": " + std::string(reason));
  return 1;
}

// The directory part of `path`: "." for a bare name, "/" for a name in the root.
std::string directoryOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  std::size_t end = path.find_last_not_of('/', slash);
  if (end == std::string::npos) return "/";
  return path.substr(0, end + 1);
}

// fsync on the directory holding `path`, so a rename into it survives a crash. Returns 0 or
// an errno value.
int syncDirectoryOf(const std::string& path) {
  int fd = open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int code = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  // Some file systems cannot sync a directory; the rename is then as durable as they allow.
  return code == EINVAL || code == EROFS ? 0 : code;
}

// Gives the file open on `fd` the permission bits (and, where the process may, the owner and
// group) of `model`. Owner first: changing it can clear set-id bits. When the group cannot be
// taken over, its permission bits are dropped, so the file is not opened to a group that could
// not read the original. Returns 0 or an errno value.
int takeOverMetadata(int fd, const struct stat& model, const struct stat& current) {
  mode_t mode = model.st_mode & 07777;
  if (model.st_uid != current.st_uid || model.st_gid != current.st_gid) {
    if (fchown(fd, model.st_uid, model.st_gid) != 0) {
      if (errno != EPERM) return errno;
      // Not allowed to give the file away; the group alone may still be ours to set.
      if (model.st_gid != current.st_gid && fchown(fd, static_cast<uid_t>(-1), model.st_gid) != 0) {
        if (errno != EPERM) return errno;
        mode &= ~static_cast<mode_t>(S_ISGID | S_IRWXG);
      }
    }
  }
  if (fchmod(fd, mode) != 0) return errno;
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

// The cross-file-system replacement: a copy of `sourceFd` beside `destination`, renamed over
// it. `model`: the metadata the copy gets. Returns 0, or 1 after a message, with `destination`
// untouched and no temporary left behind.
int copyOver(int sourceFd,
             const std::string& source,
             const std::string& destination,
             const struct stat& model) {
  std::string directory = directoryOf(destination);
  std::string temporary = directory + (directory.back() == '/' ? "" : "/") + ".chklist-XXXXXX";
  int copyFd = mkostemp(temporary.data(), O_CLOEXEC);
  if (copyFd < 0) return fail("cannot create a temporary file in", directory, errno);

  auto abandon = [&](std::string_view what, std::string_view path, int code) {
    close(copyFd);
    unlink(temporary.c_str());
    return fail(what, path, code);
  };
  std::vector<char> buffer(256 * 1024);
  if (lseek(sourceFd, 0, SEEK_SET) != 0) return abandon("cannot read", source, errno);
  for (;;) {
    ssize_t got = read(sourceFd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return abandon("cannot read", source, errno);
    if (got == 0) break;
    if (!writeAll(copyFd, buffer.data(), static_cast<std::size_t>(got))) {
      return abandon("cannot write", temporary, errno);
    }
  }
  struct stat copyStatus;
  if (fstat(copyFd, &copyStatus) != 0) return abandon("cannot inspect", temporary, errno);
  if (int code = takeOverMetadata(copyFd, model, copyStatus); code != 0) {
    return abandon("cannot set the permissions of", temporary, code);
  }
  if (fsync(copyFd) != 0) return abandon("cannot write", temporary, errno);
  if (close(copyFd) != 0) {
    int code = errno;
    unlink(temporary.c_str());
    return fail("cannot write", temporary, code);
  }
  if (rename(temporary.c_str(), destination.c_str()) != 0) {
    int code = errno;
    unlink(temporary.c_str());
    return fail("cannot replace", destination, code);
  }
  if (int code = syncDirectoryOf(destination); code != 0) {
    return fail("replaced but could not flush the directory of", destination, code);
  }
  if (unlink(source.c_str()) != 0) return fail("replaced, but cannot remove", source, errno);
  return 0;
}

}  // namespace

int replaceFile(const std::string& source, const std::string& destination) {
  // What is moved is the regular file found at SRC itself: a link is not followed, and a FIFO
  // does not hold the open.
  int sourceFd = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (sourceFd < 0) {
    if (errno == ELOOP) return failWithReason("cannot move", source, "not a regular file");
    return fail(errno == ENOENT ? "cannot find" : "cannot open", source, errno);
  }
  auto refuse = [sourceFd](int result) {
    close(sourceFd);
    return result;
  };
  struct stat sourceStatus;
  if (fstat(sourceFd, &sourceStatus) != 0) return refuse(fail("cannot inspect", source, errno));
  if (!S_ISREG(sourceStatus.st_mode)) {
    return refuse(failWithReason("cannot move", source, "not a regular file"));
  }

  struct stat destinationStatus;
  bool replacing = lstat(destination.c_str(), &destinationStatus) == 0;
  if (!replacing && errno != ENOENT) return refuse(fail("cannot inspect", destination, errno));
  if (replacing && S_ISLNK(destinationStatus.st_mode)) {
    return refuse(failWithReason("refusing to replace", destination, "it is a symbolic link"));
  }
  if (replacing && !S_ISREG(destinationStatus.st_mode)) {
    return refuse(failWithReason("refusing to replace", destination, "it is not a regular file"));
  }

  // A replacement that skipped this would briefly expose a private list under SRC's mode.
  const struct stat& model = replacing ? destinationStatus : sourceStatus;
  if (replacing) {
    if (int code = takeOverMetadata(sourceFd, destinationStatus, sourceStatus); code != 0) {
      restoreMetadata(sourceFd, sourceStatus);
      close(sourceFd);
      return fail("cannot take over the permissions of", destination, code);
    }
  }
  if (fsync(sourceFd) != 0) {
    int code = errno;
    if (replacing) restoreMetadata(sourceFd, sourceStatus);
    close(sourceFd);
    return fail("cannot flush", source, code);
  }
  if (rename(source.c_str(), destination.c_str()) == 0) {
    close(sourceFd);
    if (int code = syncDirectoryOf(destination); code != 0) {
      return fail("replaced but could not flush the directory of", destination, code);
    }
    return 0;
  }
  int code = errno;
  if (replacing) restoreMetadata(sourceFd, sourceStatus);
  if (code != EXDEV) {
    close(sourceFd);
    return fail("cannot replace", destination, code);
  }
  int result = copyOver(sourceFd, source, destination, model);
  close(sourceFd);
  return result;
}
