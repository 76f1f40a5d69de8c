// The file device: the operations table behind every channel opened on a named file. The
// channel owns its stdio stream from open to close. Line reading and the end-of-file rule live
// in line_reader.cpp, the system calls in file_platform_*.cpp.
#include "channels/file_device.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "channels/channel.h"
#include "channels/file_platform.h"
#include "channels/line_reader.h"

namespace {

// Every stream is fully buffered with this many bytes. stdio's own choice is the file system's
// block size, often 4 KiB: a system call per 4 KiB read or written, which on a list of millions
// of lines cost more than all the rest of the run.
constexpr std::size_t StreamBufferSize = 64 * 1024;

// The buffers the file device gives to open streams: a slot with a null `stream` is free, and
// keeps its buffer for the next open (opening and closing two files per list file would
// otherwise allocate and return 64 KiB to the system each time). Taken at open, given back when
// the stream is closed. A stream without a slot (no memory for a buffer) uses stdio's own.
struct StreamBuffer {
  std::FILE* stream;
  char* bytes;
};
StreamBuffer streamBuffers[HighestFileChannel];

void giveStreamBuffer(std::FILE* stream) {
  for (StreamBuffer& slot : streamBuffers) {
    if (slot.stream != nullptr) continue;
    if (slot.bytes == nullptr) slot.bytes = static_cast<char*>(std::malloc(StreamBufferSize));
    if (slot.bytes == nullptr || std::setvbuf(stream, slot.bytes, _IOFBF, StreamBufferSize) != 0) {
      break;
    }
    slot.stream = stream;
    return;
  }
  std::setvbuf(stream, nullptr, _IOFBF, StreamBufferSize);
}

// Frees the slot of a stream about to be closed; its buffer waits for the next open.
void releaseStreamBuffer(std::FILE* stream) {
  for (StreamBuffer& slot : streamBuffers) {
    if (slot.stream != stream) continue;
    slot.stream = nullptr;
    return;
  }
}

// What the file device keeps about each channel's file besides its stream, indexed like the
// channel table: set by the open, cleared when the channel closes.
struct FileNotes {
  // What the platform learnt while opening the file, kept for the questions that follow the open
  // (its length, its state): it spares asking the system again.
  OpenedFile opened;
  // A line of the file could not be held in memory (markFileLineTooLong).
  bool lineTooLong;
};
FileNotes fileNotes[HighestFileChannel + 2];

// The notes of a record of the channel table; null for a record elsewhere (compared as
// addresses: a record outside the table is no element of it to count from).
FileNotes* notesOf(const Channel* record) {
  const auto address = reinterpret_cast<std::uintptr_t>(record);
  const auto first = reinterpret_cast<std::uintptr_t>(&channelTable[0]);
  if (address < first || address >= first + sizeof channelTable) return nullptr;
  return &fileNotes[(address - first) / sizeof(Channel)];
}

OpenedFile* openedFileOf(const Channel* record) {
  FileNotes* notes = notesOf(record);
  return notes == nullptr ? nullptr : &notes->opened;
}

std::FILE* streamOf(const Channel* record) { return static_cast<std::FILE*>(record->stream); }

StatusCode fileClose(Channel* record) {
  std::FILE* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::Ok);
  // An error met by an earlier write or flush, or bytes that fclose cannot write out, mean
  // the file does not hold what was written to it; a line that could not be held, that it was
  // not read whole.
  bool failed = std::ferror(stream) != 0 || fileLineTooLong(record);
  releaseStreamBuffer(stream);
  if (FileNotes* notes = notesOf(record)) *notes = {};
  if (std::fclose(stream) != 0) failed = true;
  record->stream = nullptr;
  return setStatus(failed ? StatusCode::TransferFailed : StatusCode::Ok);
}

StatusCode fileSeek(Channel* record, std::int64_t offset, int origin) {
  std::FILE* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  return setStatus(seekFileStream(stream, offset, origin) ? StatusCode::Ok
                                                          : StatusCode::TransferFailed);
}

