// The replacement engine: a list file's life from the path the file list gave to its settling,
// the batch that commits replacements together, and every sentence the console gets about them.
//
// Durability: a batch's copies are synced side by side (the file system groups them), the log's
// records are made durable by the run, and only then is any list of the batch exchanged with its
// copy; the directories that took a replacement are synced once at the batch's end. A power loss
// before that brings back the old list whole, whose dropped entries are then in the log twice:
// nothing is lost.
//
// Safety: a copy is made beside its list as a new private file under a staged name, claimed by
// the open that makes it (StreamMode::New) until its batch ends: another run, nested or
// concurrent, leaves it alone, and a copy no live run holds is a leftover that the next run
// removes. After the exchange both names are looked at: the list's name must hold the copy, and
// the staged name the list as it was read; anything else (an edit appended, a save by rename)
// puts the names back.
#include "cleaning/list_replacement.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "channels/file_device.h"
#include "commands/run_command.h"
#include "print/print.h"
#include "system/interruption.h"
#include "system/system_error.h"
#include "system/worker_pool.h"

namespace {

FileStream* listStream(const ListFile& list) { return fileStream(fileChannelOf(list.readChannel)); }

// The console's words for a code of the seam; `doing` names what failed, for the kinds the
// system's own words explain.
std::string wordsFor(const SeamCode& code, std::string_view doing) {
  switch (code.error) {
    case SeamError::None:
      return {};
    case SeamError::Missing:
      return "its directory is no longer where it was found";
    case SeamError::Link:
      return "its path leads through a symbolic link";
    case SeamError::NotBelow:
      return "it is not below the current directory";
    case SeamError::Busy:
      return "another program has it open";
    case SeamError::Changed:
      return "it changed while it was read";
    case SeamError::Descriptors:
      return "the run has no file descriptors left";
    case SeamError::Unnamable:
      return "its name holds characters outside the system's ANSI code page";
    case SeamError::ReadOnly:
      return "it is read-only";
    case SeamError::Encrypted:
      return "it is encrypted";
    case SeamError::Access:
      return failureText("cannot give its cleaned copy the list's owner and permissions",
                         code.system);
    case SeamError::Exists:
    case SeamError::NotSupported:
    case SeamError::Other:
      break;
  }
  return code.system == 0 ? std::string(doing) : failureText(doing, code.system);
}

constexpr std::string_view CleanedByAnotherRun = "another chklist run is cleaning it";

// The staged copy's usual name beside a list: the same for every run, so that one stopped in
// between leaves a copy the next finds with one look.
std::string stagedNameOf(const std::string& leaf) { return ".chklist-copy-" + leaf; }

// A staged copy that no live run holds may go when it is a regular file with one name, of this
// user or of the list's owner (root gives a copy the list's owner before it is committed).
bool removableLeftover(const NameLook& look, const ListFile& list) {
  return look.regular && look.links == 1 &&
         (look.state.owner == processOwner() || look.state.owner == list.state.owner);
}

// What is at the staged name: nothing, a leftover (removed, except by a preview), or a copy a
// live run holds (the list is left to that run: false).
bool stagedNameFree(ListFile& list) {
  NameLook look;
  FileHandle hold = -1;
  const SeamCode code = lookAtLeftover(list.directory, list.copyName, look, hold);
  if (code.error == SeamError::Busy) return false;
  if (code.ok() && !list.preview && removableLeftover(look, list)) {
    removeName(list.directory, list.copyName, look.state);
  }
  closeKept(hold);
  return true;
}

// The batch: lists staged and not yet committed, in the file list's order.
struct Batch {
  std::vector<ListFile> lists;
  std::int64_t bytes = 0;
  std::chrono::steady_clock::time_point started;
};
Batch batch;

// A batch commits after this many lists or bytes of copies, or about this long after its first
// list was staged: the copies beside lists stay few, and a list waits little. Each staged list
// holds up to three descriptors (its directory, its copy, itself): a low limit on open files
// makes it smaller.
constexpr std::size_t BatchLists = 256;
constexpr std::int64_t BatchBytes = 64 * 1024 * 1024;
constexpr auto BatchTime = std::chrono::seconds(1);
// Syncs and exchanges wait on the disk or the share, not on a core: enough of them side by side
// that the file system takes a batch's syncs in a few journal commits.
constexpr std::size_t SyncThreads = 32;

// The lists whose old file this run removed after its exchange: a second name of such a file (a
// hard link) finds its status-change time moved by that removal, not by an edit.
std::vector<std::pair<std::uint64_t, std::uint64_t>> removedOldLists;

// The list's name holds the file that was read, as it was read. `sharedInBatch`: another name of
// the same file is committed in the same batch, whose removal of the old file may move its
// status-change time at any moment.
bool unchangedAtLastLook(const ListFile& list, const NameLook& look, bool sharedInBatch = false) {
  if (!list.stateKnown || !look.regular) return false;
  if (look.state == list.state) return true;
  FileState unmoved = look.state;
  unmoved.changedTime = list.state.changedTime;
  unmoved.changedFraction = list.state.changedFraction;
  const auto identity = std::make_pair(list.state.device, list.state.fileIndex);
  return unmoved == list.state &&
         (sharedInBatch || std::find(removedOldLists.begin(), removedOldLists.end(), identity) !=
                               removedOldLists.end());
}

// The file at the staged name after the exchange is the list as it was read: its identity, size
// and modification time (the exchange itself moves the status-change time).
bool isListAsRead(const NameLook& look, const FileState& read) {
  return look.regular && look.state.device == read.device &&
         look.state.fileIndex == read.fileIndex && look.state.size == read.size &&
         look.state.modifiedTime == read.modifiedTime &&
         look.state.modifiedFraction == read.modifiedFraction;
}

void say(const Text& line) { printText(ConsoleChannel, line, PrintMask::NewLine); }

Text notReplacedLine(const ListFile& list, std::string_view why) {
  return "Not cleaned: " + list.path + " could not be replaced" +
         (why.empty() ? Text() : ": " + Text(why));
}

void sayNotReplaced(const ListFile& list, std::string_view why) { say(notReplacedLine(list, why)); }

Text changedLine(const ListFile& list) {
  return "Not cleaned: " + list.path + " changed while it was read";
}

// What one list's commit has to say: its console lines, made where the commits of a batch run
// side by side and said in the file list's order once they are done; and whether it removed the
// old list.
struct CommitNotes {
  std::vector<Text> lines;
  bool oldRemoved = false;
  void say(Text line) { lines.push_back(std::move(line)); }
};

bool isFile(const NameLook& look, const FileState& file) {
  return look.state.device == file.device && look.state.fileIndex == file.fileIndex;
}

// Removes the list's copy from beside it (it replaced nothing) and lets its handle go.
void dropCopy(ListFile& list) {
  if (list.stage == ListStage::Copying) closeChannel(list.copyChannel);
  closeKept(list.copy);
  if (!list.copyName.empty() && list.stage >= ListStage::Copying) {
    removeName(list.directory, list.copyName, list.copyState);
  }
  list.stage = ListStage::Settled;
}

// Writes the list file's first `prefix` bytes, read again from its channel, to the copy. Changed
// when the list no longer holds that many bytes.
SeamCode copyPrefixAgain(const ListFile& list, std::int64_t prefix) {
  FileStream* from = listStream(list);
  Channel* copy = lookupChannel(list.copyChannel);
  char block[StreamBufferSize];
  for (std::int64_t done = 0; done < prefix;) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::int64_t>(prefix - done, sizeof block));
    const std::int64_t got = from == nullptr ? -1 : readFileAt(*from, done, block, wanted);
    if (got < 0) return {SeamError::Other, lastSystemError()};
    if (got == 0) return {SeamError::Changed, 0};
    if (writeChannelBytes(copy, block, static_cast<std::size_t>(got)) != StatusCode::Ok) {
      return {SeamError::Other, fileChannelOf(list.copyChannel)->stream.error};
    }
    done += got;
  }
  return {};
}

