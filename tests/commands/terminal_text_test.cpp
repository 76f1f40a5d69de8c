#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "commands/command_processor.h"
#include "commands/commands_test_helpers.h"

namespace {

TEST(TerminalSafeText, MessagesStayOneLineWithoutControlBytes) {
  EXPECT_EQ(terminalSafeText("a\x1b]0;t\x07\r\n\x08\tz\xC3\xA9"), "a?]0;t????\tz\xC3\xA9");
}

TEST(CommandMessages, ATerminalGetsNoControlBytesFromAPath) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    GTEST_SKIP() << "no pseudo-terminal available";
  }
  int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  termios raw;
  ASSERT_EQ(tcgetattr(terminal, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(terminal, TCSANOW, &raw), 0);

  int saved = dup(STDERR_FILENO);
  dup2(terminal, STDERR_FILENO);
  int result = deleteRegularFile("missing\x1b[2J\x1b]0;pwned\x07\xC2\x9B\xFF.txt");
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(terminal);

  char buffer[512];
  ssize_t got = read(master, buffer, sizeof buffer);
  close(master);
  ASSERT_GT(got, 0);
  std::string shown(buffer, static_cast<std::size_t>(got));
  EXPECT_EQ(result, 1);
  EXPECT_NE(shown.find("missing?[2J?]0;pwned????.txt"), std::string::npos) << shown;
  EXPECT_EQ(shown.find('\x1b'), std::string::npos);
  EXPECT_EQ(shown.back(), '\n');
}

TEST(CommandMessages, AFileGetsThePathAsItIsButAlwaysOneLine) {
  StderrCapture capture;
  EXPECT_EQ(deleteRegularFile("missing\x1b[1m\r\nsecond line\xC3\xA9"), 1);
  std::string message = capture.text();
  EXPECT_NE(message.find("missing\x1b[1m??second line\xC3\xA9"), std::string::npos) << message;
  EXPECT_EQ(message.find('\n'), message.size() - 1);
}

}  // namespace
