// Line reading and the end-of-file rule: the channel operations, the file device's atEnd and
// readLine slots, and the line reader over a stdio stream. A line is cut from chunks of at most
// 511 bytes; the chunk boundaries decide where a CR or trailing NUL bytes end a line, so the
// reader keeps them whatever chunk reader it is given.
#include "channels/line_reader.h"

#include "channels/file_device.h"
#include "channels/file_platform.h"

namespace {

// One chunk holds at most ChunkSize - 1 bytes.
constexpr int ChunkSize = 512;

StatusCode readLineInChunks(std::FILE* stream, Text& destination, ChunkReader readChunk);

}  // namespace

StatusCode readLineFromStream(std::FILE* stream, Text& destination, ChunkReader readChunk) {
  setStatus(StatusCode::Ok);
  // Most lines are short and lie whole in the stream's buffer: the first chunk would be the line
  // and its LF, and it is taken from the buffer without copying it into a chunk first.
  if (readChunk == readStreamChunk) {
    const std::string_view line = takeBufferedLine(stream, ChunkSize - 1);
    if (!line.empty()) {
      std::size_t cut = line.size() - 1;
      if (cut > 0 && line[cut - 1] == '\r') --cut;
      // Appended to the emptied text: the same bytes as an assign, without its handling of a
      // source inside the text itself.
      destination.clear();
      destination.append(line.data(), cut);
      return StatusCode::Ok;
    }
  }
  return readLineInChunks(stream, destination, readChunk);
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
  std::FILE* stream = static_cast<std::FILE*>(record->stream);
  if (stream == nullptr) return -1;
  // A failed stream has nothing more to give, and a read that ran into the end is the end
  // whatever the measured length says (the file may have shrunk): no caller loops forever.
  if (fileStreamFailedOrEnded(stream)) return -1;
  switch (record->mode) {
    case OpenMode::Binary:
    case OpenMode::Random:
      return tellFileStream(stream) < record->size ? 0 : -1;
    case OpenMode::Input:
      // The end is the length measured at open: bytes appended since are not read.
      if (record->hooks->seek != nullptr && record->hooks->tell != nullptr &&
          tellFileStream(stream) >= record->size) {
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
  std::FILE* stream = static_cast<std::FILE*>(record->stream);
  if (stream == nullptr) return setStatus(StatusCode::NotApplicable);
  readLineFromStream(stream, destination);
  // The reader treats a read error as the end of the input; the error indicator tells them apart.
  return setStatus(fileStreamFailed(stream) ? StatusCode::TransferFailed : StatusCode::Ok);
}

namespace {

// The reader proper, chunk by chunk. Kept out of line: the loop that reads every line of a list
// file takes the common case (readLineFromStream's first step) into itself, and this one not.
[[gnu::noinline]] StatusCode readLineInChunks(std::FILE* stream,
                                              Text& destination,
                                              ChunkReader readChunk) {
  char chunk[ChunkSize];
  bool firstChunk = true;
  for (;;) {
    std::size_t stored = readChunk(chunk, ChunkSize, stream);
    if (stored == 0) {
      // The input has ended: what earlier chunks gave is its last line.
      if (firstChunk) destination.clear();
      return StatusCode::TransferFailed;
    }
    if (stored > ChunkSize - 1) stored = ChunkSize - 1;
    // NUL bytes that end a chunk are dropped; the byte before them decides the line's end.
    std::size_t kept = stored;
    while (kept > 0 && chunk[kept - 1] == '\0') --kept;
    const char last = kept > 0 ? chunk[kept - 1] : '\0';
    if (last == '\n' || last == '\r') {
      std::size_t cut = kept - 1;
      if (last == '\n' && cut > 0 && chunk[cut - 1] == '\r') --cut;
      if (firstChunk) {
        destination.assign(chunk, cut);
      } else {
        destination.append(chunk, cut);
      }
      return StatusCode::Ok;
    }
    if (firstChunk) {
      destination.assign(chunk, kept);
      firstChunk = false;
    } else {
      destination.append(chunk, kept);
    }
  }
}

}  // namespace
