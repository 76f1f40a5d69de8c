// The built-in command processor used where there is no Windows command processor. It carries
// out the command lines the cleaning run issues: "dir NAME /s/b > FILE", "move /y SRC DST" and
// "del FILE"; anything else is refused. No shell is ever started: the words of the line reach
// the file operations as they are, so no byte of a path can run anything.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "console/terminal_text.h"

// Runs one command line. Returns 0 on success, 1 on failure (with one line on standard error).
int runBuiltinCommand(std::string_view line);

// The three commands the processor knows.
enum class CommandVerb {
  Dir,   // "dir NAME /s/b > FILE": first = NAME, second = FILE
  Move,  // "move /y SRC DST" or "move SRC DST": first = SRC, second = DST
  Del,   // "del FILE": first = FILE, second empty
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

// Replaces `destination` by `source` so that `destination` always exists: on one file system by
// a rename, across file systems by a copy beside `destination` renamed over it. An existing
// `destination` hands its permission bits (and owner and group where allowed) to the
// replacement (and its access control list and user attributes; one that cannot be read or
// carried over refuses the move); a symbolic link or directory at `destination` is refused. On
// failure before the replacement both files hold what they held, and the source grants no more
// than before. The command's form of replaceFileAt.
int replaceFile(const std::string& source, const std::string& destination);

// How a replacement ended.
enum class ReplaceOutcome {
  Replaced,            // the destination holds the source's content, durably
  ReplacedNotDurable,  // replaced, but its directory could not be flushed: a power loss may
                       // bring the old file back
  Changed,             // not replaced: the copy at its temporary name was another file
  Failed,              // not replaced, for the reason given
};

// replaceFile for names inside directories held open (descriptors, AT_FDCWD for the current
// directory), so that the directory resolved earlier is the one that receives the replacement.
// Neither name is followed when it is a link. The source, as opened and checked, is first moved
// to a temporary name beside the destination (CopyTemporaryPrefix), where only those who may
// change the destination's directory can reach it, and renamed over the destination from there.
// The copy takes the destination's owner, bits, access control list and attributes only once
// it is beside the destination. Writes nothing to standard error: a reason for Failed and
// ReplacedNotDurable goes to `reason` (a console text such as "it is a symbolic link"). Changed
// and Failed leave the destination as it was; the source too when they come before the move
// beside the destination, after which the copy is removed.
ReplaceOutcome replaceFileAt(int sourceDirectory,
                             const std::string& source,
                             int destinationDirectory,
                             const std::string& destination,
                             std::string& reason);

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
