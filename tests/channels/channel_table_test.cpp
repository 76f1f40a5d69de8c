// The channel table: numbers, opening in the five modes, closing, writing through a device's
// table, and the channel closer that runs at process exit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "channels/channel.h"
#include "channels/file_device.h"
#include "channels/line_reader.h"
#include "support/channel_test.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

// A closed record has every field zero.
bool isClosedRecord(ChannelNumber channel) {
  const Channel* record = lookupChannel(channel);
  return record != nullptr && record->hooks == nullptr && record->stream == nullptr &&
         record->mode == OpenMode::Binary && record->recordLength == 0 && record->encoding == 0 &&
         record->size == 0 && record->access == 0 && record->lockMode == 0 && record->column == 0 &&
         record->width == 0;
}

StatusCode writeText(ChannelNumber channel, const std::string& bytes) {
  return writeChannelBytes(lookupChannel(channel), bytes.data(), bytes.size());
}

StatusCode failingWrite(Channel*, const char*, std::size_t) {
  return setStatus(StatusCode::TransferFailed);
}

StatusCode failingClose(Channel*) { return setStatus(StatusCode::TransferFailed); }

using ChannelNumbers = ChannelTest;

TEST_F(ChannelNumbers, OutOfRangeNumbersAreRefusedEverywhere) {
  for (ChannelNumber number : {255, 1000, -2}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(lookupChannel(number), nullptr);
    EXPECT_EQ(openChannel("made.txt", OpenMode::Output, 0, 0, number, 0),
              StatusCode::NotApplicable);
    EXPECT_FALSE(fs::exists("made.txt"));
    setStatus(StatusCode::Ok);
    EXPECT_EQ(closeChannel(number), StatusCode::NotApplicable);
    EXPECT_EQ(lastStatus(), StatusCode::NotApplicable);
    setStatus(StatusCode::Ok);
    EXPECT_EQ(writeChannelBytes(lookupChannel(number), "x", 1), StatusCode::NotApplicable);
    EXPECT_EQ(lastStatus(), StatusCode::NotApplicable);
    EXPECT_EQ(flushChannel(number), StatusCode::NotApplicable);
    EXPECT_EQ(syncFile(fileChannelOf(number)), StatusCode::NotApplicable);
    EXPECT_EQ(lockChannel(number, 0, 1), StatusCode::NotApplicable);
    EXPECT_EQ(unlockChannel(number, 0, 1), StatusCode::NotApplicable);
  }
}

TEST_F(ChannelNumbers, EveryNumberFromMinusOneTo254HasItsOwnClosedRecord) {
  for (ChannelNumber number = -1; number <= HighestFileChannel; ++number) {
    ASSERT_TRUE(isClosedRecord(number)) << number;
    if (number > -1) {
      ASSERT_NE(lookupChannel(number), lookupChannel(number - 1)) << number;
    }
  }
}

TEST_F(ChannelNumbers, ClosedChannelsRefuseCloseWriteFlushAndLock) {
  EXPECT_EQ(closeChannel(5), StatusCode::NotApplicable);
  EXPECT_EQ(writeText(5, "x"), StatusCode::NotApplicable);
  EXPECT_EQ(flushChannel(5), StatusCode::NotApplicable);
  EXPECT_EQ(syncFile(fileChannelOf(5)), StatusCode::NotApplicable);
  EXPECT_EQ(lockChannel(5, 0, 1), StatusCode::NotApplicable);
  EXPECT_EQ(writeChannelBytes(nullptr, "x", 1), StatusCode::NotApplicable);
}

using ChannelOpen = ChannelTest;

