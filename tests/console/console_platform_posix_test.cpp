// The POSIX console: no console screen buffer, so every write takes the byte path to fd 1; a
// file gets the bytes exactly, a terminal (a pseudo-terminal here) gets them filtered.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "console/console_platform.h"
#include "console/console_writer.h"
#include "support/redirection.h"
#include "support/scratch_dir.h"

namespace {

void write(const std::string& bytes) {
  consoleWrite(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

// Points fd 1 at `descriptor` for the object's life and resets the writer both ways.
class StandardOutputTo {
 public:
  explicit StandardOutputTo(int descriptor) : redirection_(STDOUT_FILENO, descriptor) {
    resetConsoleWriter();
    useConsolePlatform(nullptr);
  }
  ~StandardOutputTo() { resetConsoleWriter(); }

 private:
  Redirection redirection_;
};

std::string allByteValues() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes += static_cast<char>(value);
  return bytes;
}

TEST(PosixConsole, RedirectedOutputIsByteExactAndTheConsoleCountsAsAbsent) {
  ScratchDir scratch;
  const std::string text = "Checking \x1b]0;t\x07 \xc3 \x9b\r\n" + allByteValues() + "#";
  const int file = open("out.bin", O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  int columns = 0;
  int rows = 0;
  int cursorColumn = 0;
  {
    StandardOutputTo redirect(file);
    consoleSize(&columns, &rows);
    cursorColumn = consoleCursorColumn();
    write(text.substr(0, 12));
    write(text.substr(12));
    consoleFlush();
  }
  close(file);
  EXPECT_EQ(columns, 80);
  EXPECT_EQ(rows, 25);
  EXPECT_EQ(cursorColumn, 1);
  EXPECT_EQ(readFileBytes("out.bin"), text);
}

class PosixTerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (pty.terminal < 0) GTEST_SKIP() << "no pseudo-terminal available";
  }
  PseudoTerminal pty;
};

TEST_F(PosixTerminalTest, ControlSequencesShowAsQuestionMarks) {
  std::string shown;
  {
    StandardOutputTo redirect(pty.terminal);
    write(
        "Checking \x1b]0;evil title\x07\x1b[2J\x1b"
        "c \xc2\x9b"
        "31m caf\xc3\xa9 \x9d\xff d\b\tir \xe2\x80\xaetxt\xe2\x81\xa9\r\n");
    shown = pty.shown();
  }
  EXPECT_EQ(shown, "Checking ?]0;evil title??[2J?c ??31m caf\xc3\xa9 ?? d??ir ???txt???\r\n");
}

std::uint64_t monotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

TEST(PosixConsole, TheClockIsTheMonotonicClockInMilliseconds) {
  const std::uint64_t before = monotonicMilliseconds();
  const std::uint64_t tick = defaultConsolePlatform()->tickCount();
  const std::uint64_t after = monotonicMilliseconds();
  // A coarse clock may lag by a tick of the system's timer.
  EXPECT_GE(tick + 50, before);
  EXPECT_LE(tick, after);
}

TEST_F(PosixTerminalTest, ACharacterSplitBetweenWritesStaysWhole) {
  std::string joined;
  std::string cut;
  {
    StandardOutputTo redirect(pty.terminal);
    write("a\n\xe2\x82");
    write("\xac\n");
    joined = pty.shown();
    write("b\xc3");
    consoleFlush();  // a command runs next: the character cannot be finished any more
    write("\xa9\n");
    cut = pty.shown();
  }
  EXPECT_EQ(joined, "a\n\xe2\x82\xac\n");
  EXPECT_EQ(cut, "b??\n");
}

}  // namespace

namespace {

TEST(PosixConsole, AClosedPipeDoesNotEndTheProgram) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);  // the reader has gone
  {
    StandardOutputTo redirect(ends[1]);
    write("Checking blacklist.txt\r\n");
    consoleFlush();
  }
  close(ends[1]);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);  // nothing left to strike later either
}

}  // namespace
