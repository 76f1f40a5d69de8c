// The console writer's text engine and byte path, run against the in-memory console: what the
// screen shows, where the cursor stands and which bytes reach standard output.
#include "console/console_writer.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/console_grid.h"

namespace {

class ConsoleWriterTest : public ::testing::Test {
 protected:
  ConsoleGrid grid;

  // The console channel's set-up: the first console access of a run.
  void start() {
    scope.reset();
    scope = std::make_unique<ConsoleGridScope>(grid);
    consoleSize(nullptr, nullptr);
    consoleCursorColumn();
  }

  void write(const std::string& bytes) {
    consoleWrite(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  }

  void expectCursor(int x, int y) {
    EXPECT_EQ(grid.cursor.x, x);
    EXPECT_EQ(grid.cursor.y, y);
  }

  // The rows named showing their text, and the cursor at (x, y).
  void expectScreen(std::initializer_list<std::pair<int, std::string>> rows, int x, int y) {
    for (const auto& [row, text] : rows) EXPECT_EQ(grid.row(row), text) << "row " << row;
    expectCursor(x, y);
  }

  std::unique_ptr<ConsoleGridScope> scope;
};

TEST_F(ConsoleWriterTest, TextWrapsAtTheBuffersRightEdge) {
  grid.placeCursor(78, 0);
  start();
  write("abc");
  expectScreen({{0, std::string(78, ' ') + "ab"}, {1, "c"}}, 1, 1);
}

TEST_F(ConsoleWriterTest, TextEndingInTheBottomRightCellWaitsForTheNextWriteToScroll) {
  grid.type("top line");
  grid.placeCursor(75, 24);
  start();
  write("abcde");
  expectScreen({{0, "top line"}, {24, std::string(75, ' ') + "abcde"}}, 79, 24);
  write("");  // keeps the owed line feed
  expectScreen({{0, "top line"}}, 79, 24);
  write("x");
  expectScreen({{0, ""}, {23, std::string(75, ' ') + "abcde"}, {24, "x"}}, 1, 24);
}

TEST_F(ConsoleWriterTest, LineEndOnTheBottomRowScrollsWithinTheSameWrite) {
  grid.type("top line");
  grid.placeCursor(0, 24);
  start();
  write("end\r\n");
  expectScreen({{0, ""}, {23, "end"}, {24, ""}}, 0, 24);
}

TEST_F(ConsoleWriterTest, AFullRowFollowedByALineEndLeavesAnEmptyRow) {
  start();
  write(std::string(80, 'a') + "\r\nb");
  expectScreen({{0, std::string(80, 'a')}, {1, ""}, {2, "b"}}, 1, 2);
}

TEST_F(ConsoleWriterTest, TabBlanksReachTheNextMultipleOfEight) {
  struct Case {
    int from;
    int to;
  };
  for (Case c : {Case{0, 8}, Case{7, 8}, Case{8, 16}, Case{76, 0}}) {
    SCOPED_TRACE(c.from);
    grid = ConsoleGrid();
    grid.type(std::string(80, 'z'));
    grid.placeCursor(c.from, 0);
    start();
    write("\tx");
    const int row = c.to > c.from ? 0 : 1;
    const std::string shown = grid.row(row);
    ASSERT_GT(shown.size(), static_cast<std::size_t>(c.to));
    EXPECT_EQ(shown[c.to], 'x');
    if (row == 0) {
      EXPECT_EQ(shown.substr(c.from, c.to - c.from), std::string(c.to - c.from, ' '));
    }
    expectCursor(c.to + 1, row);
  }
}

TEST_F(ConsoleWriterTest, BackspaceMovesBackWithoutErasingAndStopsAtTheLeftEdge) {
  start();
  write("\bX");
  EXPECT_EQ(grid.row(0), "X");
  write("\r\nab\bc");
  expectScreen({{1, "ac"}}, 2, 1);
  write("\r\n" + std::string(80, 'q') + "\b\bZ");
  EXPECT_EQ(grid.row(3), "Z");  // the wrap moved on a row: BS never goes back up
}

TEST_F(ConsoleWriterTest, BellSoundsBeforeTheBytesCollectedAheadOfIt) {
  start();
  write("ab\x07z");
  ASSERT_EQ(grid.screenAtBeep.size(), 1u);
  EXPECT_EQ(grid.screenAtBeep[0].find("ab"), std::string::npos);
  expectScreen({{0, "abz"}}, 3, 0);
}

TEST_F(ConsoleWriterTest, LongTextGoesOutInRunsOf256SplitAtTheRightEdge) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>('A' + i % 26);
  struct Case {
    int from;
    std::vector<int> widths;
  };
  for (const Case& c : {Case{0, {80, 80, 80, 16, 44}}, Case{70, {10, 80, 80, 80, 6, 44}}}) {
    SCOPED_TRACE(c.from);
    grid = ConsoleGrid();
    grid.placeCursor(c.from, 0);
    start();
    write(text);
    EXPECT_EQ(grid.cellWrites, c.widths);
    std::string shown;
    for (int y = 0; y < 5; ++y) shown += grid.row(y);
    EXPECT_EQ(shown, std::string(c.from, ' ') + text);
  }
}

TEST_F(ConsoleWriterTest, WindowFollowsDownTheBufferThenTheBufferScrolls) {
  grid.resize(80, 40, 25);
  grid.cursorMovesWindow = false;
  start();
  for (int i = 0; i < 30; ++i) write("line " + std::to_string(i) + "\r\n");
  EXPECT_EQ(grid.row(0), "line 0");  // nothing moved inside the buffer
  EXPECT_EQ(grid.window.top, 6);
  EXPECT_EQ(grid.window.bottom, 30);
  EXPECT_EQ(grid.windowRows()[23], "line 29");
  expectCursor(0, 30);

  for (int i = 30; i < 50; ++i) write("line " + std::to_string(i) + "\r\n");
  EXPECT_EQ(grid.window.bottom, 39);
  EXPECT_EQ(grid.row(38), "line 49");
  EXPECT_EQ(grid.row(0), "line 11");  // the buffer's top rows are lost
  expectCursor(0, 39);
}

TEST_F(ConsoleWriterTest, WindowKeepsItsColumnsWhenNarrowerThanTheBuffer) {
  grid.resize(120, 60, 25);
  grid.window.right = 79;
  grid.cursorMovesWindow = false;
  start();
  for (int i = 0; i < 30; ++i) write("line\r\n");
  EXPECT_EQ(grid.window.left, 0);
  EXPECT_EQ(grid.window.right, 79);
  EXPECT_EQ(grid.window.bottom, 30);
}

TEST_F(ConsoleWriterTest, CursorBelowAScrolledUpWindowBringsTheViewDown) {
  grid.resize(80, 60, 25);
  grid.cursorMovesWindow = false;
  start();
  for (int i = 0; i < 34; ++i) write("line\r\n");
  ASSERT_EQ(grid.window.bottom, 34);
  grid.window.top = 0;  // the user scrolls back up
  grid.window.bottom = 24;
  write("a");
  write("b");
  EXPECT_EQ(grid.row(34), "ab");
  EXPECT_EQ(grid.window.bottom, 34);
  EXPECT_EQ(grid.row(0), "line");
}

TEST_F(ConsoleWriterTest, OutputOfAnotherProgramIsContinuedNotOverwritten) {
  start();
  write("Checking a ");
  grid.type("1 file(s) moved.\r\n");
  write("#");
  EXPECT_EQ(grid.row(0), "Checking a 1 file(s) moved.");
  EXPECT_EQ(grid.row(1), "#");
}

TEST_F(ConsoleWriterTest, OwedLineFeedStartsFromWhereTheCursorNowStands) {
  grid.placeCursor(78, 24);
  start();
  write("ab");
  expectCursor(79, 24);
  grid.placeCursor(0, 10);  // another program moved the cursor
  write("x");
  EXPECT_EQ(grid.row(11), "x");
  EXPECT_EQ(grid.row(24), std::string(78, ' ') + "ab");
}

TEST_F(ConsoleWriterTest, OneRowWindowOrOneColumnBufferCountsAsNoConsole) {
  for (bool oneRow : {true, false}) {
    SCOPED_TRACE(oneRow);
    grid = ConsoleGrid();
    if (oneRow) {
      grid.resize(80, 25, 1);
    } else {
      grid.resize(1, 25, 25);
    }
    start();
    int columns = 0;
    int rows = 0;
    consoleSize(&columns, &rows);
    EXPECT_EQ(columns, 80);
    EXPECT_EQ(rows, 25);
    EXPECT_EQ(consoleCursorColumn(), 1);
    write("a\x07\b\tb\r\n");
    consoleFlush();
    EXPECT_EQ(grid.sink, "a\x07\b\tb\r\n");
    EXPECT_TRUE(grid.screenAtBeep.empty());
    EXPECT_EQ(grid.row(0), "");
  }
}

TEST_F(ConsoleWriterTest, AResizedWindowIsFollowedAndNoLineIsLost) {
  // The user enlarges or shrinks the window in the middle of a 60-line run, its top staying.
  for (const int height : {40, 10}) {
    SCOPED_TRACE(height);
    grid = ConsoleGrid();
    grid.resize(80, 100, 25);
    grid.cursorMovesWindow = false;
    start();
    for (int line = 1; line <= 60; ++line) {
      if (line == 21) grid.window.bottom = static_cast<std::int16_t>(grid.window.top + height - 1);
      write("line " + std::to_string(line) + "\r\n");
    }
    for (int line = 1; line <= 60; ++line)
      EXPECT_EQ(grid.row(line - 1), "line " + std::to_string(line));
    EXPECT_EQ(grid.window.bottom - grid.window.top + 1, height) << "the window keeps its size";
    EXPECT_EQ(grid.window.bottom, 60) << "and shows the cursor's row at its bottom";
    expectCursor(0, 60);
  }
}

TEST_F(ConsoleWriterTest, AFullBufferLosesOnlyItsTopRowsAfterTheWindowGrew) {
  grid.resize(80, 50, 20);
  grid.cursorMovesWindow = false;
  start();
  for (int line = 1; line <= 60; ++line) {
    if (line == 10) grid.window.bottom = 29;
    write("line " + std::to_string(line) + "\r\n");
  }
  // 61 rows of output in a 50-row buffer: the first 11 are gone, every later one stands in order.
  for (int row = 0; row < 49; ++row) EXPECT_EQ(grid.row(row), "line " + std::to_string(row + 12));
  EXPECT_EQ(grid.window.top, 20);
  EXPECT_EQ(grid.window.bottom, 49);
  expectCursor(0, 49);
}

TEST_F(ConsoleWriterTest, UnreadableBufferInfoWritesFromTheViewsTopLeft) {
  grid.placeCursor(5, 5);
  start();
  grid.infoFails = true;
  grid.attribute = 0x1F;
  write("ab");
  EXPECT_EQ(grid.row(0), "ab");
  EXPECT_EQ(grid.at(0, 0).attribute, 7);
}

TEST_F(ConsoleWriterTest, TextTakesTheConsolesCurrentAttribute) {
  start();
  grid.attribute = 0x1E;
  write("a\tb");
  EXPECT_EQ(grid.at(0, 0).attribute, 0x1E);
  EXPECT_EQ(grid.at(3, 0).attribute, 0x1E);
  EXPECT_EQ(grid.at(8, 0).attribute, 0x1E);
  EXPECT_EQ(grid.at(9, 0).attribute, 7);
}

TEST_F(ConsoleWriterTest, FailedCellWritesDoNotPushTheCursorOffTheScreen) {
  grid.placeCursor(10, 0);
  start();
  grid.writeOutputFails = true;
  write("abc\r\n");
  grid.writeOutputFails = false;
  expectCursor(0, 1);
  write("x");
  expectScreen({{0, ""}, {1, "x"}}, 1, 1);
}

TEST_F(ConsoleWriterTest, FirstAccessTakesTheHandlesAndAddsProcessedInput) {
  grid.inputMode = 0x0006;
  grid.placeCursor(37, 3);
  scope = std::make_unique<ConsoleGridScope>(grid);
  int columns = 0;
  int rows = 0;
  consoleSize(&columns, &rows);
  EXPECT_EQ(columns, 80);
  EXPECT_EQ(rows, 25);
  EXPECT_EQ(consoleCursorColumn(), 38);
  EXPECT_EQ(grid.inputMode, 0x0007u);
}

// The byte path: the console is absent, bytes go through the held buffer.
class BytePathTest : public ConsoleWriterTest {
 protected:
  void SetUp() override {
    grid.resize(80, 25, 1);
    start();
  }
};

TEST_F(BytePathTest, SmallWritesAreHeldUntilFlushed) {
  for (int i = 0; i < 1000; ++i) write("#");
  EXPECT_EQ(grid.writeFileCalls, 0);
  consoleFlush();
  EXPECT_EQ(grid.sink, std::string(1000, '#'));
  EXPECT_EQ(grid.writeFileCalls, 1);
  consoleFlush();
  EXPECT_EQ(grid.writeFileCalls, 1);
}

TEST_F(BytePathTest, AFullBufferIsWrittenOutAndBytesStayInOrder) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += static_cast<char>(i * 7);
  write(text.substr(0, 5000));
  write(text.substr(5000));
  EXPECT_EQ(grid.writeFileCalls, 2);
  consoleFlush();
  EXPECT_EQ(grid.sink, text);
}

