#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "commands/command_processor_posix.h"
#include "commands/commands_test_helpers_posix.h"
#include "support/redirection.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

// The listing expected for `relativePaths` under the current directory, CR LF after each.
std::string listing(const std::vector<std::string>& relativePaths) {
  std::string root = fs::current_path().string();
  std::string bytes;
  for (const std::string& relative : relativePaths) bytes += root + "/" + relative + "\r\n";
  return bytes;
}

void makeFile(const fs::path& file, const std::string& bytes = "x@example.com\r\n") {
  fs::create_directories(file.parent_path().empty() ? fs::path(".") : file.parent_path());
  writeFileBytes(file, bytes);
}

TEST(DirCommand, ListsOwnMatchFirstThenSubdirectoriesInByteOrderDepthFirst) {
  ScratchDir scratch;
  for (const char* file : {
           "blacklist.txt",
           "b/blacklist.txt",
           "a/z/blacklist.txt",
           "a/blacklist.txt",
           "a/Z/deeper/blacklist.txt",
           "A/blacklist.txt",
           "B/blacklist.txt",
           "a b/blacklist.txt",
           "\xC3\xA9/blacklist.txt",
           "-/blacklist.txt",
           // Not matches: other case, longer names, other files.
           "c/Blacklist.txt",
           "c/blacklist.txt.bak",
           "c/xblacklist.txt",
           "c/whitelist.txt",
       }) {
    makeFile(file);
  }
  // A directory of the name is no match, but is searched.
  fs::create_directories("d/blacklist.txt/e");
  makeFile("d/blacklist.txt/e/blacklist.txt");
  fs::create_directories("empty/nested");

  StderrCapture capture;
  EXPECT_EQ(runBuiltinCommand("dir blacklist.txt /s/b > blist.dir"), 0);
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(readFileBytes("blist.dir"), listing({
                                            "blacklist.txt",
                                            "-/blacklist.txt",
                                            "A/blacklist.txt",
                                            "B/blacklist.txt",
                                            "a/blacklist.txt",
                                            "a/Z/deeper/blacklist.txt",
                                            "a/z/blacklist.txt",
                                            "a b/blacklist.txt",
                                            "b/blacklist.txt",
                                            "d/blacklist.txt/e/blacklist.txt",
                                            "\xC3\xA9/blacklist.txt",
                                        }));
}

TEST(DirCommand, NeitherListsNorFollowsSymbolicLinks) {
  ScratchDir outside(false);
  makeFile(outside.path() / "blacklist.txt");
  ScratchDir scratch;
  makeFile("real/blacklist.txt");
  makeFile("elsewhere.txt");
  fs::create_directory("links");
  fs::create_symlink("../elsewhere.txt", "links/blacklist.txt");  // file link of the name
  fs::create_directory_symlink("../real", "links/to-real");       // directory link
  fs::create_directory_symlink("..", "links/loop");               // a loop
  fs::create_directory_symlink(outside.path(), "links/outside");  // out of the tree
  fs::create_symlink("missing", "links/dangling");

  StderrCapture capture;
  EXPECT_EQ(runBuiltinCommand("dir blacklist.txt /s/b > blist.dir"), 0);
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(readFileBytes("blist.dir"), listing({"real/blacklist.txt"}));
}

TEST(DirCommand, LeavesOutNamesHoldingLineBreaksWithOneLineEach) {
  ScratchDir scratch;
  makeFile("a\nb/blacklist.txt");
  makeFile("c\rd/blacklist.txt");
  makeFile("ok/blacklist.txt");

  StderrCapture capture;
  EXPECT_EQ(runBuiltinCommand("dir blacklist.txt /s/b > blist.dir"), 0);
  std::string messages = capture.text();
  EXPECT_EQ(readFileBytes("blist.dir"), listing({"ok/blacklist.txt"}));
  EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 2) << messages;
  EXPECT_EQ(messages.find('\r'), std::string::npos);
  EXPECT_NE(messages.find("a?b/blacklist.txt"), std::string::npos) << messages;
  EXPECT_NE(messages.find("c?d/blacklist.txt"), std::string::npos) << messages;
}

