// The print operations: an item on a channel, then nothing, a line end or the pad to the next
// print zone, each as a write of its own through writeChannelBytes. The channel's `column`
// follows every successful write here; channel 0's set-up lives in console_channel.cpp.
#include "print/print.h"

namespace {

constexpr char LineEnd[2] = {'\r', '\n'};

// The pad's source: one full zone of blanks.
constexpr char ZoneBlanks[PrintZoneWidth] = {' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                             ' ', ' ', ' ', ' ', ' ', ' ', ' '};

bool hasBit(PrintMask mask, PrintMask bit) {
  return (static_cast<std::uint32_t>(mask) & static_cast<std::uint32_t>(bit)) != 0;
}

// What follows an item: the line end, or else the pad, or else nothing (status left alone).
void printMaskTail(Channel* record, PrintMask mask) {
  if (hasBit(mask, PrintMask::NewLine)) {
    printBytes(record, LineEnd, sizeof LineEnd);
  } else if (hasBit(mask, PrintMask::PadToZone)) {
    padToZone(record);
  }
}

}  // namespace

void printBytes(Channel* channel, const char* bytes, std::size_t count) {
  setUpConsoleChannel();
  if (writeChannelBytes(channel, bytes, count) != StatusCode::Ok) return;
  // The bytes after the last CR or LF start the new line; without one the line grows.
  std::size_t lineStart = count;
  while (lineStart > 0 && bytes[lineStart - 1] != '\r' && bytes[lineStart - 1] != '\n') {
    --lineStart;
  }
  std::uint32_t column = lineStart == 0 ? static_cast<std::uint32_t>(channel->column) +
                                              static_cast<std::uint32_t>(count)
                                        : static_cast<std::uint32_t>(count - lineStart);
  if (channel->width != 0) column %= channel->width;
  channel->column = static_cast<std::int32_t>(column);
}

void padToZone(Channel* channel) {
  setUpConsoleChannel();
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
    printBytes(channel, LineEnd, sizeof LineEnd);
    return;
  }
  std::int64_t blanks = next - column - 1;
  // Only a column that overflowed on a line of more than 2 GiB could ask for more than a zone.
  if (blanks > PrintZoneWidth) blanks = PrintZoneWidth;
  printBytes(channel, ZoneBlanks, static_cast<std::size_t>(blanks));
}

void printVoid(ChannelNumber channel, PrintMask mask) {
  printMaskTail(lookupChannel(channel), mask);
}

void printText(ChannelNumber channel, std::string_view text, PrintMask mask) {
  Channel* record = lookupChannel(channel);
  if (!text.empty()) printBytes(record, text.data(), text.size());
  printMaskTail(record, mask);
}
