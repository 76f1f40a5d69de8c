#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "commands/command_processor_posix.h"
#include "support/redirection.h"
#include "support/scratch_dir.h"

namespace {

using namespace std::string_literals;

struct AcceptedLine {
  std::string line;
  CommandVerb verb;
  std::string first;
  std::string second;
};

TEST(CommandLineGrammar, AcceptedLinesYieldTheExactPaths) {
  const AcceptedLine cases[] = {
      {"dir blacklist.txt /s/b > blist.dir", CommandVerb::Dir, "blacklist.txt", "blist.dir"},
      {"dir whitelist.txt /s/b > wlist.dir", CommandVerb::Dir, "whitelist.txt", "wlist.dir"},
      {"DIR blacklist.txt /S/B > \"my list.dir\"", CommandVerb::Dir, "blacklist.txt",
       "my list.dir"},
      // The quoted last word runs to the line's last quote, inner quotes included.
      {"del \"/d/he said \"hi\"\"", CommandVerb::Del, "/d/he said \"hi\"", ""},
      {"del blist.dir", CommandVerb::Del, "blist.dir", ""},
      {"  del\t \"-rf\"  ", CommandVerb::Del, "-rf", ""},
      {"del \"\"", CommandVerb::Del, "", ""},
      {"del \"x'$(y)`z`;&|\"", CommandVerb::Del, "x'$(y)`z`;&|", ""},
      {"del \"\xC3\xA9t\xC3\xA9\"", CommandVerb::Del, "\xC3\xA9t\xC3\xA9", ""},
  };
  for (const AcceptedLine& accepted : cases) {
    SCOPED_TRACE(accepted.line);
    ParsedCommand command;
    std::string error;
    ASSERT_TRUE(parseCommandLine(accepted.line, &command, &error)) << error;
    EXPECT_EQ(command.verb, accepted.verb);
    EXPECT_EQ(command.first, accepted.first);
    EXPECT_EQ(command.second, accepted.second);
  }
}

TEST(CommandLineGrammar, AnythingElseIsRefusedWithOneLineAndNoEffect) {
  const std::string cases[] = {
      "",
      "   ",
      "copy a b",
      "rm -rf x",
      "\"del\" x",
      "del",
      "del x y",
      "del x\"",
      "del \"x",
      "del a\"b\"",
      "del x\0y"s,
      // The replacement is the run's own: no command line moves a file.
      "move x y",
      "move /y x y",
      "dir blacklist.txt /s > blist.dir",
      "dir blacklist.txt /s/b blist.dir",
      "dir blacklist.txt /s/b >blist.dir",
      "dir blacklist.txt \"/s/b\" > blist.dir",
      "dir blacklist.txt /s/b \">\" blist.dir",
      "dir blacklist.txt /s/b >",
      "dir blacklist.txt /s/b > a b",
      "dir /s/b > blist.dir",
  };
  ScratchDir scratch;
  // Files a misread line might delete, move or create.
  for (const char* name : {"x", "y", "z", "a", "b", "x\"", "blist.dir"}) {
    writeFileBytes(name, "keep");
  }
  for (const std::string& line : cases) {
    SCOPED_TRACE(line);
    ParsedCommand command;
    std::string error;
    EXPECT_FALSE(parseCommandLine(line, &command, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);

    StderrCapture capture;
    EXPECT_EQ(runBuiltinCommand(line), 1);
    std::string message = capture.text();
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
  }
  for (const char* name : {"x", "y", "z", "a", "b", "x\"", "blist.dir"}) {
    EXPECT_EQ(readFileBytes(name), "keep") << name;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."),
                          std::filesystem::directory_iterator()),
            7);
}

}  // namespace
