// Windows command execution's seam for tests, which run a stand-in in place of the system's
// command processor.
#pragma once

#include <string_view>

// Runs every later command with the program at `path` (UTF-8) in place of the system's command
// processor, given the same arguments; an empty path goes back to the system's.
void useCommandProcessor(std::string_view path);
