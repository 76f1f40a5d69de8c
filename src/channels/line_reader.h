// Line reading and the end-of-file rule of input channels.
#pragma once

#include <cstddef>
#include <cstdio>

#include "channels/channel.h"

// -1 when the channel is at its end (or its stream has failed), 0 when more can be read, and 1
// (with status NotApplicable stored) when the number has no record or the channel is closed.
int channelAtEnd(ChannelNumber channel);

// Replaces `destination` with the next line of the channel, without its line end.
// Ok (also at the end of the input: then the destination is empty); NotApplicable, destination
// untouched, when the number has no record, the channel is closed or cannot read lines.
StatusCode readLineInto(ChannelNumber channel, Text& destination);

// Reads one chunk of at most size - 1 bytes from `stream` into `buffer`, stopping after the
// first LF; returns the number of bytes stored, 0 when nothing could be read.
using ChunkReader = std::size_t (*)(char* buffer, int size, std::FILE* stream);

// The default chunk reader: the stream's own chunked read.
std::size_t readStreamChunk(char* buffer, int size, std::FILE* stream);

// The line reader over a stdio stream. Ok when a line end was found; TransferFailed when the
// input ended first (the destination then holds what was read: the last line, or nothing).
StatusCode readLineFromStream(std::FILE* stream,
                              Text& destination,
                              ChunkReader readChunk = readStreamChunk);