// Creates the copy at `list.copyName` beside the list, new and private. A leftover that took the
// name goes first; a name another run or user holds gives way to a random one.
SeamCode createCopy(ListFile& list) {
  SeamCode last{SeamError::Exists, 0};
  for (int attempt = 0; attempt < 8; ++attempt) {
    // Claimed by the open: from here on no other run takes it for a leftover.
    if (openChannelIn(list.directory, list.copyName, OpenMode::Output, NewFileOnly, 0,
                      list.copyChannel, 0) == StatusCode::Ok) {
      if (fileStateAtOpen(fileChannelOf(list.copyChannel), &list.copyState)) return {};
      closeChannel(list.copyChannel);
      return {SeamError::Other, 0};
    }
    const SeamCode error = codeOf(lastSystemError());
    if (error.system != 0) last = error;
    // A run that took it for a leftover holds it: that run cleans the list.
    if (error.error == SeamError::Busy) return {SeamError::Busy, 0};
    if (error.error == SeamError::Descriptors) return error;
    NameLook look;
    FileHandle hold = -1;
    const SeamCode taken = lookAtLeftover(list.directory, list.copyName, look, hold);
    // A name no look can open yet taken (a dangling link under wine) gives way like any other.
    if (taken.error == SeamError::Missing && error.error != SeamError::Exists) return error;
    // A live run's copy: that run cleans the list, and a second copy under another name would
    // race it to the exchange.
    if (taken.error == SeamError::Busy) return {SeamError::Busy, 0};
    const bool removed = taken.ok() && removableLeftover(look, list) &&
                         removeName(list.directory, list.copyName, look.state).ok();
    closeKept(hold);
    if (!removed) list.copyName = randomStagedName();
  }
  // Every name tried was taken again before it could be made: the last refusal says why.
  return last;
}

