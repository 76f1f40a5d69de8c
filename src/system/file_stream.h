// Our buffered streams over the system's files: a descriptor on POSIX, a handle on Windows, with
// a read buffer and a write buffer of 64 KiB that the stream owns. The first failure of a read,
// write, flush or sync stays with the stream until it is closed: a stream that failed writes
// nothing more, and bytes it could not write stay in its buffer and are reported by every later
// flush, sync and close, never dropped unannounced. The system calls are the platform files'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "status/status_store.h"
#include "system/file_state.h"
#include "system/held_directory.h"

// The system's name of an open file: a descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;

// The size of each of a stream's buffers. A system call per 64 KiB read or written; the file
// system's block size (4 KiB, stdio's choice) cost more than all the rest of a run on a list of
// millions of lines.
constexpr std::size_t StreamBufferSize = 64 * 1024;

// How a stream opens its file.
enum class StreamMode {
  Read,        // an existing file, for reading
  Write,       // a new file (see openFileStream), for writing
  Append,      // writes go to the file's end; the file is created when missing
  AppendRead,  // Append, and the file can be read (readFileAt)
  Update,      // an existing file, for reading and writing
  UpdateNew,   // a new file, for reading and writing
  New,  // a new private file for writing, made only where nothing holds the name, and claimed
        // by the open for as long as it stays open (POSIX: an exclusive lock of its open file
        // description; Windows: its sharing), so that another run can tell a live one's file
};

// Which operation failed first on a stream.
enum class StreamFailure : std::uint8_t {
  None,
  Read,
  Write,  // a write or flush: the file may hold part of what was handed to the stream
  Sync,   // the system did not make the file's data durable
};

struct FileStream;

// What one system call of a transfer reports besides the bytes it moved.
constexpr std::int64_t TransferInterrupted = -1;  // a signal came first: nothing moved, retry
constexpr std::int64_t TransferRefused = -2;      // failed; `*error` holds the system's code

// The system calls that move a stream's bytes, one table per platform (defaultFileTransfers).
// Each call moves what it can of `count` bytes (more than 0) at the stream's system position,
// or at the file's end for a stream that appends, and returns how many it moved (0 for a read:
// the end of the file), TransferInterrupted or TransferRefused. Tests hand a stream faulty ones.
struct FileTransfers {
  std::int64_t (*read)(const FileStream& stream, char* buffer, std::size_t count, int* error);
  std::int64_t (*write)(const FileStream& stream, const char* bytes, std::size_t count, int* error);
};

// The platform's transfers: read(2) and write(2), or ReadFile and WriteFile.
const FileTransfers& defaultFileTransfers();

// One open stream. Reading and writing take turns: while it reads, its write buffer is empty;
// while it writes, its read buffer is. Its position is known without a system call:
// `offset` less the bytes read ahead, plus the bytes waiting to be written. Anyone may read its
// fields; only the functions of this header and of the stream's own files change them.
struct FileStream {
  FileHandle handle;
  const FileTransfers* transfers;
  // The read buffer's bytes not yet taken: [readNext, readEnd).
  const char* readNext;
  const char* readEnd;
  // Bytes handed in and not yet written: [writeBuffer, writeNext). Room for more up to
  // writeLimit; none while the stream reads, after a failure, or on a stream that cannot write.
  char* writeNext;
  char* writeLimit;
  char* readBuffer;         // StreamBufferSize bytes when the stream can read, else null
  char* writeBuffer;        // StreamBufferSize bytes when the stream can write, else null
  std::int64_t offset;      // where the system's next read or write starts in the file
  std::int64_t sizeAtOpen;  // the file's length when opened; -1 for anything but a regular file
  StreamFailure failure;    // the first failure, None while everything went through
  int error;                // the system's code for that failure (errno, GetLastError), or 0
  bool ended;               // a read found the end of the file; cleared by a seek
  bool canRead;
  bool canWrite;
  bool appends;
};

// Turns a name as the program writes it into the platform's form, in place: on Windows every
// "/" becomes a backslash; on POSIX "/" is the separator already and nothing changes.
void toPlatformFileName(std::string& name);

// What opening a file taught about it, so that nobody needs to ask the system again.
struct OpenedFile {
  bool regular = false;     // a regular file, whose length is `state.size`
  bool identified = false;  // `state` holds the whole state of the file opened
  // Windows: a regular file of this process's user (or group) alone, judged when it was opened.
  bool ownedAlone = false;
  std::uint32_t links = 0;  // POSIX: the file's number of names
  FileState state;
};

