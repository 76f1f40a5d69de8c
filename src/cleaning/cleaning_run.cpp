// The cleaning run: two passes, blacklists then whitelists. Each list file is read on channel 2,
// its good entries go to its cleaned copy on channel 3, every dropped entry is marked "#" on the
// console and recorded in "chklist.log" on channel 9, and the copy then replaces the list file
// when its batch commits (list_replacement.h). A list file is replaced only when all of that
// succeeded; otherwise it stays as it was and its console line says why. A preview takes the same
// path but only reads: its records go to standard output and no copy is made.
#include "cleaning/cleaning_run.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include "channels/channel.h"
#include "channels/file_device.h"
#include "channels/line_block.h"
#include "channels/line_reader.h"
#include "cleaning/entry_check.h"
#include "cleaning/list_replacement.h"
#include "commands/file_search.h"
#include "commands/run_command.h"
#include "console/console_writer.h"
#include "console/terminal_text.h"
#include "print/print.h"
#include "system/interruption.h"
#include "system/refusal_reason.h"
#include "system/run_lock.h"
#include "system/system_error.h"
#include "system/worker_pool.h"

namespace {

constexpr ChannelNumber FileListChannel = 1;

constexpr std::string_view RejectionLogName = "chklist.log";

constexpr int RunLockRetryMilliseconds = 200;

struct ListKindTexts {
  std::string_view fileList;
  std::string_view listName;
};

ListKindTexts textsOf(ListKind kind) {
  if (kind == ListKind::Blacklist) return {"blist.dir", "blacklist.txt"};
  return {"wlist.dir", "whitelist.txt"};
}

RunMode runMode = RunMode::Clean;
bool previewing() { return runMode == RunMode::Preview; }

// Whether the banners and the lists' "Checking" lines and marks are shown: always in a run; in a
// preview, which writes them to standard error, only when a person watches it there.
bool progressShown = true;

void sayProgress(std::string_view text, PrintMask mask) {
  if (progressShown) printText(ConsoleChannel, text, mask);
}

// Set once a write, flush or sync of the log has failed: a record may be lost, so no list file
// is replaced for the rest of the run, even when later writes of the log succeed.
bool logFailed = false;
// Set with logFailed when chklist.log could not be opened anew as the run's own file (it has a
// second name now, say): why, for the lines of the lists left.
std::string logRefusal;

// The reason a list stays as it is once logFailed is set.
const char* logFailure() {
  static std::string text;
  text = previewing() ? "cannot write standard output" : "cannot write chklist.log";
  if (!logRefusal.empty()) text += ": " + logRefusal;
  return text.c_str();
}

// Ends the current console line with the reason its list file was left as it was.
void sayNotCleaned(bool marksPrinted, std::string_view reason) {
  Text line = marksPrinted ? " not cleaned: " : "not cleaned: ";
  line += reason;
  printText(ConsoleChannel, line, PrintMask::NewLine);
}

// The whole console line of a list file left alone before any of it was read.
void sayNotChecked(const Text& checking, std::string_view reason) {
  printText(ConsoleChannel, checking, PrintMask::None);
  sayNotCleaned(false, reason);
}

// Marks for the dropped entries of a block, printed at once: the same bytes as one by one.
constexpr auto RejectionMarks = [] {
  std::array<char, LineBlockLines> marks{};
  for (char& mark : marks) mark = '#';
  return marks;
}();

// Prints `count` marks for dropped entries on the console.
void printMarks(std::size_t count) {
  for (std::size_t part; count > 0; count -= part) {
    part = std::min(count, RejectionMarks.size());
    sayProgress(std::string_view(RejectionMarks.data(), part), PrintMask::None);
  }
}

// One list file while its entries are read: the file, whether its cleaned copy has been started,
// and how many entries were dropped. Until the first line that is dropped or does not end in
// CR LF, the copy would be the file byte for byte, and none is made. The dropped entries go to
// `records` (the log) and their marks to the console on the committing thread; a worker keeps
// them in `kept` until the list's turn comes.
struct Reading {
  ListFile& list;
  RejectionRecords* records = nullptr;
  KeptEntries* kept = nullptr;
  bool copying = false;
  std::int64_t marks = 0;
};

// The dropped entries of a block, numbered in `dropped`.
void dropLines(Reading& reading,
               const LineBlock& block,
               const std::uint16_t* dropped,
               std::size_t count) {
  if (reading.records != nullptr) {
    reading.records->writeLines(block, dropped, count);
    printMarks(count);
  } else {
    for (std::size_t line = 0; line < count; ++line) reading.kept->add(block.line(dropped[line]));
  }
  reading.marks += static_cast<std::int64_t>(count);
}

void dropEntry(Reading& reading, std::string_view entry) {
  if (reading.records != nullptr) {
    printMarks(1);
    reading.records->write(entry);
  } else {
    reading.kept->add(entry);
  }
  ++reading.marks;
}

// A worker reads only lists this small (one read of a stream's buffer); the committing thread
// reads the larger ones, so that their marks appear as they are read.
constexpr std::int64_t WorkerListBytes = std::int64_t{StreamBufferSize};

// Starts the cleaned copy at the line that begins at `lineStart`: every byte before it is kept
// as it is. `buffered` holds the file's bytes from its start when the caller has them.
// A preview makes none: the copy's channel stays closed, and what is printed to it goes nowhere.
[[gnu::noinline]] bool startCopy(Reading& reading, std::int64_t lineStart, const char* buffered) {
  reading.copying = reading.list.preview || startCleanedCopy(reading.list, lineStart, buffered);
  return reading.copying;
}

// True when the line just read by readLineInto from `lineStart` into `entry` is kept as it is
// in the file: a good entry that ended in CR LF. Only the last line can end without an LF.
bool keptAsItIs(const Reading& reading, const Text& entry, std::int64_t lineStart) {
  const std::int64_t end = listFilePosition(reading.list);
  if (end - lineStart != static_cast<std::int64_t>(entry.size()) + 2 || !isGoodEntry(entry)) {
    return false;
  }
  return end < reading.list.state.size || listFileEndsWithCrLf(reading.list);
}

// Reads the list file's entries to its end into `entry`: the good ones go to the cleaned copy,
// the others are marked on the console and logged. The lines that lie whole in the list file's
// buffer are taken a block at a time, the kept ones printed a run at a time; any other line is
// read on its own. Every operation of the loop is compiled into it: it runs for every line of
// every list file.
[[gnu::flatten]] void copyGoodEntries(Reading& reading, Text& entry) {
  ListFile& list = reading.list;
  LineBlock block;
  std::uint16_t dropped[LineBlockLines];
  static_assert(LineBlockLines <= UINT16_MAX + 1, "a line of a block is numbered in 16 bits");
  while (channelAtEnd(list.readChannel) == 0 && !runInterrupted()) {
    // A list that grew past a worker's size while it was read goes to the committing thread.
    if (list.onWorker && listFilePosition(list) > WorkerListBytes) {
      list.handBack = true;
      return;
    }
    if (takeBufferedLines(list.readChannel, block, EntryMarker)) {
      std::size_t line = 0;
      if (!reading.copying) {
        while (line < block.count && block.endsInCrLf(line) && isGoodEntry(block, line)) ++line;
        if (line == block.count) continue;
        const std::int64_t lineStart =
            block.offset + static_cast<std::int64_t>(block.startOf(line));
        if (!startCopy(reading, lineStart, block.offset == 0 ? block.bytes : nullptr)) return;
      }
      // The kept lines go to the copy in one pass, then the dropped ones to the log in order.
      const std::size_t marks =
          printMarkedLines(list.copyChannel, block, line, ShortestGoodEntry, dropped);
      if (marks > 0) dropLines(reading, block, dropped, marks);
      // Lists staged before a long one wait no longer than a batch may.
      if (!list.onWorker && batchIsFull()) commitBatch();
      continue;
    }
    const std::int64_t lineStart = listFilePosition(list);
    if (readLineInto(list.readChannel, entry) != StatusCode::Ok) break;
    if (!reading.copying) {
      if (keptAsItIs(reading, entry, lineStart)) continue;
      if (!startCopy(reading, lineStart, nullptr)) return;
    }
    if (isGoodEntry(entry)) {
      printText(list.copyChannel, entry, PrintMask::NewLine);
    } else {
      dropEntry(reading, entry);
    }
  }
}

// Opens one of the run's own files (the log, a file list) on `channel`: only a regular file of
// this user alone will do. Empty when it is open; otherwise the reason, and the channel closed.
// `opened`, when given, is set to the state of the file the open found (all zeros when none).
std::string openOwnFile(std::string_view name,
                        OpenMode mode,
                        ChannelNumber channel,
                        FileState* opened = nullptr) {
  const bool isOpen = openChannel(Text(name), mode, 0, 0, channel, 0) == StatusCode::Ok;
  const int openError = isOpen ? 0 : lastSystemError();
  if (opened != nullptr && !(isOpen && fileStateAtOpen(fileChannelOf(channel), opened))) {
    *opened = FileState{};
  }
  if (isOpen && fileOwnedAlone(fileChannelOf(channel))) return {};
  closeChannel(channel);
  return refusalReason(name, openError);
}

// Makes a log just created reach the disk by name before any list is replaced: a power loss
// could otherwise keep the cleaned lists and lose the log with the records of what they dropped.
void syncNewLogName() {
  if (const SeamCode synced = syncDirectory(HeldDirectory{}); !synced.ok()) {
    printText(ConsoleChannel,
              "chklist.log is new, but a power loss may lose it: " +
                  failureText("cannot flush the run's directory", synced.system),
              PrintMask::NewLine);
  }
}

// Opens chklist.log anew, with every check of the first open, when the log the run writes no
// longer is that name's only file (renamed or removed: rotation; or given a second name).
// Empty when the log is (again) in place; otherwise the reason, and the log closed. `sameFile`,
// when given, tells whether the name still held the file the run wrote.
std::string reopenLogIfMoved(bool* sameFile = nullptr) {
  FileChannel* log = fileChannelOf(RejectionLogChannel);
  if (sameFile != nullptr) *sameFile = false;
  if (fileStillNamed(log, Text(RejectionLogName))) return {};
  FileState written;
  const bool writtenKnown = fileStateAtOpen(log, &written);
  closeChannel(RejectionLogChannel);
  NameLook look;
  const bool created =
      lookAt(HeldDirectory{}, std::string(RejectionLogName), look).error == SeamError::Missing;
  FileState found;
  std::string why = openOwnFile(RejectionLogName, OpenMode::Append, RejectionLogChannel, &found);
  if (sameFile != nullptr) {
    *sameFile = writtenKnown && found.fileIndex != 0 && found.device == written.device &&
                found.fileIndex == written.fileIndex;
  }
  if (!why.empty()) return why;
  beginAppending(fileChannelOf(RejectionLogChannel));
  if (created) syncNewLogName();
  return why;
}

// The run's own file that a list file is (another name of it: a hard link made into the tree),
// if any: read as a list, the run would feed on its own records or paths.
const char* ownFileNamed(const FileState& list) {
  struct OwnFile {
    ChannelNumber channel;
    const char* name;
  };
  const OwnFile ownFiles[] = {
      {RejectionLogChannel, previewing() ? "standard output" : "chklist.log"},
      {FileListChannel, "file list"}};
  for (const OwnFile& own : ownFiles) {
    FileState state;
    if (fileStateAtOpen(fileChannelOf(own.channel), &state) && state.device == list.device &&
        state.fileIndex == list.fileIndex) {
      return own.name;
    }
  }
  return nullptr;
}

// Records that went to a log renamed or removed meanwhile are not in chklist.log: the lists they
// belong to stay, and the next records go to chklist.log as it is now (opened anew). A log that
// kept its name but is no longer the run's own file (a second name was given to it) takes no
// more records. Null when the log is still chklist.log as opened; otherwise why the lists stay.
const char* logMovedReason() {
  if (fileStillNamed(fileChannelOf(RejectionLogChannel), Text(RejectionLogName))) return nullptr;
  bool sameFile = false;
  const std::string why = reopenLogIfMoved(&sameFile);
  if (!why.empty()) {
    logFailed = true;
    logRefusal = why;
  }
  if (!sameFile) return "chklist.log was moved or removed while its records were written";
  if (why.empty()) return nullptr;  // its own file again: the records are in it
  static std::string text;
  text = "chklist.log is no longer this run's own file: " + why;
  return text.c_str();
}

}  // namespace