// The steps of a commit after the copies are durable, for one list: the last look, the exchange
// and the looks at both names after it, all in the directory the listed path leads to now. There
// the copy is found only when that is the directory it was made in: one put in its place (out of
// the tree, with a link of the list, say) has no copy to exchange. Settles the list with its
// console line when it is not simply replaced; true when its directory took a replacement.
// `here` receives that directory, for the caller to let go.
bool exchangeWithCopy(ListFile& list, bool sharedInBatch, HeldDirectory& here, CommitNotes& notes) {
  if (const SeamCode there = holdAtListedPath(list.directory, list.path, here); !there.ok()) {
    notes.say(notReplacedLine(list, wordsFor(there, "cannot find its directory again")));
    dropCopy(list);
    return false;
  }
  NameLook look;
  if (!lookAt(here, list.leaf, look).ok() || !unchangedAtLastLook(list, look, sharedInBatch)) {
    notes.say(sameDirectory(list.directory, here)
                  ? changedLine(list)
                  : notReplacedLine(list, wordsFor({SeamError::Missing, 0}, {})));
    dropCopy(list);
    return false;
  }
  const SeamCode exchanged = exchangeNames(here, list.copyName, list.leaf);
  if (exchanged.ok()) {
    NameLook atList;
    NameLook atStaged;
    if (!lookAt(here, list.leaf, atList).ok() || !isFile(atList, list.copyState) ||
        !lookAt(here, list.copyName, atStaged).ok() || !isListAsRead(atStaged, list.state)) {
      // Something came between the last look and the exchange, or just after it: the names go
      // back. What then has the staged name, when it is not the copy, is someone's (a file put in
      // the copy's place, or a save by rename just after the exchange): no run may take it for
      // a leftover, so it is kept under a name of its own.
      exchangeNames(here, list.copyName, list.leaf);
      notes.say(changedLine(list));
      NameLook back;
      if (lookAt(here, list.copyName, back).ok() && !isFile(back, list.copyState)) {
        const std::string random = randomStagedName();
        const std::string kept = list.leaf + "-" + random.substr(random.rfind('-') + 1);
        if (renameOver(here, -1, list.copyName, kept, back.state).ok()) {
          notes.say("The file that took the place of " + list.path +
                    " meanwhile is kept beside it as " + Text(kept));
        }
      }
      dropCopy(list);
      return false;
    }
    closeKept(list.copy);
    list.stage = ListStage::Committed;
    if (const SeamCode removed = removeName(here, list.copyName, atStaged.state, true);
        !removed.ok()) {
      notes.say("Cleaned: " + list.path + ", but its old content stays beside it as " +
                Text(list.copyName) + ": " + wordsFor(removed, "cannot remove it") +
                "; the next run removes it");
    } else {
      notes.oldRemoved = true;
    }
    return true;
  }
  if (exchanged.error != SeamError::NotSupported) {
    // No copy at the staged name: the directory the path leads to is not the one the copy was
    // made in, or the copy was taken from there.
    const bool copyTaken =
        exchanged.error == SeamError::Missing && sameDirectory(list.directory, here);
    notes.say(notReplacedLine(list, copyTaken ? "its cleaned copy was moved or removed meanwhile"
                                              : wordsFor(exchanged, "cannot replace it")));
    dropCopy(list);
    return false;
  }
  // No exchange here: the copy is renamed over the list, and what then has the list's name is
  // looked at after.
  NameLook atStaged;
  if (!lookAt(here, list.copyName, atStaged).ok() || !isFile(atStaged, list.copyState)) {
    notes.say(changedLine(list));
    dropCopy(list);
    return false;
  }
  const SeamCode renamed = renameOver(here, list.copy, list.copyName, list.leaf, list.state);
  if (renamed.error == SeamError::Changed) {
    notes.say(changedLine(list));
    dropCopy(list);
    return false;
  }
  if (!renamed.ok()) {
    notes.say(notReplacedLine(list, wordsFor(renamed, "cannot replace it")));
    dropCopy(list);
    return false;
  }
  closeKept(list.copy);
  list.stage = ListStage::Committed;
  if (!lookAt(here, list.leaf, look).ok() || !isFile(look, list.copyState)) {
    notes.say(notReplacedLine(
        list, "another file took the place of its cleaned copy while it was replaced"));
  }
  return true;
}

}  // namespace

