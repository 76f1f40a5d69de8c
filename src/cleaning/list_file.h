// A list file on disk while the run cleans it: one value from the path the file list gave to its
// replacement. Its directory is resolved once, beneath the run's directory and never through a
// symbolic link (or, on Windows, a reparse point); the list is opened there, read on its channel,
// and every later look at it goes through what was opened then, never through its path again:
// another user who can write a directory on the way cannot redirect the run elsewhere.
//
// The cleaned copy "list.tmp" is made in the run's directory only when the list's first
// difference appears (a dropped entry, or a line that does not end in CR LF); a list that needs
// nothing is opened, read and closed. A copy replaces its list in the list's directory.
//
// On POSIX the replacements are made in batches: a cleaned copy is staged beside its list and
// the run goes on; when the batch closes, the staged copies and the log are made durable with
// one sync per file system, each list is looked at once more and replaced, and the renames are
// made durable at the end of the pass (syncReplacements). On Windows each list is replaced at
// once: its batch is always empty.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channel.h"
#include "system/file_state.h"
#include "system/held_directory.h"

// The channels a list file is read from and its cleaned copy written to.
constexpr ChannelNumber ListFileChannel = 2;
constexpr ChannelNumber CleanedCopyChannel = 3;

constexpr std::string_view CleanedCopyName = "list.tmp";

// How a replacement that was tried ended.
enum class ListOutcome {
  Staged,  // POSIX: the copy waits beside the list for its batch to close
  Replaced,
  ReplacedNotDurable,  // replaced, but a power loss may undo it; the reason says why
  Changed,             // not replaced: the list file or the copy changed since they were opened
  Failed,              // not replaced, for the reason given when the platform can tell
};

struct ListFile {
  // `listedPath` must outlive the value: the file list's line it was read into.
  ListFile(const Text& listedPath, std::string_view listName) : path(listedPath), name(listName) {}
  ListFile(Text&&, std::string_view) = delete;
  // Closes the list file and its copy (a copy not moved into place is removed first) and
  // releases the directory.
  ~ListFile();
  ListFile(const ListFile&) = delete;
  ListFile& operator=(const ListFile&) = delete;

  const Text& path;       // as the file list gave it
  std::string_view name;  // the name every list file of the pass has: "blacklist.txt", ...
  HeldDirectory directory;
  std::string leaf;          // its name in `directory`
  FileState state;           // as opened; checked again before it is replaced
  bool stateKnown = false;   // the open learnt `state` (a regular file)
  FileState copyState;       // the cleaned copy as created: the file moved into place must be it
  bool copyMade = false;     // "list.tmp" was created and is open on CleanedCopyChannel
  bool copyRemoved = false;  // ... and has been removed or moved into place since
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

// Resolves and holds the list file's directory, checks its name and opens it on
// ListFileChannel. True when it is open; otherwise false with a console text in `why` ("its
// path leads through a symbolic link", "cannot open the file") and nothing left open.
bool openListFile(ListFile& list, std::string& why);

// Where the next byte of the list file is read from.
std::int64_t listFilePosition();

// True when the list file, as opened, ends in CR LF (or is empty): read through its channel.
bool listFileEndsWithCrLf(const ListFile& list);

// Creates the cleaned copy on CleanedCopyChannel once the list's first `prefix` bytes are known
// to be kept as they are, and writes them there: from `buffered` when the caller holds them
// there, else read again from the list's channel. False with a console text in `why` (the copy
// then removed).
bool startCleanedCopy(ListFile& list, std::int64_t prefix, const char* buffered, std::string& why);

// True when a read of the list file failed or met a line too long to hold.
bool listFileReadFailed();

// True when a cleaned copy waits for its batch before it replaces its list (POSIX): the copy and
// the log need not be made durable list by list. False when stageListFile replaces the list at
// once (Windows), for which the caller makes the copy's content and the log durable first.
bool replacementsWaitForBatch();

// Takes the first step of replacing the list file by its cleaned copy, provided the list still
// is the file that was read and the copy the file that was written. POSIX: the copy is moved
// beside the list and given its access (Staged), and it replaces the list when the batch closes;
// the ListFile then no longer holds the list's directory. Windows: the replacement itself. A copy
// that will not be moved into place is removed. The replacement's directory may be made durable
// only by syncReplacements: until then a power loss may undo it (the old list comes back whole,
// and the records of its dropped entries are then in the log twice: nothing is lost).
ListOutcome stageListFile(ListFile& list, std::string& reason);

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
bool listFileUnchanged(const ListFile& list);

// For a list that needs no copy: removes a staged copy that an interrupted run left beside it,
// at a cost that does not depend on what else its directory holds (a list that is replaced
// finds it when its own copy is staged). Nothing to do on Windows.
void removeStagedLeftover(const ListFile& list);

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
