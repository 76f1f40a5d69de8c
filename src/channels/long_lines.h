// The line reader's allocating steps, in long_lines.cpp; line_reader.cpp calls them for what
// does not lie whole in the stream's buffer or in the text's storage.
#pragma once

#include <cstddef>

#include "channels/line_reader.h"

// A chunk of readLineInChunks holds at most LineChunkSize - 1 bytes. Only lines that do not lie
// whole in the stream's buffer are read in chunks, so the size only sets how many calls a long
// line costs.
constexpr int LineChunkSize = 4096;

// The longest line the reader holds: 64 MiB, NUL bytes included. A file whose size costs its
// writer nothing (a sparse file of a petabyte of NUL bytes, with or without an "@") must not take
// the reader's memory or time, nor fill the log with one record of that size; a longer line is
// TooLong like one that memory cannot hold, once MaxLineBytes of it have been read.
constexpr std::size_t MaxLineBytes = std::size_t{64} << 20;

// Replaces `destination` with `count` bytes. Found; TooLong (destination emptied, its storage
// given back) when they are more than MaxLineBytes or cannot be held in memory.
LineEnd takeLongLine(const char* bytes, std::size_t count, Text& destination);

// The line reader's rules, chunk by chunk through `readChunk`: see readLineFromStream. TooLong
// (destination emptied, its storage given back, the rest of the line unread) when the line is
// longer than MaxLineBytes or cannot be held in memory; its storage then never grew past
// MaxLineBytes, and a line that is held costs at most its own storage and 1 MiB more while it
// grows. Interrupted when the run's interruption arrives before a chunk is read.
LineEnd readLineInChunks(FileStream* stream, Text& destination, ChunkReader readChunk);
