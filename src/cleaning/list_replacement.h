// The last step of cleaning a list file: its cleaned copy "list.tmp", in the current directory,
// takes the list file's place in the directory where it was opened.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "channels/held_directory.h"
#include "cleaning/list_file_state.h"

enum class Replacement {
  Done,
  DoneNotDurable,  // done, but a power loss may undo it; `reason` says why
  Changed,         // not done: the list file or the copy changed since they were opened
  Failed,          // not done; `reason` says why when the platform can tell
};

// Replaces the list file `leaf` in `directory` (full path `path`) by "list.tmp", provided that
// the list file still is the one that was read (`listState`) and "list.tmp" the copy that was
// written (`copyState`, the state it had when it was created; its size and times are not
// compared). The caller has made the copy's content durable. When the list file is not replaced,
// "list.tmp" is removed (if it still is the copy).
// The cleaned copy "list.tmp" held open from just after its creation to its replacement. While
// it is held its file cannot be removed and another one made under the same identity, so the
// file moved into place can be checked to be exactly the copy. (On Windows the replacement
// checks the copy through its own handles: nothing is held.)
struct CleanedCopyHold {
  int descriptor = -1;
};

// Holds "list.tmp", which the caller has open as the copy whose state is `copyState`. False when
// the name holds another file by now.
bool holdCleanedCopy(const ListFileState& copyState, CleanedCopyHold& hold);
void releaseCleanedCopy(CleanedCopyHold& hold);

// The list file's directory may be synced only later, by settleReplacements: until then a
// power loss may undo the replacement (the old list file comes back whole, and the records of
// its dropped entries are then in the log twice: nothing is lost).
Replacement replaceListFile(const HeldDirectory& directory,
                            const std::string& leaf,
                            const std::string& path,
                            const ListFileState& listState,
                            const ListFileState& copyState,
                            const CleanedCopyHold& hold,
                            std::string& reason);

// A replacement done whose directory could not be made durable.
struct UnsettledReplacement {
  std::string path;
  std::string reason;
};

// Makes the replacements done so far durable: on POSIX each file system that received one is
// synced once (its directories' renames with it); on Windows the move is as durable as the file
// system makes it. Returns those that could not be made durable.
std::vector<UnsettledReplacement> settleReplacements();

// True when something is at `name` in the run's directory (without following a link).
bool runFileExists(std::string_view name);

// Makes the run's directory's entries durable (a new log's name). True when done, or when the
// platform's file systems keep names durable on their own; false with the reason otherwise.
bool syncRunDirectory(std::string& reason);
