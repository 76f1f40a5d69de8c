// The file device's system side on POSIX: descriptors opened with openat(2) inside a held
// directory, never through a symbolic link at the final name, 64-bit positions through
// ftello/fseeko, fcntl record locks, and the line reader's default chunk read. On glibc the hot
// paths (chunk read, small writes, the position) work on the stream's buffer through the FILE
// fields that glibc's own getc_unlocked and putc_unlocked macros use; elsewhere they go through
// stdio. 64-bit file positions and lock regions on 32-bit systems too.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "channels/file_platform.h"
#include "channels/line_reader.h"

namespace {

// open(2) flags for a stdio stream mode; -1 for a mode the file device never asks for. No open
// follows a symbolic link at the final name: in a directory other users can write, a link there
// could lead a run as root to any file.
int openFlagsFor(const char* streamMode) {
  const bool update = std::strchr(streamMode, '+') != nullptr;
  switch (streamMode[0]) {
    case 'r':
      return (update ? O_RDWR : O_RDONLY) | O_NOFOLLOW;
    case 'w':
      return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_NOFOLLOW;
    case 'a':
      return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND | O_NOFOLLOW;
    default:
      return -1;
  }
}

#ifdef __GLIBC__
// memcpy for the short runs a list file's lines and a log record's items are made of (up to 32
// bytes), without a library call: two overlapping fixed-size copies cover any length up to
// twice their size.
void copySmallRun(char* to, const char* from, std::size_t count) {
  if (count >= 8) {
    if (count > 32) {
      std::memcpy(to, from, count);
      return;
    }
    if (count > 16) {
      struct Block {
        char bytes[16];
      };
      Block head;
      Block tail;
      std::memcpy(&head, from, 16);
      std::memcpy(&tail, from + count - 16, 16);
      std::memcpy(to, &head, 16);
      std::memcpy(to + count - 16, &tail, 16);
      return;
    }
    std::uint64_t head;
    std::uint64_t tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + count - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + count - 8, &tail, 8);
  } else if (count >= 4) {
    std::uint32_t head;
    std::uint32_t tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + count - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + count - 4, &tail, 4);
  } else if (count > 0) {
    to[0] = from[0];
    to[count / 2] = from[count / 2];
    to[count - 1] = from[count - 1];
  }
}
#endif

#ifdef __GLIBC__
// The bytes the stream's buffer holds from its read position: at most `limit`, and up to and
// including the first LF among them (`endsLine` then true). Nothing is taken from the stream.
std::string_view bufferedBytes(std::FILE* stream, std::size_t limit, bool* endsLine) {
  const std::ptrdiff_t available = stream->_IO_read_end - stream->_IO_read_ptr;
  if (available <= 0) return {};
  std::size_t length =
      static_cast<std::size_t>(available) < limit ? static_cast<std::size_t>(available) : limit;
  const char* from = stream->_IO_read_ptr;
  if (const void* lineFeed = std::memchr(from, '\n', length)) {
    length = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - from) + 1;
    *endsLine = true;
  }
  return {from, length};
}
#endif

// Whether files this process creates keep their owner's read and write bits. Read once: only
// reading the mask sets it, and nothing in the program changes it.
bool umaskKeepsOwnerBits() {
  static const bool keeps = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return (mask & (S_IRUSR | S_IWUSR)) == 0;
  }();
  return keeps;
}

