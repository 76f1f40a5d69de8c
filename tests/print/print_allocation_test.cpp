// The print path and console writes allocate nothing: this program counts every operator new
// while a test's prints run. (No BEL: the in-memory console copies its screen at each beep.)
#include <gtest/gtest.h>

#include <string>

#include "console/console_writer.h"
#include "print/print.h"
#include "support/allocation_counter.h"
#include "support/console_grid.h"
#include "support/scratch_dir.h"

namespace {

// One log record, the cleaning run's console output and a long wrapped line with scrolling.
void printEverything() {
  printText(9, "2026-12-07", PrintMask::PadToZone);
  printText(9, "10:45:38", PrintMask::PadToZone);
  printText(9, "some/dir/blacklist.txt", PrintMask::PadToZone);
  printText(9, "x@y", PrintMask::NewLine);
  printText(0, "Checking some/dir/blacklist.txt ", PrintMask::None);
  for (int i = 0; i < 500; ++i) printText(0, "#", PrintMask::None);
  printVoid(0, PrintMask::NewLine);
  printText(0, "\ttab\bback\rover\n", PrintMask::PadToZone);
  for (int i = 0; i < 40; ++i) printText(0, "line", PrintMask::NewLine);
  printText(0, std::string(), PrintMask::PadToZone);
}

TEST(PrintAllocations, NeitherPrintsNorConsoleWritesAllocate) {
  for (bool consolePresent : {true, false}) {
    SCOPED_TRACE(consolePresent);
    ScratchDir scratch;
    clearChannelTable();
    ConsoleGrid grid;
    grid.resize(80, 60, consolePresent ? 25 : 1);
    grid.cursorMovesWindow = false;
    grid.cellWrites.reserve(10000);
    grid.sink.reserve(100000);
    ConsoleGridScope scope(grid);
    ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
    printText(9, "warm-up", PrintMask::NewLine);  // the stream's buffer comes with the first write
    allocation_counter::count = 0;
    allocation_counter::counting = true;
    printEverything();
    consoleFlush();
    allocation_counter::counting = false;
    EXPECT_EQ(allocation_counter::count, 0);
    EXPECT_NE(grid.row(0) + grid.sink, "");  // the output did go somewhere
    closeChannel(0);
    clearChannelTable();
  }
}

}  // namespace
