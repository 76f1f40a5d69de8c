// Our file streams' buffering, the same on every platform: one system read at a time into the
// read buffer; writes collected and written out when full, at a flush, seek, read or close.
#include "system/file_stream.h"

#include <cstdio>
#include <cstdlib>

#include "system/file_stream_system.h"

namespace {

// Buffers of closed streams, kept for the next open: a list file and its cleaned copy are
// opened and closed for every list, and taking 64 KiB from the system and giving it back each
// time would cost more than the rest of a small list's work. At most as many as a run keeps
// open at once; each thread keeps its own (a worker reads lists on streams of its own), and
// gives them back when it ends.
constexpr std::size_t SpareBufferLimit = 6;
struct SpareBuffers {
  char* buffers[SpareBufferLimit] = {};
  std::size_t count = 0;
  ~SpareBuffers() {
    while (count > 0) std::free(buffers[--count]);
  }
};
thread_local SpareBuffers spares;

char* takeBuffer() {
  if (spares.count > 0) return spares.buffers[--spares.count];
  return static_cast<char*>(std::malloc(StreamBufferSize));
}

void giveBackBuffer(char* buffer) {
  if (buffer == nullptr) return;
  if (spares.count < SpareBufferLimit) {
    spares.buffers[spares.count++] = buffer;
    return;
  }
  std::free(buffer);
}

void giveBackBuffers(FileStream& stream) {
  giveBackBuffer(stream.readBuffer);
  giveBackBuffer(stream.writeBuffer);
  stream.readBuffer = nullptr;
  stream.writeBuffer = nullptr;
}

// Remembers the stream's first failure; from now on it takes no bytes to write.
void fail(FileStream& stream, StreamFailure failure, int error) {
  if (stream.failure == StreamFailure::None) {
    stream.failure = failure;
    stream.error = error;
  }
  stream.writeLimit = stream.writeNext;
}

// Writes `count` bytes at the system's position, as many calls as it takes. `*written` counts
// the bytes that reached the file. False, with the failure kept, when the system refused.
bool writeOut(FileStream& stream, const char* bytes, std::size_t count, std::size_t* written) {
  while (count > 0) {
    int error = 0;
    const std::int64_t moved = stream.transfers->write(stream, bytes, count, &error);
    if (moved == TransferInterrupted) continue;
    // A call that moves nothing and reports nothing would be called forever.
    if (moved <= 0 || static_cast<std::uint64_t>(moved) > count) {
      fail(stream, StreamFailure::Write, moved == TransferRefused ? error : 0);
      return false;
    }
    bytes += moved;
    count -= static_cast<std::size_t>(moved);
    stream.offset += moved;
    *written += static_cast<std::size_t>(moved);
  }
  return true;
}

// Writes out the bytes the write buffer holds. What could not be written stays held, at the
// buffer's start, with no room beside it.
bool writePending(FileStream& stream) {
  const std::size_t held = static_cast<std::size_t>(stream.writeNext - stream.writeBuffer);
  if (held == 0) return true;
  std::size_t written = 0;
  if (writeOut(stream, stream.writeBuffer, held, &written)) {
    stream.writeNext = stream.writeBuffer;
    return true;
  }
  std::memmove(stream.writeBuffer, stream.writeBuffer + written, held - written);
  stream.writeNext = stream.writeBuffer + (held - written);
  stream.writeLimit = stream.writeNext;
  return false;
}

// Before a write: bytes read ahead are given back (the system's position goes back to the
// stream's), so that the write lands where the stream stands.
bool leaveReading(FileStream& stream) {
  const std::int64_t ahead = stream.readEnd - stream.readNext;
  if (ahead > 0 && !stream.appends) {
    std::int64_t position = 0;
    if (!seekSystemFile(stream.handle, stream.offset - ahead, SEEK_SET, &position)) {
      fail(stream, StreamFailure::Write, 0);
      return false;
    }
    stream.offset = position;
  }
  stream.readNext = stream.readBuffer;
  stream.readEnd = stream.readBuffer;
  return true;
}

void startStream(
    FileStream& stream, const OpenedFile& learnt, bool reads, bool writes, bool appends) {
  stream.transfers = &defaultFileTransfers();
  stream.readNext = stream.readBuffer;
  stream.readEnd = stream.readBuffer;
  stream.writeNext = stream.writeBuffer;
  stream.writeLimit =
      stream.writeBuffer == nullptr ? nullptr : stream.writeBuffer + StreamBufferSize;
  stream.sizeAtOpen = learnt.regular ? learnt.state.size : -1;
  stream.canRead = reads;
  stream.canWrite = writes;
  stream.appends = appends;
}

}  // namespace

