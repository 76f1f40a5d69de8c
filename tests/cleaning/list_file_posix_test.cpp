// A list file on POSIX: reached once below the run's directory, its copy started at its first
// difference, staged beside it and replaced when its batch closes, only while it is unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "channels/file_device.h"
#include "cleaning/list_file.h"
#include "support/channel_test.h"
#include "system/file_state_posix.h"
#include "system/list_replacement_posix.h"

namespace {

using ListFilePosix = ChannelTest;

std::string here() { return std::filesystem::current_path().string(); }

TEST_F(ListFilePosix, IsOpenedOnlyBelowTheRunWithoutLinksAndUnderItsName) {
  std::filesystem::create_directories("a/b");
  writeFileBytes("a/b/blacklist.txt", "x@example.org\r\n");
  writeFileBytes("a/b/other.txt", "x@example.org\r\n");
  std::filesystem::create_directory_symlink("a", "link");
  const struct {
    std::string listed;
    const char* refused;  // null: opened
  } cases[] = {
      {here() + "/a/b/blacklist.txt", nullptr},
      {here() + "/link/b/blacklist.txt", "its path leads through a symbolic link"},
      {here() + "/a/b/other.txt", "its name is not blacklist.txt"},
      {here() + "/a/missing/blacklist.txt", "its directory is no longer where it was found"},
      {"/elsewhere/blacklist.txt", "it is not below the current directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listed);
    const Text listed = c.listed;
    ListFile list(listed, "blacklist.txt");
    std::string why;
    EXPECT_EQ(openListFile(list, why), c.refused == nullptr);
    EXPECT_EQ(why, c.refused == nullptr ? "" : c.refused);
    if (c.refused != nullptr) continue;
    EXPECT_TRUE(list.stateKnown);
    EXPECT_EQ(list.state.size, 15);
    EXPECT_TRUE(listFileEndsWithCrLf(list));
    EXPECT_TRUE(listFileUnchanged(list));
  }
}

TEST_F(ListFilePosix, AStagedCopyReplacesItsListOnlyWhenTheBatchFindsItUnchanged) {
  const std::string original = "keep@example.org\r\nbad\n";
  const struct {
    const char* what;
    const char* refusal;  // given to the batch's close
    bool editedWhileStaged;
    ListOutcome outcome;
  } cases[] = {
      {"replaced", nullptr, false, ListOutcome::Replaced},
      {"edited while its batch waited", nullptr, true, ListOutcome::Changed},
      {"the batch refused", "cannot write chklist.log", false, ListOutcome::Failed},
  };
  std::filesystem::create_directory("d");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFileBytes("d/blacklist.txt", original);
    // A copy an interrupted run left under the staged name is the run's own: it goes.
    writeFileBytes("d/.chklist-copy-blacklist.txt", "left@example.org\r\n");
    {
      const Text path = here() + "/d/blacklist.txt";
      ListFile list(path, "blacklist.txt");
      std::string why;
      ASSERT_TRUE(openListFile(list, why)) << why;
      EXPECT_FALSE(listFileEndsWithCrLf(list));
      // The first line is kept as it is: the copy starts with it, read again from the list.
      ASSERT_TRUE(startCleanedCopy(list, 18, nullptr, why)) << why;
      ASSERT_EQ(syncFile(fileChannelOf(CleanedCopyChannel)), StatusCode::Ok);
      ASSERT_EQ(stageListFile(list, why), ListOutcome::Staged) << why;
      EXPECT_FALSE(std::filesystem::exists("list.tmp"));
    }
    EXPECT_EQ(stagedListCount(), 1u);
    EXPECT_EQ(stagedBytes(), 18);
    EXPECT_EQ(readFileBytes("d/.chklist-copy-blacklist.txt"), "keep@example.org\r\n");
    if (c.editedWhileStaged) writeFileBytes("d/blacklist.txt", original + "late@example.org\n");
    std::string why;
    ASSERT_TRUE(syncStagedCopies(why)) << why;
    const auto ended = replaceStagedLists(c.refusal);
    if (c.outcome == ListOutcome::Replaced) {
      EXPECT_TRUE(ended.empty());
      EXPECT_EQ(readFileBytes("d/blacklist.txt"), "keep@example.org\r\n");
    } else {
      ASSERT_EQ(ended.size(), 1u);
      EXPECT_EQ(ended[0].outcome, c.outcome);
      EXPECT_EQ(ended[0].reason, c.refusal == nullptr ? "" : c.refusal);
      EXPECT_NE(readFileBytes("d/blacklist.txt"), "keep@example.org\r\n");
    }
    EXPECT_EQ(stagedListCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists("d/.chklist-copy-blacklist.txt"));
    syncReplacements();
  }
}

TEST_F(ListFilePosix, TheListsNameGetsTheStagedCopyOrKeepsTheList) {
  const auto stateOf = [](const char* name) {
    struct stat status {};
    EXPECT_EQ(lstat(name, &status), 0) << name;
    return fileStateOf(status);
  };
  const struct {
    const char* what;
    bool swappedIn;  // another file took the staged name after the batch's last look
    ListOutcome outcome;
    const char* list;    // the list's name holds afterwards
    const char* staged;  // the staged name holds afterwards; null: nothing
  } cases[] = {
      {"the staged copy", false, ListOutcome::Replaced, "keep@example.org\r\n", nullptr},
      {"a file swapped in", true, ListOutcome::Changed, "old\n", "planted@example.org\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFileBytes("blacklist.txt", "old\n");
    writeFileBytes(".chklist-copy-blacklist.txt", "keep@example.org\r\n");
    const FileState copy = stateOf(".chklist-copy-blacklist.txt");
    if (c.swappedIn) {
      writeFileBytes("planted", "planted@example.org\r\n");
      ASSERT_EQ(rename("planted", ".chklist-copy-blacklist.txt"), 0);
    }
    std::string reason;
    EXPECT_EQ(swapIntoPlace(AT_FDCWD, ".chklist-copy-blacklist.txt", copy, "blacklist.txt", reason),
              c.outcome)
        << reason;
    EXPECT_EQ(readFileBytes("blacklist.txt"), c.list);
    EXPECT_EQ(std::filesystem::exists(".chklist-copy-blacklist.txt"), c.staged != nullptr);
    if (c.staged != nullptr) {
      EXPECT_EQ(readFileBytes(".chklist-copy-blacklist.txt"), c.staged);
    }
    std::filesystem::remove(".chklist-copy-blacklist.txt");
  }
}

}  // namespace
