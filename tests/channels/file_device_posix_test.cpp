// The file device on POSIX: failing writes and closes on a full device, output opens that
// refuse a planted symbolic link, record locks between processes, descriptors kept from
// commands, and reads and end-of-file answers on streams that fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "channels/channel.h"
#include "channels/file_device.h"
#include "channels/line_reader.h"
#include "support/channel_test.h"
#include "support/scratch_dir.h"
#include "system/file_stream.h"
#include "system/interruption.h"

namespace {

namespace fs = std::filesystem;

// More bytes than a file channel's stream buffer (64 KiB) holds.
constexpr std::size_t MoreThanTheBuffer = 70000;

class FileDevicePosix : public ChannelTest {
 protected:
  // Opens /dev/full, where every write that reaches the device fails with ENOSPC.
  void openFullDevice(ChannelNumber channel) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    ASSERT_EQ(openChannel("/dev/full", OpenMode::Output, 0, 0, channel, 0), StatusCode::Ok);
  }
};

StatusCode writeText(ChannelNumber channel, const std::string& bytes) {
  return writeChannelBytes(lookupChannel(channel), bytes.data(), bytes.size());
}

TEST_F(FileDevicePosix, BufferedBytesThatCannotBeWrittenFailTheClose) {
  openFullDevice(3);
  ASSERT_EQ(writeText(3, "x@example.org\r\n"), StatusCode::Ok) << "still in the buffer";
  EXPECT_EQ(closeChannel(3), StatusCode::TransferFailed);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
  EXPECT_EQ(lookupChannel(3)->hooks, nullptr) << "closed all the same";
  EXPECT_EQ(closeChannel(3), StatusCode::NotApplicable);
}

TEST_F(FileDevicePosix, AWriteThatOverflowsTheBufferFailsAndSoDoesEveryLaterOne) {
  openFullDevice(3);
  EXPECT_EQ(writeText(3, std::string(MoreThanTheBuffer, 'a')), StatusCode::TransferFailed);
  EXPECT_EQ(writeText(3, "b"), StatusCode::TransferFailed) << "the stream has failed";
  EXPECT_EQ(writeText(3, ""), StatusCode::TransferFailed);
  EXPECT_EQ(channelAtEnd(3), -1);
  EXPECT_EQ(closeChannel(3), StatusCode::TransferFailed);
}

TEST_F(FileDevicePosix, AFailureHiddenInTheBufferIsReportedByTheNextWrite) {
  openFullDevice(3);
  ASSERT_EQ(writeText(3, std::string(100, 'a')), StatusCode::Ok);
  EXPECT_EQ(writeText(3, std::string(MoreThanTheBuffer, 'b')), StatusCode::TransferFailed);
}

TEST_F(FileDevicePosix, FlushAndSyncReportBytesThatCannotBeWritten) {
  for (StatusCode (*push)() :
       {+[] { return flushChannel(3); }, +[] { return syncFile(fileChannelOf(3)); }}) {
    openFullDevice(3);
    ASSERT_EQ(writeText(3, "x"), StatusCode::Ok);
    EXPECT_EQ(push(), StatusCode::TransferFailed);
    EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
    closeChannel(3);
  }
}

TEST_F(FileDevicePosix, SyncOfADeviceWithNothingToMakeDurableSucceeds) {
  if (!fs::exists("/dev/null")) GTEST_SKIP() << "no /dev/null on this system";
  ASSERT_EQ(openChannel("/dev/null", OpenMode::Append, 0, 0, 4, 0), StatusCode::Ok);
  ASSERT_EQ(writeText(4, "x"), StatusCode::Ok);
  EXPECT_EQ(syncFile(fileChannelOf(4)), StatusCode::Ok);
}

TEST_F(FileDevicePosix, CloseAllStoresNothingWhenACloseFails) {
  openFullDevice(3);
  ASSERT_EQ(writeText(3, "x"), StatusCode::Ok);
  setStatus(StatusCode::NotOpened);
  closeAllChannels();
  EXPECT_EQ(lastStatus(), StatusCode::NotOpened);
  EXPECT_EQ(lookupChannel(3)->hooks, nullptr);
}

