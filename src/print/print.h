// Print operations: an item on a channel, then nothing, a line end (CR LF) or blanks up to the
// next 14-column print zone. Each channel's `column` is kept here. The first print of the process,
// on any channel, sets channel 0 up as the console channel. Only tests call printBytes and
// padToZone, the two steps printText and printVoid are made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "channels/channel.h"
#include "channels/line_block.h"

// What follows a printed item.
enum class PrintMask : std::uint32_t {
  None = 0,       // nothing: the next item continues the line
  NewLine = 1,    // CR LF
  PadToZone = 2,  // blanks to the next print zone, or CR LF past the channel's width
};

constexpr std::int32_t PrintZoneWidth = 14;

// Writes the text's bytes unchanged, then what the mask asks for, as two writes. The outcome is
// the status of the last write made; an empty text with mask None writes and stores nothing.
void printText(ChannelNumber channel, std::string_view text, PrintMask mask);

// Writes only what the mask asks for; with PrintMask::NewLine the bare line end.
void printVoid(ChannelNumber channel, PrintMask mask);

// Prints the lines `from` to `to` (not included) of `block`, each followed by CR LF: the bytes
// and the column printText with PrintMask::NewLine leaves line by line, in fewer writes, since a
// run of lines that already end in CR LF in the block is one write. The outcome is the status of
// the last write made. Returns the number of bytes printed (the lines and their line ends).
std::size_t printLines(ChannelNumber channel,
                       const LineBlock& block,
                       std::size_t from,
                       std::size_t to);

// Prints the lines of `block` from `from` on that hold the block's marker and are at least
// `shortest` bytes long, each followed by CR LF, as printLines prints each run of them; on a
// file channel that only writes, in one pass straight into its stream's buffer. The numbers of
// the other lines go to `dropped`, in order (room for LineBlockLines); returns how many.
std::size_t printMarkedLines(ChannelNumber channel,
                             const LineBlock& block,
                             std::size_t from,
                             std::size_t shortest,
                             std::uint16_t* dropped);

// One write of `count` bytes plus the column update (only when the write succeeded).
void printBytes(Channel* channel, const char* bytes, std::size_t count);

// Blanks up to the next print zone in one write, or CR LF when that zone would pass the width.
void padToZone(Channel* channel);

// Sets channel 0 up as the console channel on its first call; later calls do nothing.
void setUpConsoleChannel();
