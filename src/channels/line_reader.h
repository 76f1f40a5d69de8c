// Line reading and the end-of-file rule of input channels.
#pragma once

#include <cstddef>

#include "channels/channel.h"
#include "channels/file_stream.h"

// -1 when the channel is at its end (or its stream has failed), 0 when more can be read, and 1
// (with status NotApplicable stored) when the number has no record or the channel is closed.
int channelAtEnd(ChannelNumber channel);

// Replaces `destination` with the next line of the channel, without its line end.
// Ok (also at the end of the input: then the destination is empty); TransferFailed when a read of
// the channel's file has failed (the line may be cut short; the channel then reports its end) or
// the line was too long to hold in memory (the destination is empty; the rest of the file is
// skipped, the channel is at its end and its close reports the failure); NotApplicable,
// destination untouched, when the number has no record, the channel is closed or cannot read
// lines.
StatusCode readLineInto(ChannelNumber channel, Text& destination);

// True when a read of the channel met a line too long to hold in memory (see readLineInto);
// false otherwise, and for a closed channel or a number without a record. Stores no status.
bool channelLineTooLong(ChannelNumber channel);

// Reads one chunk of at most size - 1 bytes from `stream` into `buffer`, stopping after the
// first LF, and puts a NUL after them; returns the number of bytes stored (NUL bytes read count),
// 0 when nothing could be read (the end of the input or a read error).
using ChunkReader = std::size_t (*)(char* buffer, int size, FileStream* stream);

// The default chunk reader: copies from the stream's read buffer, refilling it as it empties;
// costs the bytes it stores, not `size`.
std::size_t readStreamChunk(char* buffer, int size, FileStream* stream);

// How readLineFromStream's line ended.
enum class LineEnd {
  Found,       // at an LF; or, the input ending after it, the line ended in a CR
  InputEnded,  // the input ended (or a read failed) first: the line is what came before
  TooLong,     // the line could not be held in memory: the destination is emptied, its storage
               // given back, and the rest of the line is left unread
};

// The line reader over a file stream: a line is every byte up to the next LF, without one CR
// right before that LF, whatever its length; NUL and CR bytes inside it are data. A last line
// without an LF loses its trailing NUL bytes and then one trailing CR. Stores Ok in any case;
// the destination holds the line (empty when nothing was left to read).
LineEnd readLineFromStream(FileStream* stream,
                           Text& destination,
                           ChunkReader readChunk = readStreamChunk);
