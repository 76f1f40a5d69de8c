// Command execution: one command line handed to the command processor, blocking until it ends.
// On Windows that is the system's command processor, "%SystemRoot%\System32\cmd.exe /d /v:off /c"
// and the command, inheriting no handle of the program but copies of its standard output and
// error, with the null device as its input; elsewhere the built-in one, in process.
#pragma once

#include <string>
#include <string_view>

// Runs `command` up to its first NUL byte. Returns -1 for an empty command (nothing runs),
// otherwise the command processor's exit status (-1 when it could not be started). Stores no
// status. Takes the command text over: it is released when the call ends.
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
