// What identifies the content of a list file on disk: enough to notice that another process
// grew, shrank or replaced it while the run was reading it.
#pragma once

#include <string>

#include "channels/file_state.h"
#include "channels/held_directory.h"

// The state of a list file, as the channel that opened it or the file's name gives it.
using ListFileState = FileState;

// Reads the state of the list file `leaf` in `directory` (whose full path is `path`), without
// following a link at it. False when the file cannot be examined.
bool readListFileState(const HeldDirectory& directory,
                       const std::string& leaf,
                       const std::string& path,
                       ListFileState& state);

// True when the list file `leaf` in `directory` (full path `path`), `size` bytes long, is empty
// or ends with CR LF. With nothing dropped from it and a cleaned copy of the same length, that
// makes the copy byte for byte the same as the file: every line already ends in CR LF.
bool listFileEndsWithCrLf(const HeldDirectory& directory,
                          const std::string& leaf,
                          const std::string& path,
                          std::int64_t size);
