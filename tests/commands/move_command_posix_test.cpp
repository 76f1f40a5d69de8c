#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "commands/command_processor.h"
#include "commands/commands_test_helpers.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

// What a test observes of a move: result, the two files and what else stands beside them.
std::string observe(int result, const fs::path& source, const fs::path& destination) {
  std::string seen = "result " + std::to_string(result);
  seen += "; source " + (entryExists(source) ? "\"" + readFileBytes(source) + "\"" : "gone");
  seen += "; destination \"" + readFileBytes(destination) + "\"";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", permissionBits(destination));
  seen += std::string(" mode ") + mode;
  // Leftovers such as a temporary copy: files other than the two, in the two directories.
  int others = 0;
  std::vector<fs::path> directories = {source.parent_path()};
  if (destination.parent_path() != source.parent_path()) {
    directories.push_back(destination.parent_path());
  }
  for (const fs::path& directory : directories) {
    for (const auto& entry : fs::directory_iterator(directory)) {
      if (entry.path() != source && entry.path() != destination && !entry.is_directory()) {
        ++others;
      }
    }
  }
  return seen + "; others " + std::to_string(others);
}

TEST(MoveCommand, ReplacesTheDestinationAndKeepsItsPermissionBits) {
  for (int mode : {0600, 0640, 0644, 0400, 0660}) {
    SCOPED_TRACE(mode);
    ScratchDir scratch;
    fs::create_directory("lists");
    writeFileBytes("list.tmp", "new@example.com\r\n");
    chmod("list.tmp", 0644);
    writeFileBytes("lists/blacklist.txt", "old\r\n");
    chmod("lists/blacklist.txt", static_cast<mode_t>(mode));
    fs::path destination = scratch.path() / "lists/blacklist.txt";

    StderrCapture capture;
    int result = runBuiltinCommand("move /y list.tmp \"" + destination.string() + "\"");
    EXPECT_EQ(capture.text(), "");
    char expected[96];
    std::snprintf(expected, sizeof expected,
                  "result 0; source gone; destination \"new@example.com\r\n\" mode %04o; others 0",
                  mode);
    EXPECT_EQ(observe(result, scratch.path() / "list.tmp", destination), expected);
  }
}

TEST(MoveCommand, ANewDestinationKeepsTheSourcesBitsAndWorksWithoutTheSwitch) {
  ScratchDir scratch;
  writeFileBytes("list.tmp", "a@b.example\r\n");
  chmod("list.tmp", 0640);
  EXPECT_EQ(runBuiltinCommand("move list.tmp blacklist.txt"), 0);
  EXPECT_EQ(observe(0, scratch.path() / "list.tmp", scratch.path() / "blacklist.txt"),
            "result 0; source gone; destination \"a@b.example\r\n\" mode 0640; others 0");
}

TEST(MoveCommand, RefusesLinksDirectoriesAndAMissingSourceLeavingBothIntact) {
  ScratchDir scratch;
  writeFileBytes("victim.txt", "precious");
  chmod("victim.txt", 0600);
  fs::create_symlink("victim.txt", "link.txt");
  fs::create_directory("a-directory");
  writeFileBytes("kept.txt", "kept");
  for (const char* line : {
           "move /y list.tmp link.txt",
           "move /y list.tmp a-directory",
           "move /y missing.tmp kept.txt",
           "move /y a-directory kept.txt",
           "move /y list.tmp no-such-directory/x.txt",
       }) {
    SCOPED_TRACE(line);
    writeFileBytes("list.tmp", "new");
    chmod("list.tmp", 0644);
    StderrCapture capture;
    EXPECT_EQ(runBuiltinCommand(line), 1);
    std::string message = capture.text();
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_EQ(readFileBytes("list.tmp"), "new");
    EXPECT_EQ(permissionBits("list.tmp"), 0644);
  }
  EXPECT_EQ(readFileBytes("victim.txt"), "precious");
  EXPECT_EQ(permissionBits("victim.txt"), 0600);
  EXPECT_TRUE(fs::is_symlink("link.txt"));
  EXPECT_TRUE(fs::is_empty("a-directory"));
  EXPECT_EQ(readFileBytes("kept.txt"), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 5);
}