ListFile::ListFile(const Text& listedPath, std::string_view listName)
    : path(listedPath), name(listName) {}

ListFile::ListFile(ListFile&& other) noexcept
    : path(std::move(other.path)),
      name(other.name),
      preview(other.preview),
      readChannel(other.readChannel),
      copyChannel(other.copyChannel),
      onWorker(other.onWorker),
      handBack(other.handBack),
      stage(other.stage),
      directory(std::exchange(other.directory, HeldDirectory{})),
      leaf(std::move(other.leaf)),
      state(other.state),
      stateKnown(other.stateKnown),
      copyName(std::move(other.copyName)),
      copyState(other.copyState),
      copy(std::exchange(other.copy, FileHandle{-1})),
      held(std::exchange(other.held, FileHandle{-1})),
      copyBytes(other.copyBytes),
      failure(std::move(other.failure)),
      problem(std::move(other.problem)),
      access(other.access) {
  other.stage = ListStage::Settled;
}

ListFile::~ListFile() {
  const bool reading = stage == ListStage::Read || stage == ListStage::Copying;
  if (stage == ListStage::Copying || stage == ListStage::Staged) dropCopy(*this);
  if (reading) closeChannel(readChannel);
  closeKept(copy);
  closeKept(held);
  releaseDirectory(directory);
}

