// Paths holding characters a shell would act on must reach the file operations as exactly the
// intended path. Each test leaves decoy files named after the pieces a shell or a naive split
// would make of the path, and checks the whole directory afterwards: a wrong file deleted,
// created or overwritten shows up there.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "commands/command_processor.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

const char* const hostileNames[] = {
    "a b",
    "  leading and trailing  ",
    "tab\there",
    "x;touch pwned",
    "x&touch pwned&",
    "x|touch pwned",
    "x && touch pwned",
    "$(touch pwned)",
    "`touch pwned`",
    "it's",
    "'single quoted'",
    "say \"hi\"",
    "\"",
    "\"quoted\"",
    "-rf",
    "--",
    "-",
    "* ?",
    "> pwned",
    "%PATH%",
    "\\back\\slash",
    "~",
    "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC",
};

// Every file in the current directory with its content.
std::map<std::string, std::string> directoryContent() {
  std::map<std::string, std::string> content;
  for (const auto& entry : fs::directory_iterator(".")) {
    content[entry.path().filename().string()] = readFileBytes(entry.path());
  }
  return content;
}

// Decoys: the pieces a split on blanks, quotes or shell characters would make of `name`.
std::map<std::string, std::string> plantDecoys(const std::string& name) {
  std::map<std::string, std::string> decoys;
  std::string piece;
  for (char byte : name + " ") {
    if (std::string(" \t\"';&|`$()<>*?\\").find(byte) == std::string::npos) {
      piece.push_back(byte);
      continue;
    }
    if (!piece.empty() && piece != name && piece != "~" && piece != "list.tmp") {
      decoys[piece] = "decoy";
    }
    piece.clear();
  }
  for (const auto& [decoy, content] : decoys) writeFileBytes(decoy, content);
  return decoys;
}

// The ways a path is written into a command: quoted, relative and absolute, and bare when it
// is a single word.
std::vector<std::string> writtenForms(const std::string& name) {
  std::vector<std::string> forms = {"\"" + name + "\"",
                                    "\"" + (fs::current_path() / name).string() + "\""};
  if (name.find_first_of(" \t\"") == std::string::npos) forms.push_back(name);
  return forms;
}

TEST(HostileNames, DelRemovesExactlyTheNamedFile) {
  for (const char* name : hostileNames) {
    ScratchDir scratch;
    for (const std::string& written : writtenForms(name)) {
      SCOPED_TRACE("del " + written);
      std::map<std::string, std::string> expected = plantDecoys(name);
      writeFileBytes(name, "victim");
      EXPECT_EQ(runBuiltinCommand("del " + written), 0);
      EXPECT_EQ(directoryContent(), expected);
    }
  }
}

TEST(HostileNames, MoveReplacesExactlyTheNamedFile) {
  for (const char* name : hostileNames) {
    ScratchDir scratch;
    for (const std::string& written : writtenForms(name)) {
      SCOPED_TRACE("move /y list.tmp " + written);
      std::map<std::string, std::string> expected = plantDecoys(name);
      writeFileBytes(name, "old");
      writeFileBytes("list.tmp", "new");
      expected[name] = "new";
      EXPECT_EQ(runBuiltinCommand("move /y list.tmp " + written), 0);
      EXPECT_EQ(directoryContent(), expected);
    }
  }
}

TEST(HostileNames, MoveTakesAHostileSourceAsOneName) {
  ScratchDir scratch;
  for (const char* name : hostileNames) {
    if (std::string(name).find('"') != std::string::npos) continue;  // only a last word may
    SCOPED_TRACE(name);
    std::map<std::string, std::string> expected = plantDecoys(name);
    writeFileBytes(name, "new");
    writeFileBytes("blacklist.txt", "old");
    expected["blacklist.txt"] = "new";
    EXPECT_EQ(runBuiltinCommand("move /y \"" + std::string(name) + "\" blacklist.txt"), 0);
    EXPECT_EQ(directoryContent(), expected);
    for (const auto& [decoy, content] : expected) fs::remove(decoy);
  }
}

TEST(HostileNames, DirWritesExactlyTheNamedListFile) {
  for (const char* name : hostileNames) {
    ScratchDir scratch;
    for (const std::string& written : writtenForms(name)) {
      SCOPED_TRACE("dir blacklist.txt /s/b > " + written);
      std::map<std::string, std::string> expected = plantDecoys(name);
      writeFileBytes("blacklist.txt", "x");
      expected["blacklist.txt"] = "x";
      expected[name] = (fs::current_path() / "blacklist.txt").string() + "\r\n";
      EXPECT_EQ(runBuiltinCommand("dir blacklist.txt /s/b > " + written), 0);
      EXPECT_EQ(directoryContent(), expected);
      fs::remove(name);
    }
  }
}

}  // namespace
