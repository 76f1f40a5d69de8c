// The file device's operations and its file objects. An Append channel adds whole lines to a
// file of lines (the rejection log): once it holds its lock it starts on a new line, and a failed
// write leaves the file cut back to its last whole line.
#include "channels/file_device.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "channels/channel.h"
#include "channels/line_reader.h"
#include "system/file_stream.h"

static_assert(std::is_trivially_destructible_v<FileChannel>, "freed without destroying it");

namespace {

FileChannel* fileOf(const Channel* record) { return static_cast<FileChannel*>(record->stream); }

FileStream* streamOf(const Channel* record) { return fileStream(fileOf(record)); }

// The length of the file up to the end of its last line that ends at or after `from` (at `from`
// itself when none does), looking back from `length`; -1 when the file cannot be read.
std::int64_t lastLineEnd(FileStream& stream, std::int64_t from, std::int64_t length) {
  char block[4096];
  std::int64_t end = length;
  while (end > from) {
    const std::int64_t begin = end - from > static_cast<std::int64_t>(sizeof block)
                                   ? end - static_cast<std::int64_t>(sizeof block)
                                   : from;
    const std::size_t wanted = static_cast<std::size_t>(end - begin);
    if (readFileAt(stream, begin, block, wanted) != static_cast<std::int64_t>(wanted)) return -1;
    for (std::size_t index = wanted; index > 0; --index) {
      if (block[index - 1] == '\n') return begin + static_cast<std::int64_t>(index);
    }
    end = begin;
  }
  return from;
}

// After a failed write or flush of an Append channel: cuts the file back to the end of its last
// whole line (see AppendNotes), once. A file that cannot be read back (its user may write
// it, not read it) is left as the failure left it.
void cutBackToWholeLines(FileChannel& file) {
  AppendedLines& append = file.append;
  FileStream& stream = file.stream;
  std::int64_t length = 0;
  if (!stream.appends || append.cut || append.start < 0 || !currentFileSize(stream, &length)) {
    return;
  }
  const std::int64_t keep = lastLineEnd(stream, append.start, length);
  if (keep < 0) return;
  append.cut = true;
  append.cutLength = keep;
  if (keep < length) cutFile(stream, keep);
}

// Before an Append channel's stream is closed: its held bytes are written out now, so that a
// failure can still be cut back to whole lines, and a file cut back before is held to that
// length. False when the stream has failed, now or earlier.
bool finishAppending(FileChannel& file) {
  FileStream& stream = file.stream;
  const bool flushed = streamFlush(stream);
  if (!flushed) cutBackToWholeLines(file);
  std::int64_t length = 0;
  if (file.append.cut && currentFileSize(stream, &length) && length > file.append.cutLength) {
    cutFile(stream, file.append.cutLength);
  }
  return flushed;
}

// A write that failed, now or before: an Append channel's file is cut back to whole lines.
[[gnu::noinline]] StatusCode writeFailed(FileChannel& file) {
  cutBackToWholeLines(file);
  return setStatus(StatusCode::TransferFailed);
}

// Where an Append channel's lines begin, fixed by beginAppending or the first lock granted (or
// found not to exist): the file's end as it is then, and when it lies inside a line (left so by a
// run that was cut off, or by hand) a line end goes first, so that the lines added are whole and
// start on their own.
void beginLines(FileChannel& file) {
  FileStream& stream = file.stream;
  if (!stream.appends || file.append.begun) return;
  file.append.begun = true;
  std::int64_t length = 0;
  if (!currentFileSize(stream, &length)) return;
  file.append.start = length;
  char last = '\n';
  if (length == 0 || readFileAt(stream, length - 1, &last, 1) != 1 || last == '\n') return;
  if (!streamWrite(stream, "\r\n", 2)) cutBackToWholeLines(file);
}

StatusCode fileClose(Channel* record) {
  FileChannel* file = fileOf(record);
  if (file == nullptr) return setStatus(StatusCode::Ok);
  // A failure of an earlier read, write, flush or sync, or bytes that cannot be written out now,
  // mean the file does not hold what was written to it or was not read whole; so does a line
  // that could not be held.
  bool failed = file->lineTooLong;
  if (file->stream.appends && !finishAppending(*file)) failed = true;
  if (!closeFileStream(file->stream)) failed = true;
  std::free(file);
  record->stream = nullptr;
  return setStatus(failed ? StatusCode::TransferFailed : StatusCode::Ok);
}

int fileAtEnd(Channel* record) {
  const FileStream* stream = streamOf(record);
  if (stream == nullptr) return -1;
  // A failed stream has nothing more to give, and a read that ran into the end is the end
  // whatever the measured length says (the file may have shrunk): no caller loops forever.
  if (streamFailed(*stream) || stream->ended) return -1;
  switch (record->mode) {
    case OpenMode::Binary:
    case OpenMode::Random:
      return streamPosition(*stream) < record->size ? 0 : -1;
    case OpenMode::Input:
      // The end is the length measured at open: bytes appended since are not read.
      return streamPosition(*stream) >= record->size ? -1 : 0;
    case OpenMode::Output:
    case OpenMode::Append:
      break;
  }
  return 0;
}

StatusCode fileReadLine(Channel* record, Text& destination) {
  FileStream* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  const LineEnd end = readLineFromStream(stream, destination);
  if (end == LineEnd::TooLong || end == LineEnd::Interrupted) [[unlikely]] {
    // The rest of that line would come as lines of its own: the file is given up.
    if (end == LineEnd::TooLong) fileOf(record)->lineTooLong = true;
    streamSkipToEnd(*stream);
    return setStatus(StatusCode::TransferFailed);
  }
  // The reader treats a read error as the end of the input; the stream's failure tells them
  // apart.
  return setStatus(streamFailed(*stream) ? StatusCode::TransferFailed : StatusCode::Ok);
}

StatusCode fileWrite(Channel* record, const char* bytes, std::size_t count) {
  FileStream* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  // A failed stream takes nothing: this also catches a failed write of bytes held earlier.
  return streamWrite(*stream, bytes, count) ? setStatus(StatusCode::Ok)
                                            : writeFailed(*fileOf(record));
}

StatusCode fileSeek(Channel* record, std::int64_t offset, int origin) {
  FileStream* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  return setStatus(streamSeek(*stream, offset, origin) ? StatusCode::Ok
                                                       : StatusCode::TransferFailed);
}

StatusCode fileTell(Channel* record, std::int64_t* position) {
  const FileStream* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  *position = streamPosition(*stream);
  return setStatus(StatusCode::Ok);
}

StatusCode fileRead(Channel* record, char* buffer, std::size_t* count) {
  FileStream* stream = streamOf(record);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  const std::size_t got = streamRead(*stream, buffer, *count);
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
  return fileWrite(record, bytes.data(), bytes.size());
}

StatusCode fileLockRegion(Channel* record, std::int64_t offset, std::int64_t length, bool lock) {
  FileStream* stream = streamOf(record);
  if (stream == nullptr || length <= 0 || offset < 0) {
    return setStatus(StatusCode::NotApplicable);
  }
  return setStatus(lockFileRegion(*stream, offset, length, lock));
}

StatusCode fileLock(Channel* record, std::int64_t offset, std::int64_t length) {
  const StatusCode locked = fileLockRegion(record, offset, length, true);
  // Granted, or the file offers no locks: either way no other run waits its turn on this file.
  if (locked != StatusCode::TransferFailed && fileOf(record) != nullptr && offset >= 0 &&
      length > 0) {
    beginLines(*fileOf(record));
  }
  return locked;
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

// A flush or sync succeeds only when every byte ever written to the stream reached the file: a
// write that failed earlier (its bytes still held) is not made good by a later success.
StatusCode flushFile(FileChannel* file) {
  if (file == nullptr) return setStatus(StatusCode::NotApplicable);
  if (streamFlush(file->stream)) return setStatus(StatusCode::Ok);
  cutBackToWholeLines(*file);
  return setStatus(StatusCode::TransferFailed);
}

StatusCode fileFlush(Channel* record) { return flushFile(fileOf(record)); }

// The stream modes an open tries, in order, and the access recorded when each succeeds.
struct StreamModeTry {
  StreamMode mode;
  std::int32_t access;
};

// Fills `tries` for the record's mode and access; the number of modes to try, 0 for a mode that
// is not one of the five.
std::size_t streamModesFor(const Channel* record, StreamModeTry (&tries)[3]) {
  const std::int32_t given = record->access;
  const std::int32_t openedAccess = given == 0 ? 3 : given;
  switch (record->mode) {
    case OpenMode::Input:
      // Bytes as they are on every platform: the line reader removes the CR of a CR LF itself.
      tries[0] = {StreamMode::Read, openedAccess};
      return 1;
    case OpenMode::Output:
      tries[0] = {given == NewFileOnly ? StreamMode::New : StreamMode::Write, openedAccess};
      return 1;
    case OpenMode::Append:
      // Read access too when allowed: a failed write is cut back to a line end found by reading
      // the file's end.
      tries[0] = {StreamMode::AppendRead, openedAccess};
      tries[1] = {StreamMode::Append, openedAccess};
      return 2;
    case OpenMode::Binary:
    case OpenMode::Random:
      switch (given) {
        case 1:
          tries[0] = {StreamMode::Read, 1};
          return 1;
        case 2:
          tries[0] = {StreamMode::Write, 2};
          return 1;
        case 3:
          tries[0] = {StreamMode::Update, 3};
          tries[1] = {StreamMode::UpdateNew, 3};
          return 2;
        case 0:
          tries[0] = {StreamMode::Update, 3};
          tries[1] = {StreamMode::UpdateNew, 3};
          tries[2] = {StreamMode::Read, 1};
          return 3;
        default:
          tries[0] = {StreamMode::Update, given};
          return 1;
      }
  }
  return 0;
}

constexpr ChannelHooks fileDeviceHooks = {
    .atEnd = fileAtEnd,
    .close = fileClose,
    .seek = fileSeek,
    .tell = fileTell,
    .read = fileRead,
    .readWide = fileReadWide,
    .write = fileWrite,
    .writeWide = fileWriteWide,
    .lock = fileLock,
    .unlock = fileUnlock,
    .readLine = fileReadLine,
    .readLineWide = fileReadLineWide,
    .unused12 = nullptr,
    .flush = fileFlush,
};

// A new file object from the C heap, as the stream's buffers: opening a list file costs no
// allocation the program's own allocator would count. Null when there is no memory.
FileChannel* newFileChannel() {
  void* memory = std::malloc(sizeof(FileChannel));
  return memory == nullptr ? nullptr : new (memory) FileChannel{};
}

StatusCode attachFile(Channel* record, FileChannel* file) {
  record->hooks = &fileDeviceHooks;
  record->stream = file;
  return setStatus(StatusCode::Ok);
}

}  // namespace

FileChannel* fileChannelOf(ChannelNumber channel) {
  const Channel* record = lookupChannel(channel);
  if (record == nullptr || record->hooks != &fileDeviceHooks) return nullptr;
  return fileOf(record);
}

FileHandle closeChannelKeepingFile(ChannelNumber channel) {
  FileChannel* file = fileChannelOf(channel);
  if (file == nullptr) return -1;
  if (!streamFlush(file->stream)) {
    closeChannel(channel);
    return -1;
  }
  const FileHandle kept = file->stream.handle;
  file->stream.handle = -1;  // the close gives back the buffers and leaves the file open
  closeChannel(channel);
  return kept;
}

bool fileStateAtOpen(const FileChannel* file, FileState* state) {
  if (file == nullptr || !file->opened.identified) return false;
  *state = file->opened.state;
  return true;
}

bool fileOwnedAlone(const FileChannel* file) {
  return file != nullptr && openedFileOwnedAlone(file->opened);
}

bool fileStillNamed(const FileChannel* file, const std::string& name) {
  return file != nullptr && streamStillNamed(name, file->opened);
}

StatusCode syncFile(FileChannel* file) {
  if (const StatusCode flushed = flushFile(file); flushed != StatusCode::Ok) return flushed;
  if (streamSync(file->stream)) return setStatus(StatusCode::Ok);
  // Only a failed write tears a line; a failed sync of written lines does not.
  if (file->stream.failure == StreamFailure::Write) cutBackToWholeLines(*file);
  return setStatus(StatusCode::TransferFailed);
}

StatusCode beginAppending(FileChannel* file) {
  if (file == nullptr || !file->stream.appends) return setStatus(StatusCode::NotApplicable);
  beginLines(*file);
  return setStatus(StatusCode::Ok);
}

bool fileCutShort(FileChannel* file) {
  return file != nullptr && file->stream.appends && streamFileCutShort(file->stream);
}

bool fileFailed(const FileChannel* file) { return file != nullptr && streamFailed(file->stream); }

bool fileLineTooLong(const FileChannel* file) { return file != nullptr && file->lineTooLong; }

StatusCode openNamedDevice(Channel* record, const HeldDirectory* directory, std::string_view name) {
  StreamModeTry tries[3];
  const std::size_t tryCount = streamModesFor(record, tries);
  if (tryCount == 0) return setStatus(StatusCode::NotApplicable);

  std::string fileName(name);
  // A NUL inside the name would open a different, shorter name than the one given.
  if (fileName.empty() || fileName.find('\0') != std::string::npos) {
    return setStatus(StatusCode::NotOpened);
  }
  toPlatformFileName(fileName);

  FileChannel* file = newFileChannel();
  if (file == nullptr) return setStatus(StatusCode::NotOpened);
  for (std::size_t index = 0; index < tryCount; ++index) {
    if (!openFileStream(file->stream, directory, fileName, tries[index].mode, &file->opened)) {
      continue;
    }
    const std::int64_t size = file->stream.sizeAtOpen;
    if (record->mode == OpenMode::Append) file->append.start = size;
    // A regular file's length is known from the open: the channel layer need not seek to its end.
    if (size >= 0) record->size = size;
    record->access = tries[index].access;
    return attachFile(record, file);
  }
  std::free(file);
  return setStatus(StatusCode::NotOpened);
}

StatusCode openStandardOutputDevice(Channel* record) {
  FileChannel* file = newFileChannel();
  if (file == nullptr) return setStatus(StatusCode::NotOpened);
  if (!takeStandardOutput(file->stream, &file->opened)) {
    std::free(file);
    return setStatus(StatusCode::NotOpened);
  }
  return attachFile(record, file);
}