bool takeStandardOutput(FileStream& stream, OpenedFile* opened) {
  if (opened != nullptr) *opened = {};
  stream = FileStream{};
  stream.writeBuffer = takeBuffer();
  OpenedFile learnt;
  if (stream.writeBuffer == nullptr || !takeSystemStandardOutput(&stream.handle, &learnt)) {
    giveBackBuffers(stream);
    return false;
  }
  // Written where standard output stands, as any program writes it: a file it was sent to with
  // ">>" appends by itself.
  startStream(stream, learnt, false, true, false);
  if (opened != nullptr) *opened = learnt;
  return true;
}

bool openFileStream(FileStream& stream,
                    const HeldDirectory* directory,
                    const std::string& name,
                    StreamMode mode,
                    OpenedFile* opened) {
  if (opened != nullptr) *opened = {};
  const bool appends = mode == StreamMode::Append || mode == StreamMode::AppendRead;
  const bool reads = mode == StreamMode::Read || mode == StreamMode::AppendRead ||
                     mode == StreamMode::Update || mode == StreamMode::UpdateNew;
  stream = FileStream{};
  stream.readBuffer = reads ? takeBuffer() : nullptr;
  stream.writeBuffer = mode != StreamMode::Read ? takeBuffer() : nullptr;
  OpenedFile learnt;
  if ((reads && stream.readBuffer == nullptr) ||
      (mode != StreamMode::Read && stream.writeBuffer == nullptr) ||
      !openSystemFile(directory, name, mode, &stream.handle, &learnt)) {
    giveBackBuffers(stream);
    return false;
  }
  startStream(stream, learnt, reads, mode != StreamMode::Read, appends);
  // An appending stream stands at the file's end, where its writes go; a device or pipe has
  // no end to stand at.
  std::int64_t end = 0;
  if (appends && seekSystemFile(stream.handle, 0, SEEK_END, &end)) stream.offset = end;
  if (opened != nullptr) *opened = learnt;
  return true;
}

bool closeFileStream(FileStream& stream, int* error) {
  // A failed stream writes nothing more: what it holds is reported, not written.
  if (stream.failure == StreamFailure::None) writePending(stream);
  int closeError = 0;
  if (stream.handle != -1 && !closeSystemFile(stream.handle, &closeError)) {
    fail(stream, StreamFailure::Write, closeError);
  }
  const bool closed = stream.failure == StreamFailure::None;
  if (!closed && error != nullptr) *error = stream.error;
  giveBackBuffers(stream);
  stream = FileStream{};
  return closed;
}

void useTransfers(FileStream& stream, const FileTransfers& transfers) {
  stream.transfers = &transfers;
}

bool streamFlush(FileStream& stream) {
  if (stream.failure != StreamFailure::None) return false;
  return writePending(stream);
}

bool streamSync(FileStream& stream) {
  if (!streamFlush(stream)) return false;
  int error = 0;
  if (syncSystemFile(stream.handle, &error)) return true;
  fail(stream, StreamFailure::Sync, error);
  return false;
}

