// The parts of the line reader that allocate: a line longer than the text's storage, and a line
// read in chunks. Built with exceptions and outside the link-time optimisation (the rest of the
// program is built without exceptions), so that a line too long to hold in memory, which ends in
// std::bad_alloc, is caught here and becomes LineEnd::TooLong.
#include "channels/long_lines.h"

#include <new>
#include <stdexcept>

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

// What a line too long to hold leaves: an empty text whose storage, which may be most of the
// memory there is, has been given back.
LineEnd lineTooLong(Text& destination) {
  Text().swap(destination);
  return LineEnd::TooLong;
}

}  // namespace

LineEnd takeLongLine(const char* bytes, std::size_t count, Text& destination) {
  if (count > MaxLineBytes) return lineTooLong(destination);
  try {
    destination.assign(bytes, count);
    return LineEnd::Found;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return lineTooLong(destination);
}

LineEnd readLineInChunks(FileStream* stream, Text& destination, ChunkReader readChunk) {
  // NUL bytes that end what was read so far are only counted: they belong to the line when
  // another byte follows them, and are dropped at the end of the input, so a file of nothing but
  // NUL bytes (left by a crash) costs no memory.
  char chunk[LineChunkSize];
  destination.clear();
  std::size_t pendingNuls = 0;
  try {
    for (;;) {
      std::size_t stored = readChunk(chunk, LineChunkSize, stream);
      if (stored == 0) return endLastLine(destination);
      if (stored > LineChunkSize - 1) stored = LineChunkSize - 1;
      std::size_t data = stored;
      while (data > 0 && chunk[data - 1] == '\0') --data;
      if (data > 0) {
        // Held NUL bytes count once a byte follows them: they are then part of the line.
        if (destination.size() + pendingNuls + data > MaxLineBytes) return lineTooLong(destination);
        destination.append(pendingNuls, '\0');
        destination.append(chunk, data);
        pendingNuls = 0;
      }
      pendingNuls += stored - data;
      if (data == stored && chunk[stored - 1] == '\n') {
        destination.pop_back();
        if (!destination.empty() && destination.back() == '\r') destination.pop_back();
        return LineEnd::Found;
      }
    }
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return lineTooLong(destination);
}
