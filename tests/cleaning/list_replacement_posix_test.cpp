// A list file on POSIX: reached once below the run's directory and never through a link, and
// its staged copy and old list a live run's until its batch ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "cleaning/list_replacement.h"
#include "support/channel_test.h"

namespace {

using ListReplacementPosix = ChannelTest;

std::string here() { return std::filesystem::current_path().string(); }

TEST_F(ListReplacementPosix, IsOpenedOnlyBelowTheRunWithoutLinksAndUnderItsName) {
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
    ListFile list(Text(c.listed), "blacklist.txt");
    std::string why;
    EXPECT_EQ(openListFile(list, why), c.refused == nullptr);
    EXPECT_EQ(why, c.refused == nullptr ? "" : c.refused);
    if (c.refused != nullptr) continue;
    EXPECT_TRUE(list.stateKnown);
    EXPECT_EQ(list.state.size, 15);
    EXPECT_TRUE(listFileEndsWithCrLf(list));
    EXPECT_EQ(list.copyName, ".chklist-copy-blacklist.txt");
  }
}

// A descriptor of `name`, closed when it goes.
struct Opened {
  explicit Opened(const char* name, int flags) : descriptor(open(name, flags | O_CLOEXEC)) {}
  ~Opened() {
    if (descriptor >= 0) close(descriptor);
  }
  int descriptor;
};

TEST_F(ListReplacementPosix, ALiveRunsCopyOrOldListIsNeverTakenForALeftover) {
  writeFileBytes(".chklist-copy-blacklist.txt", "copy\r\n");
  const HeldDirectory here;
  const struct {
    const char* what;
    int flags;
    SeamCode (*claim)(FileHandle);
  } claims[] = {
      {"a staged copy", O_WRONLY, claimStaged},
      {"an old list after its exchange", O_RDONLY, claimList},
  };
  for (const auto& claim : claims) {
    SCOPED_TRACE(claim.what);
    NameLook look;
    FileHandle hold = -1;
    {
      Opened held(".chklist-copy-blacklist.txt", claim.flags);
      ASSERT_TRUE(claim.claim(held.descriptor).ok());
      EXPECT_EQ(lookAtLeftover(here, ".chklist-copy-blacklist.txt", look, hold).error,
                SeamError::Busy);
      EXPECT_EQ(hold, -1);
    }
    // Its run is gone: a leftover, held by the one who looks until it lets go.
    ASSERT_TRUE(lookAtLeftover(here, ".chklist-copy-blacklist.txt", look, hold).ok());
    EXPECT_TRUE(look.regular);
    EXPECT_EQ(look.links, 1u);
    ASSERT_NE(hold, -1);
    Opened late(".chklist-copy-blacklist.txt", O_WRONLY);
    EXPECT_EQ(claimStaged(late.descriptor).error, SeamError::Busy)
        << "a run that made it a moment ago cannot claim it while it is looked at";
    closeKept(hold);
    EXPECT_EQ(hold, -1);
  }
  NameLook look;
  FileHandle hold = -1;
  EXPECT_EQ(lookAtLeftover(here, "missing", look, hold).error, SeamError::Missing);
}

TEST_F(ListReplacementPosix, NamesAreExchangedAndRemovedOnlyWhenTheyHoldTheFileExpected) {
  writeFileBytes("blacklist.txt", "old\n");
  writeFileBytes(".chklist-copy-blacklist.txt", "new\r\n");
  const HeldDirectory here;
  NameLook list;
  NameLook copy;
  ASSERT_TRUE(lookAt(here, "blacklist.txt", list).ok());
  ASSERT_TRUE(lookAt(here, ".chklist-copy-blacklist.txt", copy).ok());
  ASSERT_TRUE(exchangeNames(here, ".chklist-copy-blacklist.txt", "blacklist.txt").ok());
  EXPECT_EQ(readFileBytes("blacklist.txt"), "new\r\n");
  EXPECT_EQ(removeName(here, ".chklist-copy-blacklist.txt", copy.state).error, SeamError::Changed);
  EXPECT_TRUE(removeName(here, ".chklist-copy-blacklist.txt", list.state).ok());
  EXPECT_FALSE(std::filesystem::exists(".chklist-copy-blacklist.txt"));
  EXPECT_EQ(exchangeNames(here, ".chklist-copy-blacklist.txt", "blacklist.txt").error,
            SeamError::Missing);
}

}  // namespace