// True when the file opened is a regular file of this process's user, with no other name, that
// no one else may write (judged from what the open learnt, when it is asked).
bool openedFileOwnedAlone(const OpenedFile& opened);

// Opens `name` inside `directory` (null: the current directory) in `mode` into `stream`. False
// when the file cannot be opened or its buffers cannot be had; then nothing is left open. No open
// follows a symbolic link (on Windows any reparse point) at the final name, AppendRead refuses a
// FIFO (which it would be a reader of itself), and no descriptor or handle is inherited by
// commands the program runs. Write and UpdateNew never empty an existing file in place: whatever
// holds the name is removed and a new private file is created exclusively, so that a file another
// user prepared (and may hold open) never receives the content; on POSIX a character device (a
// terminal, the null device) is written as it is. On Windows the append modes open a regular
// disk file only. `opened`, when given, receives what the open learnt about the file (for a new
// file, its state after creating it). The stream stands at the start of the file, or at its end
// when it appends.
bool openFileStream(FileStream& stream,
                    const HeldDirectory* directory,
                    const std::string& name,
                    StreamMode mode,
                    OpenedFile* opened = nullptr);

// Makes `stream` a writing stream on the process's standard output, and points standard output at
// standard error from then on: the stream has standard output to itself, and whatever else the
// program and its commands print goes to standard error. False, with nothing changed, when there
// is no standard output to take or no buffer for it. `opened`, when given, receives what the
// stream writes to when it is a regular file.
bool takeStandardOutput(FileStream& stream, OpenedFile* opened = nullptr);

// True when standard error is a terminal (on Windows a console) that a person watches.
bool standardErrorIsTerminal();

// True when standard output is a terminal that acts on control sequences in what is written to
// it. Windows: false, a console shows bytes written to it as characters of its code page.
bool standardOutputIsTerminal();

// Writes out what the stream holds, unless it has failed, closes its file (none when the
// stream's handle was taken: -1) and gives back its buffers. True when every byte handed to the
// stream reached the file and nothing failed, now or earlier; otherwise false, with the system's
// code of the first failure in `*error` when given.
bool closeFileStream(FileStream& stream, int* error = nullptr);

// Gives the stream other system calls than its platform's (tests hand it faulty ones).
void useTransfers(FileStream& stream, const FileTransfers& transfers);

// Writes out the bytes the stream holds, looping over short writes and interruptions. True when
// all reached the file; false when it failed now or earlier (the bytes not written stay held).
bool streamFlush(FileStream& stream);

// Flushes, then makes the file's data durable (fsync, FlushFileBuffers). A device with nothing
// to make durable (a terminal, the null device, a pipe) succeeds. False when either failed, now
// or earlier.
bool streamSync(FileStream& stream);

// Writes `count` bytes when the stream has no room for them: see streamWrite.
bool streamWriteMore(FileStream& stream, const char* bytes, std::size_t count);

