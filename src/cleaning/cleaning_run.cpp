// The cleaning run: two passes, blacklists then whitelists. Each list file is read on channel 2,
// its good entries go to "list.tmp" on channel 3, every dropped entry is marked "#" on the console
// and recorded in "chklist.log" on channel 9, and then "list.tmp" replaces the list file in one
// move. A list file is replaced only when all of that succeeded; otherwise it stays as it was and
// its console line says why.
#include "cleaning/cleaning_run.h"

#include <string_view>

#include "channels/channel.h"
#include "channels/line_reader.h"
#include "cleaning/entry_check.h"
#include "cleaning/list_file_state.h"
#include "frame/run_command.h"
#include "print/print.h"

namespace {

constexpr ChannelNumber FileListChannel = 1;
constexpr ChannelNumber ListFileChannel = 2;
constexpr ChannelNumber CleanedCopyChannel = 3;

constexpr std::string_view RejectionLogName = "chklist.log";
constexpr std::string_view CleanedCopyName = "list.tmp";

// One byte far beyond any real log's end: locking it keeps a second run in this directory out
// without barring anyone from reading the log itself.
constexpr std::int64_t RunLockOffset = 0x7FFFFFFE;
constexpr std::int64_t RunLockLength = 1;
constexpr int RunLockRetryMilliseconds = 200;

struct ListKindTexts {
  std::string_view searchCommand;
  std::string_view fileList;
  std::string_view removeCommand;
};

ListKindTexts textsOf(ListKind kind) {
  if (kind == ListKind::Blacklist) {
    return {"dir blacklist.txt /s/b > blist.dir", "blist.dir", "del blist.dir"};
  }
  return {"dir whitelist.txt /s/b > wlist.dir", "wlist.dir", "del wlist.dir"};
}

// Ends the current console line with the reason its list file was left as it was.
void sayNotCleaned(bool marksPrinted, std::string_view reason) {
  Text line = marksPrinted ? " not cleaned: " : "not cleaned: ";
  line += reason;
  printText(ConsoleChannel, line, PrintMask::NewLine);
}

void removeCleanedCopy() { runCommand("del " + Text(CleanedCopyName)); }

// Reads the list file's entries to its end into `entry`: the good ones go to the cleaned copy,
// the others are marked on the console and logged. True when an entry was dropped. Every
// operation of the loop is compiled into it: it runs for every line of every list file.
[[gnu::flatten]] bool copyGoodEntries(const Text& path, Text& entry) {
  bool marksPrinted = false;
  while (channelAtEnd(ListFileChannel) == 0) {
    if (readLineInto(ListFileChannel, entry) != StatusCode::Ok) break;
    if (isGoodEntry(entry)) {
      printText(CleanedCopyChannel, entry, PrintMask::NewLine);
    } else {
      printText(ConsoleChannel, "#", PrintMask::None);
      marksPrinted = true;
      logRejectedEntry(path, entry);
    }
  }
  return marksPrinted;
}

// Cleans one list file: reads it, writes the good entries to the cleaned copy, marks and logs
// the others, and replaces the list file when nothing failed.
void cleanListFile(const Text& path, Text& entry) {
  const Text checking = "Checking " + path + " ";
  if (!commandCanCarryPath(path)) {
    printText(ConsoleChannel, checking, PrintMask::None);
    sayNotCleaned(false, "its name cannot be passed to the command processor");
    return;
  }
  if (openChannel(path, OpenMode::Input, 0, 0, ListFileChannel, 0) != StatusCode::Ok) {
    closeChannel(ListFileChannel);  // a failed size measurement leaves the channel open
    printText(ConsoleChannel, checking, PrintMask::None);
    sayNotCleaned(false, "cannot open the file");
    return;
  }
  if (openChannel(CleanedCopyName, OpenMode::Output, 0, 0, CleanedCopyChannel, 0) !=
      StatusCode::Ok) {
    closeChannel(ListFileChannel);
    printText(ConsoleChannel, checking, PrintMask::None);
    sayNotCleaned(false, "cannot write list.tmp");
    return;
  }
  // What the file was when it was opened; checked again before it is replaced, so that entries
  // another process added meanwhile are not lost with the replacement.
  const Channel* listFile = lookupChannel(ListFileChannel);
  ListFileState openedState;
  const bool stateKnown =
      (fileDeviceState(listFile, &openedState) || readListFileState(path, openedState)) &&
      openedState.size == listFile->size;
  printText(ConsoleChannel, checking, PrintMask::None);

  const bool marksPrinted = copyGoodEntries(path, entry);

  // Closing reports what went wrong on the way: a read error, or cleaned bytes that never
  // reached the disk. The records of this file's dropped entries are made durable before the
  // replacement is: after a power loss the cleaned list must not survive without them.
  const bool lineTooLong = channelLineTooLong(ListFileChannel);
  const bool readFailed = closeChannel(ListFileChannel) != StatusCode::Ok;
  const bool writeFailed = closeChannel(CleanedCopyChannel) != StatusCode::Ok;
  const bool logFailed = (marksPrinted ? syncChannel(RejectionLogChannel)
                                       : flushChannel(RejectionLogChannel)) != StatusCode::Ok;
  ListFileState closedState;
  const bool changed =
      !stateKnown || !readListFileState(path, closedState) || !(closedState == openedState);
  if (readFailed || writeFailed || logFailed || changed) {
    sayNotCleaned(marksPrinted, lineTooLong   ? "a line is too long to hold in memory"
                                : readFailed  ? "cannot read the file"
                                : writeFailed ? "cannot write list.tmp"
                                : logFailed   ? "cannot write chklist.log"
                                              : "the file changed while it was read");
    removeCleanedCopy();
    return;
  }
  printVoid(ConsoleChannel, PrintMask::NewLine);

  // One overwriting move: at no moment is the list file missing.
  if (runCommand("move /y " + Text(CleanedCopyName) + " \"" + path + "\"") != 0) {
    printText(ConsoleChannel, "Not cleaned: " + path + " could not be replaced",
              PrintMask::NewLine);
    removeCleanedCopy();
  }
}

// Holds the run lock on the rejection log, waiting while another run in this directory has it.
void lockRun() {
  if (lockChannel(RejectionLogChannel, RunLockOffset, RunLockLength) !=
      StatusCode::TransferFailed) {
    return;  // locked, or the file system has no locks to offer
  }
  printText(ConsoleChannel, "Waiting for another chklist run in this directory to finish...",
            PrintMask::NewLine);
  while (lockChannel(RejectionLogChannel, RunLockOffset, RunLockLength) ==
         StatusCode::TransferFailed) {
    waitMilliseconds(RunLockRetryMilliseconds);
  }
}

}  // namespace