TEST_F(ChannelOpen, BusyChannelKeepsItsFileAndCreatesNothing) {
  writeFileBytes("list.txt", "first\nsecond\n");
  writeFileBytes("other.txt", "keep me");
  ASSERT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 3, 0), StatusCode::Ok);
  Text line;
  ASSERT_EQ(readLineInto(3, line), StatusCode::Ok);
  ASSERT_EQ(line, "first");
  lookupChannel(3)->column = 7;

  for (OpenMode mode : {OpenMode::Output, OpenMode::Append, OpenMode::Binary, OpenMode::Input}) {
    SCOPED_TRACE(static_cast<int>(mode));
    setStatus(StatusCode::Ok);
    EXPECT_EQ(openChannel("new.txt", mode, 0, 0, 3, 0), StatusCode::NotApplicable);
    EXPECT_EQ(lastStatus(), StatusCode::NotApplicable);
    EXPECT_EQ(openChannel("other.txt", mode, 0, 0, 3, 0), StatusCode::NotApplicable);
  }
  EXPECT_FALSE(fs::exists("new.txt"));
  EXPECT_EQ(readFileBytes("other.txt"), "keep me");
  EXPECT_EQ(lookupChannel(3)->column, 7);
  EXPECT_EQ(lookupChannel(3)->mode, OpenMode::Input);
  ASSERT_EQ(readLineInto(3, line), StatusCode::Ok);
  EXPECT_EQ(line, "second");
}

TEST_F(ChannelOpen, FailedOpensLeaveTheChannelClosedAndCreateNothing) {
  struct Case {
    const char* what;
    std::string name;
    OpenMode mode;
    int access;
    StatusCode expected;
  };
  const Case cases[] = {
      {"missing file for input", "missing.txt", OpenMode::Input, 0, StatusCode::NotOpened},
      {"missing file read-only", "missing.txt", OpenMode::Binary, 1, StatusCode::NotOpened},
      {"missing directory", "nodir/new.txt", OpenMode::Output, 0, StatusCode::NotOpened},
      {"missing directory, append", "nodir/new.txt", OpenMode::Append, 0, StatusCode::NotOpened},
      {"missing directory, random", "nodir/new.txt", OpenMode::Random, 0, StatusCode::NotOpened},
      {"mode out of range", "new.txt", static_cast<OpenMode>(5), 0, StatusCode::NotApplicable},
      {"negative mode", "new.txt", static_cast<OpenMode>(-1), 0, StatusCode::NotApplicable},
      {"NUL inside the name", std::string("new.txt\0.bak", 12), OpenMode::Output, 0,
       StatusCode::NotOpened},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    setStatus(StatusCode::Ok);
    EXPECT_EQ(openChannel(c.name, c.mode, c.access, 4, 6, 99), c.expected);
    EXPECT_EQ(lastStatus(), c.expected);
    EXPECT_TRUE(isClosedRecord(6));
    EXPECT_EQ(closeChannel(6), StatusCode::NotApplicable);
    EXPECT_EQ(channelAtEnd(6), 1);
  }
  EXPECT_FALSE(fs::exists("missing.txt"));
  EXPECT_FALSE(fs::exists("new.txt"));
  EXPECT_FALSE(fs::exists("nodir"));
}

TEST_F(ChannelOpen, EmptyNameFailsInEveryMode) {
  for (int mode = 0; mode <= 4; ++mode) {
    for (int access = 0; access <= 3; ++access) {
      SCOPED_TRACE(testing::Message() << "mode " << mode << " access " << access);
      EXPECT_EQ(openChannel("", static_cast<OpenMode>(mode), access, 0, 4, 0),
                StatusCode::NotOpened);
      EXPECT_TRUE(isClosedRecord(4));
    }
  }
  EXPECT_TRUE(fs::is_empty(scratch_.path()));
}