StatusCode fileTell(Channel* record, std::int64_t* position) {
  std::FILE* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  const std::int64_t told = tellFileStream(stream);
  if (told < 0) return setStatus(StatusCode::TransferFailed);
  *position = told;
  return setStatus(StatusCode::Ok);
}

StatusCode fileRead(Channel* record, char* buffer, std::size_t* count) {
  std::FILE* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  const std::size_t got = std::fread(buffer, 1, *count, stream);
  std::memset(buffer + got, 0, *count - got);
  *count = got;
  return setStatus(StatusCode::Ok);
}

StatusCode fileReadWide(Channel* record, wchar_t* buffer, std::size_t* count) {
  if (streamOf(record) == nullptr) return setStatus(StatusCode::NotApplicable);
  std::string bytes(*count, '\0');
  std::size_t got = *count;
  fileRead(record, bytes.data(), &got);
  bytes.resize(got);
  const std::size_t widened = std::mbstowcs(buffer, bytes.c_str(), *count);
  if (widened == static_cast<std::size_t>(-1)) {
    *count = 0;
    return setStatus(StatusCode::TransferFailed);
  }
  *count = widened;
  return setStatus(StatusCode::Ok);
}

StatusCode fileWriteWide(Channel* record, const char16_t* units, std::size_t count) {
  if (streamOf(record) == nullptr) return setStatus(StatusCode::NotApplicable);
  std::string bytes;
  bytes.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    const char16_t unit = units[index];
    if (unit < 256) {
      bytes.push_back(static_cast<char>(unit));
      continue;
    }
    bytes.push_back('?');
    // A surrogate pair is one character: one "?" for both halves.
    if (unit >= 0xD800 && unit <= 0xDBFF && index + 1 < count) ++index;
  }
  return fileDeviceWrite(record, bytes.data(), bytes.size());
}

StatusCode fileLockRegion(Channel* record, std::int64_t offset, std::int64_t length, bool lock) {
  std::FILE* stream = streamOf(record);
  if (stream == nullptr || length <= 0 || offset < 0) {
    return setStatus(StatusCode::NotApplicable);
  }
  return setStatus(lockFileRegion(stream, offset, length, lock));
}

StatusCode fileLock(Channel* record, std::int64_t offset, std::int64_t length) {
  return fileLockRegion(record, offset, length, true);
}

StatusCode fileUnlock(Channel* record, std::int64_t offset, std::int64_t length) {
  return fileLockRegion(record, offset, length, false);
}

StatusCode fileReadLineWide(Channel* record, wchar_t* destination, std::size_t size) {
  if (streamOf(record) == nullptr || size == 0) return setStatus(StatusCode::NotApplicable);
  Text line;
  const StatusCode read = fileReadLine(record, line);
  const std::size_t widened = std::mbstowcs(destination, line.c_str(), size - 1);
  if (widened == static_cast<std::size_t>(-1)) {
    destination[0] = L'\0';
    return setStatus(StatusCode::TransferFailed);
  }
  destination[widened] = L'\0';
  return read;
}

StatusCode fileFlush(Channel* record) {
  std::FILE* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  return setStatus(std::fflush(stream) == 0 ? StatusCode::Ok : StatusCode::TransferFailed);
}

StatusCode fileSync(Channel* record) {
  std::FILE* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  return setStatus(syncFileStream(stream) ? StatusCode::Ok : StatusCode::TransferFailed);
}

// The stream modes an open tries, in order, and the access recorded when each succeeds.
struct StreamModeTry {
  const char* streamMode;
  std::int32_t access;
};

