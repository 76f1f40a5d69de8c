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
      {"move /y list.tmp \"/home/a b/blacklist.txt\"", CommandVerb::Move, "list.tmp",
       "/home/a b/blacklist.txt"},
      {"move list.tmp /srv/lists/blacklist.txt", CommandVerb::Move, "list.tmp",
       "/srv/lists/blacklist.txt"},
      {"Move /Y list.tmp x", CommandVerb::Move, "list.tmp", "x"},
      // The quoted last word runs to the line's last quote, inner quotes included.
      {"move /y list.tmp \"/d/he said \"hi\"\"", CommandVerb::Move, "list.tmp",
       "/d/he said \"hi\""},
      {"move /y list.tmp \"/d/\"\"", CommandVerb::Move, "list.tmp", "/d/\""},
      {"move /y list.tmp \"a\" \"b\"", CommandVerb::Move, "list.tmp", "a\" \"b"},
      // A quoted "/y" is a file name, not the switch.
      {"move \"/y\" dst", CommandVerb::Move, "/y", "dst"},
      {"move \"a b\" \"c d\"", CommandVerb::Move, "a b", "c d"},
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
      "move x",
      "move /y x",
      "move x y z",
      "move /y x y z",
      "move \"x\"y z",
      "move \"x z",
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
