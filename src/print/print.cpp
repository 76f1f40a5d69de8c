// The print operations, each item, line end or pad a write of its own through
// writeChannelBytes; channel 0's set-up lives in console_channel.cpp.
#include "print/print.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "channels/file_device.h"
#include "system/file_stream.h"

namespace {

constexpr char LineEnd[2] = {'\r', '\n'};

constexpr char ZoneBlanks[PrintZoneWidth] = {' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                             ' ', ' ', ' ', ' ', ' ', ' ', ' '};

bool hasBit(PrintMask mask, PrintMask bit) {
  return (static_cast<std::uint32_t>(mask) & static_cast<std::uint32_t>(bit)) != 0;
}

// Channel 0's record: the table is static, so the record never moves. A closed record (before
// the first print, or after the table was cleared) is set up again. A constant, set before any
// code runs: a print made while other files' objects are constructed finds it.
constinit Channel* const consoleRecord = lookupChannel(ConsoleChannel);

void ensureConsoleChannel() {
  if (consoleRecord->hooks == nullptr) setUpConsoleChannel();
}

// The bytes of the word below 14, as CR and LF are, marked by their high bit; 0 when it has none.
// Other control bytes give a false alarm, which the byte-by-byte look decides; a word with a CR
// or LF is never missed.
std::uint64_t lowBytesOf(std::uint64_t word) {
  constexpr std::uint64_t Ones = 0x0101010101010101u;
  constexpr std::uint64_t Highs = 0x8080808080808080u;
  return (word - Ones * ('\r' + 1)) & ~word & Highs;
}

std::uint64_t wordAt(const char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// The index just after the last CR or LF among the bytes; 0 when they hold neither. Works from
// the end in steps of 16 bytes, tested as two words at once; the front of fewer than 16 bytes as
// two overlapping words (or halves of one). Only a step that may hold one is looked at byte by
// byte.
std::size_t lineStartOf(const char* bytes, std::size_t count) {
  std::size_t end = count;
  while (end > 0) {
    std::size_t from = 0;
    std::uint64_t low = ~std::uint64_t{0};
    if (end >= 16) {
      from = end - 16;
      low = lowBytesOf(wordAt(bytes + from)) | lowBytesOf(wordAt(bytes + from + 8));
    } else if (end >= 8) {
      low = lowBytesOf(wordAt(bytes)) | lowBytesOf(wordAt(bytes + end - 8));
    } else if (end >= 4) {
      std::uint32_t head;
      std::uint32_t tail;
      std::memcpy(&head, bytes, sizeof head);
      std::memcpy(&tail, bytes + end - 4, sizeof tail);
      low = lowBytesOf(head | static_cast<std::uint64_t>(tail) << 32);
    }
    if (low != 0) {
      for (std::size_t index = end; index > from; --index) {
        if (bytes[index - 1] == '\r' || bytes[index - 1] == '\n') return index;
      }
    }
    end = from;
  }
  return 0;
}

// The column after `count` bytes were written from `column`, given where their last line
// starts (0: they hold no CR or LF), reduced by the width when the channel has one.
void advanceColumn(Channel* channel, std::size_t count, std::size_t lineStart) {
  std::uint32_t column = lineStart == 0 ? static_cast<std::uint32_t>(channel->column) +
                                              static_cast<std::uint32_t>(count)
                                        : static_cast<std::uint32_t>(count - lineStart);
  if (channel->width != 0) column %= channel->width;
  channel->column = static_cast<std::int32_t>(column);
}

// printBytes for runs whose line ends are known, once channel 0 is set up: a line end (the new
// line is empty) or blanks (the line grows).
void printLineEnd(Channel* channel) {
  if (writeChannelBytes(channel, LineEnd, sizeof LineEnd) != StatusCode::Ok) return;
  channel->column = 0;
}

void printBlanks(Channel* channel, std::size_t count) {
  if (count > sizeof ZoneBlanks) count = sizeof ZoneBlanks;
  if (writeChannelBytes(channel, ZoneBlanks, count) != StatusCode::Ok) return;
  advanceColumn(channel, count, 0);
}

// printBytes and padToZone once channel 0 is set up.
void writeItem(Channel* channel, const char* bytes, std::size_t count) {
  if (writeChannelBytes(channel, bytes, count) != StatusCode::Ok) return;
  // The bytes after the last CR or LF start the new line; without one the line grows.
  advanceColumn(channel, count, lineStartOf(bytes, count));
}

void writePad(Channel* channel) {
  if (channel == nullptr || channel->hooks == nullptr) {
    setStatus(StatusCode::NotApplicable);
    return;
  }
  const std::int64_t column = channel->column;
  const std::uint32_t width = channel->width;
  if (width == 0 && column >= 0) {
    // Without a width the next zone is always reached by blanks: 1 to 14 of them, up to the
    // next multiple of 14, as the general rule below gives.
    printBlanks(channel, PrintZoneWidth - static_cast<std::uint32_t>(column) % PrintZoneWidth);
    return;
  }
  // The position, counted from 1, at which the next zone begins; back to 1 (a new line) when
  // that zone would pass the width. A width below 14 wraps the unsigned limit and never does.
  std::int64_t next = (column + PrintZoneWidth) / PrintZoneWidth * PrintZoneWidth + 1;
  if (width != 0 && static_cast<std::uint32_t>(next) > width - PrintZoneWidth) next = 1;
  if (next <= column + 1) {
    printLineEnd(channel);
    return;
  }
  // At least one blank; more than a zone only for a column that overflowed on a line of more
  // than 2 GiB, and printBlanks writes a zone at most.
  printBlanks(channel, static_cast<std::size_t>(next - column - 1));
}

// What follows an item, once channel 0 is set up: the line end, or else the pad, or else
// nothing (status left alone).
void writeMaskTail(Channel* record, PrintMask mask) {
  if (hasBit(mask, PrintMask::NewLine)) {
    printLineEnd(record);
  } else if (hasBit(mask, PrintMask::PadToZone)) {
    writePad(record);
  }
}

bool writesSomething(PrintMask mask) {
  return hasBit(mask, PrintMask::NewLine) || hasBit(mask, PrintMask::PadToZone);
}

}  // namespace

std::size_t printLines(ChannelNumber channel,
                       const LineBlock& block,
                       std::size_t from,
                       std::size_t to) {
  if (from >= to) return 0;
  ensureConsoleChannel();
  Channel* record = lookupChannel(channel);
  // Bytes of the block not written yet start at `pending`; a line that ends in LF alone gets its
  // bytes written and then CR LF.
  std::size_t pending = block.startOf(from);
  std::size_t lineFeedsAlone = 0;
  StatusCode written = StatusCode::Ok;
  for (std::size_t line = from; line < to; ++line) {
    if (block.endsInCrLf(line)) continue;
    const std::size_t lineFeed = block.ends[line];
    if (lineFeed > pending) {
      written = writeChannelBytes(record, block.bytes + pending, lineFeed - pending);
    }
    written = writeChannelBytes(record, LineEnd, sizeof LineEnd);
    pending = lineFeed + 1;
    ++lineFeedsAlone;
  }
  const std::size_t end = block.ends[to - 1] + 1;
  if (end > pending) written = writeChannelBytes(record, block.bytes + pending, end - pending);
  // Every line ended with CR LF: the next byte starts a line.
  if (written == StatusCode::Ok) record->column = 0;
  return end - block.startOf(from) + lineFeedsAlone;
}

namespace {

// printKeptLines the ordinary way, from `from` on: printLines for each run of kept lines.
std::size_t printKeptRuns(ChannelNumber channel,
                          const LineBlock& block,
                          std::size_t from,
                          const bool* kept) {
  std::size_t printed = 0;
  for (std::size_t line = from; line < block.count;) {
    std::size_t end = line;
    while (end < block.count && kept[end]) ++end;
    printed += printLines(channel, block, line, end);
    line = end + 1;
  }
  return printed;
}

// Room a line's copy may spill into past its CR LF.
constexpr std::size_t Spill = 64;

// The most bytes the lines from `from` on can take printed (one CR more per line), with room for
// a copy's spill.
std::size_t mostPrinted(const LineBlock& block, std::size_t from) {
  return block.ends[block.count - 1] + 1 - block.startOf(from) + (block.count - from) + Spill;
}

// Copies `length` bytes in 32-byte pieces, and so up to 31 bytes more: `from` must be readable
// and `to` writable that far.
inline void copyInPieces(char* to, const char* from, std::size_t length) {
  std::size_t done = 0;
  do {
    std::memcpy(to + done, from + done, 32);
    done += 32;
  } while (done < length);
}

// The kept lines from `from` on into `out`, which has room for all of them and the spill, and
// the numbers of the others into `dropped`: every line is copied with its CR LF, and `out` moves
// past the kept ones only, so that the loop has no branch on what is kept or how a line ends.
// Returns how many were dropped; `out` is left at the end of what was written.
std::size_t copyMarkedLines(char*& out,
                            const LineBlock& block,
                            std::size_t from,
                            std::size_t shortest,
                            std::uint16_t* dropped) {
  std::size_t count = 0;
  std::size_t start = block.startOf(from);
  for (std::size_t line = from; line < block.count; start = block.ends[line++] + 1) {
    const std::size_t lineFeed = block.ends[line];
    // An empty line looks at its own LF, never before the block.
    const bool crLf = block.bytes[lineFeed - (lineFeed > start ? 1 : 0)] == '\r';
    const std::size_t length = lineFeed - start - (crLf ? 1 : 0);
    if (start + length + 32 <= block.buffered) {
      copyInPieces(out, block.bytes + start, length);
    } else {
      copyShortRun(out, block.bytes + start, length);
    }
    out[length] = '\r';
    out[length + 1] = '\n';
    const bool kept = block.marked[line] & (length >= shortest);
    out += kept ? length + 2 : 0;
    dropped[count] = static_cast<std::uint16_t>(line);
    count += kept ? 0 : 1;
  }
  return count;
}

// The same where the room may run out on the way: it is taken again. Null when the stream offers
// none; `printed` then counts what went before.
bool copyKeptLinesInParts(FileStream& stream,
                          const LineBlock& block,
                          std::size_t from,
                          const bool* kept,
                          std::size_t& printed,
                          std::size_t& stoppedAt) {
  std::size_t want = std::min(StreamBufferSize, mostPrinted(block, from));
  char* room = streamReserve(stream, want);
  char* out = room;
  std::size_t start = block.startOf(from);
  for (std::size_t line = from; line < block.count; start = block.ends[line++] + 1) {
    if (!kept[line]) continue;
    const std::size_t lineFeed = block.ends[line];
    const std::size_t length =
        lineFeed - start - (lineFeed > start && block.bytes[lineFeed - 1] == '\r' ? 1 : 0);
    if (room == nullptr || want - static_cast<std::size_t>(out - room) < length + 2) {
      if (room != nullptr) {
        streamCommit(stream, static_cast<std::size_t>(out - room));
        printed += static_cast<std::size_t>(out - room);
      }
      // A line of a whole read buffer, given a CR, does not fit a write buffer.
      want = std::min(StreamBufferSize, mostPrinted(block, line));
      room = want >= length + 2 ? streamReserve(stream, want) : nullptr;
      if (room == nullptr) {
        stoppedAt = line;
        return false;
      }
      out = room;
    }
    copyShortRun(out, block.bytes + start, length);
    out += length;
    *out++ = '\r';
    *out++ = '\n';
  }
  if (room != nullptr) {
    streamCommit(stream, static_cast<std::size_t>(out - room));
    printed += static_cast<std::size_t>(out - room);
  }
  return true;
}

}  // namespace

std::size_t printMarkedLines(ChannelNumber channel,
                             const LineBlock& block,
                             std::size_t from,
                             std::size_t shortest,
                             std::uint16_t* dropped) {
  if (from >= block.count) return 0;
  ensureConsoleChannel();
  Channel* record = lookupChannel(channel);
  FileStream* stream = record != nullptr && record->mode == OpenMode::Output
                           ? fileStream(fileChannelOf(channel))
                           : nullptr;
  const std::size_t most = mostPrinted(block, from);
  if (char* room =
          stream != nullptr && most <= StreamBufferSize ? streamReserve(*stream, most) : nullptr) {
    char* out = room;
    const std::size_t count = copyMarkedLines(out, block, from, shortest, dropped);
    streamCommit(*stream, static_cast<std::size_t>(out - room));
    if (out != room) {
      setStatus(StatusCode::Ok);
      record->column = 0;
    }
    return count;
  }
  // Lines too many for the room, or another channel: which are kept first, then their printing.
  bool kept[LineBlockLines];
  std::size_t count = 0;
  for (std::size_t line = from; line < block.count; ++line) {
    kept[line] = block.marked[line] && block.length(line) >= shortest;
    if (!kept[line]) dropped[count++] = static_cast<std::uint16_t>(line);
  }
  std::size_t printed = 0;
  std::size_t stoppedAt = from;
  if (stream == nullptr || !copyKeptLinesInParts(*stream, block, from, kept, printed, stoppedAt)) {
    printKeptRuns(channel, block, stoppedAt, kept);
  } else if (printed > 0) {
    setStatus(StatusCode::Ok);
    record->column = 0;
  }
  return count;
}

void printBytes(Channel* channel, const char* bytes, std::size_t count) {
  ensureConsoleChannel();
  writeItem(channel, bytes, count);
}

void padToZone(Channel* channel) {
  ensureConsoleChannel();
  writePad(channel);
}

void printVoid(ChannelNumber channel, PrintMask mask) {
  if (!writesSomething(mask)) return;
  ensureConsoleChannel();
  writeMaskTail(lookupChannel(channel), mask);
}

[[gnu::flatten]] void printText(ChannelNumber channel, std::string_view text, PrintMask mask) {
  // The item and what follows it are the operation's writes; channel 0 is set up before the
  // first of them, once for both.
  if (text.empty() && !writesSomething(mask)) return;
  ensureConsoleChannel();
  Channel* record = lookupChannel(channel);
  if (!text.empty()) writeItem(record, text.data(), text.size());
  writeMaskTail(record, mask);
}
