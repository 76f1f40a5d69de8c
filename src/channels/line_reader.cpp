// The line reader's steps that allocate nothing; the others are in long_lines.cpp. A line ends
// at an LF and nowhere else, so where the stream's buffer or a chunk happens to end never changes
// its bytes.
#include "channels/line_reader.h"

#include <cstring>

#include "channels/long_lines.h"

namespace {

// Takes from the stream's read buffer the bytes up to and including the first LF, when the
// buffer holds them (filling it first when it is empty): a view of them in the buffer, valid
// until the stream's next operation. An empty view, with nothing taken, when it does not.
std::string_view takeBufferedLine(FileStream& stream) {
  const std::string_view held = streamPeek(stream);
  if (held.empty()) return {};
  const void* lineFeed = std::memchr(held.data(), '\n', held.size());
  if (lineFeed == nullptr) return {};
  const std::size_t length =
      static_cast<std::size_t>(static_cast<const char*>(lineFeed) - held.data()) + 1;
  streamConsume(stream, length);
  return held.substr(0, length);
}

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
  for (std::string_view held = streamPeek(*stream); stored < limit && !held.empty();
       held = streamPeek(*stream)) {
    const char* from = held.data();
    std::size_t length = held.size();
    if (length > limit - stored) length = limit - stored;
    const void* lineFeed = std::memchr(from, '\n', length);
    if (lineFeed != nullptr) {
      length = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - from) + 1;
    }
    std::memcpy(buffer + stored, from, length);
    streamConsume(*stream, length);
    stored += length;
    if (lineFeed != nullptr) break;
  }
  buffer[stored] = '\0';
  return stored;
}
