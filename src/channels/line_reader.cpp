// Line reading and the end-of-file rule: the channel operations, the file device's atEnd and
// readLine slots, and the line reader over a file stream, which finds line ends in the stream's
// read buffer. A line ends at an LF and nowhere else, so where the stream's buffer or a chunk
// happens to end never changes its bytes. What may allocate is in long_lines.cpp: nothing here
// does.
#include "channels/line_reader.h"

#include <cstdio>
#include <cstring>

#include "channels/file_device.h"
#include "channels/long_lines.h"

namespace {

// Takes from the stream's read buffer the bytes up to and including the first LF, when the
// buffer holds them (filling it first when it is empty): a view of them in the buffer, valid
// until the stream's next operation. An empty view, with nothing taken, when it does not.
std::string_view takeBufferedLine(FileStream& stream) {
  if (!streamFill(stream)) return {};
  const char* from = stream.readNext;
  const void* lineFeed = std::memchr(from, '\n', static_cast<std::size_t>(stream.readEnd - from));
  if (lineFeed == nullptr) return {};
  const std::size_t length =
      static_cast<std::size_t>(static_cast<const char*>(lineFeed) - from) + 1;
  stream.readNext += length;
  return {from, length};
}

void skipRestOfStream(FileStream& stream);

}  // namespace

LineEnd readLineFromStream(FileStream* stream, Text& destination, ChunkReader readChunk) {
  setStatus(StatusCode::Ok);
  // Most lines are short and lie whole in the stream's buffer: such a line, with its LF, is taken
  // from the buffer without copying it into a chunk first. Only when the text's storage holds it:
  // this step is compiled into the callers that read every line, which cannot catch a failed
  // allocation.
  if (readChunk == readStreamChunk) {
    const std::string_view line = takeBufferedLine(*stream);
    if (!line.empty()) {
      std::size_t cut = line.size() - 1;
      if (cut > 0 && line[cut - 1] == '\r') --cut;
      if (cut > destination.capacity()) [[unlikely]] {
        return takeLongLine(line.data(), cut, destination);
      }
      // Appended to the emptied text: the same bytes as an assign, without its handling of a
      // source inside the text itself.
      destination.clear();
      destination.append(line.data(), cut);
      return LineEnd::Found;
    }
  }
  return readLineInChunks(stream, destination, readChunk);
}

std::size_t readStreamChunk(char* buffer, int size, FileStream* stream) {
  // The bytes are taken from the stream's buffer up to the first LF at once, so a short line
  // costs its own bytes, not the chunk's size.
  std::size_t stored = 0;
  if (size <= 1) return 0;
  const std::size_t limit = static_cast<std::size_t>(size) - 1;
  while (stored < limit && streamFill(*stream)) {
    const char* from = stream->readNext;
    std::size_t length = static_cast<std::size_t>(stream->readEnd - from);
    if (length > limit - stored) length = limit - stored;
    const void* lineFeed = std::memchr(from, '\n', length);
    if (lineFeed != nullptr) {
      length = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - from) + 1;
    }
    std::memcpy(buffer + stored, from, length);
    stream->readNext += length;
    stored += length;
    if (lineFeed != nullptr) break;
  }
  buffer[stored] = '\0';
  return stored;
}

bool channelLineTooLong(ChannelNumber channel) {
  const Channel* record = lookupChannel(channel);
  return record != nullptr && record->hooks == &fileDeviceHooks && fileLineTooLong(record);
}

int channelAtEnd(ChannelNumber channel) {
  Channel* record = lookupChannel(channel);
  if (record == nullptr || record->hooks == nullptr) {
    setStatus(StatusCode::NotApplicable);
    return 1;
  }
  // The file device's own test is called directly: it runs before every line.
  if (record->hooks == &fileDeviceHooks) return fileAtEnd(record);
  if (record->hooks->atEnd == nullptr) return -1;
  return record->hooks->atEnd(record);
}

StatusCode readLineInto(ChannelNumber channel, Text& destination) {
  Channel* record = lookupChannel(channel);
  if (record == nullptr || record->hooks == nullptr || record->hooks->readLine == nullptr) {
    return setStatus(StatusCode::NotApplicable);
  }
  // Running into the end of the input is not a failure of the read: it leaves an empty line.
  // A failed read is: the line it gives may be cut short, and the caller must not take the
  // input as complete.
  const StatusCode read = record->hooks == &fileDeviceHooks
                              ? fileReadLine(record, destination)
                              : record->hooks->readLine(record, destination);
  if (read == StatusCode::TransferFailed) {
    return setStatus(StatusCode::TransferFailed);
  }
  return setStatus(StatusCode::Ok);
}

int fileAtEnd(Channel* record) {
  const FileStream* stream = static_cast<const FileStream*>(record->stream);
  if (stream == nullptr) return -1;
  // A failed stream has nothing more to give, and a read that ran into the end is the end
  // whatever the measured length says (the file may have shrunk): no caller loops forever.
  if (streamFailedOrEnded(*stream)) return -1;
  switch (record->mode) {
    case OpenMode::Binary:
    case OpenMode::Random:
      return streamPosition(*stream) < record->size ? 0 : -1;
    case OpenMode::Input:
      // The end is the length measured at open: bytes appended since are not read.
      if (record->hooks->seek != nullptr && record->hooks->tell != nullptr &&
          streamPosition(*stream) >= record->size) {
        return -1;
      }
      return 0;
    case OpenMode::Output:
    case OpenMode::Append:
      break;
  }
  return 0;
}

StatusCode fileReadLine(Channel* record, Text& destination) {
  FileStream* stream = static_cast<FileStream*>(record->stream);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  if (readLineFromStream(stream, destination) == LineEnd::TooLong) {
    // The rest of that line would come as lines of its own: the file is given up.
    markFileLineTooLong(record);
    skipRestOfStream(*stream);
    return setStatus(StatusCode::TransferFailed);
  }
  // The reader treats a read error as the end of the input; the stream's failure tells them
  // apart.
  return setStatus(streamFailed(*stream) ? StatusCode::TransferFailed : StatusCode::Ok);
}

namespace {

// Leaves the stream with nothing more to read: at the end of its file, `ended` set (what the
// end-of-file test looks at first), also when the file has grown meanwhile or cannot be
// positioned.
void skipRestOfStream(FileStream& stream) {
  streamSeek(stream, 0, SEEK_END);
  while (streamFill(stream)) stream.readNext = stream.readEnd;
}

}  // namespace
