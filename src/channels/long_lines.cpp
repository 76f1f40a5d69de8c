// The parts of the line reader that allocate: a line longer than the text's storage, and a line
// read in chunks. Built with exceptions and outside the link-time optimisation (the rest of the
// program is built without exceptions), so that a line too long to hold in memory, which ends in
// std::bad_alloc, is caught here and becomes LineEnd::TooLong.
#include "channels/long_lines.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "system/interruption.h"

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

// Storage for a line grows by doubling up to this size and then at once to MaxLineBytes. Each
// step copies the line into new storage while the old one is still held: doubling up to the
// limit would hold one and a half times the limit at the last step, while the one step to the
// limit holds the limit and this much. The limit's storage is only reserved: memory the line
// never reaches is never used.
constexpr std::size_t LargestDoubledLine = std::size_t{1} << 20;

// Makes room in `line` for `more` bytes beyond its length, which stays at most MaxLineBytes.
// Throws std::bad_alloc when not even the room needed can be had.
void makeRoom(Text& line, std::size_t more) {
  const std::size_t needed = line.size() + more;
  if (needed <= line.capacity()) return;
  const std::size_t doubled = std::max(needed, std::min(2 * line.capacity(), MaxLineBytes));
  if (doubled > LargestDoubledLine) {
    try {
      line.reserve(MaxLineBytes);
      return;
    } catch (const std::bad_alloc&) {
      // Less memory than the limit left to the run (a memory limit): grow step by step.
    }
  }
  line.reserve(doubled);
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
  // NUL bytes (left by a crash) costs no memory. They count towards the limit all the same: a
  // sparse file of a petabyte, free to its writer, is given up after MaxLineBytes.
  char chunk[LineChunkSize];
  destination.clear();
  std::size_t pendingNuls = 0;
  try {
    for (;;) {
      // However long the line, an interruption is seen within a chunk of it.
      if (runInterrupted()) [[unlikely]] {
        destination.clear();
        return LineEnd::Interrupted;
      }
      std::size_t stored = readChunk(chunk, LineChunkSize, stream);
      if (stored == 0) return endLastLine(destination);
      if (stored > LineChunkSize - 1) stored = LineChunkSize - 1;
      std::size_t data = stored;
      while (data > 0 && chunk[data - 1] == '\0') --data;
      if (data > 0) {
        // Held NUL bytes count once a byte follows them: they are then part of the line.
        if (destination.size() + pendingNuls + data > MaxLineBytes) return lineTooLong(destination);
        makeRoom(destination, pendingNuls + data);
        destination.append(pendingNuls, '\0');
        destination.append(chunk, data);
        pendingNuls = 0;
      }
      pendingNuls += stored - data;
      if (destination.size() + pendingNuls > MaxLineBytes) return lineTooLong(destination);
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