// openat(2) with the flags every stream's descriptor gets, retried when a signal interrupts it.
// Non-blocking for the open alone: a FIFO at the name (a planted "list.tmp" or "blist.dir")
// would otherwise hold the open until some process opened its other end, hanging the run.
// Opened for writing without a reader it fails; opened for reading it gives the end.
int openDescriptor(int directory, const std::string& name, int flags, mode_t mode) {
  int descriptor;
  do {
    descriptor = ::openat(directory, name.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

std::FILE* closeAndFail(int descriptor) {
  ::close(descriptor);
  return nullptr;
}

// Creates `name` in `directory` as a new, empty file readable and writable by its owner alone:
// its content may be a private list's entries until it is moved into place. Whatever held the
// name before is removed first, never emptied: a file another user prepared there, and may
// hold open, must not receive the content, and a second name of another file or a link must
// not empty that file. A character device (a terminal, the null device) is opened as it is.
// The descriptor, or -1; `info` receives the file's state.
int createAnew(int directory, const std::string& name, int flags, struct stat* info) {
  constexpr mode_t Private = S_IRUSR | S_IWUSR;
  // Another process may put something back at the name between the removal and the create;
  // a few rounds settle an ordinary race, a persistent one fails the open.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int descriptor = openDescriptor(directory, name, flags | O_EXCL, Private);
    if (descriptor >= 0) {
      // The umask may have taken the owner's bits; the file is the process's own to set.
      if (!umaskKeepsOwnerBits() && ::fchmod(descriptor, Private) != 0) {
        ::close(descriptor);
        return -1;
      }
      // Its identity lets the replacement make sure that the file it moves is this one.
      if (::fstat(descriptor, info) != 0) {
        ::close(descriptor);
        return -1;
      }
      return descriptor;
    }
    if (errno != EEXIST) return -1;
    struct stat existing {};
    if (::fstatat(directory, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISCHR(existing.st_mode)) {
      const int device = openDescriptor(directory, name, flags & ~O_CREAT, 0);
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

}  // namespace

void toPlatformFileName(std::string&) {}

std::FILE* openFileStream(const HeldDirectory* directory,
                          const std::string& name,
                          const char* streamMode,
                          OpenedFile* opened) {
  if (opened != nullptr) *opened = {};
  const int flags = openFlagsFor(streamMode);
  if (flags < 0) return nullptr;
  const int in =
      directory != nullptr && directory->descriptor >= 0 ? directory->descriptor : AT_FDCWD;
  struct stat info {};
  const bool emptying = streamMode[0] == 'w';
  const int descriptor = emptying ? createAnew(in, name, flags, &info)
                                  : openDescriptor(in, name, flags, S_IRUSR | S_IWUSR);
  if (descriptor < 0) return nullptr;
  if (!emptying && ::fstat(descriptor, &info) != 0) return closeAndFail(descriptor);
  // Opened for reading too, a FIFO would never block a writer that waits for a reader: it would
  // hang once its buffer filled. Appending to a FIFO is left to a mode that writes only.
  if (S_ISFIFO(info.st_mode) && streamMode[0] == 'a' && (flags & O_ACCMODE) == O_RDWR) {
    return closeAndFail(descriptor);
  }
  // Back to blocking for the reads and writes. O_APPEND is the only other status flag the open
  // set, so the flags need not be read first. Regular files ignore the flag: they skip this.
  if (!S_ISREG(info.st_mode) && ::fcntl(descriptor, F_SETFL, flags & O_APPEND) != 0) {
    return closeAndFail(descriptor);
  }
  std::FILE* stream = ::fdopen(descriptor, streamMode);
  if (stream == nullptr) return closeAndFail(descriptor);
  if (opened != nullptr && S_ISREG(info.st_mode)) {
    opened->regular = true;
    opened->identified = true;
    opened->ownedAlone = info.st_uid == ::geteuid() && info.st_nlink == 1 &&
                         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    opened->state.device = static_cast<std::uint64_t>(info.st_dev);
    opened->state.fileIndex = static_cast<std::uint64_t>(info.st_ino);
    opened->state.size = static_cast<std::int64_t>(info.st_size);
    opened->state.modifiedTime = static_cast<std::int64_t>(info.st_mtim.tv_sec);
    opened->state.modifiedFraction = static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  }
  return stream;
}

void noteStreamAtStart(std::FILE* stream) {
#ifdef __GLIBC__
  // The offset glibc keeps for the descriptor, unknown after fdopen and setvbuf; known, the
  // stream can tell its position without a system call (see tellFileStream), as after a seek.
  if (stream->_IO_read_ptr == stream->_IO_read_end &&
      stream->_IO_write_ptr == stream->_IO_write_base) {
    stream->_offset = 0;
  }
#else
  (void)stream;
#endif
}

std::int64_t tellFileStream(std::FILE* stream) {
#ifdef __GLIBC__
  // What ftello computes for a byte stream that holds no unwritten bytes and no pushed-back
  // ones: the file offset its buffer was filled up to, less the bytes not yet taken from it.
  // The end-of-file rule asks for the position before every line.
  if (stream->_mode <= 0 && stream->_offset >= 0 && stream->_IO_save_base == nullptr &&
      stream->_IO_write_ptr <= stream->_IO_write_base) {
    const std::int64_t position = stream->_offset - (stream->_IO_read_end - stream->_IO_read_ptr);
    if (position >= 0) return position;
  }
#endif
  return ::ftello(stream);
}

std::string_view takeBufferedLine(std::FILE* stream, std::size_t limit) {
#ifdef __GLIBC__
  bool endsLine = false;
  const std::string_view line = bufferedBytes(stream, limit, &endsLine);
  if (!endsLine) return {};
  stream->_IO_read_ptr += line.size();
  return line;
#else
  (void)stream;
  (void)limit;
  return {};
#endif
}

bool regularFileSize(std::FILE* stream, std::int64_t* size) {
  struct stat info {};
  if (::fstat(::fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  *size = static_cast<std::int64_t>(info.st_size);
  return true;
}

bool writeFileStream(std::FILE* stream, const char* bytes, std::size_t count) {
#ifdef __GLIBC__
  // Single thread, and a channel's stream serves nothing but its channel: no locking. A run
  // that fits the buffer's free room is copied there, as putc_unlocked would copy it byte by
  // byte; the rest goes through stdio, which flushes (unless the stream has failed).
  if (count <= static_cast<std::size_t>(stream->_IO_write_end - stream->_IO_write_ptr)) {
    copySmallRun(stream->_IO_write_ptr, bytes, count);
    stream->_IO_write_ptr += count;
    return ferror_unlocked(stream) == 0;
  }
  if (ferror_unlocked(stream) != 0) return false;
  return fwrite_unlocked(bytes, 1, count, stream) == count && ferror_unlocked(stream) == 0;
#else
  if (std::ferror(stream) != 0) return false;
  const std::size_t written = count == 0 ? 0 : std::fwrite(bytes, 1, count, stream);
  return written == count && std::ferror(stream) == 0;
#endif
}

bool fileStreamFailed(std::FILE* stream) {
#ifdef __GLIBC__
  return ferror_unlocked(stream) != 0;
#else
  return std::ferror(stream) != 0;
#endif
}

bool fileStreamFailedOrEnded(std::FILE* stream) {
#ifdef __GLIBC__
  return ferror_unlocked(stream) != 0 || feof_unlocked(stream) != 0;
#else
  return std::ferror(stream) != 0 || std::feof(stream) != 0;
#endif
}

bool syncFileStream(std::FILE* stream) {
  if (std::fflush(stream) != 0) return false;
  const int descriptor = ::fileno(stream);
  int result;
  do {
    result = ::fsync(descriptor);
  } while (result != 0 && errno == EINTR);
  // A device that cannot be synced (a terminal, /dev/null) holds nothing to make durable.
  return result == 0 || errno == EINVAL || errno == EROFS;
}

std::int64_t readFileAt(std::FILE* stream, std::int64_t offset, char* buffer, std::size_t count) {
  ssize_t result;
  do {
    result = ::pread(::fileno(stream), buffer, count, static_cast<off_t>(offset));
  } while (result < 0 && errno == EINTR);
  return result;
}

bool cutFile(std::FILE* stream, std::int64_t length) {
  int result;
  do {
    result = ::ftruncate(::fileno(stream), static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool seekFileStream(std::FILE* stream, std::int64_t offset, int origin) {
  return ::fseeko(stream, static_cast<off_t>(offset), origin) == 0;
}

StatusCode lockFileRegion(std::FILE* stream, std::int64_t offset, std::int64_t length, bool lock) {
  const int descriptor = ::fileno(stream);
  const int accessMode = ::fcntl(descriptor, F_GETFL);
  if (accessMode < 0) return StatusCode::TransferFailed;
  struct flock region {};
  if (!lock) {
    region.l_type = F_UNLCK;
  } else if ((accessMode & O_ACCMODE) == O_RDONLY) {
    region.l_type = F_RDLCK;
  } else {
    region.l_type = F_WRLCK;
  }
  region.l_whence = SEEK_SET;
  region.l_start = static_cast<off_t>(offset);
  region.l_len = static_cast<off_t>(length);
  if (::fcntl(descriptor, F_SETLK, &region) == 0) return StatusCode::Ok;
  // Refused: another process holds the region. Any other failure (a file system without
  // locks) means this file offers no locking at all.
  return errno == EACCES || errno == EAGAIN ? StatusCode::TransferFailed
                                            : StatusCode::NotApplicable;
}

std::size_t readStreamChunk(char* buffer, int size, std::FILE* stream) {
  // Reads stay inside the stream's buffer: a short line costs its own bytes, not the chunk's
  // size. Unlocked: the program has one thread, and a channel's stream is used by nothing but
  // its channel.
  std::size_t stored = 0;
  if (size <= 1) return 0;
  const std::size_t limit = static_cast<std::size_t>(size) - 1;
  while (stored < limit) {
#ifdef __GLIBC__
    // The bytes getc_unlocked would hand out one by one, taken up to the first LF at once.
    bool endsLine = false;
    const std::string_view bytes = bufferedBytes(stream, limit - stored, &endsLine);
    if (!bytes.empty()) {
      std::memcpy(buffer + stored, bytes.data(), bytes.size());
      stream->_IO_read_ptr += bytes.size();
      stored += bytes.size();
      if (endsLine) break;
      continue;
    }
#endif
    // An empty buffer: one byte through stdio, which refills it or reports the end.
    const int byte = getc_unlocked(stream);
    if (byte == EOF) break;
    buffer[stored++] = static_cast<char>(byte);
    if (byte == '\n') break;
  }
  buffer[stored] = '\0';
  return stored;
}