// Copies a run of up to 32 bytes (the length of most of a list file's lines and of a log
// record's items) without a library call: two overlapping fixed-size copies cover any length
// up to twice their size.
inline void copyShortRun(char* to, const char* from, std::size_t count) {
  if (count > 32) {
    std::memcpy(to, from, count);
  } else if (count > 16) {
    struct Block {
      char bytes[16];
    };
    Block head;
    Block tail;
    std::memcpy(&head, from, 16);
    std::memcpy(&tail, from + count - 16, 16);
    std::memcpy(to, &head, 16);
    std::memcpy(to + count - 16, &tail, 16);
  } else if (count >= 8) {
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

// Hands `count` bytes to the stream. Copies into the buffer when they fit; otherwise fills the
// buffer, writes it out, and keeps the rest there or, when it is more than a buffer, writes it
// directly. False once any read, write, flush or sync of this stream has failed: a failed
// stream takes nothing more. An empty run counts as complete.
inline bool streamWrite(FileStream& stream, const char* bytes, std::size_t count) {
  if (count <= static_cast<std::size_t>(stream.writeLimit - stream.writeNext)) {
    copyShortRun(stream.writeNext, bytes, count);
    stream.writeNext += count;
    return stream.failure == StreamFailure::None;
  }
  return streamWriteMore(stream, bytes, count);
}

// Room for `count` bytes (at most StreamBufferSize) at the end of the stream's write buffer,
// which is written out first when they do not fit: the caller builds its bytes there and hands
// them over with streamCommit, sparing a copy. Null when the stream has failed, cannot write, or
// the held bytes could not be written out; nothing is handed over then.
char* streamReserveMore(FileStream& stream, std::size_t count);

inline char* streamReserve(FileStream& stream, std::size_t count) {
  if (count <= static_cast<std::size_t>(stream.writeLimit - stream.writeNext) &&
      stream.failure == StreamFailure::None) {
    return stream.writeNext;
  }
  return streamReserveMore(stream, count);
}

// Hands over the first `count` bytes of the room streamReserve gave.
inline void streamCommit(FileStream& stream, std::size_t count) { stream.writeNext += count; }

// Reads up to `count` bytes into `buffer`: the number read, fewer only at the end of the file or
// after a failure.
std::size_t streamRead(FileStream& stream, char* buffer, std::size_t count);

// Refills the read buffer with one system read when it holds nothing (writing out held bytes
// first). True when it holds bytes; false at the end of the file or after a failure.
bool streamRefill(FileStream& stream);

inline bool streamFill(FileStream& stream) {
  return stream.readNext != stream.readEnd || streamRefill(stream);
}

// The bytes of the read buffer not yet taken, filling it first when it holds none: valid until
// the stream's next operation. Empty at the end of the file or after a failure.
inline std::string_view streamPeek(FileStream& stream) {
  if (!streamFill(stream)) return {};
  return {stream.readNext, static_cast<std::size_t>(stream.readEnd - stream.readNext)};
}

// Takes the first `count` bytes of what streamPeek gave.
inline void streamConsume(FileStream& stream, std::size_t count) { stream.readNext += count; }

// Leaves the stream with nothing more to read: at the end of its file, also when the file has
// grown meanwhile or cannot be positioned.
void streamSkipToEnd(FileStream& stream);

// The stream's position in its file, in bytes.
inline std::int64_t streamPosition(const FileStream& stream) {
  return stream.offset - (stream.readEnd - stream.readNext) +
         (stream.writeNext - stream.writeBuffer);
}

// Moves the stream to `offset` from `origin` (SEEK_SET, SEEK_CUR, SEEK_END), writing out held
// bytes first; clears `ended`. False when the bytes could not be written or the file cannot be
// positioned (a pipe); a failed positioning is not remembered as the stream's failure.
bool streamSeek(FileStream& stream, std::int64_t offset, int origin);

inline bool streamFailed(const FileStream& stream) { return stream.failure != StreamFailure::None; }

// The length of the stream's file now, when it is a regular file: true with `size` set. False
// for anything else (a pipe, a device), whose length only seeking can tell, if anything.
bool currentFileSize(const FileStream& stream, std::int64_t* size);

// For a stream that appends: true when its file is now shorter than where the stream's writes
// have reached (someone cut it: bytes written may be lost); the stream then goes on from the
// file's end as it is, and a second call is false until the file is cut again. Writes out held
// bytes first. False when they cannot be written or the file's length cannot be had.
bool streamFileCutShort(FileStream& stream);

// True when `name` in the current directory still names the stream's file, as its only name
// and as this user's file alone (the rules of the run's own files). A file renamed or removed
// since it was opened (a log rotated away) is not: what is written to it no longer reaches the
// name. On Windows a file open without delete sharing keeps its name: always true there.
// `opened` is what the stream's open learnt, of a file found this user's alone then: the name
// must hold that file, with the same owner, still one name and writable by no one else.
bool streamStillNamed(const std::string& name, const OpenedFile& opened);

// Reads up to `count` bytes of the stream's file from `offset`, without moving the stream or
// touching its buffers. The number of bytes read (0 at the end of the file); -1 when the file
// cannot be read (a stream opened for writing only).
std::int64_t readFileAt(FileStream& stream, std::int64_t offset, char* buffer, std::size_t count);

// Cuts the stream's file to `length` bytes (shorter than it is). True on success.
bool cutFile(FileStream& stream, std::int64_t length);

// Locks (`lock` true) or unlocks a byte region of the stream's file without waiting. A lock is
// exclusive when the stream can write, shared otherwise. Returns Ok, TransferFailed when another
// process holds the region, NotApplicable when the file offers no locks; stores nothing. The
// length is greater than 0; the caller checks.
StatusCode lockFileRegion(FileStream& stream, std::int64_t offset, std::int64_t length, bool lock);