TEST_F(FileDevicePosix, TruncatingOpensMakeANewFileAndLeaveWhatHeldTheNameAlone) {
  // Whatever another user put at the name (a link, a second name of another file, a file kept
  // open) is removed, never followed, emptied or reused.
  writeFileBytes("victim.txt", "precious\n");
  const struct {
    const char* name;
    OpenMode mode;
    int access;
    void (*plant)(const char* name);
  } cases[] = {
      {"link.tmp", OpenMode::Output, 0,
       [](const char* name) { fs::create_symlink("victim.txt", name); }},
      {"link2.tmp", OpenMode::Binary, 2,
       [](const char* name) { fs::create_symlink("victim.txt", name); }},
      {"dangling.tmp", OpenMode::Output, 0,
       [](const char* name) { fs::create_symlink("created.txt", name); }},
      {"dangling2.tmp", OpenMode::Random, 2,
       [](const char* name) { fs::create_symlink("created.txt", name); }},
      {"hard.tmp", OpenMode::Output, 0,
       [](const char* name) { fs::create_hard_link("victim.txt", name); }},
      {"shared.tmp", OpenMode::Output, 0,
       [](const char* name) {
         writeFileBytes(name, "theirs\n");
         fs::permissions(name, fs::perms::all);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.plant(c.name);
    const int kept = ::open(c.name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    ASSERT_EQ(openChannel(c.name, c.mode, c.access, 0, 3, 0), StatusCode::Ok);
    ASSERT_EQ(writeText(3, "secret@example.org"), StatusCode::Ok);
    ASSERT_EQ(closeChannel(3), StatusCode::Ok);
    struct stat made {};
    ASSERT_EQ(::lstat(c.name, &made), 0);
    EXPECT_TRUE(S_ISREG(made.st_mode));
    EXPECT_EQ(made.st_nlink, 1u);
    EXPECT_EQ(readFileBytes(c.name), "secret@example.org");
    if (kept >= 0) {
      // What the other user holds open is not the new file.
      struct stat held {};
      ASSERT_EQ(::fstat(kept, &held), 0);
      EXPECT_NE(held.st_ino, made.st_ino);
      ::close(kept);
    }
  }
  EXPECT_EQ(readFileBytes("victim.txt"), "precious\n");
  EXPECT_FALSE(fs::exists("created.txt"));
  // A directory at the name is not removed: the open fails.
  fs::create_directory("dir.tmp");
  EXPECT_EQ(openChannel("dir.tmp", OpenMode::Output, 0, 0, 3, 0), StatusCode::NotOpened);
  EXPECT_EQ(lookupChannel(3)->hooks, nullptr);
  EXPECT_TRUE(fs::is_directory("dir.tmp"));
}

TEST_F(FileDevicePosix, OutputFilesStayPrivateWhileTheyAreWritten) {
  writeFileBytes("stale.tmp", "old\n");
  fs::permissions("stale.tmp", fs::perms::all);
  for (const char* name : {"new.tmp", "stale.tmp"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(openChannel(name, OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
    EXPECT_EQ(closeChannel(3), StatusCode::Ok);
    EXPECT_EQ(fs::status(name).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::file_size(name), 0u);
  }
}

TEST_F(FileDevicePosix, TheStateOfAnInputFileIsTheOpenedFilesEvenAfterItsNameIsTaken) {
  // The change check compares a list file's state when opened with its path's state before the
  // replacement: a file put in its place right after the open must not pass for the one read.
  writeFileBytes("list.txt", "old@example.org\n");
  struct stat opened {};
  ASSERT_EQ(::stat("list.txt", &opened), 0);
  ASSERT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  writeFileBytes("newer.txt", "new@example.org\n");
  ASSERT_EQ(::rename("newer.txt", "list.txt"), 0);

  FileState state;
  ASSERT_TRUE(fileStateAtOpen(fileChannelOf(2), &state));
  EXPECT_EQ(state.device, static_cast<std::uint64_t>(opened.st_dev));
  EXPECT_EQ(state.fileIndex, static_cast<std::uint64_t>(opened.st_ino));
  EXPECT_EQ(state.size, static_cast<std::int64_t>(opened.st_size));
  EXPECT_EQ(state.modifiedTime, static_cast<std::int64_t>(opened.st_mtim.tv_sec));
  EXPECT_EQ(state.modifiedFraction, static_cast<std::int64_t>(opened.st_mtim.tv_nsec));
  EXPECT_EQ(state.changedTime, static_cast<std::int64_t>(opened.st_ctim.tv_sec));
  EXPECT_EQ(state.changedFraction, static_cast<std::int64_t>(opened.st_ctim.tv_nsec));
  struct stat now {};
  ASSERT_EQ(::stat("list.txt", &now), 0);
  EXPECT_NE(static_cast<std::uint64_t>(now.st_ino), state.fileIndex);

  // A file made anew tells its own state; a closed channel tells nothing.
  ASSERT_EQ(openChannel("list.tmp", OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
  ASSERT_TRUE(fileStateAtOpen(fileChannelOf(3), &state));
  struct stat made {};
  ASSERT_EQ(::stat("list.tmp", &made), 0);
  EXPECT_EQ(state.fileIndex, static_cast<std::uint64_t>(made.st_ino));
  EXPECT_EQ(state.size, 0);
  ASSERT_EQ(closeChannel(2), StatusCode::Ok);
  EXPECT_FALSE(fileStateAtOpen(fileChannelOf(2), &state));
}

// Lowers this process's file-size limit for the object's life, with SIGXFSZ ignored as the
// program's start-up ignores it: a write past the limit then fails with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

TEST_F(FileDevicePosix, AnAppendThatFailsPartWayIsCutBackToItsLastWholeLine) {
  // The limit falls inside a line, met by the flush of lines the stream held (a sync, as after a
  // list file's records) or by a write that fills the stream's buffer; the old part of the file
  // ends inside a line, so the channel, once it held its lock, added a line end first.
  const std::string before = "old record, cut sho";
  const std::string line = "12-07-2026    10:41:07      /lists/blacklist.txt   entry\r\n";
  for (const bool failsInAWrite : {false, true}) {
    SCOPED_TRACE(failsInAWrite);
    writeFileBytes("chklist.log", before);
    const rlim_t limit = failsInAWrite ? 100000 : 1000;
    // Enough lines to pass the limit; without filling the stream's buffer (64 KiB) when the
    // failure is to come with the sync.
    const int lines = failsInAWrite ? 3000 : 30;
    int linesTaken = 0;
    {
      FileSizeLimit lowered(limit);
      ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
      ASSERT_EQ(lockChannel(9, 0x7FFFFFFE, 1), StatusCode::Ok);
      for (int index = 0; index < lines; ++index) {
        if (writeChannelBytes(lookupChannel(9), line.data(), line.size()) != StatusCode::Ok) break;
        ++linesTaken;
      }
      EXPECT_EQ(syncFile(fileChannelOf(9)), StatusCode::TransferFailed);
    }
    // Nothing more reaches the file, even with room again.
    EXPECT_EQ(writeChannelBytes(lookupChannel(9), line.data(), line.size()),
              StatusCode::TransferFailed);
    EXPECT_EQ(flushChannel(9), StatusCode::TransferFailed);
    EXPECT_EQ(closeChannel(9), StatusCode::TransferFailed);
    const std::string log = readFileBytes("chklist.log");
    ASSERT_EQ(log.substr(0, before.size() + 2), before + "\r\n");
    const std::string added = log.substr(before.size() + 2);
    const std::size_t whole = (limit - before.size() - 2) / line.size();
    EXPECT_EQ(added, [&] {
      std::string lines;
      for (std::size_t index = 0; index < whole; ++index) lines += line;
      return lines;
    }()) << "every whole line that fitted, and nothing of the next";
    EXPECT_EQ(linesTaken < lines, failsInAWrite);
  }
}

TEST_F(FileDevicePosix, AppendCreatesAPrivateFileOwnedAlone) {
  // The log's records can hold entries of private lists.
  const mode_t previous = umask(022);
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  umask(previous);
  EXPECT_TRUE(fileOwnedAlone(fileChannelOf(9)));
  EXPECT_EQ(closeChannel(9), StatusCode::Ok);
  EXPECT_EQ(fs::status("chklist.log").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A file others may write, or one with a second name, is not owned alone.
  fs::permissions("chklist.log", fs::perms::group_write, fs::perm_options::add);
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  EXPECT_FALSE(fileOwnedAlone(fileChannelOf(9)));
  EXPECT_EQ(closeChannel(9), StatusCode::Ok);
  fs::permissions("chklist.log", fs::perms::group_write, fs::perm_options::remove);
  fs::create_hard_link("chklist.log", "second-name");
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  EXPECT_FALSE(fileOwnedAlone(fileChannelOf(9)));
}

TEST_F(FileDevicePosix, NoOpenFollowsASymbolicLinkAtTheName) {
  writeFileBytes("real.txt", "entry\n");
  fs::create_symlink("real.txt", "link.txt");
  EXPECT_EQ(openChannel("link.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::NotOpened);
  EXPECT_EQ(openChannel("link.txt", OpenMode::Append, 0, 0, 9, 0), StatusCode::NotOpened);
  EXPECT_EQ(readFileBytes("real.txt"), "entry\n");
}

TEST_F(FileDevicePosix, ABackslashIsPartOfTheName) {
  ASSERT_EQ(openChannel("a\\b.txt", OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
  ASSERT_EQ(closeChannel(3), StatusCode::Ok);
  EXPECT_TRUE(fs::exists("a\\b.txt"));
}

TEST_F(FileDevicePosix, CommandsRunByTheProgramDoNotInheritChannelFiles) {
  writeFileBytes("list.txt", "x\n");
  ASSERT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  ASSERT_EQ(openChannel("list.tmp", OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  for (ChannelNumber channel : {2, 3, 9}) {
    const auto descriptor = static_cast<int>(fileStream(fileChannelOf(channel))->handle);
    EXPECT_NE(::fcntl(descriptor, F_GETFD) & FD_CLOEXEC, 0) << channel;
  }
}

// Another process's attempt to lock the first byte of chklist.log for writing: its status.
int lockFromAnotherProcess() {
  openChannel("chklist.log", OpenMode::Append, 0, 0, 10, 0);
  return static_cast<int>(lockChannel(10, 0, 1));
}

TEST_F(FileDevicePosix, ALockIsRefusedToAnotherProcessUntilUnlocked) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child is a fork: it shares the parent's files
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  ASSERT_EQ(lockChannel(9, 0, 1), StatusCode::Ok);
  EXPECT_EXIT(std::_Exit(lockFromAnotherProcess()), testing::ExitedWithCode(3), "");
  ASSERT_EQ(unlockChannel(9, 0, 1), StatusCode::Ok);
  EXPECT_EXIT(std::_Exit(lockFromAnotherProcess()), testing::ExitedWithCode(0), "");
}

TEST_F(FileDevicePosix, AReadOnlyChannelTakesASharedLock) {
  GTEST_FLAG_SET(death_test_style, "fast");
  writeFileBytes("chklist.log", "old\r\n");
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  ASSERT_EQ(lockChannel(2, 0, 1), StatusCode::Ok);
  EXPECT_EXIT(std::_Exit(lockFromAnotherProcess()), testing::ExitedWithCode(3), "");
}

TEST_F(FileDevicePosix, BinaryWithoutAccessFallsBackToReadOnly) {
  // A directory opens for reading only, whoever runs the test.
  fs::create_directory("dir");
  openChannel("dir", OpenMode::Binary, 0, 0, 7, 0);
  ASSERT_NE(lookupChannel(7)->hooks, nullptr);
  EXPECT_EQ(lookupChannel(7)->access, 1);
}

TEST_F(FileDevicePosix, ADirectoryReadAsAFileComesToAnEnd) {
  fs::create_directory("blacklist.txt");
  const StatusCode opened = openChannel("blacklist.txt", OpenMode::Input, 0, 0, 2, 0);
  if (lookupChannel(2)->hooks == nullptr) {
    EXPECT_EQ(opened, StatusCode::NotOpened);
    return;
  }
  int reads = 0;
  for (; reads < 100 && channelAtEnd(2) != -1; ++reads) {
    Text line;
    EXPECT_EQ(readLineInto(2, line), StatusCode::TransferFailed) << "not a complete, empty file";
    EXPECT_EQ(line, "");
  }
  EXPECT_LT(reads, 100) << "the failed stream must report its end";
  Text line = "previous";
  EXPECT_EQ(readLineInto(2, line), StatusCode::TransferFailed);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
}

TEST_F(FileDevicePosix, APipeIsReadToItsEndThoughItsLengthCannotBeMeasured) {
  ASSERT_EQ(::mkfifo("pipe", 0600), 0);
  // The open does not wait for a writer; the length of a pipe cannot be measured.
  EXPECT_EQ(openChannel("pipe", OpenMode::Input, 0, 0, 2, 0), StatusCode::TransferFailed);
  ASSERT_NE(lookupChannel(2)->hooks, nullptr) << "the channel stays open";
  const int writer = ::open("pipe", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  const std::string content = "a@example.org\nb@example.org\n";
  ASSERT_EQ(::write(writer, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(writer);
  std::vector<std::string> lines;
  for (int guard = 0; guard < 10 && channelAtEnd(2) != -1; ++guard) {
    Text line;
    readLineInto(2, line);
    lines.push_back(line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"a@example.org", "b@example.org", ""}));
}

// Reads of at most a few KiB, the third of which brings an interruption of the run with it; the
// number of reads that gave bytes.
int interruptingReads = 0;
std::int64_t readThenInterrupt(const FileStream& stream,
                               char* buffer,
                               std::size_t count,
                               int* error) {
  const std::int64_t read =
      defaultFileTransfers().read(stream, buffer, count < 8192 ? count : 8192, error);
  if (read > 0 && ++interruptingReads == 3) std::raise(SIGTERM);
  return read;
}

constexpr FileTransfers interruptingTransfers = {.read = readThenInterrupt, .write = nullptr};

// In a process of its own: reads the long line of list.txt while the interruption arrives, and
// exits with 0 when the read ended as it must.
[[noreturn]] void readInterruptedLine() {
  catchInterruptions();
  bool good = openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0) == StatusCode::Ok;
  if (good) useTransfers(*fileStream(fileChannelOf(2)), interruptingTransfers);
  Text line = "previous";
  good = good && readLineInto(2, line) == StatusCode::TransferFailed && line.empty() &&
         !fileLineTooLong(fileChannelOf(2)) && channelAtEnd(2) == -1;
  // The read that brought the interruption is the last one of the line.
  std::_Exit(good && runInterrupted() && interruptingReads == 3 ? 0 : 1);
}

TEST_F(FileDevicePosix, AnInterruptionEndsTheReadOfALongLineWithinAChunk) {
  // A line of 16 MiB is read in chunks; the interruption that arrives in the middle of it ends
  // the read before the next chunk, as a failed read, and is not taken for a line too long.
  writeFileBytes("list.txt", std::string(16 << 20, 'x') + "@\r\n" + "next@example.org\r\n");
  EXPECT_EXIT(readInterruptedLine(), testing::ExitedWithCode(0), "");
}

}  // namespace
