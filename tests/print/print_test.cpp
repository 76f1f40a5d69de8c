// The print operations on file channels, on a recording device at the table seam and on the
// console channel: the bytes written, the column kept and the status left behind.
#include "print/print.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console/console_writer.h"
#include "support/channel_test.h"
#include "support/console_grid.h"
#include "support/scratch_dir.h"
#include "system/file_stream.h"

namespace {

// A device that records every write it is handed, or fails them all.
std::vector<std::string> recordedWrites;
bool recordFails = false;

StatusCode recordWrite(Channel*, const char* bytes, std::size_t count) {
  recordedWrites.emplace_back(bytes, count);
  return setStatus(recordFails ? StatusCode::TransferFailed : StatusCode::Ok);
}

constexpr ChannelHooks recordingHooks = {.write = recordWrite};

class PrintTest : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    recordedWrites.clear();
    recordFails = false;
    // The console channel prints to an in-memory console; one row high, so it takes the byte
    // path and the grid's sink holds exactly the bytes channel 0 was given.
    grid.resize(80, 25, 1);
    consoleScope = std::make_unique<ConsoleGridScope>(grid);
  }
  void TearDown() override {
    ChannelTest::TearDown();
    clearChannelTable();  // channel 0 too: the next test sets it up on a grid of its own
  }

  // Channel `number` opened on the recording device at `column` with `width`.
  Channel* recordingChannel(ChannelNumber number, std::int32_t column, std::uint32_t width = 0) {
    Channel* record = lookupChannel(number);
    *record = Channel{};
    record->mode = OpenMode::Output;
    record->hooks = &recordingHooks;
    record->column = column;
    record->width = width;
    return record;
  }

  std::string consoleBytes() {
    consoleFlush();
    return grid.sink;
  }

  ConsoleGrid grid;
  std::unique_ptr<ConsoleGridScope> consoleScope;
};

TEST_F(PrintTest, PadReachesTheNextZoneOnAFile) {
  struct Case {
    std::string text;
    std::size_t blanks;
  };
  const Case cases[] = {
      {"", 14},
      {std::string(13, 'x'), 1},
      {std::string(14, 'x'), 14},
      {std::string(15, 'x'), 13},
      {std::string(20, 'x'), 8},
      {std::string(56, 'x'), 14},
      {std::string(73, 'x'), 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.size());
    ASSERT_EQ(openChannel("zones.txt", OpenMode::Output, 0, 0, 4, 0), StatusCode::Ok);
    printText(4, c.text, PrintMask::None);
    printText(4, "", PrintMask::PadToZone);
    const std::int32_t column = lookupChannel(4)->column;
    EXPECT_EQ(lastStatus(), StatusCode::Ok);
    ASSERT_EQ(closeChannel(4), StatusCode::Ok);
    EXPECT_EQ(readFileBytes("zones.txt"), c.text + std::string(c.blanks, ' '));
    EXPECT_EQ(column, static_cast<std::int32_t>(c.text.size() + c.blanks));
  }
}