void cleanListKind(ListKind kind) {
  const ListKindTexts texts = textsOf(kind);
  printText(ConsoleChannel, "Generating file list... Please wait...", PrintMask::NewLine);
  runCommand(Text(texts.searchCommand));
  if (openChannel(texts.fileList, OpenMode::Input, 0, 0, FileListChannel, 0) == StatusCode::Ok) {
    // The run's two texts: each line read replaces them, and their storage serves every list
    // file of the pass.
    Text path;
    Text entry;
    while (channelAtEnd(FileListChannel) == 0) {
      readLineInto(FileListChannel, path);
      // An empty line names no file (the reader can deliver one after a very long path).
      if (!path.empty()) cleanListFile(path, entry);
    }
  } else {
    printText(ConsoleChannel,
              "Cannot read the file list " + Text(texts.fileList) +
                  ": no list file of this kind is checked",
              PrintMask::NewLine);
  }
  closeChannel(FileListChannel);
  runCommand(Text(texts.removeCommand));
}

void runCleaning() {
  if (openChannel(RejectionLogName, OpenMode::Append, 0, 0, RejectionLogChannel, 0) !=
      StatusCode::Ok) {
    // Without the log a dropped entry would leave no trace: change nothing.
    printText(ConsoleChannel, "Cannot open chklist.log: no list file is changed",
              PrintMask::NewLine);
    closeChannel(0);
    return;
  }
  lockRun();
  cleanListKind(ListKind::Blacklist);
  cleanListKind(ListKind::Whitelist);
  closeChannel(0);
}