std::string logReadyForCommit() {
  // The log's bytes reach its file and the disk before any list of the batch is replaced.
  if (flushChannel(RejectionLogChannel) != StatusCode::Ok ||
      syncFile(fileChannelOf(RejectionLogChannel)) != StatusCode::Ok) {
    logFailed = true;
  }
  if (logFailed) return logFailure();
  if (const char* moved = logMovedReason()) return moved;
  if (fileCutShort(fileChannelOf(RejectionLogChannel))) {
    return "chklist.log was cut short while its records were written";
  }
  return {};
}

namespace {

// The console's opening of a list file's line.
Text checkingLine(const Text& path) { return "Checking " + path + " "; }

// Says the list file is not checked when it is one of the run's own files. True then.
bool isOwnFile(const ListFile& list, const Text& checking) {
  const char* own = list.stateKnown ? ownFileNamed(list.state) : nullptr;
  if (own != nullptr) sayNotChecked(checking, "it is this run's own " + Text(own));
  return own != nullptr;
}

// Ends a list file read whole (endReading) with `marks` entries dropped: its verdict, its console
// line, and its copy staged for the batch when nothing failed.
void finishListFile(ListFile&& list, const Text& checking, std::int64_t marks) {
  // A record of this list (or of an earlier one) that could not be written: a flush has failed.
  if (fileFailed(fileChannelOf(RejectionLogChannel))) logFailed = true;
  const std::string verdict = verdictOn(list, logFailed ? logFailure() : nullptr);
  if (!progressShown) {
    // A preview whose progress is not shown: a list a run would leave gets its whole line.
    if (!verdict.empty()) {
      printText(ConsoleChannel, checking + Text(static_cast<std::size_t>(marks), '#'),
                PrintMask::None);
      sayNotCleaned(marks > 0, verdict);
    }
    return;
  }
  settleOrStage(std::move(list), verdict, marks > 0);
}

// Cleans one list file on the committing thread: reads it, writes the good entries to the
// cleaned copy, marks and logs the others, and stages the copy for its batch when nothing
// failed.
void cleanListFile(const Text& path, std::string_view listName, Text& entry) {
  const Text checking = checkingLine(path);
  ListFile list(path, listName);
  list.preview = previewing();
  if (std::string why; !openListFile(list, why)) {
    sayNotChecked(checking, why);
    return;
  }
  if (isOwnFile(list, checking)) return;
  sayProgress(checking, PrintMask::None);
  RejectionRecords records(list.path);
  Reading reading{list, &records};
  copyGoodEntries(reading, entry);
  endReading(list);
  finishListFile(std::move(list), checking, reading.marks);
}

// A list file read ahead by a worker, waiting for its turn: read whole and staged (`list`), not
// checked (`refusal`), or handed back to the committing thread.
struct ReadAhead {
  Text path;
  std::optional<ListFile> list;
  std::string refusal;
  bool handBack = false;
  KeptEntries kept;

