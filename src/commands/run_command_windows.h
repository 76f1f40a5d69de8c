// Windows command execution for a caller that holds the file a command writes: the command
// processor's standard output is that file's handle instead of a "> FILE" redirection, which
// would open whatever holds the name (another file's hard link, say) and write through it.
#pragma once

#include <string>
#include <string_view>

// As runCommand, but what the command processor's own commands write to a file or a pipe is
// UTF-16 ("cmd /u"), so that no name passes through a code page; with `output` (the HANDLE of a
// file the caller created and keeps open for writing; null: the program's standard output) as
// the command processor's standard output. Its messages to standard error, UTF-16 under "/u",
// reach the program's standard error in the console's code page.
int runUnicodeCommandInto(std::string command, void* output);

// For tests: runs every later command with the program at `path` (UTF-8) in place of the
// system's command processor, given the same arguments; an empty path goes back to the system's.
void useCommandProcessor(std::string_view path);