TEST(MoveCommand, AFailedRenameLeavesBothFilesAsTheyWere) {
  ScratchDir scratch;
  fs::create_directory("locked");
  writeFileBytes("locked/blacklist.txt", "old");
  chmod("locked/blacklist.txt", 0600);
  writeFileBytes("list.tmp", "new");
  chmod("list.tmp", 0644);
  handTreeToUnprivilegedUser(scratch.path());

  StderrCapture capture;
  std::string why;
  std::optional<std::string> result =
      runWithReadOnlyDirectory("locked", "move /y list.tmp locked/blacklist.txt", &why);
  std::string message = capture.text();
  if (!result) GTEST_SKIP() << why;
  EXPECT_EQ(*result, "result 1");
  EXPECT_NE(message.find("locked/blacklist.txt"), std::string::npos) << message;
  EXPECT_EQ(readFileBytes("list.tmp"), "new");
  EXPECT_EQ(permissionBits("list.tmp"), 0644) << "the source's own bits are restored";
  EXPECT_EQ(readFileBytes("locked/blacklist.txt"), "old");
  EXPECT_EQ(permissionBits("locked/blacklist.txt"), 0600);
}

TEST(MoveCommand, TheReplacementTakesOverOwnerAndGroupWhenAllowed) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may give a file to another owner";
  ScratchDir scratch;
  writeFileBytes("blacklist.txt", "old");
  ASSERT_EQ(chown("blacklist.txt", 65534, 65534), 0);
  writeFileBytes("list.tmp", "new");
  EXPECT_EQ(runBuiltinCommand("move /y list.tmp blacklist.txt"), 0);
  struct stat status;
  ASSERT_EQ(stat("blacklist.txt", &status), 0);
  EXPECT_EQ(status.st_uid, 65534u);
  EXPECT_EQ(status.st_gid, 65534u);
  EXPECT_EQ(readFileBytes("blacklist.txt"), "new");
}

TEST(MoveCommand, AGroupThatCannotBeTakenOverGetsNoPermissions) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a list owned by another user";
  ScratchDir scratch;
  writeFileBytes("list.tmp", "new");
  handTreeToUnprivilegedUser(scratch.path());
  // Owned by root: the unprivileged mover can neither take over its owner nor its group.
  writeFileBytes("blacklist.txt", "old");
  ASSERT_EQ(chown("blacklist.txt", 0, 0), 0);
  ASSERT_EQ(chmod("blacklist.txt", 0640), 0);
  std::string why;
  std::optional<std::string> result = runInChild(
      ChildSetup::Unprivileged,
      [] {
        return "result " + std::to_string(runBuiltinCommand("move /y list.tmp blacklist.txt"));
      },
      &why);
  if (!result) GTEST_SKIP() << why;
  EXPECT_EQ(*result, "result 0");
  EXPECT_EQ(readFileBytes("blacklist.txt"), "new");
  EXPECT_EQ(permissionBits("blacklist.txt"), 0600) << "group bits for a group not taken over";
}

