// The print operations: an item on a channel, then nothing, a line end or the pad to the next
// print zone, each as a write of its own through writeChannelBytes. The channel's `column`
// follows every successful write here; channel 0's set-up lives in console_channel.cpp.
#include "print/print.h"

#include <cstring>

namespace {

constexpr char LineEnd[2] = {'\r', '\n'};

// The pad's source: one full zone of blanks.
constexpr char ZoneBlanks[PrintZoneWidth] = {' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                             ' ', ' ', ' ', ' ', ' ', ' ', ' '};

bool hasBit(PrintMask mask, PrintMask bit) {
  return (static_cast<std::uint32_t>(mask) & static_cast<std::uint32_t>(bit)) != 0;
}

// Channel 0's record: the table is static, so the record never moves. A closed record (before
// the first print, or after the table was cleared) is set up again.
Channel* const consoleRecord = lookupChannel(ConsoleChannel);

void ensureConsoleChannel() {
  if (consoleRecord->hooks == nullptr) setUpConsoleChannel();
}

// True when one of the word's eight bytes is below 14, as CR and LF are. Other control bytes
// give a false alarm, which the byte-by-byte look settles; a word without one is never missed.
bool mayHoldLineEndByte(std::uint64_t word) {
  constexpr std::uint64_t Ones = 0x0101010101010101u;
  constexpr std::uint64_t Highs = 0x8080808080808080u;
  return ((word - Ones * ('\r' + 1)) & ~word & Highs) != 0;
}

// The index just after the last CR or LF among the bytes; 0 when they hold neither. Tests eight
// bytes at a time from the end (the first word may overlap bytes already tested) and looks byte
// by byte only inside a word that may hold one.
std::size_t lineStartOf(const char* bytes, std::size_t count) {
  std::size_t lineStart = count;
  if (count >= 8) {
    for (;;) {
      const std::size_t from = lineStart > 8 ? lineStart - 8 : 0;
      std::uint64_t word;
      std::memcpy(&word, bytes + from, sizeof word);
      if (mayHoldLineEndByte(word)) {
        lineStart = from + 8;
        break;
      }
      if (from == 0) return 0;
      lineStart = from;
    }
  }
  while (lineStart > 0 && bytes[lineStart - 1] != '\r' && bytes[lineStart - 1] != '\n') {
    --lineStart;
  }
  return lineStart;
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
  if (writeChannelBytes(channel, ZoneBlanks, count) != StatusCode::Ok) return;
  advanceColumn(channel, count, 0);
}

// What follows an item: the line end, or else the pad, or else nothing (status left alone).
void printMaskTail(Channel* record, PrintMask mask) {
  if (hasBit(mask, PrintMask::NewLine)) {
    ensureConsoleChannel();
    printLineEnd(record);
  } else if (hasBit(mask, PrintMask::PadToZone)) {
    padToZone(record);
  }
}

}  // namespace

void printBytes(Channel* channel, const char* bytes, std::size_t count) {
  ensureConsoleChannel();
  if (writeChannelBytes(channel, bytes, count) != StatusCode::Ok) return;
  // The bytes after the last CR or LF start the new line; without one the line grows.
  advanceColumn(channel, count, lineStartOf(bytes, count));
}

void padToZone(Channel* channel) {
  ensureConsoleChannel();
  if (channel == nullptr || channel->hooks == nullptr) {
    setStatus(StatusCode::NotApplicable);
    return;
  }
  const std::int64_t column = channel->column;
  const std::uint32_t width = channel->width;
  // The position, counted from 1, at which the next zone begins; back to 1 (a new line) when
  // that zone would pass the width. A width below 14 wraps the unsigned limit and never does.
  std::int64_t next = (column + PrintZoneWidth) / PrintZoneWidth * PrintZoneWidth + 1;
  if (width != 0 && static_cast<std::uint32_t>(next) > width - PrintZoneWidth) next = 1;
  if (next <= column + 1) {
    printLineEnd(channel);
    return;
  }
  std::int64_t blanks = next - column - 1;
  // Only a column that overflowed on a line of more than 2 GiB could ask for more than a zone.
  if (blanks > PrintZoneWidth) blanks = PrintZoneWidth;
  printBlanks(channel, static_cast<std::size_t>(blanks));
}

void printVoid(ChannelNumber channel, PrintMask mask) {
  printMaskTail(lookupChannel(channel), mask);
}

void printText(ChannelNumber channel, std::string_view text, PrintMask mask) {
  Channel* record = lookupChannel(channel);
  if (!text.empty()) printBytes(record, text.data(), text.size());
  printMaskTail(record, mask);
}
