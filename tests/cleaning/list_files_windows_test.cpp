// The cleaning run's looks at files on Windows: a list file's state by a path beyond MAX_PATH
// characters, and what a failed directory search left in its file list.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "channels/file_stream.h"
#include "cleaning/file_search.h"
#include "cleaning/list_file_state.h"
#include "support/long_names_windows.h"
#include "support/scratch_dir.h"

namespace {

TEST(ListFileStateWindows, APathBeyondMaxPathIsLookedAtAsTheOpenSawIt) {
  ScratchDir scratch;
  for (const std::size_t length : {200u, 357u}) {
    SCOPED_TRACE(length);
    const std::string name = longRelativeName(length, "blacklist.txt");
    const std::string full = currentDirectory() + "\\" + name;
    FileStream* stream = openFileStream(nullptr, full, StreamMode::Write);
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(streamWrite(*stream, "a@example.org\r\n", 15));
    ASSERT_TRUE(closeFileStream(stream));
    OpenedFile opened;
    stream = openFileStream(nullptr, full, StreamMode::Read, &opened);
    ASSERT_NE(stream, nullptr);
    closeFileStream(stream);
    ListFileState state;
    ASSERT_TRUE(readListFileState(HeldDirectory{}, "", full, state));
    EXPECT_EQ(state, opened.state);
    EXPECT_EQ(state.size, 15);
    removeLongName(name);
  }
}

TEST(FileSearchWindows, OnlyAnEmptyFileListThatCouldBeWrittenMeansNothingWasFound) {
  ScratchDir scratch;
  writeFileBytes("empty.dir", "");
  writeFileBytes("stale.dir", "C:\\elsewhere\\blacklist.txt\r\n");
  writeFileBytes("readonly.dir", "");
  ASSERT_TRUE(SetFileAttributesW(L"readonly.dir", FILE_ATTRIBUTE_READONLY));
  CreateDirectoryW(L"directory.dir", nullptr);
  writeFileBytes("held.dir", "");
  const HANDLE held =
      CreateFileW(L"held.dir", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  struct Case {
    const char* fileList;
    bool foundNothing;
  } const cases[] = {
      {"empty.dir", true},       // the redirection made it, "dir" found nothing
      {"missing.dir", false},    // the redirection could not make it
      {"stale.dir", false},      // not emptied: the redirection could not write it
      {"readonly.dir", false},   // left from before, the redirection could not write it
      {"held.dir", false},       // another program lets nobody write it
      {"directory.dir", false},  // no file list at all
  };
  // Wine run by root writes a read-only file all the same, and so does its redirection.
  const HANDLE probe = CreateFileW(L"readonly.dir", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
  const bool readOnlyHolds = probe == INVALID_HANDLE_VALUE;
  if (!readOnlyHolds) CloseHandle(probe);
  for (const Case& c : cases) {
    if (!readOnlyHolds && std::string(c.fileList) == "readonly.dir") continue;
    EXPECT_EQ(searchFoundNothing(c.fileList), c.foundNothing) << c.fileList;
  }
  CloseHandle(held);
  SetFileAttributesW(L"readonly.dir", FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