TEST_F(BytePathTest, OnATerminalLineEndsNewLinesAndATenthOfASecondWriteOut) {
  grid.terminal = true;
  grid.clock = 5000;
  resetConsoleWriter();
  consoleSize(nullptr, nullptr);
  write("Generating...\r\n");
  EXPECT_EQ(grid.sink, "Generating...\r\n") << "a line end";
  write("Checking a ");
  EXPECT_EQ(grid.sink, "Generating...\r\nChecking a ") << "a new line shows at once";
  grid.sink.clear();
  write("#");
  grid.clock += 99;
  write("#");
  EXPECT_EQ(grid.sink, "") << "held while the last write-out is recent";
  grid.clock += 1;
  write("#");
  EXPECT_EQ(grid.sink, "###") << "a tenth of a second after the last write-out";
  grid.clock += 150;
  write("#");
  EXPECT_EQ(grid.sink, "####");
  write("\r\n");
  EXPECT_EQ(grid.sink, "####\r\n");
  const int calls = grid.writeFileCalls;
  for (int i = 0; i < 1000; ++i) write("#");
  EXPECT_EQ(grid.writeFileCalls, calls + 1) << "only the first, on its new line";
}

TEST_F(BytePathTest, OutsideATerminalTheClockChangesNothing) {
  grid.clock = 5000;
  write("Checking a ");
  grid.clock += 10000;
  write("#");
  EXPECT_EQ(grid.writeFileCalls, 0);
  consoleFlush();
  EXPECT_EQ(grid.sink, "Checking a #");
}

