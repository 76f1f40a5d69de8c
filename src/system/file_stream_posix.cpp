// Our file streams' system side on POSIX: descriptors opened with openat(2) inside a held
// directory, never through a symbolic link at the final name; read(2), write(2), lseek(2),
// fsync(2), pread(2), ftruncate(2) and fcntl record locks on them. 64-bit file positions and
// lock regions on 32-bit systems too.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "system/file_state_posix.h"
#include "system/file_stream.h"
#include "system/file_stream_system.h"
#include "system/write_all_posix.h"

namespace {

int descriptorOf(const FileStream& stream) { return static_cast<int>(stream.handle); }

// open(2) flags for a stream mode. No open follows a symbolic link at the final name: in a
// directory other users can write, a link there could lead a run as root to any file.
int openFlagsFor(StreamMode mode) {
  switch (mode) {
    case StreamMode::Read:
      return O_RDONLY | O_NOFOLLOW;
    case StreamMode::Write:
      return O_WRONLY | O_CREAT | O_NOFOLLOW;
    case StreamMode::Append:
      return O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW;
    case StreamMode::AppendRead:
      return O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW;
    case StreamMode::Update:
      return O_RDWR | O_NOFOLLOW;
    case StreamMode::UpdateNew:
      return O_RDWR | O_CREAT | O_NOFOLLOW;
    case StreamMode::New:
      return O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
  }
  return -1;
}

// openat(2) with the flags every stream's descriptor gets, retried when a signal interrupts it.
// Non-blocking for the open alone: a FIFO at the name (a planted "blist.dir")
// would otherwise hold the open until some process opened its other end, hanging the run.
// Opened for writing without a reader it fails; opened for reading it gives the end.
int openDescriptor(int directory, const std::string& name, int flags, mode_t mode) {
  int descriptor;
  do {
    descriptor = ::openat(directory, name.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

// What an open learnt of the file it opened: the state of a regular file.
void learnOpened(const struct stat& info, OpenedFile* opened) {
  if (!S_ISREG(info.st_mode)) return;
  opened->regular = true;
  opened->identified = true;
  opened->links = static_cast<std::uint32_t>(info.st_nlink);
  opened->state = fileStateOf(info);
}

bool closeAndFail(int descriptor) {
  ::close(descriptor);
  return false;
}

// Creates `name` in `directory` as a new private file, only where nothing holds the name, and
// claims it at once with an exclusive lock of its open file description, kept while it is open:
// another process that finds it (a run looking for leftovers) can tell a live one's file. Where
// the file system offers no locks it stays unclaimed: a look there cannot tell either, and takes
// every such file for a live run's. A file taken from its name before the claim is made again.
// The descriptor, or -1 (EEXIST when the name is taken; EBUSY when another process claimed the
// file first, which then is its to remove); `info` receives its state.
int createClaimed(int directory, const std::string& name, int flags, struct stat* info) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int descriptor = openDescriptor(directory, name, flags, S_IRUSR | S_IWUSR);
    if (descriptor < 0) return -1;
    struct flock whole = wholeFile(F_WRLCK);
    int code = ::fcntl(descriptor, F_OFD_SETLK, &whole) == 0 ? 0 : errno;
    if (code == ENOLCK || code == EINVAL || code == EOPNOTSUPP) code = 0;
    if (code == EAGAIN || code == EACCES) {
      ::close(descriptor);
      errno = EBUSY;
      return -1;
    }
    // The umask may have taken the owner's bits; the file is the process's own to set.
    if (code == 0 && !umaskKeepsOwnerBits() && ::fchmod(descriptor, S_IRUSR | S_IWUSR) != 0) {
      code = errno;
    }
    const bool known = ::fstat(descriptor, info) == 0;
    if (code == 0 && !known) code = errno;
    if (code == 0 && info->st_nlink > 0) return descriptor;
    // A failure: what this call made goes, while its name still holds it.
    struct stat named {};
    if (code != 0 && known &&
        ::fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == info->st_dev && named.st_ino == info->st_ino) {
      ::unlinkat(directory, name.c_str(), 0);
    }
    ::close(descriptor);
    if (code != 0) {
      errno = code;
      return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

std::int64_t readDescriptor(const FileStream& stream, char* buffer, std::size_t count, int* error) {
  const ssize_t got = ::read(descriptorOf(stream), buffer, count);
  if (got >= 0) return got;
  if (errno == EINTR) return TransferInterrupted;
  *error = errno;
  return TransferRefused;
}

std::int64_t writeDescriptor(const FileStream& stream,
                             const char* bytes,
                             std::size_t count,
                             int* error) {
  const ssize_t moved = ::write(descriptorOf(stream), bytes, count);
  if (moved >= 0) return moved;
  if (errno == EINTR) return TransferInterrupted;
  *error = errno;
  return TransferRefused;
}

constexpr FileTransfers descriptorTransfers = {
    .read = readDescriptor,
    .write = writeDescriptor,
};

}  // namespace

const FileTransfers& defaultFileTransfers() { return descriptorTransfers; }

void toPlatformFileName(std::string&) {}

bool openSystemFile(const HeldDirectory* directory,
                    const std::string& name,
                    StreamMode mode,
                    FileHandle* handle,
                    OpenedFile* opened) {
  const int flags = openFlagsFor(mode);
  if (flags < 0) return false;
  const int in =
      directory != nullptr && directory->descriptor >= 0 ? directory->descriptor : AT_FDCWD;
  struct stat info {};
  const bool emptying = mode == StreamMode::Write || mode == StreamMode::UpdateNew;
  // A character device (a terminal, the null device) is written as it is.
  const int descriptor =
      emptying ? createPrivateFile(in, name, flags | O_CLOEXEC | O_NONBLOCK, true, &info)
      : mode == StreamMode::New ? createClaimed(in, name, flags, &info)
                                : openDescriptor(in, name, flags, S_IRUSR | S_IWUSR);
  if (descriptor < 0) return false;
  if (!emptying && mode != StreamMode::New && ::fstat(descriptor, &info) != 0) {
    return closeAndFail(descriptor);
  }
  // Opened for reading too, a FIFO would never block a writer that waits for a reader: it would
  // hang once its buffer filled. Appending to a FIFO is left to a mode that writes only.
  if (S_ISFIFO(info.st_mode) && mode == StreamMode::AppendRead) return closeAndFail(descriptor);
  // Back to blocking for the reads and writes. O_APPEND is the only other status flag the open
  // set, so the flags need not be read first. Regular files ignore the flag: they skip this.
  if (!S_ISREG(info.st_mode) && ::fcntl(descriptor, F_SETFL, flags & O_APPEND) != 0) {
    return closeAndFail(descriptor);
  }
  *handle = descriptor;
  learnOpened(info, opened);
  return true;
}

bool takeSystemStandardOutput(FileHandle* handle, OpenedFile* opened) {
  // A descriptor of its own, above the three standard ones and not inherited by commands.
  const int kept = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (kept < 0) return false;
  struct stat info {};
  if (::fstat(kept, &info) != 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    return closeAndFail(kept);
  }
  *handle = kept;
  learnOpened(info, opened);
  return true;
}

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool seekSystemFile(FileHandle handle, std::int64_t offset, int origin, std::int64_t* position) {
  const off_t moved = ::lseek(static_cast<int>(handle), static_cast<off_t>(offset), origin);
  if (moved < 0) return false;
  *position = static_cast<std::int64_t>(moved);
  return true;
}

bool syncSystemFile(FileHandle handle, int* error) {
  int result;
  do {
    result = ::fsync(static_cast<int>(handle));
  } while (result != 0 && errno == EINTR);
  if (result == 0) return true;
  const int code = errno;
  // A device that cannot be synced (a terminal, /dev/null, a pipe) holds nothing to make
  // durable. A regular file on a file system that cannot sync it does: its data may be lost.
  if (code == EINVAL || code == EROFS) {
    struct stat info {};
    if (::fstat(static_cast<int>(handle), &info) == 0 && !S_ISREG(info.st_mode)) return true;
  }
  *error = code;
  return false;
}

bool closeSystemFile(FileHandle handle, int* error) {
  // Not retried on EINTR: the descriptor is released whatever close reports.
  if (::close(static_cast<int>(handle)) == 0 || errno == EINTR) return true;
  *error = errno;
  return false;
}

bool currentFileSize(const FileStream& stream, std::int64_t* size) {
  struct stat info {};
  if (::fstat(descriptorOf(stream), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  *size = static_cast<std::int64_t>(info.st_size);
  return true;
}

bool openedFileOwnedAlone(const OpenedFile& opened) {
  return opened.regular && opened.state.owner == static_cast<std::uint32_t>(::geteuid()) &&
         (opened.state.permissions & (S_IWGRP | S_IWOTH)) == 0 && opened.links == 1;
}

bool streamStillNamed(const std::string& name, const OpenedFile& opened) {
  // The name's file is the one opened when device and inode agree: its owner, access and names
  // are then the file's own as they are now.
  struct stat named {};
  return ::fstatat(AT_FDCWD, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(named.st_mode) &&
         static_cast<std::uint64_t>(named.st_dev) == opened.state.device &&
         static_cast<std::uint64_t>(named.st_ino) == opened.state.fileIndex &&
         static_cast<std::uint32_t>(named.st_uid) == opened.state.owner &&
         (named.st_mode & (S_IWGRP | S_IWOTH)) == 0 && named.st_nlink == 1;
}

std::int64_t readFileAt(FileStream& stream, std::int64_t offset, char* buffer, std::size_t count) {
  ssize_t result;
  do {
    result = ::pread(descriptorOf(stream), buffer, count, static_cast<off_t>(offset));
  } while (result < 0 && errno == EINTR);
  return result;
}

bool cutFile(FileStream& stream, std::int64_t length) {
  int result;
  do {
    result = ::ftruncate(descriptorOf(stream), static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

StatusCode lockFileRegion(FileStream& stream, std::int64_t offset, std::int64_t length, bool lock) {
  struct flock region {};
  if (!lock) {
    region.l_type = F_UNLCK;
  } else {
    region.l_type = stream.canWrite ? F_WRLCK : F_RDLCK;
  }
  region.l_whence = SEEK_SET;
  region.l_start = static_cast<off_t>(offset);
  region.l_len = static_cast<off_t>(length);
  if (::fcntl(descriptorOf(stream), F_SETLK, &region) == 0) return StatusCode::Ok;
  // Refused: another process holds the region. Any other failure (a file system without
  // locks) means this file offers no locking at all.
  return errno == EACCES || errno == EAGAIN ? StatusCode::TransferFailed
                                            : StatusCode::NotApplicable;
}