  void clear() {
    list.reset();
    refusal.clear();
    handBack = false;
    kept = KeptEntries{};
  }
};

// The run's own files as a pass begins: a worker hands a list that is one of them back, and the
// committing thread says so.
struct OwnFiles {
  FileState states[2];
  bool holds(const FileState& list) const {
    return std::any_of(std::begin(states), std::end(states), [&](const FileState& own) {
      return own.fileIndex != 0 && own.device == list.device && own.fileIndex == list.fileIndex;
    });
  }
};

OwnFiles ownFilesNow() {
  OwnFiles own;
  const ChannelNumber channels[] = {RejectionLogChannel, FileListChannel};
  for (std::size_t i = 0; i < 2; ++i) {
    if (!fileStateAtOpen(fileChannelOf(channels[i]), &own.states[i])) own.states[i] = FileState{};
  }
  return own;
}

// A worker's part: opens and reads a small list file on the worker's channels, writes its copy
// and stages it; everything said of it waits for the committing thread.
void readListAhead(ReadAhead& ahead,
                   std::size_t worker,
                   std::string_view listName,
                   const OwnFiles& own) {
  thread_local Text entry;
  ListFile list(ahead.path, listName);
  list.preview = previewing();
  list.onWorker = true;
  list.readChannel = workerReadChannel(worker);
  list.copyChannel = list.readChannel + 1;
  if (!openListFile(list, ahead.refusal)) {
    if (list.handBack) ahead.refusal.clear();
    ahead.handBack = list.handBack;
    return;
  }
  if (!list.stateKnown || list.state.size > WorkerListBytes || own.holds(list.state)) {
    ahead.handBack = true;
    return;
  }
  Reading reading{list, nullptr, &ahead.kept};
  copyGoodEntries(reading, entry);
  if (list.handBack) {
    ahead.handBack = true;
    ahead.kept = KeptEntries{};
    return;
  }
  endReading(list);
  ahead.list.emplace(std::move(list));
}

// The committing thread's part of a list file a worker read: its line, its marks and records,
// its verdict, its copy staged.
void commitReadAhead(ReadAhead& ahead) {
  const Text checking = checkingLine(ahead.path);
  if (!ahead.list) {
    sayNotChecked(checking, ahead.refusal);
    return;
  }
  ListFile& list = *ahead.list;
  if (isOwnFile(list, checking)) return;
  sayProgress(checking, PrintMask::None);
  if (ahead.kept.size() > 0) {
    RejectionRecords records(list.path);
    records.writeKept(ahead.kept);
    printMarks(ahead.kept.size());
  }
  finishListFile(std::move(list), checking, static_cast<std::int64_t>(ahead.kept.size()));
}

// Lists read ahead in one run by one thread.
constexpr std::size_t ChunkLists = 8;

// How many workers read list files ahead: the machine's threads beside the committing one.
std::size_t listWorkers() {
#ifdef CHKLIST_WORKERS
  return CHKLIST_WORKERS;
#else
  return machineThreads() - 1;
#endif
}

// Searches for the list files named `texts.listName`, writing their paths to `fileList`. False
// when there is no file list to read: nothing found (the file list is removed then) or the search
// failed (said on the console). Only a file list this run's own search wrote is read: a stale or
// planted one could name any file.
bool searchListFiles(const ListKindTexts& texts, const Text& fileList) {
  sayProgress("Generating file list... Please wait...", PrintMask::NewLine);
  if (runFileSearch(texts.listName, fileList) == 0) return true;
  if (!searchFoundNothing(fileList)) {
    const std::string heldBy = nameOwnerText(texts.fileList);
    printText(ConsoleChannel,
              searchFailure(fileList) + heldBy + (heldBy.empty() ? ": no " : "; no ") +
                  Text(texts.listName) + " is checked",
              PrintMask::NewLine);
    return false;
  }
  removeOwnFile(texts.fileList);
  return false;
}

// Holds the run lock, waiting while another run in this directory has it. False when the lock
// could not even be tried (said on the console, ending with `unchanged`: what the run leaves
// alone) or the run was interrupted while it waited.
bool lockRun(std::string_view unchanged) {
  std::string why;
  FileStream* log = fileStream(fileChannelOf(RejectionLogChannel));
  RunLock state = tryLockRun(log, why);
  if (state == RunLock::Busy) {
    printText(ConsoleChannel, "Waiting for another chklist run in this directory to finish...",
              PrintMask::NewLine);
    if (const std::string holder = runLockOwner(); !holder.empty()) {
      printText(ConsoleChannel, "chklist.lock is held by " + holder, PrintMask::NewLine);
    }
    // Seen before the wait, wherever the output goes.
    consoleFlush();
    while ((state = tryLockRun(log, why)) == RunLock::Busy && !runInterrupted()) {
      waitMilliseconds(RunLockRetryMilliseconds);
    }
  }
  if (state == RunLock::Failed) {
    printText(ConsoleChannel,
              "Cannot lock this directory against another chklist run: " +
                  (why.empty() ? Text() : Text(why) + "; ") + Text(unchanged),
              PrintMask::NewLine);
    return false;
  }
  // Held, or the file system has no locks to offer; or the run was interrupted while waiting.
  return state != RunLock::Busy;
}

constexpr std::string_view NothingChanged = "no list file is changed";

// Set when the lock, lost meanwhile, could not be had again: the run changes nothing more.
bool lockGivenUp = false;

// A lock file that lost its name (removed or replaced by hand) keeps no other run out: before
// each pass and each list, the run makes sure the name still holds what it locked, and
// otherwise says so (once a run) and takes the lock anew, waiting for a run that took it
// meanwhile. False when the lock could not be had again (said; the run then stops) or the run
// was interrupted while waiting. `unchanged` says what is then left alone.
bool lockStillHeld(std::string_view unchanged) {
  if (runLockStillNamed()) return true;
  static bool said = false;
  if (!said) {
    printText(ConsoleChannel,
              "chklist.lock was removed or replaced while this run held it: taking the lock again",
              PrintMask::NewLine);
    said = true;
  }
  releaseRunLock();
  if (lockRun(unchanged)) return true;
  if (!runInterrupted()) lockGivenUp = true;
  return false;
}

// Opens the log for the run. The log is never reached through a link, and only a regular file
// of this user alone will do: records written into another file (a shell profile), into the
// null device or into a file another user can read, empty or remove would be lost or misused.
// False when it cannot be had (said on the console).
bool logIsNew = false;

bool openLog() {
  NameLook look;
  logIsNew =
      lookAt(HeldDirectory{}, std::string(RejectionLogName), look).error == SeamError::Missing;
  if (const std::string why = openOwnFile(RejectionLogName, OpenMode::Append, RejectionLogChannel);
      !why.empty()) {
    // Without the log a dropped entry would leave no trace: change nothing, and say why.
    printText(ConsoleChannel, "Cannot open chklist.log: " + why + "; " + Text(NothingChanged),
              PrintMask::NewLine);
    return false;
  }
  return true;
}

// Once the lock is held this run is the log's only writer: a log renamed or removed while the
// run waited for the lock is left to whoever took it, and chklist.log is opened anew. False
// when that fails (said on the console).
bool logStillInPlace() {
  const std::string why = reopenLogIfMoved();
  if (why.empty()) return true;
  printText(ConsoleChannel, "Cannot open chklist.log: " + why + "; " + Text(NothingChanged),
            PrintMask::NewLine);
  return false;
}

// Runs both passes once the log is open and the lock held; stops early when interrupted.
void cleanBothKinds() {
  // This run is the log's only writer now: a record an earlier run left cut short gets its line
  // end before the first new one.
  beginAppending(fileChannelOf(RejectionLogChannel));
  if (logIsNew) syncNewLogName();
  cleanListKind(ListKind::Blacklist);
  if (runInterrupted()) return;
  if (lockGivenUp) {
    printText(ConsoleChannel, "No whitelist.txt is checked: this run no longer holds chklist.lock",
              PrintMask::NewLine);
    return;
  }
  cleanListKind(ListKind::Whitelist);
}

}  // namespace

