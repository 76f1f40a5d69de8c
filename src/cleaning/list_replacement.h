// A list file's whole life in the run, one state machine for every platform:
//
//   Located   its directory held beneath the run's directory, its name checked
//   Read      open on its read channel, its state as opened known
//   Copying   its cleaned copy made beside it at the first difference, on its copy channel
//   Staged    read whole, the copy complete, given the list's access, waiting for its batch
//   Committed the batch made copies and log durable and exchanged each copy with its list
//   Settled   the directory synced, everything closed and given back
//
// A list that needs no change goes from Read to Settled. Every decision (what counts as
// changed, when a batch closes, whose leftover may go) and every console sentence about a
// replacement is made here; the system's side is list_seam.h, a few primitives that return codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "channels/channel.h"
#include "system/list_seam.h"

// The channels the committing thread reads a list file from and writes its cleaned copy to; a
// worker has a pair of its own (workerChannels).
constexpr ChannelNumber ListFileChannel = 2;
constexpr ChannelNumber CleanedCopyChannel = 3;

// The read and copy channels of worker `worker` (0, 1, ...): two for each, above the run's own.
constexpr ChannelNumber workerReadChannel(std::size_t worker) {
  return static_cast<ChannelNumber>(10 + 2 * worker);
}

enum class ListStage : std::uint8_t {
  Located,
  Read,
  Copying,
  Staged,
  Committed,
  Settled
};

// One list file, from the path the file list gave to its settling. It owns its directory, its
// channels while it is read, and its staged copy's handle; what it holds goes with it.
struct ListFile {
  ListFile(const Text& listedPath, std::string_view listName);
  ListFile(ListFile&& other) noexcept;
  ListFile& operator=(ListFile&&) = delete;
  ~ListFile();

  Text path;              // as the file list gave it
  std::string_view name;  // the name every list file of the pass has: "blacklist.txt", ...
  bool preview = false;   // a preview's: only read, nothing made or removed beside it
  ChannelNumber readChannel = ListFileChannel;
  ChannelNumber copyChannel = CleanedCopyChannel;
  // Read by a worker, which never commits a batch: where a batch would have to be committed to
  // go on (no descriptors left), the list is handed back to the committing thread instead.
  bool onWorker = false;
  bool handBack = false;
  ListStage stage = ListStage::Located;
  HeldDirectory directory;
  std::string leaf;         // its name in `directory`
  FileState state;          // as opened
  bool stateKnown = false;  // a regular file whose state the open learnt
  std::string copyName;     // the staged copy's name beside it
  FileState copyState;      // the copy as created: its identity
  FileHandle copy = -1;     // the copy's handle once its channel closed (Staged, Committed)
  FileHandle held = -1;     // the list's, kept while it is staged where the system allows
  std::int64_t copyBytes = 0;
  std::string failure;  // why the copy could not be made; the reading then stops
  std::string problem;  // why the reading or the copy's writing failed (endReading)
  SeamCode access;      // giving the copy the list's access (endReading)
};

// Locates and opens the list file. True when it is Read; otherwise false with the console's
// words in `why` and nothing left open. A preview looks at the staged name now (a live run's copy
// there leaves the list to that run); a run meets a stopped run's leftover when it makes the copy
// or settles the list, and removes it.
bool openListFile(ListFile& list, std::string& why);

// Where the next byte of the list file is read from.
std::int64_t listFilePosition(const ListFile& list);

// True when the list file, as opened, ends in CR LF (or is empty).
bool listFileEndsWithCrLf(const ListFile& list);

// Makes the cleaned copy beside the list (never a preview's) once its first `prefix` bytes are
// known to be kept as they are, and writes them there: from `buffered` when the caller holds them,
// else read again from the list. False with the reason in `list.failure`.
bool startCleanedCopy(ListFile& list, std::int64_t prefix, const char* buffered);

// Once the list file is read to its end (on whichever thread read it): notes what failed in
// `list.problem`, closes its channels, and stages a complete copy (Staged: given the list's
// access, its handle and the list's kept); a list that needs no copy looks at its staged name
// for a leftover. A copy that failed goes.
void endReading(ListFile& list);

// After endReading, on the committing thread: the reason the list stays as it is (a read that
// failed, a copy not written, a log that failed, a list that changed), or empty. `logFailure`:
// why the run's log failed, null while it has not.
std::string verdictOn(const ListFile& list, const char* logFailure);

// Ends a list that was read: one that needs no change, or one whose `verdict` keeps it, is
// settled; the console line is ended ("not cleaned: ..." after the marks when it stays). A
// staged list joins the batch.
void settleOrStage(ListFile&& list, const std::string& verdict, bool marksPrinted);

// Lists held open outside the batch (read ahead by workers): the batch holds fewer, so that
// every list's descriptors fit under the limit on open files. Returns how many it may be: up to
// `wanted`, as far as the limit leaves room.
std::size_t reserveListsAside(std::size_t wanted);

// True when the batch should be committed before another list is read: it holds as many lists
// or bytes as a batch may, or its first list was staged about a second ago.
bool batchIsFull();

// Commits the batch: the copies reach the disk, the log is asked whether its records did
// (logReadyForCommit), and each list is looked at once more and exchanged with its copy, both
// sides checked; then each directory that took a replacement is synced. Lists not replaced say so.
void commitBatch();

// Defined by the run, which owns the log: empty when the log's records are durable and in place,
// otherwise why no list of the batch may be replaced.
std::string logReadyForCommit();