// Fills `tries` for the record's mode and access; the number of modes to try, 0 for a mode that
// is not one of the five.
std::size_t streamModesFor(const Channel* record, StreamModeTry (&tries)[3]) {
  const std::int32_t given = record->access;
  const std::int32_t openedAccess = given == 0 ? 3 : given;
  switch (record->mode) {
    case OpenMode::Input:
      // Binary on every platform: a text-mode read stops at a 0x1A byte on Windows and its
      // positions are unreliable; the line reader removes the CR of a CR LF itself.
      tries[0] = {"rb", openedAccess};
      return 1;
    case OpenMode::Output:
      tries[0] = {"wb", openedAccess};
      return 1;
    case OpenMode::Append:
      tries[0] = {"ab", openedAccess};
      return 1;
    case OpenMode::Binary:
    case OpenMode::Random:
      switch (given) {
        case 1:
          tries[0] = {"rb", 1};
          return 1;
        case 2:
          tries[0] = {"wb", 2};
          return 1;
        case 3:
          tries[0] = {"r+b", 3};
          tries[1] = {"w+b", 3};
          return 2;
        case 0:
          tries[0] = {"r+b", 3};
          tries[1] = {"w+b", 3};
          tries[2] = {"rb", 1};
          return 3;
        default:
          tries[0] = {"r+b", given};
          return 1;
      }
  }
  return 0;
}

}  // namespace

extern constexpr ChannelHooks fileDeviceHooks = {
    .atEnd = fileAtEnd,
    .close = fileClose,
    .seek = fileSeek,
    .tell = fileTell,
    .read = fileRead,
    .readWide = fileReadWide,
    .write = fileDeviceWrite,
    .writeWide = fileWriteWide,
    .lock = fileLock,
    .unlock = fileUnlock,
    .readLine = fileReadLine,
    .readLineWide = fileReadLineWide,
    .unused12 = nullptr,
    .flush = fileFlush,
};

StatusCode fileDeviceWrite(Channel* record, const char* bytes, std::size_t count) {
  std::FILE* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  // The error indicator also catches a failed flush of bytes buffered by earlier writes.
  return setStatus(writeFileStream(stream, bytes, count) ? StatusCode::Ok
                                                         : StatusCode::TransferFailed);
}

bool fileDeviceSize(const Channel* record, std::int64_t* size) {
  if (record == nullptr || record->hooks != &fileDeviceHooks || streamOf(record) == nullptr) {
    return false;
  }
  if (const OpenedFile* opened = openedFileOf(record); opened != nullptr && opened->regular) {
    *size = opened->state.size;
    return true;
  }
  return regularFileSize(streamOf(record), size);
}

bool fileDeviceState(const Channel* record, FileState* state) {
  if (record == nullptr || record->hooks != &fileDeviceHooks || streamOf(record) == nullptr) {
    return false;
  }
  const OpenedFile* opened = openedFileOf(record);
  if (opened == nullptr || !opened->identified) return false;
  *state = opened->state;
  return true;
}

bool markFileLineTooLong(const Channel* record) {
  FileNotes* notes = notesOf(record);
  if (notes == nullptr) return false;
  notes->lineTooLong = true;
  return true;
}

bool fileLineTooLong(const Channel* record) {
  const FileNotes* notes = notesOf(record);
  return notes != nullptr && notes->lineTooLong;
}

StatusCode syncFileDevice(Channel* record) {
  if (record == nullptr || record->hooks != &fileDeviceHooks) {
    return setStatus(StatusCode::NotApplicable);
  }
  return fileSync(record);
}

StatusCode openFileDevice(Channel* record, const char* name, std::size_t nameLength) {
  StreamModeTry tries[3];
  const std::size_t tryCount = streamModesFor(record, tries);
  if (tryCount == 0) return setStatus(StatusCode::NotApplicable);

  std::string fileName(name, nameLength);
  // A NUL inside the name would open a different, shorter name than the one given.
  if (fileName.empty() || fileName.find('\0') != std::string::npos) {
    return setStatus(StatusCode::NotOpened);
  }
  toPlatformFileName(fileName);

  for (std::size_t index = 0; index < tryCount; ++index) {
    OpenedFile opened;
    std::FILE* stream = openFileStream(fileName, tries[index].streamMode, &opened);
    if (stream == nullptr) continue;
    if (FileNotes* notes = notesOf(record)) *notes = {.opened = opened, .lineTooLong = false};
    giveStreamBuffer(stream);
    if (std::strcmp(tries[index].streamMode, "rb") == 0) noteStreamAtStart(stream);
    record->hooks = &fileDeviceHooks;
    record->stream = stream;
    record->access = tries[index].access;
    return setStatus(StatusCode::Ok);
  }
  return setStatus(StatusCode::NotOpened);
}
