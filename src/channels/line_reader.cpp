// Line reading and the end-of-file rule: the channel operations, the file device's atEnd and
// readLine slots, and the line reader over a stdio stream. A line ends at an LF and nowhere
// else, so where the stream's buffer or a chunk happens to end never changes its bytes.
#include "channels/line_reader.h"

#include <cstdint>

#include "channels/file_device.h"
#include "channels/file_platform.h"

namespace {

// One chunk holds at most ChunkSize - 1 bytes. Only lines that do not lie whole in the stream's
// buffer are read in chunks, so the size only sets how many calls a long line costs.
constexpr int ChunkSize = 4096;

LineEnd readLineInChunks(std::FILE* stream, Text& destination, ChunkReader readChunk);

}  // namespace

LineEnd readLineFromStream(std::FILE* stream, Text& destination, ChunkReader readChunk) {
  setStatus(StatusCode::Ok);
  // Most lines are short and lie whole in the stream's buffer: such a line, with its LF, is taken
  // from the buffer without copying it into a chunk first.
  if (readChunk == readStreamChunk) {
    const std::string_view line = takeBufferedLine(stream, SIZE_MAX);
    if (!line.empty()) {
      std::size_t cut = line.size() - 1;
      if (cut > 0 && line[cut - 1] == '\r') --cut;
      // Appended to the emptied text: the same bytes as an assign, without its handling of a
      // source inside the text itself.
      destination.clear();
      destination.append(line.data(), cut);
      return LineEnd::Found;
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

// The last line of the input, read to its end without an LF: its trailing NUL bytes go, then one
// CR, which counts as the line's end.
LineEnd endLastLine(Text& line) {
  const std::size_t lastData = line.find_last_not_of('\0');
  line.resize(lastData == Text::npos ? 0 : lastData + 1);
  if (line.empty() || line.back() != '\r') return LineEnd::InputEnded;
  line.pop_back();
  return LineEnd::Found;
}

// The reader proper, chunk by chunk. Kept out of line: the loop that reads every line of a list
// file takes the common case (readLineFromStream's first step) into itself, and this one not.
// NUL bytes that end what was read so far are only counted: they belong to the line when another
// byte follows them, and are dropped at the end of the input, so a file of nothing but NUL
// bytes (left by a crash) costs no memory.
[[gnu::noinline]] LineEnd readLineInChunks(std::FILE* stream,
                                           Text& destination,
                                           ChunkReader readChunk) {
  char chunk[ChunkSize];
  destination.clear();
  std::size_t heldNuls = 0;
  for (;;) {
    std::size_t stored = readChunk(chunk, ChunkSize, stream);
    if (stored == 0) return endLastLine(destination);
    if (stored > ChunkSize - 1) stored = ChunkSize - 1;
    std::size_t data = stored;
    while (data > 0 && chunk[data - 1] == '\0') --data;
    if (data > 0) {
      destination.append(heldNuls, '\0');
      destination.append(chunk, data);
      heldNuls = 0;
    }
    heldNuls += stored - data;
    if (data == stored && chunk[stored - 1] == '\n') {
      destination.pop_back();
      if (!destination.empty() && destination.back() == '\r') destination.pop_back();
      return LineEnd::Found;
    }
  }
}

}  // namespace
