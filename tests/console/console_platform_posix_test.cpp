// The POSIX console: no console screen buffer, so every write takes the byte path to fd 1; a
// file gets the bytes exactly, a terminal (a pseudo-terminal here) gets them filtered.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "console/console_platform.h"
#include "console/console_writer.h"
#include "support/scratch_dir.h"

namespace {

void write(const std::string& bytes) {
  consoleWrite(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

// Points fd 1 at `descriptor` for the object's life and resets the writer both ways.
class StandardOutputTo {
 public:
  explicit StandardOutputTo(int descriptor) {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    dup2(descriptor, STDOUT_FILENO);
    resetConsoleWriter();
    useConsolePlatform(nullptr);
  }
  ~StandardOutputTo() {
    resetConsoleWriter();
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  StandardOutputTo(const StandardOutputTo&) = delete;
  StandardOutputTo& operator=(const StandardOutputTo&) = delete;

 private:
  int saved_;
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

// Reads what the terminal side shows, waiting up to a short time for it.
std::string readTerminal(int master) {
  std::string shown;
  pollfd ready = {master, POLLIN, 0};
  while (poll(&ready, 1, 200) > 0) {
    char buffer[512];
    const ssize_t count = read(master, buffer, sizeof buffer);
    if (count <= 0) break;
    shown.append(buffer, static_cast<std::size_t>(count));
  }
  return shown;
}

class PosixTerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      GTEST_SKIP() << "no pseudo-terminal available";
    }
    terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (terminal < 0) GTEST_SKIP() << "cannot open the pseudo-terminal's other side";
    termios mode = {};
    tcgetattr(terminal, &mode);
    cfmakeraw(&mode);  // no LF to CR LF translation: compare the bytes as written
    tcsetattr(terminal, TCSANOW, &mode);
  }
  void TearDown() override {
    if (terminal >= 0) close(terminal);
    if (master >= 0) close(master);
  }
  int master = -1;
  int terminal = -1;
};

TEST_F(PosixTerminalTest, ControlSequencesShowAsQuestionMarks) {
  std::string shown;
  {
    StandardOutputTo redirect(terminal);
    write(
        "Checking \x1b]0;evil title\x07\x1b[2J\x1b"
        "c \xc2\x9b"
        "31m caf\xc3\xa9 \x9d\xff\r\n");
    shown = readTerminal(master);
  }
  EXPECT_EQ(shown, "Checking ?]0;evil title\x07?[2J?c ??31m caf\xc3\xa9 ??\r\n");
}

// What the platform's clock reads in the test below, which sets it.
std::uint64_t testClock = 0;
std::uint64_t readTestClock() { return testClock; }

TEST_F(PosixTerminalTest, OutputWaitsForALineEndANewLineATenthOfASecondOrAFlush) {
  std::string newLine;
  std::string held;
  std::string late;
  std::string afterLineEnd;
  std::string afterFlush;
  {
    StandardOutputTo redirect(terminal);
    ConsolePlatform setClock = *defaultConsolePlatform();
    setClock.tickCount = readTestClock;
    useConsolePlatform(&setClock);
    testClock = 1000;
    write("Generating\r\n");
    write("Checking x ");
    newLine = readTerminal(master);
    write("#");
    testClock += 99;
    write("#");
    held = readTerminal(master);
    testClock += 1;
    write("#");
    late = readTerminal(master);
    write("#");
    write("\r\n");
    afterLineEnd = readTerminal(master);
    write("Checking y ");
    write("#");
    consoleFlush();
    afterFlush = readTerminal(master);
    useConsolePlatform(nullptr);
  }
  EXPECT_EQ(newLine, "Generating\r\nChecking x ");
  EXPECT_EQ(held, "");
  EXPECT_EQ(late, "###");
  EXPECT_EQ(afterLineEnd, "#\r\n");
  EXPECT_EQ(afterFlush, "Checking y #");
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
    StandardOutputTo redirect(terminal);
    write("a\n\xe2\x82");
    write("\xac\n");
    joined = readTerminal(master);
    write("b\xc3");
    consoleFlush();  // a command runs next: the character cannot be finished any more
    write("\xa9\n");
    cut = readTerminal(master);
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
