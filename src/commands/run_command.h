// Command execution. On POSIX the run's command lines ("dir", "del") go to the built-in command
// processor, in process. Windows starts no command processor: its search walks the tree itself
// and its own files are removed through their handles; the checks of a path remain.
#pragma once

#include <string>
#include <string_view>

// POSIX: runs `command` up to its first NUL byte. Returns -1 for an empty command (nothing runs),
// otherwise the command processor's exit status. Stores no status. Takes the command text over:
// it is released when the call ends.
int runCommand(std::string command);

// Null when `path` can reach the command processor inside double quotes as exactly itself, and
// its commands can reach the file: no NUL, CR or LF anywhere; on Windows also no "%" (expanded
// even inside quotes), no double quote, and fewer than MAX_PATH characters (the command
// processor's "move" cannot reach a longer path). Otherwise the reason, a console text.
const char* commandRefusesPath(std::string_view path);

// Removes `name`, one of the run's own temporary files in the current directory (a file list,
// the cleaned copy). POSIX: the command "del NAME". Windows: through a handle of the file opened
// itself, and only when it is a regular file on disk with this one name: hidden, system and
// read-only ones are removed too, while a directory or link that took the name is left as it
// is; no command processor is asked, so nothing can wait for an answer. 0 when it is removed
// (or was not there), otherwise 1.
int removeOwnFile(std::string_view name);

// Blocks the program for about `milliseconds`.
void waitMilliseconds(int milliseconds);
