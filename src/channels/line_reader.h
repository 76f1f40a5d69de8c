// The line reader over a file stream: what a line is. The file device's readLine slot runs it.
#pragma once

#include <cstddef>

#include "channels/channel.h"
#include "system/file_stream.h"

// Reads one chunk of at most size - 1 bytes from `stream` into `buffer`, stopping after the
// first LF, and puts a NUL after them; returns the number of bytes stored (NUL bytes read count),
// 0 when nothing could be read (the end of the input or a read error).
using ChunkReader = std::size_t (*)(char* buffer, int size, FileStream* stream);

// The default chunk reader: copies from the stream's read buffer, refilling it as it empties;
// costs the bytes it stores, not `size`.
std::size_t readStreamChunk(char* buffer, int size, FileStream* stream);

// How readLineFromStream's line ended.
enum class LineEnd {
  Found,        // at an LF; or, the input ending after it, the line ended in a CR
  InputEnded,   // the input ended (or a read failed) first: the line is what came before
  TooLong,      // the line could not be held in memory: the destination is emptied, its storage
                // given back, and the rest of the line is left unread
  Interrupted,  // an interruption of the run arrived while a long line was read in chunks: the
                // destination is emptied and the rest of the line is left unread
};

// The line reader over a file stream: a line is every byte up to the next LF, without one CR
// right before that LF, whatever its length; NUL and CR bytes inside it are data. A last line
// without an LF loses its trailing NUL bytes and then one trailing CR. Stores Ok in any case;
// the destination holds the line (empty when nothing was left to read).
LineEnd readLineFromStream(FileStream* stream,
                           Text& destination,
                           ChunkReader readChunk = readStreamChunk);