bool openListFile(ListFile& list, std::string& why) {
  if (const char* refused = commandRefusesPath(list.path)) {
    why = refused;
    return false;
  }
  SeamCode code = holdListDirectory(list.path, list.directory, list.leaf);
  if (code.error == SeamError::Descriptors && list.onWorker) {
    list.handBack = true;
    return false;
  }
  if (code.error == SeamError::Descriptors && !batch.lists.empty()) {
    commitBatch();
    code = holdListDirectory(list.path, list.directory, list.leaf);
  }
  if (!code.ok()) {
    why = wordsFor(code, "cannot open its directory");
    return false;
  }
  // The search lists nothing else; a file list that names another file was not written by it.
  if (!isListFileName(list.leaf, list.name)) {
    why = "its name is not " + Text(list.name);
    return false;
  }
  if (openChannelIn(list.directory, list.leaf, OpenMode::Input, 0, 0, list.readChannel, 0) !=
      StatusCode::Ok) {
    const SeamCode error = codeOf(lastSystemError());
    closeChannel(list.readChannel);  // a failed size measurement leaves the channel open
    if (error.error == SeamError::Descriptors && list.onWorker) {
      list.handBack = true;
      return false;
    }
    if (error.error == SeamError::Descriptors && !batch.lists.empty()) {
      commitBatch();
      return openListFile(list, why);
    }
    why = "cannot open the file";
    return false;
  }
  list.stage = ListStage::Read;
  // Not a regular file, or one whose length the open did not learn: it is read, and then found
  // changed, never replaced.
  list.stateKnown = fileStateAtOpen(fileChannelOf(list.readChannel), &list.state) &&
                    list.state.size == lookupChannel(list.readChannel)->size;
  list.copyName = stagedNameOf(list.leaf);
  // A run meets a leftover when it makes the copy, or once the list needs none (endReading);
  // a preview, which makes none, looks now.
  if (list.preview && !stagedNameFree(list)) {
    why = CleanedByAnotherRun;
    return false;
  }
  return true;
}

std::int64_t listFilePosition(const ListFile& list) {
  const FileStream* stream = listStream(list);
  return stream == nullptr ? 0 : streamPosition(*stream);
}

bool listFileEndsWithCrLf(const ListFile& list) {
  if (list.state.size == 0) return true;
  FileStream* stream = listStream(list);
  char tail[2] = {};
  return stream != nullptr && list.state.size >= 2 &&
         readFileAt(*stream, list.state.size - 2, tail, sizeof tail) == 2 && tail[0] == '\r' &&
         tail[1] == '\n';
}

bool startCleanedCopy(ListFile& list, std::int64_t prefix, const char* buffered) {
  SeamCode code = createCopy(list);
  if (code.error == SeamError::Descriptors && list.onWorker) {
    list.handBack = true;
    return false;
  }
  if (code.error == SeamError::Descriptors && !batch.lists.empty()) {
    commitBatch();
    code = createCopy(list);
  }
  if (!code.ok()) {
    list.failure = code.error == SeamError::Busy ? std::string(CleanedByAnotherRun)
                                                 : wordsFor(code, "cannot create its cleaned copy");
    return false;
  }
  list.stage = ListStage::Copying;
  if (buffered != nullptr) {
    if (writeChannelBytes(lookupChannel(list.copyChannel), buffered,
                          static_cast<std::size_t>(prefix)) != StatusCode::Ok) {
      code = {SeamError::Other, fileChannelOf(list.copyChannel)->stream.error};
    }
  } else {
    code = copyPrefixAgain(list, prefix);
  }
  if (code.ok()) return true;
  list.failure = code.error == SeamError::Changed ? wordsFor(code, "")
                                                  : wordsFor(code, "cannot write its cleaned copy");
  dropCopy(list);
  list.stage = ListStage::Read;
  return false;
}