TEST_F(BytePathTest, WithoutAStandardOutputHandleNothingIsWritten) {
  struct Missing {
    static ConsoleHandle getStdHandle(StandardStream which) {
      return which == StandardStream::Output ? nullptr : console_grid::gridGetStdHandle(which);
    }
  };
  ConsolePlatform missing = console_grid::gridPlatform;
  missing.getStdHandle = Missing::getStdHandle;
  resetConsoleWriter();
  useConsolePlatform(&missing);
  write("Checking a #\r\n");
  consoleFlush();
  useConsolePlatform(&console_grid::gridPlatform);
  EXPECT_EQ(grid.writeFileCalls, 0);
  EXPECT_EQ(grid.sink, "");
}

TEST_F(BytePathTest, PartialWritesContinueAndAFailureDropsTheRest) {
  grid.writeFileLimit = 3;
  write("abcdefgh");
  consoleFlush();
  EXPECT_EQ(grid.sink, "abcdefgh");

  grid.sink.clear();
  grid.writeFileCalls = 0;
  grid.writeFileFailsAfter = 1;
  write("abcdefgh");
  consoleFlush();
  EXPECT_EQ(grid.sink, "abc");
  grid.writeFileFailsAfter = -1;
  write("z");
  consoleFlush();
  EXPECT_EQ(grid.sink, "abcz");
}

TEST_F(BytePathTest, AWriteThatTakesNothingEndsTheFlush) {
  grid.writeFileLimit = 0;
  grid.writeFileFailsAfter = -1;
  struct Stuck {
    static bool writeFile(ConsoleHandle, const char*, std::uint32_t, std::uint32_t* written) {
      *written = 0;
      return true;
    }
  };
  ConsolePlatform stuck = console_grid::gridPlatform;
  stuck.writeFile = Stuck::writeFile;
  useConsolePlatform(&stuck);
  write("abc");
  consoleFlush();  // returns instead of looping for ever
  useConsolePlatform(&console_grid::gridPlatform);
  write("d");
  consoleFlush();
  EXPECT_EQ(grid.sink, "d");
}

}  // namespace
