// What identifies the content of a list file on disk: enough to notice that another process
// grew, shrank or replaced it while the run was reading it.
#pragma once

#include <string>

#include "channels/file_state.h"

// The state of a list file, as the channel that opened it or the file's path gives it.
using ListFileState = FileState;

// Reads the state of the file at `path` (following links, as opening it does). False when the
// file cannot be examined.
bool readListFileState(const std::string& path, ListFileState& state);
