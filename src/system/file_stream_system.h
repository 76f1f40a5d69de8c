// The system side of our file streams, one implementation per platform
// (file_stream_posix.cpp, file_stream_windows.cpp): file_stream.cpp buffers and keeps the
// rules; these functions only reach the system. Nothing outside the stream's files calls them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "system/file_stream.h"

// Opens `name` inside `directory` as openFileStream describes: the handle, or false with
// nothing left open. `opened` receives what the open learnt.
bool openSystemFile(const HeldDirectory* directory,
                    const std::string& name,
                    StreamMode mode,
                    FileHandle* handle,
                    OpenedFile* opened);

// Takes the handle of standard output for a stream and points standard output at standard
// error, as takeStandardOutput describes: false with nothing changed when there is none.
bool takeSystemStandardOutput(FileHandle* handle, OpenedFile* opened);

// Moves the handle's position to `offset` from `origin` (SEEK_SET, SEEK_CUR, SEEK_END): true
// with the new position in `*position`; false for a file that cannot be positioned.
bool seekSystemFile(FileHandle handle, std::int64_t offset, int origin, std::int64_t* position);

// Makes the file's data and size durable. True when done or when the file is a device with
// nothing to make durable; false with the system's code in `*error`.
bool syncSystemFile(FileHandle handle, int* error);

// Closes the handle. True when the system reported no failure; false with its code in `*error`.
bool closeSystemFile(FileHandle handle, int* error);
