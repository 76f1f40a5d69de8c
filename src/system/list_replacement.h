// The system's side of a list file's replacement, one file per platform
// (list_replacement_posix.cpp, list_replacement_windows.cpp). The list's directory is resolved
// once, beneath the run's directory and never through a symbolic link (or, on Windows, a reparse
// point), and every later look at the list goes through what was opened then, never through its
// path again: another user who can write a directory on the way cannot redirect the run.
//
// On POSIX the replacements are made in batches: a cleaned copy is staged beside its list and
// the run goes on; when the batch closes, the staged copies and the log are made durable with
// one sync per file system, each list is looked at once more and replaced, and the renames are
// made durable at the end of the pass (syncReplacements). On Windows each list is replaced at
// once, through handles: its batch is always empty.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "system/file_state.h"
#include "system/file_stream.h"
#include "system/held_directory.h"

constexpr std::string_view CleanedCopyName = "list.tmp";

// How a replacement that was tried ended.
enum class ListOutcome {
  Staged,  // POSIX: the copy waits beside the list for its batch to close
  Replaced,
  ReplacedNotDurable,  // replaced, but a power loss may undo it; the reason says why
  Changed,             // not replaced: the list file or the copy changed since they were opened
  Failed,              // not replaced, for the reason given when the platform can tell
};

// What the run knows of a list file on disk, from its path to its replacement (the cleaning run
// keeps it as a ListFile, which closes what it opened).
struct ListOnDisk {
  // `listedPath` must outlive the value: the file list's line it was read into.
  ListOnDisk(const std::string& listedPath, std::string_view listName)
      : path(listedPath), name(listName) {}
  ListOnDisk(std::string&&, std::string_view) = delete;
  ListOnDisk(const ListOnDisk&) = delete;
  ListOnDisk& operator=(const ListOnDisk&) = delete;

  const std::string& path;  // as the file list gave it
  std::string_view name;    // the name every list file of the pass has: "blacklist.txt", ...
  HeldDirectory directory;
  std::string leaf;          // its name in `directory`
  FileState state;           // as opened; checked again before it is replaced
  bool stateKnown = false;   // the open learnt `state` (a regular file)
  FileState copyState;       // the cleaned copy as created: the file moved into place must be it
  bool copyMade = false;     // "list.tmp" was created and is open
  bool copyRemoved = false;  // ... and has been removed or moved into place since
  // The list's and the copy's descriptors (Windows: handles) while they are open, -1 otherwise:
  // every look at them after their open goes through these.
  FileHandle listHandle = -1;
  FileHandle copyHandle = -1;
};

// Resolves the directory of `listedPath`, a full path the directory search listed below the
// current directory, and holds it. True with `directory` held and `leaf` set to the last
// component; false with a console text in `reason` (for example "its path leads through a
// symbolic link") when the path no longer resolves that way or is not below the current
// directory, or (Windows) when it holds a "?", the file search's mark of a character the
// program's byte form lacks ("its name holds characters outside the system's ANSI code page").
bool holdListDirectory(std::string_view listedPath,
                       HeldDirectory& directory,
                       std::string& leaf,
                       std::string& reason);

// Releases what holdListDirectory held; the record is then the current directory again.
void releaseDirectory(HeldDirectory& directory);

// True when `leaf` names a list file called `name`: byte for byte on POSIX; on Windows without
// regard to ASCII letter case, as its file systems match names.
bool isListFileName(std::string_view leaf, std::string_view name);

// True when a cleaned copy waits for its batch before it replaces its list (POSIX): the copy and
// the log need not be made durable list by list. False when stageListFile replaces the list at
// once (Windows), for which the caller makes the copy's content and the log durable first.
bool replacementsWaitForBatch();

// The lists staged and not yet replaced, and the bytes of their copies.
std::size_t stagedListCount();
std::int64_t stagedBytes();

// True when the batch should close before another list is staged: it holds as many lists or
// bytes as a batch may, or its first list was staged about a second ago.
bool batchIsFull();

// Makes the staged copies durable: one sync per file system that holds one. False with the
// reason when a sync failed (no list of the batch may then be replaced).
bool syncStagedCopies(std::string& reason);

// How closing the batch ended for one of its lists, when not simply replaced.
struct BatchedOutcome {
  std::string path;
  ListOutcome outcome;
  std::string reason;
};

// Closes the batch: each staged list is looked at once more and replaced by its copy, or, when
// `refusal` is given, none is and `refusal` is each one's reason. Copies that do not replace
// their list are removed. Returns the lists that were not simply replaced.
std::vector<BatchedOutcome> replaceStagedLists(const char* refusal);

// True when the list file, at its name in its directory, still is the file that was opened and
// holds what it held then (its state as opened).
bool listFileUnchanged(const ListOnDisk& list);

// For a list that needs no copy: removes a staged copy that an interrupted run left beside it,
// at a cost that does not depend on what else its directory holds (a list that is replaced
// finds it when its own copy is staged). Nothing to do on Windows.
void removeStagedLeftover(const ListOnDisk& list);

// A replacement done whose directory could not be made durable.
struct UndurableReplacement {
  std::string path;
  std::string reason;
};

// Makes the replacements done so far durable: on POSIX each file system that received one is
// synced once (its directories' renames with it); on Windows the move is as durable as the file
// system makes it. Returns those that could not be made durable.
std::vector<UndurableReplacement> syncReplacements();

// True when something is at `name` in the run's directory (without following a link).
bool runFileExists(std::string_view name);

// Makes the run's directory's entries durable (a new log's name). True when done, or when the
// platform's file systems keep names durable on their own; false with the reason otherwise.
bool syncRunDirectory(std::string& reason);

// Takes the first step of replacing the list file by its cleaned copy "list.tmp" (see
// stageListFile, list_file.h, which calls it): POSIX, with the list and the copy still open;
// Windows, with both closed.
ListOutcome stageListCopy(ListOnDisk& list, std::string& reason);

// Removes "list.tmp" when it still is the list's cleaned copy (closed first on Windows).
void removeCleanedCopy(ListOnDisk& list);
