// Paths holding characters a shell would act on must reach the file operations as exactly the
// intended path. Each test leaves decoy files named after the pieces a shell or a naive split
// would make of the path, and checks the whole directory afterwards: a wrong file deleted,
// created or overwritten shows up there.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "commands/command_processor_posix.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using Content = std::map<std::string, std::string>;

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
Content directoryContent() {
  Content content;
  for (const auto& entry : fs::directory_iterator(".")) {
    content[entry.path().filename().string()] = readFileBytes(entry.path());
  }
  return content;
}

// Decoys: the pieces a split on blanks, quotes or shell characters would make of `name`.
Content plantDecoys(const std::string& name) {
  Content decoys;
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

// Runs `command` with each written form of every hostile name after it, beside decoys, once
// `prepare` has made the files it acts on and noted in `expected` what they then hold; the
// directory must then hold exactly what is expected.
void expectOnlyTheNamedFileChanged(const std::string& command,
                                   void (*prepare)(const std::string& name, Content& expected)) {
  for (const char* name : hostileNames) {
    ScratchDir scratch;
    for (const std::string& written : writtenForms(name)) {
      SCOPED_TRACE(command + written);
      Content expected = plantDecoys(name);
      prepare(name, expected);
      EXPECT_EQ(runBuiltinCommand(command + written), 0);
      EXPECT_EQ(directoryContent(), expected);
      fs::remove(name);
    }
  }
}

TEST(HostileNames, DelRemovesExactlyTheNamedFile) {
  expectOnlyTheNamedFileChanged(
      "del ", [](const std::string& name, Content&) { writeFileBytes(name, "victim"); });
}

TEST(HostileNames, DirWritesExactlyTheNamedListFile) {
  expectOnlyTheNamedFileChanged(
      "dir blacklist.txt /s/b > ", [](const std::string& name, Content& expected) {
        writeFileBytes("blacklist.txt", "x");
        expected["blacklist.txt"] = "x";
        expected[name] = (fs::current_path() / "blacklist.txt").string() + "\r\n";
      });
}

}  // namespace
