// The line reader's allocating steps, in long_lines.cpp; line_reader.cpp calls them for what
// does not lie whole in the stream's buffer or in the text's storage.
#pragma once

#include <cstddef>

#include "channels/line_reader.h"

// A chunk of readLineInChunks holds at most LineChunkSize - 1 bytes. Only lines that do not lie
// whole in the stream's buffer are read in chunks, so the size only sets how many calls a long
// line costs.
constexpr int LineChunkSize = 4096;

// Replaces `destination` with `count` bytes. Found; TooLong (destination emptied, its storage
// given back) when they cannot be held in memory.
LineEnd takeLongLine(const char* bytes, std::size_t count, Text& destination);

// The line reader's rules, chunk by chunk through `readChunk`: see readLineFromStream. TooLong
// (destination emptied, its storage given back, the rest of the line unread) when the line
// cannot be held in memory.
LineEnd readLineInChunks(FileStream* stream, Text& destination, ChunkReader readChunk);