TEST(DirCommand, SkipsAnUnreadableDirectoryWithALineAndListsTheRest) {
  ScratchDir scratch;
  makeFile("a/blacklist.txt");
  makeFile("closed/blacklist.txt");
  makeFile("closed/inner/blacklist.txt");
  makeFile("z/blacklist.txt");
  handTreeToUnprivilegedUser(scratch.path());

  StderrCapture capture;
  std::string why;
  std::optional<std::string> result = runInChild(
      ChildSetup::Unprivileged,
      [] {
        if (chmod("closed", 0) != 0) return std::string("chmod failed");
        int code = runBuiltinCommand("dir blacklist.txt /s/b > blist.dir");
        chmod("closed", 0700);
        return "result " + std::to_string(code);
      },
      &why);
  std::string messages = capture.text();
  if (!result) GTEST_SKIP() << why;
  EXPECT_EQ(*result, "result 0");
  EXPECT_EQ(readFileBytes("blist.dir"), listing({"a/blacklist.txt", "z/blacklist.txt"}));
  EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1) << messages;
  EXPECT_NE(messages.find(scratch.path().string() + "/closed\""), std::string::npos) << messages;
}

TEST(DirCommand, AVeryDeepTreeIsListedToALimitAndTheRestSaid) {
  // Anyone who can write a directory can nest thousands of levels; the walk must neither run
  // out of stack nor of descriptors, and says what it left out.
  ScratchDir scratch;
  for (int level = 0; level < 5000; ++level) {
    fs::create_directory("d");
    ASSERT_EQ(::chdir("d"), 0);
    if (level == 10) makeFile("blacklist.txt");
  }
  ASSERT_EQ(::chdir(scratch.path().c_str()), 0);
  StderrCapture capture;
  EXPECT_EQ(runBuiltinCommand("dir blacklist.txt /s/b > blist.dir"), 0);
  const std::string messages = capture.text();
  std::string shallow;
  for (int level = 0; level <= 10; ++level) shallow += "d/";
  EXPECT_EQ(readFileBytes("blist.dir"), listing({shallow + "blacklist.txt"}));
  EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1) << messages;
  EXPECT_NE(messages.find("nested more than"), std::string::npos) << messages;
}

TEST(DirCommand, NoMatchEmptiesTheListAndSaysFileNotFound) {
  ScratchDir scratch;
  makeFile("a/whitelist.txt");
  writeFileBytes("blist.dir", "/old/blacklist.txt\r\n");

  StderrCapture capture;
  EXPECT_EQ(runBuiltinCommand("dir blacklist.txt /s/b > blist.dir"), 0);
  EXPECT_EQ(capture.text(), "File Not Found\n");
  ASSERT_TRUE(fs::is_regular_file("blist.dir"));
  EXPECT_EQ(readFileBytes("blist.dir"), "");
}

TEST(DirCommand, TheListFileIsMadeAnewNeverWrittenThroughWhatStoodThere) {
  ScratchDir scratch;
  makeFile("blacklist.txt");
  writeFileBytes("victim.txt", "precious");
  writeFileBytes("theirs", "/elsewhere/blacklist.txt\r\n");
  fs::permissions("theirs", fs::perms::all);
  fs::create_symlink("victim.txt", "planted-link");
  fs::create_symlink("created-by-link", "dangling-link");
  fs::create_hard_link("victim.txt", "hard-link");
  ASSERT_EQ(::mkfifo("fifo", 0666), 0);
  const int held = ::open("theirs", O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);

  for (const char* listFile : {"planted-link", "dangling-link", "hard-link", "theirs", "fifo"}) {
    SCOPED_TRACE(listFile);
    StderrCapture capture;
    EXPECT_EQ(runBuiltinCommand(std::string("dir blacklist.txt /s/b > ") + listFile), 0);
    EXPECT_EQ(capture.text(), "");
    struct stat made {};
    ASSERT_EQ(::lstat(listFile, &made), 0);
    EXPECT_TRUE(S_ISREG(made.st_mode));
    EXPECT_EQ(made.st_nlink, 1u);
    EXPECT_EQ(made.st_mode & 0777, 0600u);
    EXPECT_EQ(readFileBytes(listFile), (scratch.path() / "blacklist.txt").string() + "\r\n");
  }
  EXPECT_EQ(readFileBytes("victim.txt"), "precious");
  EXPECT_FALSE(entryExists("created-by-link"));
  // What the other user holds open is not the new list.
  char seen[64] = {};
  EXPECT_EQ(::pread(held, seen, sizeof seen - 1, 0), 26);
  ::close(held);

  fs::create_directory("a-directory");
  for (const char* listFile : {"a-directory", "no-such-directory/blist.dir"}) {
    SCOPED_TRACE(listFile);
    StderrCapture capture;
    EXPECT_EQ(runBuiltinCommand(std::string("dir blacklist.txt /s/b > ") + listFile), 1);
    std::string message = capture.text();
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_NE(message.find(listFile), std::string::npos) << message;
  }
  EXPECT_TRUE(fs::is_empty("a-directory"));
}