void endReading(ListFile& list) {
  FileChannel* read = fileChannelOf(list.readChannel);
  // Written out now, so that a full disk is seen while the list can still stay as it is.
  const bool copyWritten =
      list.stage != ListStage::Copying || flushChannel(list.copyChannel) == StatusCode::Ok;
  if (fileLineTooLong(read)) {
    list.problem = "a line is longer than 64 MiB or than the memory the run may use";
  } else if (read == nullptr || fileFailed(read)) {
    list.problem = "cannot read the file";
  } else if (!copyWritten) {
    list.problem =
        failureText("cannot write its cleaned copy", fileChannelOf(list.copyChannel)->stream.error);
  }
  const bool sound = list.failure.empty() && list.problem.empty();
  if (list.stage == ListStage::Copying && sound) {
    // The list's access goes to the copy only now, complete and beside the list.
    list.copyBytes = streamPosition(fileChannelOf(list.copyChannel)->stream);
    list.copy = closeChannelKeepingFile(list.copyChannel);
    list.stage = ListStage::Staged;
    list.access = list.copy == -1 ? SeamCode{SeamError::Other, 0}
                                  : giveListsAccess(list.copy, list.copyState,
                                                    listStream(list)->handle, list.state);
    // The list stays open and claimed until its batch ends, where the system allows: no other
    // run takes the old list for a leftover once it has the staged name.
    list.held = closeChannelKeepingFile(list.readChannel);
    if (list.held != -1 && !claimList(list.held).ok()) closeKept(list.held);
    return;
  }
  if (list.stage == ListStage::Copying) dropCopy(list);
  closeChannel(list.readChannel);
  list.stage = ListStage::Settled;
  // Clean as it is: a leftover beside it goes (a live run's copy is left to that run), on
  // whichever thread read the list.
  if (sound && !list.preview) stagedNameFree(list);
}

std::string verdictOn(const ListFile& list, const char* logFailure) {
  if (!list.failure.empty()) return list.failure;
  // A list that needs no copy is left as it is whatever happened to it meanwhile. A copied one
  // longer than one read is looked at once more before its copy joins a batch, so that a change
  // during its long read is said on its line; every copied list gets its commit's last look.
  NameLook look;
  const bool changed =
      list.stage == ListStage::Staged && list.state.size > std::int64_t{StreamBufferSize} &&
      (!lookAt(list.directory, list.leaf, look).ok() || !unchangedAtLastLook(list, look));
  if (runInterrupted()) return "the run was interrupted";
  if (!list.problem.empty()) return list.problem;
  if (logFailure != nullptr) return logFailure;
  if (changed) return "the file changed while it was read";
  return {};
}

void settleOrStage(ListFile&& list, const std::string& verdict, bool marksPrinted) {
  if (!verdict.empty()) {
    printText(ConsoleChannel, Text(marksPrinted ? " not cleaned: " : "not cleaned: ") + verdict,
              PrintMask::NewLine);
    return;  // the copy goes with the list
  }
  printVoid(ConsoleChannel, PrintMask::NewLine);
  if (list.stage != ListStage::Staged) return;
  if (!list.access.ok()) {
    sayNotReplaced(list,
                   list.copy == -1 ? "cannot write its cleaned copy" : wordsFor(list.access, ""));
    return;
  }
  if (batch.lists.empty()) batch.started = std::chrono::steady_clock::now();
  batch.bytes += list.copyBytes;
  batch.lists.push_back(std::move(list));
}

namespace {

// The lists whose descriptors fit under the limit on open files, and those of them held open
// outside the batch.
std::size_t listsThatFit() {
  const std::size_t limit = openFileLimit();
  return limit > 16 ? (limit - 16) / 3 : 0;
}
std::size_t listsAside = 0;

}  // namespace

std::size_t reserveListsAside(std::size_t wanted) {
  // At least as many lists as are read ahead are left to the batch.
  listsAside = std::min(wanted, listsThatFit() / 2);
  return listsAside;
}

