// Channel 0 on a POSIX system with standard output redirected to a file: the console counts as
// absent, the channel starts at width 80 and column 0, and the file gets the printed bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "console/console_platform.h"
#include "console/console_writer.h"
#include "print/print.h"
#include "support/redirection.h"
#include "support/scratch_dir.h"

namespace {

TEST(ConsoleChannelRedirected, StartsAtWidth80ColumnZeroAndWritesTheExactBytes) {
  ScratchDir scratch;
  clearChannelTable();
  const int file = open("console.out", O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  Redirection toFile(STDOUT_FILENO, file);
  close(file);
  resetConsoleWriter();
  useConsolePlatform(nullptr);

  printText(0, "Checking \x1b[2J", PrintMask::PadToZone);
  const std::uint32_t width = lookupChannel(0)->width;
  const std::int32_t columnAfterFirstItem = lookupChannel(0)->column;
  printText(0, "#\a\b\t", PrintMask::None);
  printVoid(0, PrintMask::NewLine);
  const StatusCode status = lastStatus();
  consoleFlush();

  resetConsoleWriter();
  toFile.restore();
  clearChannelTable();
  EXPECT_EQ(width, 80u);
  EXPECT_EQ(columnAfterFirstItem, 14);
  EXPECT_EQ(status, StatusCode::Ok);
  EXPECT_EQ(readFileBytes("console.out"), "Checking \x1b[2J #\a\b\t\r\n");
}

}  // namespace