TEST(DirCommand, AFailedWriteOfTheListGivesResultOne) {
  ScratchDir scratch;
  for (int i = 0; i < 200; ++i) makeFile("d" + std::to_string(i) + "/blacklist.txt");
  StderrCapture capture;
  std::string why;
  // A file size limit makes the writes fail part way, as a full disk would.
  std::optional<std::string> result = runInChild(
      ChildSetup::Forked,
      [] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100, 100};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
        return "result " + std::to_string(runBuiltinCommand("dir blacklist.txt /s/b > blist.dir"));
      },
      &why);
  std::string message = capture.text();
  if (!result) GTEST_SKIP() << why;
  EXPECT_EQ(*result, "result 1");
  EXPECT_NE(message.find("blist.dir"), std::string::npos) << message;
}

// Trees wide and deep enough for other threads to walk parts of them: whichever thread walks
// what, the listing and the messages come in the walk's order, and a part that would hold too
// much leaves the rest to the walk.
TEST(DirCommand, WideAndDeepTreesAreListedCompletelyInOrder) {
  struct Shape {
    const char* name;
    int width;       // subdirectories of the root and of each of them
    int depth;       // levels of them
    int nameLength;  // bytes of each directory's name
  };
  const Shape shapes[] = {
      {"flat", 300, 1, 7},
      {"nested", 6, 4, 4},
      // Half of the root's subdirectories hold more than a megabyte of paths.
      {"long paths", 8, 4, 250},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    ScratchDir scratch;
    std::vector<std::string> expected;
    std::string expectedMessages;
    // Depth first in byte order of the names, as the walk lists them: each directory's own
    // match, then its subdirectories'; every seventh directory's name ends in a line break, and
    // the lists below it are said and left out.
    int made = 0;
    const std::function<void(const std::string&, int)> grow = [&](const std::string& at,
                                                                  int level) {
      for (int i = 0; i < shape.width; ++i) {
        std::string name = std::to_string(100 + i);
        name += std::string(static_cast<std::size_t>(shape.nameLength) - 3, 'n');
        if (++made % 7 == 0) name.back() = '\n';
        const std::string directory = at + name;
        fs::create_directory(directory);
        if (made % 2 == 0) {
          makeFile(directory + "/blacklist.txt");
          if (directory.find('\n') != std::string::npos) {
            std::string shown = fs::current_path().string() + "/" + directory + "/blacklist.txt";
            std::replace(shown.begin(), shown.end(), '\n', '?');
            expectedMessages += "dir: left out a path holding a line break: \"" + shown + "\"\n";
          } else {
            expected.push_back(directory + "/blacklist.txt");
          }
        }
        if (level + 1 < shape.depth) grow(directory + "/", level + 1);
      }
    };
    grow("", 0);
    StderrCapture capture;
    EXPECT_EQ(runBuiltinCommand("dir blacklist.txt /s/b > blist.dir"), 0);
    EXPECT_EQ(capture.text(), expectedMessages);
    EXPECT_EQ(readFileBytes("blist.dir"), listing(expected));
  }
}

}  // namespace
