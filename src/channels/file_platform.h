// What the file device needs from the operating system, one implementation per platform:
// file_platform_posix.cpp and file_platform_windows.cpp. The file device (file_device.cpp) and
// the line reader (line_reader.cpp) hold the rules; these functions only reach the system.
// Each platform file also defines the line reader's default chunk read, readStreamChunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "channels/file_state.h"
#include "channels/held_directory.h"
#include "status/status_store.h"

// Turns a name as the program writes it into the platform's form, in place: on Windows every
// "/" becomes a backslash; on POSIX "/" is the separator already and nothing changes.
void toPlatformFileName(std::string& name);

// What opening a file taught about it, so that nobody needs to ask the system again.
struct OpenedFile {
  bool regular = false;     // a regular file, whose length is `state.size`
  bool identified = false;  // `state` holds the whole state of the file opened
  // A regular file of this process's user, with no other name, that no one else may write
  // (on Windows, where owners are not compared, every regular file).
  bool ownedAlone = false;
  FileState state;
};

// Opens `name` inside `directory` (null: the current directory) with the stdio stream mode
// `streamMode` ("rb", "wb", "ab", "a+b", "r+b", "w+b"). Null when the file cannot be opened; then
// nothing is left open. No open follows a symbolic link (on Windows any reparse point) at the
// final name, "a+b" refuses a FIFO (which it would be a reader of itself), and no descriptor or
// handle is inherited by commands the program runs. A truncating mode ("w...") never empties an
// existing file in place: whatever holds the name is removed and a new private file is created
// exclusively, so that a file another user prepared (and may hold open) never receives the
// content; on POSIX a character device (a terminal, the null device) is written as it is. On
// Windows an "a" mode opens a regular disk file only. `opened`, when given, receives what the
// open learnt about the file (for a truncating mode, its state after creating it).
std::FILE* openFileStream(const HeldDirectory* directory,
                          const std::string& name,
                          const char* streamMode,
                          OpenedFile* opened = nullptr);

// Tells a stream whose descriptor was just opened for reading, and which has read nothing yet,
// that it stands at the start of its file, where a platform's stream cannot know it by itself.
void noteStreamAtStart(std::FILE* stream);

// The stream's position as a 64-bit byte offset; -1 when it cannot be told. Costs no system call
// while the stream is reading and already knows where its buffer stands in the file.
std::int64_t tellFileStream(std::FILE* stream);

// The length of the stream's file when it is a regular file: true with `size` set. False for
// anything else (a pipe, a device), whose length only seeking can tell, if anything.
bool regularFileSize(std::FILE* stream, std::int64_t* size);

// Hands `count` bytes to the stream's buffer. True when every byte was taken and the stream's
// error indicator is clear (a failed write or flush, now or earlier, sets it); an empty run
// counts as complete. A stream whose indicator is set writes nothing more to its file: the
// bytes are at most kept in its buffer, which a flush (fflush, fclose) would still write out.
bool writeFileStream(std::FILE* stream, const char* bytes, std::size_t count);

// The stream's error indicator, and whether it is set or a read has run into the end.
bool fileStreamFailed(std::FILE* stream);
bool fileStreamFailedOrEnded(std::FILE* stream);

// Takes from the stream's buffer the bytes up to and including the first LF among the next
// `limit` bytes, when the buffer already holds them: returns a view of them in the buffer, valid
// until the stream's next operation. An empty view, with nothing taken, when it does not (or the
// platform's streams cannot be read that way).
std::string_view takeBufferedLine(std::FILE* stream, std::size_t limit);

// Reads up to `count` bytes of the stream's file from `offset`, without moving the stream or
// touching its buffer. The number of bytes read (0 at the end of the file); -1 when the file
// cannot be read (a stream opened for writing only).
std::int64_t readFileAt(std::FILE* stream, std::int64_t offset, char* buffer, std::size_t count);

// Cuts the stream's file to `length` bytes (shorter than it is). True on success.
bool cutFile(std::FILE* stream, std::int64_t length);

// Pushes the stream's buffered bytes to its file, then the file's data and size to the disk.
// False when either failed.
bool syncFileStream(std::FILE* stream);

// Moves the stream to `offset` from `origin` (SEEK_SET, SEEK_CUR, SEEK_END): true on success.
bool seekFileStream(std::FILE* stream, std::int64_t offset, int origin);

// Locks (`lock` true) or unlocks a byte region of the stream's file without waiting. A lock is
// exclusive when the stream can write, shared otherwise. Returns Ok, TransferFailed when another
// process holds the region, NotApplicable when the file offers no locks; stores nothing. The length
// is greater than 0; the caller checks.
StatusCode lockFileRegion(std::FILE* stream, std::int64_t offset, std::int64_t length, bool lock);