TEST(MoveCommand, AcrossFileSystemsCopiesBesideTheDestinationThenRemovesTheSource) {
  ScratchDir scratch;
  fs::create_directory("mounted");
  fs::create_directory("lists");
  writeFileBytes("lists/blacklist.txt", "old");
  chmod("lists/blacklist.txt", 0600);
  std::string why;
  std::optional<std::string> seen = runInChild(
      ChildSetup::PrivateMounts,
      [&] {
        if (std::string failed = mountTmpfs("mounted", 1024); !failed.empty()) return failed;
        std::string content(300000, 'x');
        content += "@end\r\n";
        writeFileBytes("mounted/list.tmp", content);
        chmod("mounted/list.tmp", 0644);
        int result = runBuiltinCommand("move /y mounted/list.tmp \"" +
                                       (scratch.path() / "lists/blacklist.txt").string() + "\"");
        std::string observed = observe(result, scratch.path() / "mounted/list.tmp",
                                       scratch.path() / "lists/blacklist.txt");
        std::size_t at = observed.find(content);
        return at == std::string::npos ? observed
                                       : observed.replace(at, content.size(), "<content>");
      },
      &why);
  if (!seen) GTEST_SKIP() << why;
  EXPECT_EQ(*seen, "result 0; source gone; destination \"<content>\" mode 0600; others 0");
}

TEST(MoveCommand, AReplacementThatHappenedIsReportedSoEvenWhenTheSourceStays) {
  // Across file systems the source is removed after the rename; when that fails, the
  // destination holds the new content all the same, and the caller must hear it was replaced.
  ScratchDir scratch;
  fs::create_directory("mounted");
  fs::create_directory("lists");
  writeFileBytes("lists/blacklist.txt", "old");
  std::string why;
  std::optional<std::string> seen = runInChild(
      ChildSetup::PrivateMounts,
      [&] {
        if (std::string failed = mountTmpfs("mounted", 1024); !failed.empty()) return failed;
        writeFileBytes("mounted/list.tmp", "new@example.org\r\n");
        if (::mount(nullptr, "mounted", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
          return std::string("cannot make the tmpfs read-only");
        }
        const int source = ::open("mounted", O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int destination = ::open("lists", O_PATH | O_DIRECTORY | O_CLOEXEC);
        std::string reason;
        const ReplaceOutcome outcome =
            replaceFileAt(source, "list.tmp", destination, "blacklist.txt", nullptr, &reason);
        ::close(source);
        ::close(destination);
        return std::string(outcome == ReplaceOutcome::Replaced ? "replaced" : "not replaced") +
               "; destination \"" + readFileBytes("lists/blacklist.txt") + "\"; source " +
               (entryExists("mounted/list.tmp") ? "kept" : "gone");
      },
      &why);
  if (!seen) GTEST_SKIP() << why;
  EXPECT_EQ(*seen, "replaced; destination \"new@example.org\r\n\"; source kept");
}

TEST(MoveCommand, AFailedCopyAcrossFileSystemsLeavesBothFilesAndNoTemporary) {
  ScratchDir scratch;
  fs::create_directory("mounted");
  writeFileBytes("list.tmp", std::string(400000, 'n'));
  std::string why;
  std::optional<std::string> seen = runInChild(
      ChildSetup::PrivateMounts,
      [&] {
        // Too small for the copy: the write fails part way.
        if (std::string failed = mountTmpfs("mounted", 64); !failed.empty()) return failed;
        writeFileBytes("mounted/blacklist.txt", "old");
        chmod("mounted/blacklist.txt", 0600);
        StderrCapture capture;
        int result = runBuiltinCommand("move /y list.tmp mounted/blacklist.txt");
        std::string message = capture.text();
        std::string observed =
            observe(result, scratch.path() / "list.tmp", scratch.path() / "mounted/blacklist.txt");
        std::size_t sourceStart = observed.find("source \"") + 8;
        observed.replace(sourceStart, 400000, "<400000 n>");
        bool named = message.find("No space left on device") != std::string::npos;
        return observed + (named ? "; message says why" : "; message?" + message);
      },
      &why);
  if (!seen) GTEST_SKIP() << why;
  EXPECT_EQ(*seen,
            "result 1; source \"<400000 n>\"; destination \"old\" mode 0600; others 0; "
            "message says why");
  EXPECT_EQ(readFileBytes("list.tmp"), std::string(400000, 'n'));
}

}  // namespace
