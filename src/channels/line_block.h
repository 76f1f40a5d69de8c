// The block path of line reading: the lines that lie whole in a file channel's read buffer, taken
// at once as a view of the buffer and the line ends found in it in one pass. A caller that works
// on every line of a big file (the copy of a list file) pays per buffer, not per line; the lines
// are the very ones readLineInto gives, and whatever does not lie whole in the buffer (a line
// crossing its end, the last line without an LF) is left to readLineInto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "channels/channel.h"

// The most lines one block holds: a buffer of short lines is taken in a few blocks.
constexpr std::size_t LineBlockLines = 2048;

// Lines taken from a stream's buffer. Line i is the bytes from the end of line i - 1 (or from
// `bytes`) up to its LF at bytes[ends[i]], less one CR right before that LF. Valid until the
// next operation on the channel they were taken from.
struct LineBlock {
  const char* bytes = nullptr;
  std::int64_t offset = 0;  // where `bytes` lie in the file
  std::size_t count = 0;
  std::size_t buffered = 0;  // the bytes readable from `bytes` on: the lines and what follows them
  std::uint32_t ends[LineBlockLines];
  // Whether line i holds the byte the block was taken for (the scan's `marker`): a caller that
  // looks for one byte in every line learns it from the scan that found the line ends.
  bool marked[LineBlockLines];

  std::size_t startOf(std::size_t line) const { return line == 0 ? 0 : ends[line - 1] + 1; }

  // The line's LF is preceded by a CR, which is not part of the line.
  bool endsInCrLf(std::size_t line) const {
    const std::size_t lineFeed = ends[line];
    return lineFeed > startOf(line) && bytes[lineFeed - 1] == '\r';
  }

  std::size_t length(std::size_t line) const {
    return ends[line] - startOf(line) - (endsInCrLf(line) ? 1 : 0);
  }

  std::string_view line(std::size_t line) const { return {bytes + startOf(line), length(line)}; }
};

// Stores in `ends` the offsets of the first LF bytes among `size` bytes, at most `limit` of them,
// in order, and in `marked` whether the line each ends (from the LF before it, or the first
// byte) holds `marker`; returns how many. findLineEnds is the fastest the build has: 32 bytes at
// a time with SSE2 where the compiler offers it, else findLineEndsPortable, memchr per line.
std::size_t findLineEnds(const char* bytes,
                         std::size_t size,
                         char marker,
                         std::uint32_t* ends,
                         bool* marked,
                         std::size_t limit);
std::size_t findLineEndsPortable(const char* bytes,
                                 std::size_t size,
                                 char marker,
                                 std::uint32_t* ends,
                                 bool* marked,
                                 std::size_t limit);
// True when findLineEnds scans with vector instructions rather than findLineEndsPortable.
bool vectorLineScan();

// Takes from an Input channel of the file device the lines that lie whole in its stream's read
// buffer (filling the buffer first when it is empty), up to LineBlockLines of them and none that
// starts at or after the length measured at open, each marked when it holds `marker`. True with
// `block` set and the lines consumed, status Ok stored; false, with nothing taken and no status
// stored, when the next line does not lie whole in the buffer, the channel is at its end, or it is
// not such a channel: readLineInto then reads the next line.
bool takeBufferedLines(ChannelNumber channel, LineBlock& block, char marker);