void cleanListKind(ListKind kind) {
  // How many lists may be read between two looks at the lock when no batch closes meanwhile.
  constexpr int LockCheckLists = 64;
  int listsSinceLockCheck = 0;
  const ListKindTexts texts = textsOf(kind);
  const Text fileList(texts.fileList);
  const Text restUnchecked = "the rest of the " + Text(texts.listName) + " files are not checked";
  const Text noneChecked = "no " + Text(texts.listName) + " is checked";
  if (!lockStillHeld(noneChecked)) return;
  if (!searchListFiles(texts, fileList)) return;
  // The search makes the file list anew, private: one that is not (another user's file, or
  // one another user can write) may hold paths nobody searched for.
  FileState opened;
  if (const std::string why =
          openOwnFile(texts.fileList, OpenMode::Input, FileListChannel, &opened);
      !why.empty()) {
    printText(ConsoleChannel,
              "Cannot read the file list " + fileList + ": " + why + "; " + noneChecked,
              PrintMask::NewLine);
    // The file list goes whatever failed: the next run's search makes it anew.
    removeOwnFile(texts.fileList);
    return;
  }
  // Nor may any other file of this user's that took its name since the search wrote it: it is
  // left as it is.
  if (!searchWrote(fileList, opened)) {
    closeChannel(FileListChannel);
    printText(ConsoleChannel,
              "Cannot read the file list " + fileList +
                  ": another file took its name after the search wrote it; " + noneChecked,
              PrintMask::NewLine);
    return;
  }
  // Workers read the next list files while this thread commits the earlier ones in the file
  // list's order: a window of paths read ahead, each list of it held open until its turn. The
  // window is taken in runs of ChunkLists lists, each read by one thread (a worker, or this one
  // when no worker has taken it yet): one hand-over a run, not one a list.
  // Two runs of the window a thread; fewer workers where descriptors are few, none below one.
  constexpr std::size_t ThreadLists = 2 * ChunkLists;
  const std::size_t room = reserveListsAside(ThreadLists * (listWorkers() + 1));
  const std::size_t threads = room / ThreadLists > 1 ? room / ThreadLists - 1 : 0;
  const std::size_t window = reserveListsAside(threads > 0 ? ThreadLists * (threads + 1) : 0);
  std::vector<ReadAhead> ahead(std::max(window, ChunkLists));
  const OwnFiles own = ownFilesNow();
  std::atomic<std::size_t> listedSoFar{0};
  WorkAhead workers(threads, ahead.size() / ChunkLists, [&](std::size_t chunk, std::size_t worker) {
    const std::size_t end = std::min((chunk + 1) * ChunkLists, listedSoFar.load());
    for (std::size_t part = chunk * ChunkLists; part < end; ++part) {
      readListAhead(ahead[part % ahead.size()], worker, texts.listName, own);
    }
  });
  std::size_t listed = 0;
  std::size_t done = 0;
  bool listEnded = false;
  bool listFailed = false;
  // Reads paths into the window as far as it has room from the run that is being committed.
  const auto readPaths = [&] {
    while (!listEnded && listed < done - done % ChunkLists + ahead.size()) {
      ReadAhead& next = ahead[listed % ahead.size()];
      if (channelAtEnd(FileListChannel) != 0 || runInterrupted()) {
        listEnded = true;
      } else if (readLineInto(FileListChannel, next.path) != StatusCode::Ok) {
        // A path cut short by a read error is never opened; an interruption is no read error.
        listEnded = true;
        listFailed = !runInterrupted();
      } else if (!next.path.empty()) {  // an empty line names no file
        ++listed;
      }
    }
    listedSoFar = listed;
    // A run is taken once its paths are all read, or the file list has ended.
    workers.allow(listEnded ? (listed + ChunkLists - 1) / ChunkLists : listed / ChunkLists);
  };
  // The committing thread's own text: each line read replaces it, and its storage serves every
  // list file it reads.
  Text entry;
  bool stopped = false;
  bool readByWorker = false;
  for (readPaths(); done < listed && !runInterrupted(); readPaths()) {
    ReadAhead& list = ahead[done % ahead.size()];
    if (done % ChunkLists == 0) readByWorker = workers.waitOrTake(done / ChunkLists);
    if (!readByWorker || list.handBack) {
      cleanListFile(list.path, texts.listName, entry);
    } else {
      commitReadAhead(list);
    }
    list.clear();
    ++done;
    // The lock is checked before a batch is closed, and every so many lists.
    const bool full = batchIsFull();
    if (full || ++listsSinceLockCheck >= LockCheckLists) {
      listsSinceLockCheck = 0;
      if (!lockStillHeld(restUnchecked)) {
        stopped = true;
        break;
      }
    }
    // Once the list file and its copy are closed: the batch's syncs need descriptors too.
    if (full) commitBatch();
  }
  if (listFailed && !stopped && done == listed && !runInterrupted()) {
    printText(ConsoleChannel, "Cannot read the file list " + fileList + ": " + restUnchecked,
              PrintMask::NewLine);
  }
  // The file list goes only while its name still holds it: another run (let in by a lock that
  // lost its name) may have made its own there since.
  const bool fileListInPlace = fileStillNamed(fileChannelOf(FileListChannel), fileList);
  closeChannel(FileListChannel);
  commitBatch();
  if (fileListInPlace) removeOwnFile(texts.fileList);
}