bool batchIsFull() {
  static const std::size_t fit = listsThatFit();
  const std::size_t limit = std::clamp<std::size_t>(fit - listsAside, 1, BatchLists);
  return !batch.lists.empty() && (batch.lists.size() >= limit || batch.bytes >= BatchBytes ||
                                  std::chrono::steady_clock::now() - batch.started >= BatchTime);
}

void commitBatch() {
  if (batch.lists.empty()) return;
  std::vector<ListFile> lists = std::move(batch.lists);
  batch = Batch{};
  // The copies' syncs wait side by side: the file system takes them into one commit.
  std::vector<SeamCode> synced(lists.size());
  forEachTogether(lists.size(), SyncThreads,
                  [&](std::size_t i) { synced[i] = syncData(lists[i].copy); });
  std::string refusal;
  for (const SeamCode& code : synced) {
    if (!code.ok()) {
      refusal = wordsFor(code, "cannot flush the cleaned copies to the disk");
      break;
    }
  }
  if (refusal.empty()) refusal = logReadyForCommit();
  // The lists' exchanges run side by side too (each waits on the file system, which a share
  // makes a round trip), and what they say is said after, in the batch's order.
  std::vector<CommitNotes> notes(lists.size());
  std::vector<char> exchanged(lists.size(), 0);
  if (refusal.empty()) {
    // Lists of the batch that are names of one file: found side by side in identity order.
    std::vector<char> shared(lists.size(), 0);
    std::vector<std::size_t> byFile(lists.size());
    for (std::size_t i = 0; i < byFile.size(); ++i) byFile[i] = i;
    const auto identity = [&](std::size_t i) {
      return std::pair(lists[i].state.device, lists[i].state.fileIndex);
    };
    std::sort(byFile.begin(), byFile.end(),
              [&](std::size_t a, std::size_t b) { return identity(a) < identity(b); });
    for (std::size_t k = 1; k < byFile.size(); ++k) {
      if (identity(byFile[k - 1]) == identity(byFile[k]))
        shared[byFile[k - 1]] = shared[byFile[k]] = 1;
    }
    forEachTogether(lists.size(), SyncThreads, [&](std::size_t i) {
      HeldDirectory here;
      exchanged[i] = exchangeWithCopy(lists[i], shared[i] != 0, here, notes[i]);
      // A directory that took a replacement is synced where the replacement was made.
      if (exchanged[i] != 0) std::swap(lists[i].directory, here);
      releaseDirectory(here);
    });
  }
  std::vector<ListFile*> replaced;
  for (std::size_t i = 0; i < lists.size(); ++i) {
    ListFile& list = lists[i];
    if (!refusal.empty()) {
      sayNotReplaced(list, refusal);
      dropCopy(list);
      continue;
    }
    for (const Text& line : notes[i].lines) say(line);
    if (notes[i].oldRemoved) removedOldLists.emplace_back(list.state.device, list.state.fileIndex);
    if (exchanged[i] != 0) replaced.push_back(&list);
  }
  // Each directory that took a replacement is synced once, side by side: its renames then
  // survive a power loss.
  const auto parentOf = [](const ListFile* list) {
    return std::string_view(list->path).substr(0, list->path.size() - list->leaf.size());
  };
  std::vector<ListFile*> directories;
  for (ListFile* list : replaced) {
    if (std::none_of(directories.begin(), directories.end(),
                     [&](const ListFile* seen) { return parentOf(seen) == parentOf(list); })) {
      directories.push_back(list);
    }
  }
  synced.assign(directories.size(), SeamCode{});
  forEachTogether(directories.size(), SyncThreads,
                  [&](std::size_t i) { synced[i] = syncDirectory(directories[i]->directory); });
  for (std::size_t i = 0; i < directories.size(); ++i) {
    if (!synced[i].ok()) {
      say("Cleaned: " + directories[i]->path +
          ", but a power loss may undo it: " + wordsFor(synced[i], "cannot flush its directory"));
    }
  }
  for (ListFile& list : lists) {
    closeKept(list.held);
    list.stage = ListStage::Settled;
  }
}
