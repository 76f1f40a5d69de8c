// The built-in command processor used where there is no Windows command processor. It carries
// out the command lines the cleaning run issues: "dir NAME /s/b > FILE", "move /y SRC DST" and
// "del FILE"; anything else is refused.
#pragma once

#include <string_view>

// Runs one command line. Returns 0 on success, 1 on failure (with one line on standard error).
int runBuiltinCommand(std::string_view line);