TEST_F(PrintTest, LogRecordLaysItsItemsOutInZones) {
  struct Case {
    std::size_t third;
    std::string expected;
  };
  const std::string first(10, 'd');
  const std::string second(8, 't');
  const Case cases[] = {
      {30, first + "    " + second + "      " + std::string(30, 'p') + std::string(12, ' ') +
               "entry\r\n"},
      {28, first + "    " + second + "      " + std::string(28, 'p') + std::string(14, ' ') +
               "entry\r\n"},
      {27, first + "    " + second + "      " + std::string(27, 'p') + " " + "entry\r\n"},
      {45, first + "    " + second + "      " + std::string(45, 'p') + std::string(11, ' ') +
               "entry\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.third);
    ASSERT_EQ(openChannel("chklist.log", OpenMode::Output, 0, 0, 9, 0), StatusCode::Ok);
    printText(9, first, PrintMask::PadToZone);
    printText(9, second, PrintMask::PadToZone);
    printText(9, std::string(c.third, 'p'), PrintMask::PadToZone);
    printText(9, "entry", PrintMask::NewLine);
    EXPECT_EQ(lookupChannel(9)->column, 0);
    ASSERT_EQ(closeChannel(9), StatusCode::Ok);
    EXPECT_EQ(readFileBytes("chklist.log"), c.expected);
  }
}

TEST_F(PrintTest, ColumnCountsTheBytesAfterTheLastLineEnd) {
  struct Case {
    std::int32_t before;
    std::string text;
    std::int32_t after;
  };
  const Case cases[] = {
      {50, "ab\ncde", 3}, {50, "ab\rcde", 3}, {7, "xyz\r\n", 0},   {5, "abcd", 9},
      {5, "a\tb\x01", 9}, {0, "\r", 0},       {9, "\xc3\xa9", 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Channel* record = recordingChannel(6, c.before);
    printText(6, c.text, PrintMask::None);
    EXPECT_EQ(record->column, c.after);
  }
}

TEST_F(PrintTest, ColumnFindsTheLastLineEndWhereverItStands) {
  // Texts of every length up to 40 with one CR or LF at every position, with a second one
  // before it, among bytes that differ from CR and LF in one bit only, plain letters, the byte
  // just above CR and bytes with the high bit set: the column must be the number of bytes after
  // the last CR or LF, or grow by the whole length when there is none.
  for (const char filler : {'\x0c', 'a', '\x0e', '\x8d'}) {
    for (std::size_t length = 1; length <= 40; ++length) {
      for (std::size_t position = 0; position <= length; ++position) {
        for (const char lineEnd : {'\r', '\n'}) {
          std::string text(length, filler);
          if (filler == '\x0c') {
            for (std::size_t index = 0; index < length; index += 3) text[index] = '\x0b';
          }
          std::int32_t expected = 100 + static_cast<std::int32_t>(length);
          if (position < length) {
            text[position] = lineEnd;
            if (position > 1) text[position / 2] = '\n';
            expected = static_cast<std::int32_t>(length - position - 1);
          }
          SCOPED_TRACE(testing::Message() << "filler " << int(filler) << " length " << length
                                          << " position " << position);
          Channel* record = recordingChannel(6, 100);
          printText(6, text, PrintMask::None);
          EXPECT_EQ(record->column, expected);
        }
      }
    }
  }
}

TEST_F(PrintTest, TheMasksLineEndIsWrittenEvenAfterATextEndingInOne) {
  recordingChannel(6, 0);
  printText(6, "ab\r\n", PrintMask::NewLine);
  EXPECT_EQ(recordedWrites, (std::vector<std::string>{"ab\r\n", "\r\n"}));
}

// A block over `bytes`, as takeBufferedLines would give it: every line ending in an LF.
LineBlock blockOf(const std::string& bytes) {
  LineBlock block;
  block.bytes = bytes.data();
  block.buffered = bytes.size();
  block.count = findLineEndsPortable(bytes.data(), bytes.size(), '@', block.ends, block.marked,
                                     LineBlockLines);
  return block;
}

TEST_F(PrintTest, MarkedLinesOfABlockPrintAsTheirRunsDo) {
  // Lines long enough that the kept ones of a block pass a write buffer: its room is taken
  // again on the way.
  std::string wide;
  for (int line = 0; line < 1500; ++line) {
    wide += std::string(60 + line % 7, line % 5 == 1 ? 'w' : '@') + (line % 3 == 0 ? "\n" : "\r\n");
  }
  ASSERT_GT(wide.size(), StreamBufferSize);
  const struct {
    const char* what;
    std::string bytes;
    std::size_t from;
    std::size_t shortest;
  } cases[] = {
      {"marked or not, long enough or not", "a@\nbb\r\n@cc\n\r\n@\r\r\nxx@x\r\n", 0, 3},
      {"from the third on", "a\nb@\r\nc@c\nd@\r\ne\n", 2, 1},
      {"none kept", "a\nbb@\r\n", 0, 7},
      {"only the last, with NUL and lone CR", std::string("a\0\nbb\r\nc\r@\n", 12), 0, 0},
      {"lines that reach to the end of the bytes", "1234567@\n@", 0, 7},
      {"past the write buffer", wide, 1, 7},
      {"a line as long as a read buffer, then CR LF added", "a\n@" + std::string(65534, 'L') + "\n",
       0, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const LineBlock block = blockOf(c.bytes);
    std::string expected;
    std::vector<std::uint16_t> expectedDropped;
    for (std::size_t line = c.from; line < block.count; ++line) {
      const std::string_view text = block.line(line);
      if (text.find('@') != std::string_view::npos && text.size() >= c.shortest) {
        expected.append(text).append("\r\n");
      } else {
        expectedDropped.push_back(static_cast<std::uint16_t>(line));
      }
    }
    std::unique_ptr<std::uint16_t[]> dropped(new std::uint16_t[LineBlockLines]);
    recordedWrites.clear();
    recordingChannel(5, 0);
    std::size_t count = printMarkedLines(5, block, c.from, c.shortest, dropped.get());
    EXPECT_EQ(std::vector<std::uint16_t>(dropped.get(), dropped.get() + count), expectedDropped);
    std::string written;
    for (const std::string& piece : recordedWrites) written += piece;
    EXPECT_EQ(written, expected);
    ScratchDir scratch;
    ASSERT_EQ(openChannel("lines.out", OpenMode::Output, 0, 0, 7, 0), StatusCode::Ok);
    printText(7, "x", PrintMask::None);
    count = printMarkedLines(7, block, c.from, c.shortest, dropped.get());
    EXPECT_EQ(std::vector<std::uint16_t>(dropped.get(), dropped.get() + count), expectedDropped);
    EXPECT_EQ(lookupChannel(7)->column, expected.empty() ? 1 : 0);
    ASSERT_EQ(closeChannel(7), StatusCode::Ok);
    EXPECT_EQ(readFileBytes("lines.out"), "x" + expected);
  }
}

TEST_F(PrintTest, LinesOfABlockPrintAsLineByLineInFewerWrites) {
  const struct {
    const char* what;
    std::string bytes;
    std::size_t from, to;
    std::vector<std::string> writes;
  } cases[] = {
      {"a run ending in CR LF is one write", "ab\r\ncd\r\nef\r\n", 0, 3, {"ab\r\ncd\r\nef\r\n"}},
      {"an LF alone gets its CR", "ab\ncd\r\nef\n", 0, 3, {"ab", "\r\n", "cd\r\nef", "\r\n"}},
      {"empty lines", "\n\r\n\n", 0, 3, {"\r\n", "\r\n", "\r\n"}},
      {"a lone CR and a NUL inside are data",
       std::string("a\rb\0c\r\nd\r\r\n", 11),
       0,
       2,
       {std::string("a\rb\0c\r\nd\r\r\n", 11)}},
      {"only the lines asked for", "skip\nab\r\ncd\nskip\n", 1, 3, {"ab\r\ncd", "\r\n"}},
      {"no lines", "ab\n", 1, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const LineBlock block = blockOf(c.bytes);
    recordedWrites.clear();
    Channel* record = recordingChannel(5, 0);
    std::string lineByLine;
    for (std::size_t line = c.from; line < c.to; ++line) {
      lineByLine.append(block.line(line)).append("\r\n");
    }
    EXPECT_EQ(printLines(5, block, c.from, c.to), lineByLine.size());
    EXPECT_EQ(recordedWrites, c.writes);
    std::string written;
    for (const std::string& piece : recordedWrites) written += piece;
    EXPECT_EQ(written, lineByLine) << "the bytes printText with a line end gives line by line";
    EXPECT_EQ(record->column, 0);
    // On a file channel the lines go straight into its stream's buffer: the same bytes.
    ScratchDir scratch;
    ASSERT_EQ(openChannel("lines.out", OpenMode::Output, 0, 0, 7, 0), StatusCode::Ok);
    printText(7, "x", PrintMask::None);
    EXPECT_EQ(printLines(7, block, c.from, c.to), lineByLine.size());
    if (c.from < c.to) {
      EXPECT_EQ(lookupChannel(7)->column, 0);
    }
    ASSERT_EQ(closeChannel(7), StatusCode::Ok);
    EXPECT_EQ(readFileBytes("lines.out"), "x" + lineByLine);
  }
}

TEST_F(PrintTest, LinesOfABlockFillAFileChannelPastItsBuffer) {
  // Blocks that no longer fit the room left in the stream's buffer: it is written out first,
  // and nothing is lost or doubled.
  std::string bytes;
  for (int line = 0; bytes.size() < 40000; ++line) {
    bytes += "user" + std::to_string(line) + (line % 2 == 0 ? "@example.org\n" : "@x.org\r\n");
  }
  const LineBlock block = blockOf(bytes);
  ScratchDir scratch;
  ASSERT_EQ(openChannel("lines.out", OpenMode::Output, 0, 0, 7, 0), StatusCode::Ok);
  std::string expected;
  for (int round = 0; round < 5; ++round) {
    printLines(7, block, 0, block.count);
    for (std::size_t line = 0; line < block.count; ++line) {
      expected.append(block.line(line)).append("\r\n");
    }
  }
  ASSERT_EQ(closeChannel(7), StatusCode::Ok);
  EXPECT_EQ(readFileBytes("lines.out"), expected);
}

TEST_F(PrintTest, AFailedLinesWriteKeepsTheColumnAndLeavesItsStatus) {
  const std::string bytes = "ab\ncd\n";
  const LineBlock block = blockOf(bytes);
  Channel* record = recordingChannel(5, 7);
  recordFails = true;
  printLines(5, block, 0, 2);
  EXPECT_EQ(record->column, 7);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
  setStatus(StatusCode::Ok);
  printLines(300, block, 0, 2);
  EXPECT_EQ(lastStatus(), StatusCode::NotApplicable);
}

TEST_F(PrintTest, NothingToWriteLeavesEverythingAsItWas) {
  Channel* record = recordingChannel(6, 12);
  setStatus(StatusCode::TransferFailed);
  printText(6, "", PrintMask::None);
  printVoid(6, PrintMask::None);
  EXPECT_TRUE(recordedWrites.empty());
  EXPECT_EQ(record->column, 12);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
  EXPECT_EQ(lookupChannel(0)->hooks, nullptr);  // no print happened: channel 0 stays closed
}

TEST_F(PrintTest, BareLineEndResetsTheColumn) {
  Channel* record = recordingChannel(6, 38);
  printVoid(6, PrintMask::NewLine);
  EXPECT_EQ(recordedWrites, std::vector<std::string>{"\r\n"});
  EXPECT_EQ(record->column, 0);
  printText(6, "", PrintMask::NewLine);
  EXPECT_EQ(recordedWrites.size(), 2u);
  EXPECT_EQ(record->column, 0);
}

TEST_F(PrintTest, ClosedOrUnknownChannelsWriteNothingAndLeaveStatusOne) {
  for (ChannelNumber number : {5, 255, -1, -2}) {
    for (PrintMask mask : {PrintMask::None, PrintMask::NewLine, PrintMask::PadToZone}) {
      SCOPED_TRACE(number);
      SCOPED_TRACE(static_cast<int>(mask));
      setStatus(StatusCode::Ok);
      printText(number, "abc", mask);
      EXPECT_EQ(lastStatus(), StatusCode::NotApplicable);
      if (mask != PrintMask::None) {
        setStatus(StatusCode::Ok);
        printVoid(number, mask);
        EXPECT_EQ(lastStatus(), StatusCode::NotApplicable);
      }
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(scratch_.path()));
  EXPECT_EQ(consoleBytes(), "");
}

TEST_F(PrintTest, FailedWriteKeepsTheColumnAndTheTailIsStillAttempted) {
  Channel* record = recordingChannel(6, 10);
  recordFails = true;
  printText(6, "abc", PrintMask::PadToZone);
  EXPECT_EQ(record->column, 10);
  EXPECT_EQ(recordedWrites, (std::vector<std::string>{"abc", std::string(4, ' ')}));
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);

  recordFails = false;
  recordedWrites.clear();
  recordingChannel(7, 0);
  recordFails = true;
  printText(7, "abc", PrintMask::None);
  recordFails = false;
  printVoid(7, PrintMask::NewLine);
  EXPECT_EQ(lastStatus(), StatusCode::Ok);  // the status of the last write made
}

TEST_F(PrintTest, WidthBelowOneZoneNeverBreaksTheLine) {
  Channel* record = recordingChannel(6, 5, 10);
  padToZone(record);
  EXPECT_EQ(recordedWrites, std::vector<std::string>{std::string(9, ' ')});
  EXPECT_EQ(record->column, 4);  // 14 modulo the width
}

TEST_F(PrintTest, EightyColumnConsoleBreaksTheLineInsteadOfTheLastZone) {
  struct Case {
    std::int32_t column;
    std::string bytes;
    std::int32_t after;
  };
  const Case cases[] = {
      {0, std::string(14, ' '), 14},
      {42, std::string(14, ' '), 56},
      {50, std::string(6, ' '), 56},
      {55, std::string(1, ' '), 56},
      {56, "\r\n", 0},
      {60, "\r\n", 0},
      {79, "\r\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.column);
    grid.sink.clear();
    printVoid(0, PrintMask::None);
    setUpConsoleChannel();
    Channel* console = lookupChannel(0);
    console->column = c.column;
    printVoid(0, PrintMask::PadToZone);
    EXPECT_EQ(consoleBytes(), c.bytes);
    EXPECT_EQ(console->column, c.after);
  }
}

TEST_F(PrintTest, ConsoleColumnWrapsAtItsWidth) {
  printText(0, std::string(100, 'x'), PrintMask::None);
  EXPECT_EQ(lookupChannel(0)->column, 20);
  EXPECT_EQ(lastStatus(), StatusCode::Ok);
  EXPECT_EQ(consoleBytes(), std::string(100, 'x'));
}

TEST_F(PrintTest, FirstPrintOnAnyChannelSetsTheConsoleChannelUp) {
  ASSERT_EQ(openChannel("list.tmp", OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
  EXPECT_EQ(lookupChannel(0)->hooks, nullptr);
  printText(3, "someone@example.org", PrintMask::NewLine);
  const Channel* console = lookupChannel(0);
  ASSERT_NE(console->hooks, nullptr);
  EXPECT_EQ(console->width, 80u);
  EXPECT_EQ(console->column, 0);
  EXPECT_EQ(console->mode, OpenMode::Append);
  EXPECT_EQ(console->access, 3);

  // It stays so: closing every file channel leaves the console and its column alone.
  printText(0, "Checking ", PrintMask::None);
  EXPECT_EQ(closeChannel(0), StatusCode::Ok);
  printText(0, "x", PrintMask::None);
  EXPECT_EQ(lookupChannel(0)->column, 10);
  EXPECT_EQ(consoleBytes(), "Checking x");
}

TEST_F(PrintTest, ConsoleChannelStartsAtTheCursorsColumn) {
  consoleScope.reset();
  grid = ConsoleGrid();
  grid.placeCursor(37, 4);
  consoleScope = std::make_unique<ConsoleGridScope>(grid);
  printText(0, "#", PrintMask::None);
  EXPECT_EQ(lookupChannel(0)->width, 80u);
  EXPECT_EQ(lookupChannel(0)->column, 38);
  EXPECT_EQ(grid.row(4), std::string(37, ' ') + "#");
}

TEST_F(PrintTest, ConsoleWidthIsTheBuffersWidthTakenOnce) {
  consoleScope.reset();
  grid = ConsoleGrid();
  grid.resize(120, 50, 30);
  grid.window.right = 99;
  consoleScope = std::make_unique<ConsoleGridScope>(grid);
  printVoid(0, PrintMask::NewLine);
  EXPECT_EQ(lookupChannel(0)->width, 120u);
  grid.resize(60, 50, 30);
  printVoid(0, PrintMask::NewLine);
  EXPECT_EQ(lookupChannel(0)->width, 120u);
}

}  // namespace
