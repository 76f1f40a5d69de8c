// A list file on POSIX: reached once below the run's directory and never through a link, and
// its staged copy and old list a live run's until its batch ends.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "cleaning/list_replacement.h"
#include "support/channel_test.h"
#include "system/file_stream_system.h"

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

// A lock a process asks of `descriptor` over the whole file: 0, or errno.
int lockWhole(int descriptor, short type) {
  struct flock whole {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  return fcntl(descriptor, F_OFD_SETLK, &whole) == 0 ? 0 : errno;
}

TEST_F(ListReplacementPosix, ALiveRunsCopyOrOldListIsNeverTakenForALeftover) {
  const HeldDirectory here;
  const char* const name = ".chklist-copy-blacklist.txt";
  // A copy is claimed by the open that makes it; an old list by claimList.
  const struct {
    const char* what;
    bool made;
  } claims[] = {{"a staged copy", true}, {"an old list after its exchange", false}};
  for (const auto& claim : claims) {
    SCOPED_TRACE(claim.what);
    std::filesystem::remove(name);
    NameLook look;
    FileHandle hold = -1;
    {
      FileHandle held = -1;
      OpenedFile opened;
      if (claim.made) {
        ASSERT_TRUE(openSystemFile(&here, name, StreamMode::New, &held, &opened));
        EXPECT_TRUE(opened.identified);
        FileHandle second = -1;
        EXPECT_FALSE(openSystemFile(&here, name, StreamMode::New, &second, &opened));
        EXPECT_EQ(errno, EEXIST);
      } else {
        writeFileBytes(name, "old\n");
        held = open(name, O_RDONLY | O_CLOEXEC);
        ASSERT_TRUE(claimList(held).ok());
      }
      EXPECT_EQ(lookAtLeftover(here, name, look, hold).error, SeamError::Busy);
      EXPECT_EQ(hold, -1);
      closeKept(held);
    }
    // Its run is gone: a leftover, held by the one who looks until it lets go.
    ASSERT_TRUE(lookAtLeftover(here, name, look, hold).ok());
    EXPECT_TRUE(look.regular);
    EXPECT_EQ(look.links, 1u);
    ASSERT_NE(hold, -1);
    const int late = open(name, O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(lockWhole(late, F_WRLCK), EAGAIN)
        << "a run that made it a moment ago cannot claim it while it is looked at";
    close(late);
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
