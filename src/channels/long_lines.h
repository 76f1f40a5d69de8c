// The line reader's allocating steps, in long_lines.cpp; line_reader.cpp calls them for what
// does not lie whole in the stream's buffer or in the text's storage.
#pragma once

#include <cstddef>

#include "channels/line_reader.h"

// A chunk of readLineInChunks holds at most LineChunkSize - 1 bytes. Only lines that do not lie
// whole in the stream's buffer are read in chunks, so the size only sets how many calls a long
// line costs.
constexpr int LineChunkSize = 4096;

// The longest line the reader holds: 64 MiB. A file whose size costs its writer nothing (a sparse
// file of a terabyte of NUL bytes and one "@") must not take the reader's memory, nor fill the
// log with one record of that size; a longer line is TooLong like one that memory cannot hold.
constexpr std::size_t MaxLineBytes = std::size_t{64} << 20;

// Replaces `destination` with `count` bytes. Found; TooLong (destination emptied, its storage
// given back) when they are more than MaxLineBytes or cannot be held in memory.
LineEnd takeLongLine(const char* bytes, std::size_t count, Text& destination);

// The line reader's rules, chunk by chunk through `readChunk`: see readLineFromStream. TooLong
// (destination emptied, its storage given back, the rest of the line unread) when the line is
// longer than MaxLineBytes or cannot be held in memory.
LineEnd readLineInChunks(FileStream* stream, Text& destination, ChunkReader readChunk);