namespace {

// Records shown on a terminal: what it would act on as a control sequence (from an entry or a
// name) is shown as "?", as on the console. Writes all it made of up to a piece of `bytes`.
std::int64_t writeShownOnTerminal(const FileStream& stream,
                                  const char* bytes,
                                  std::size_t count,
                                  int* error) {
  static TerminalTextState state{};
  constexpr std::size_t Piece = 4096;
  char shown[Piece + TerminalTextCarry];
  const std::size_t part = std::min(count, Piece);
  const std::size_t produced = filterTerminalText(state, bytes, part, shown);
  for (std::size_t done = 0; done < produced;) {
    const std::int64_t moved =
        defaultFileTransfers().write(stream, shown + done, produced - done, error);
    if (moved == TransferInterrupted) continue;
    if (moved < 0) return moved;
    done += static_cast<std::size_t>(moved);
  }
  return static_cast<std::int64_t>(part);
}

constexpr FileTransfers TerminalRecords = {.read = nullptr, .write = writeShownOnTerminal};

// The preview: no lock is taken (it writes nothing another run reads, and leaves no lock file),
// and the records go to standard output in place of the log. 1 when they did not all get there.
int previewBothKinds() {
  // Taken before anything is printed: the console writer then finds standard error in its place.
  const bool onTerminal = standardOutputIsTerminal();
  const bool opened = openChannelOnStandardOutput(RejectionLogChannel) == StatusCode::Ok;
  if (opened && onTerminal)
    useTransfers(fileChannelOf(RejectionLogChannel)->stream, TerminalRecords);
  progressShown = standardErrorIsTerminal();
  if (!opened) {
    printText(ConsoleChannel, "Cannot write standard output: nothing is previewed",
              PrintMask::NewLine);
    return 1;
  }
  cleanListKind(ListKind::Blacklist);
  if (!runInterrupted()) cleanListKind(ListKind::Whitelist);
  if (flushChannel(RejectionLogChannel) == StatusCode::Ok) return 0;
  const int error = fileChannelOf(RejectionLogChannel)->stream.error;
  printText(ConsoleChannel,
            "chklist: " + (error != 0 ? failureText("write error", error) : Text("write error")) +
                "; the preview is incomplete",
            PrintMask::NewLine);
  return 1;
}

}  // namespace

int runCleaning(RunMode mode) {
  runMode = mode;
  catchInterruptions();
  if (previewing()) {
    const int code = previewBothKinds();
    closeChannel(0);
    endIfInterrupted();
    return code;
  }
  // Where the lock is not the log's, it comes first: a run refused for it creates nothing.
  const bool ready = runLockNeedsLog() ? openLog() && lockRun(NothingChanged)
                                       : lockRun(NothingChanged) && openLog();
  if (ready && !runInterrupted() && logStillInPlace()) cleanBothKinds();
  closeChannel(0);
  releaseRunLock();
  // What the run made is gone: the interruption now takes its ordinary course.
  endIfInterrupted();
  return 0;
}
