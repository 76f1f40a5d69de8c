#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "commands/command_processor_posix.h"
#include "support/redirection.h"

namespace {

TEST(TerminalSafeText, MessagesStayOneLineWithoutControlBytes) {
  struct Case {
    const char* what;
    const char* message;
    const char* shown;
  };
  const Case cases[] = {
      {"escapes and line ends", "a\x1b]0;t\x07\r\n\x08z\xC3\xA9", "a?]0;t????z\xC3\xA9"},
      {"tab", "dir\tname", "dir?name"},
      {"right-to-left override", "name\xE2\x80\xAEtxt.exe", "name???txt.exe"},
      {"first strong isolate", "\xE2\x81\xA8x", "???x"},
      {"plain text", "cannot open a b.txt", "cannot open a b.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(terminalSafeText(c.message), c.shown);
  }
}

TEST(CommandMessages, ATerminalGetsNoControlBytesFromAPath) {
  PseudoTerminal pty;
  if (pty.terminal < 0) GTEST_SKIP() << "no pseudo-terminal available";
  Redirection toTerminal(STDERR_FILENO, pty.terminal);
  int result = deleteRegularFile("missing\x1b[2J\x1b]0;pwned\x07\xC2\x9B\xFF.txt");
  toTerminal.restore();
  const std::string shown = pty.shown();
  ASSERT_FALSE(shown.empty());
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
