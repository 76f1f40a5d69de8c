// The built-in command processor used where there is no Windows command processor. It carries
// out the command lines the cleaning run issues: "dir NAME /s/b > FILE" and "del FILE"; anything
// else is refused. No shell is ever started: the words of the line reach the file operations as
// they are, so no byte of a path can run anything.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "console/terminal_text.h"

// The file the last "dir" command wrote its list into: its name and its state when made (all
// zeros before any, or when none could be made).
struct ListFileMade {
  std::string name;
  struct stat state {};
};
const ListFileMade& lastListFileMade();

// Runs one command line. Returns 0 on success, 1 on failure (with one line on standard error).
int runBuiltinCommand(std::string_view line);

// The commands the processor knows.
enum class CommandVerb {
  Dir,  // "dir NAME /s/b > FILE": first = NAME, second = FILE
  Del,  // "del FILE": first = FILE, second empty
};

// One command line taken apart; the words are exact bytes, quotes removed.
struct ParsedCommand {
  CommandVerb verb = CommandVerb::Del;
  std::string first;
  std::string second;
};

// Takes `line` apart by the grammar documented in command_line_posix.cpp. Returns true and fills
// `command`; on a line it does not understand returns false and puts a one-line reason (no line
// end) in `error`.
bool parseCommandLine(std::string_view line, ParsedCommand* command, std::string* error);

// The file operations behind the verbs. Each returns 0 on success, 1 on failure after writing
// one line to standard error.

// Creates or empties `listFile` (never through a symbolic link) and writes to it the absolute
// path of every regular file named exactly `name` in the current directory and below, each
// followed by CR LF: a directory's own match first, then its subdirectories in byte order of
// their names, depth first. Symbolic links are neither listed nor followed. Returns 1 only when
// `listFile` could not be created or written; unreadable directories and names holding CR or LF
// are skipped with a line on standard error, no match at all writes "File Not Found" there.
int listFilesNamed(const std::string& name, const std::string& listFile);

// Removes the regular file `path`; refuses directories and anything else that is not a regular
// file.
int deleteRegularFile(const std::string& path);

// Writes `message` and a line end to standard error in one write. When standard error is a
// terminal the message goes through terminalSafeText; otherwise only CR and LF become "?", so
// a path holding a line break still gives one line.
void reportCommandError(std::string_view message);

// The same on standard output, the console the program writes to, ending in CR LF like its own
// lines: for what the user must see among them.
void reportOnConsole(std::string_view message);