TEST_F(ChannelOpen, OutputEmptiesAnExistingFileAtOnce) {
  writeFileBytes("list.tmp", "old contents\r\n");
  ASSERT_EQ(openChannel("list.tmp", OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
  EXPECT_EQ(fs::file_size("list.tmp"), 0u) << "emptied before anything is written";
  EXPECT_EQ(closeChannel(3), StatusCode::Ok);
  EXPECT_EQ(readFileBytes("list.tmp"), "");
}

TEST_F(ChannelOpen, AppendCreatesAMissingFileAndWritesAfterOldContents) {
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  EXPECT_TRUE(fs::exists("chklist.log")) << "created by the open";
  ASSERT_EQ(writeText(9, "one\r\n"), StatusCode::Ok);
  ASSERT_EQ(closeChannel(9), StatusCode::Ok);
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  ASSERT_EQ(writeText(9, "two\r\n"), StatusCode::Ok);
  ASSERT_EQ(closeChannel(9), StatusCode::Ok);
  EXPECT_EQ(readFileBytes("chklist.log"), "one\r\ntwo\r\n");
}

TEST_F(ChannelOpen, AnAppendChannelHoldingItsLockStartsOnANewLine) {
  // The run lock: one byte far beyond the file's end.
  constexpr std::int64_t LockOffset = 0x7FFFFFFE;
  const struct {
    const char* what;
    std::string before;
    bool write;
    std::string after;
  } cases[] = {
      {"ends inside a line", "old record, cut sho", true, "old record, cut sho\r\nnew\r\n"},
      {"ends in a CR", "old\r", true, "old\r\r\nnew\r\n"},
      {"ends with LF", "old\r\n", true, "old\r\nnew\r\n"},
      {"empty", "", true, "new\r\n"},
      {"nothing written after the lock", "old record, cut sho", false, "old record, cut sho\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFileBytes("chklist.log", c.before);
    ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
    EXPECT_EQ(lockChannel(9, LockOffset, 1), StatusCode::Ok);
    EXPECT_EQ(lockChannel(9, LockOffset - 1, 1), StatusCode::Ok) << "a second lock adds nothing";
    if (c.write) {
      EXPECT_EQ(writeText(9, "new"), StatusCode::Ok);
      EXPECT_EQ(writeText(9, "\r\n"), StatusCode::Ok);
    }
    EXPECT_EQ(closeChannel(9), StatusCode::Ok);
    EXPECT_EQ(readFileBytes("chklist.log"), c.after);
  }
}

TEST_F(ChannelOpen, WrittenBytesReachTheFileUnchanged) {
  const std::string bytes(
      "a\r\nb\nc\rd\0e\x1a"
      "f\r\n",
      13);
  ASSERT_EQ(openChannel("out.bin", OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
  ASSERT_EQ(writeText(3, bytes), StatusCode::Ok);
  ASSERT_EQ(writeText(3, ""), StatusCode::Ok) << "an empty run is complete";
  ASSERT_EQ(closeChannel(3), StatusCode::Ok);
  EXPECT_EQ(readFileBytes("out.bin"), bytes);
}

TEST_F(ChannelOpen, RunsOfEveryShortLengthArriveWholeAndInOrder) {
  // Short runs are copied into the stream's buffer in pieces chosen by their length; every
  // length up to well past the longest piece, over and over until the buffer has been flushed
  // many times, must leave exactly the bytes written.
  std::string expected;
  ASSERT_EQ(openChannel("runs.bin", OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
  for (int round = 0; round < 60; ++round) {
    for (std::size_t length = 0; length <= 70; ++length) {
      std::string run(length, '\0');
      for (std::size_t index = 0; index < length; ++index) {
        run[index] = static_cast<char>('A' + (round + length + index) % 53);
      }
      ASSERT_EQ(writeText(3, run), StatusCode::Ok) << "length " << length;
      expected += run;
    }
  }
  ASSERT_EQ(closeChannel(3), StatusCode::Ok);
  EXPECT_GT(expected.size(), 128u * 1024u);
  EXPECT_EQ(readFileBytes("runs.bin"), expected);
}

TEST_F(ChannelOpen, FlushPushesBufferedBytesBeforeTheClose) {
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  ASSERT_EQ(writeText(9, "record\r\n"), StatusCode::Ok);
  EXPECT_EQ(readFileBytes("chklist.log"), "") << "still in the stream's buffer";
  EXPECT_EQ(flushChannel(9), StatusCode::Ok);
  EXPECT_EQ(readFileBytes("chklist.log"), "record\r\n");
}

TEST_F(ChannelOpen, SyncPushesBufferedBytesAndKeepsTheChannelOpen) {
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  ASSERT_EQ(writeText(9, "record\r\n"), StatusCode::Ok);
  setStatus(StatusCode::NotOpened);
  EXPECT_EQ(syncFile(fileChannelOf(9)), StatusCode::Ok);
  EXPECT_EQ(lastStatus(), StatusCode::Ok);
  EXPECT_EQ(readFileBytes("chklist.log"), "record\r\n");
  ASSERT_EQ(writeText(9, "next\r\n"), StatusCode::Ok);
  EXPECT_EQ(closeChannel(9), StatusCode::Ok);
  EXPECT_EQ(readFileBytes("chklist.log"), "record\r\nnext\r\n");
  EXPECT_EQ(syncFile(fileChannelOf(9)), StatusCode::NotApplicable) << "closed";
}

TEST_F(ChannelOpen, NamesWithForwardSlashesReachFilesInSubdirectories) {
  fs::create_directories("sub/dir");
  ASSERT_EQ(openChannel("sub/dir/list.txt", OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
  ASSERT_EQ(writeText(3, "x@example.org\r\n"), StatusCode::Ok);
  ASSERT_EQ(closeChannel(3), StatusCode::Ok);
  EXPECT_EQ(readFileBytes("sub/dir/list.txt"), "x@example.org\r\n");
}

TEST_F(ChannelOpen, ReopenAfterCloseStartsAtColumnZero) {
  writeFileBytes("list.txt", "line\n");
  ASSERT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  lookupChannel(2)->column = 12;
  ASSERT_EQ(closeChannel(2), StatusCode::Ok);
  EXPECT_TRUE(isClosedRecord(2));
  ASSERT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  EXPECT_EQ(lookupChannel(2)->column, 0);
  Text line;
  ASSERT_EQ(readLineInto(2, line), StatusCode::Ok);
  EXPECT_EQ(line, "line");
}

TEST_F(ChannelOpen, RecordsTheMeasuredLengthModeAndAccess) {
  writeFileBytes("list.txt", "12345");
  struct Case {
    OpenMode mode;
    int access;
    int recordLength;
    std::int64_t size;  // -1: not checked (an Append channel's size is never read)
    std::int32_t recordedLength;
    std::int32_t recordedAccess;
  };
  const Case cases[] = {
      {OpenMode::Input, 0, 0, 5, 128, 3},   {OpenMode::Input, 1, 64, 5, 64, 1},
      {OpenMode::Binary, 0, 64, 5, 0, 3},   {OpenMode::Binary, 1, 0, 5, 0, 1},
      {OpenMode::Random, 3, -4, 5, 128, 3}, {OpenMode::Append, 0, 64, -1, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    ASSERT_EQ(openChannel("list.txt", c.mode, c.access, 2, 7, c.recordLength), StatusCode::Ok);
    const Channel* record = lookupChannel(7);
    if (c.size >= 0) {
      EXPECT_EQ(record->size, c.size);
    }
    EXPECT_EQ(record->recordLength, c.recordedLength);
    EXPECT_EQ(record->access, c.recordedAccess);
    EXPECT_EQ(record->lockMode, 2);
    EXPECT_EQ(record->mode, c.mode);
    ASSERT_EQ(closeChannel(7), StatusCode::Ok);
  }
  EXPECT_EQ(readFileBytes("list.txt"), "12345") << "no mode above changes the file";
}

TEST_F(ChannelOpen, BinaryWithoutAccessFallsBackToReadOnlyForAReadOnlyFile) {
  writeFileBytes("locked.txt", "data");
  fs::permissions("locked.txt", fs::perms::owner_read, fs::perm_options::replace);
  std::FILE* probe = std::fopen("locked.txt", "r+b");
  if (probe != nullptr) {
    std::fclose(probe);
    GTEST_SKIP() << "permissions are not enforced here (running as root?)";
  }
  ASSERT_EQ(openChannel("locked.txt", OpenMode::Binary, 0, 0, 7, 0), StatusCode::Ok);
  EXPECT_EQ(lookupChannel(7)->access, 1);
  EXPECT_EQ(lookupChannel(7)->size, 4);
  ASSERT_EQ(closeChannel(7), StatusCode::Ok);
  EXPECT_EQ(readFileBytes("locked.txt"), "data");
}

TEST_F(ChannelOpen, SizesBeyondFourGibibytesAreMeasuredExactly) {
  // A 32-bit length would make such a list look empty, or shorter than it is.
  constexpr std::uintmax_t bigSize = (std::uintmax_t{1} << 32) + 3;
  std::error_code error;
  writeFileBytes("big.txt", "");
  fs::resize_file("big.txt", bigSize, error);
  if (error) GTEST_SKIP() << "cannot make a large sparse file here: " << error.message();
  ASSERT_EQ(openChannel("big.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  EXPECT_EQ(lookupChannel(2)->size, static_cast<std::int64_t>(bigSize));
  EXPECT_EQ(channelAtEnd(2), 0);
}

using ChannelClose = ChannelTest;

TEST_F(ChannelClose, CloseZeroClosesEveryFileChannelAndLeavesTheConsole) {
  Channel* console = lookupChannel(ConsoleChannel);
  ChannelHooks consoleHooks{};
  consoleHooks.write = failingWrite;
  console->hooks = &consoleHooks;
  console->column = 9;
  for (ChannelNumber channel : {1, 2, 254}) {
    const std::string name = "file" + std::to_string(channel) + ".txt";
    ASSERT_EQ(openChannel(name, OpenMode::Output, 0, 0, channel, 0), StatusCode::Ok);
    ASSERT_EQ(writeText(channel, name), StatusCode::Ok);
  }
  setStatus(StatusCode::TransferFailed);
  EXPECT_EQ(closeChannel(0), StatusCode::Ok);
  EXPECT_EQ(lastStatus(), StatusCode::Ok);
  for (ChannelNumber channel : {1, 2, 254}) {
    const std::string name = "file" + std::to_string(channel) + ".txt";
    EXPECT_TRUE(isClosedRecord(channel)) << channel;
    EXPECT_EQ(readFileBytes(name), name);
  }
  EXPECT_EQ(console->hooks, &consoleHooks);
  EXPECT_EQ(console->column, 9);
  EXPECT_EQ(closeChannel(0), StatusCode::Ok) << "nothing left open";
  console->hooks = nullptr;
}

TEST_F(ChannelClose, AFailedCloseIsReportedAndTheChannelIsClosedAllTheSame) {
  ChannelHooks hooks{};
  hooks.close = failingClose;
  lookupChannel(8)->hooks = &hooks;
  EXPECT_EQ(closeChannel(8), StatusCode::TransferFailed);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
  EXPECT_TRUE(isClosedRecord(8));

  lookupChannel(8)->hooks = &hooks;
  closeAllChannels();
  EXPECT_TRUE(isClosedRecord(8));
}

TEST_F(ChannelClose, ADeviceWithoutCloseIsStillClosed) {
  ChannelHooks hooks{};
  lookupChannel(8)->hooks = &hooks;
  EXPECT_EQ(closeChannel(8), StatusCode::Ok);
  EXPECT_TRUE(isClosedRecord(8));
}

using ChannelWrite = ChannelTest;

TEST_F(ChannelWrite, GoesThroughTheDeviceSlots) {
  ChannelHooks hooks{};
  Channel* record = lookupChannel(4);
  record->hooks = &hooks;
  Text line = "kept";
  EXPECT_EQ(channelAtEnd(4), -1) << "no atEnd slot";
  EXPECT_EQ(readLineInto(4, line), StatusCode::NotApplicable) << "no readLine slot";
  EXPECT_EQ(line, "kept");
  hooks.atEnd = [](Channel*) { return 0; };
  hooks.readLine = [](Channel*, Text& destination) {
    destination = "from the device";
    return setStatus(StatusCode::TransferFailed);
  };
  EXPECT_EQ(channelAtEnd(4), 0);
  EXPECT_EQ(readLineInto(4, line), StatusCode::TransferFailed);
  EXPECT_EQ(line, "from the device");
  EXPECT_EQ(writeChannelBytes(record, "x", 1), StatusCode::NotApplicable) << "no write slot";
  EXPECT_EQ(flushChannel(4), StatusCode::NotApplicable) << "no flush slot";
  EXPECT_EQ(syncFile(fileChannelOf(4)), StatusCode::NotApplicable) << "no flush slot";
  EXPECT_EQ(lockChannel(4, 0, 1), StatusCode::NotApplicable) << "no lock slot";
  hooks.write = failingWrite;
  setStatus(StatusCode::Ok);
  EXPECT_EQ(writeChannelBytes(record, "x", 1), StatusCode::TransferFailed);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
  record->hooks = nullptr;
}

TEST_F(ChannelWrite, DoesNotMoveTheColumn) {
  ASSERT_EQ(openChannel("out.txt", OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
  lookupChannel(3)->column = 4;
  ASSERT_EQ(writeText(3, "abcdef"), StatusCode::Ok);
  EXPECT_EQ(lookupChannel(3)->column, 4);
}

TEST_F(ChannelWrite, LockOfLengthZeroIsNotApplicable) {
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  EXPECT_EQ(lockChannel(9, 0, 0), StatusCode::NotApplicable);
  EXPECT_EQ(unlockChannel(9, 0, 0), StatusCode::NotApplicable);
  EXPECT_EQ(lockChannel(9, 0, 1), StatusCode::Ok);
  EXPECT_EQ(unlockChannel(9, 0, 1), StatusCode::Ok);
}

// The exit tests run in a fresh child process ("threadsafe" death tests re-run the test there),
// so no channel has been opened in it before the test's own first open. The child cannot hand
// files back, so the last channel it closes at exit reports the file on stderr and ends it.
constexpr int ReportedExitCode = 42;
fs::path reportedFile;

StatusCode reportFileAndEnd(Channel*) {
  const std::string bytes = readFileBytes(reportedFile);
  std::fprintf(stderr, "file holds [%s]\n", bytes.c_str());
  std::error_code error;
  fs::remove_all(reportedFile.parent_path(), error);  // the child's own scratch directory
  std::_Exit(ReportedExitCode);
}

// Puts the reporting device on channel 254, the last one the closer reaches.
void reportAtExit(const fs::path& file) {
  static ChannelHooks reportingHooks{};
  reportingHooks.close = reportFileAndEnd;
  reportedFile = file;
  lookupChannel(HighestFileChannel)->hooks = &reportingHooks;
}

using ChannelCloser = ChannelTest;

TEST_F(ChannelCloser, BufferedOutputReachesTheFileAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        openChannel("list.tmp", OpenMode::Output, 0, 0, 3, 0);
        writeText(3, "kept");
        // _Exit in the report skips stdio's own flush: only the closer can write the bytes.
        reportAtExit(scratch_.path() / "list.tmp");
        std::exit(0);
      },
      testing::ExitedWithCode(ReportedExitCode), "file holds \\[kept\\]");
}

TEST_F(ChannelCloser, IsRegisteredByAFirstOpenThatFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        openChannel("missing.txt", OpenMode::Input, 0, 0, 1, 0);
        // Opened past openChannel, so only the failed open above can have registered the closer.
        Channel* record = lookupChannel(3);
        record->mode = OpenMode::Output;
        openNamedDevice(record, nullptr, "list.tmp");
        writeText(3, "kept");
        reportAtExit(scratch_.path() / "list.tmp");
        std::exit(0);
      },
      testing::ExitedWithCode(ReportedExitCode), "file holds \\[kept\\]");
}

TEST_F(ChannelCloser, IsNotRegisteredWithoutAnyOpen) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The counterpart of the test above: without an open nothing closes the channels at exit.
  EXPECT_EXIT(
      {
        reportAtExit(scratch_.path() / "list.tmp");
        std::error_code error;
        fs::remove_all(scratch_.path(), error);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