bool streamWriteMore(FileStream& stream, const char* bytes, std::size_t count) {
  if (stream.failure != StreamFailure::None || !leaveReading(stream)) return false;
  std::size_t written = 0;
  // A stream that cannot write lets the system say so.
  if (stream.writeBuffer == nullptr) return writeOut(stream, bytes, count, &written);
  stream.writeLimit = stream.writeBuffer + StreamBufferSize;
  const std::size_t room = static_cast<std::size_t>(stream.writeLimit - stream.writeNext);
  if (count <= room) {
    std::memcpy(stream.writeNext, bytes, count);
    stream.writeNext += count;
    return true;
  }
  // The buffer is filled and written out whole; what is left is kept when it fits a buffer,
  // else written at once.
  std::memcpy(stream.writeNext, bytes, room);
  stream.writeNext += room;
  bytes += room;
  count -= room;
  if (!writePending(stream)) return false;
  if (count >= StreamBufferSize) return writeOut(stream, bytes, count, &written);
  std::memcpy(stream.writeNext, bytes, count);
  stream.writeNext += count;
  return true;
}

char* streamReserveMore(FileStream& stream, std::size_t count) {
  if (stream.failure != StreamFailure::None || stream.writeBuffer == nullptr ||
      count > StreamBufferSize || !leaveReading(stream)) {
    return nullptr;
  }
  stream.writeLimit = stream.writeBuffer + StreamBufferSize;
  if (count > static_cast<std::size_t>(stream.writeLimit - stream.writeNext) &&
      !writePending(stream)) {
    return nullptr;
  }
  return stream.writeNext;
}

bool streamRefill(FileStream& stream) {
  if (stream.readNext != stream.readEnd) return true;
  if (stream.failure != StreamFailure::None || stream.ended) return false;
  // Held bytes go out first: what is read next lies after them.
  if (!writePending(stream)) return false;
  stream.writeLimit = stream.writeNext;
  // A stream that cannot read is at its end.
  if (stream.readBuffer == nullptr) {
    stream.ended = true;
    return false;
  }
  for (;;) {
    int error = 0;
    const std::int64_t got =
        stream.transfers->read(stream, stream.readBuffer, StreamBufferSize, &error);
    if (got == TransferInterrupted) continue;
    stream.readNext = stream.readBuffer;
    if (got < 0 || static_cast<std::uint64_t>(got) > StreamBufferSize) {
      stream.readEnd = stream.readBuffer;
      fail(stream, StreamFailure::Read, got == TransferRefused ? error : 0);
      return false;
    }
    stream.readEnd = stream.readBuffer + got;
    stream.offset += got;
    if (got == 0) {
      stream.ended = true;
      return false;
    }
    return true;
  }
}

std::size_t streamRead(FileStream& stream, char* buffer, std::size_t count) {
  std::size_t stored = 0;
  while (stored < count && streamFill(stream)) {
    std::size_t taken = static_cast<std::size_t>(stream.readEnd - stream.readNext);
    if (taken > count - stored) taken = count - stored;
    std::memcpy(buffer + stored, stream.readNext, taken);
    stream.readNext += taken;
    stored += taken;
  }
  return stored;
}

bool streamSeek(FileStream& stream, std::int64_t offset, int origin) {
  if (!streamFlush(stream) && stream.writeNext != stream.writeBuffer) return false;
  if (origin == SEEK_CUR) {
    offset += streamPosition(stream);
    origin = SEEK_SET;
  }
  std::int64_t position = 0;
  if (!seekSystemFile(stream.handle, offset, origin, &position)) return false;
  stream.offset = position;
  stream.readNext = stream.readBuffer;
  stream.readEnd = stream.readBuffer;
  stream.ended = false;
  return true;
}

void streamSkipToEnd(FileStream& stream) {
  streamSeek(stream, 0, SEEK_END);
  while (streamFill(stream)) stream.readNext = stream.readEnd;
}

bool streamFileCutShort(FileStream& stream) {
  std::int64_t length = 0;
  if (!streamFlush(stream) || !currentFileSize(stream, &length) || length >= stream.offset) {
    return false;
  }
  stream.offset = length;
  return true;
}
