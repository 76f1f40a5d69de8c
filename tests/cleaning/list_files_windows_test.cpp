// The cleaning run's looks at files on Windows: a list file's state by a path beyond MAX_PATH
// characters.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "channels/file_platform.h"
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
    std::FILE* stream = openFileStream(nullptr, full, "wb");
    ASSERT_NE(stream, nullptr);
    ASSERT_GE(std::fputs("a@example.org\r\n", stream), 0);
    ASSERT_EQ(std::fclose(stream), 0);
    OpenedFile opened;
    stream = openFileStream(nullptr, full, "rb", &opened);
    ASSERT_NE(stream, nullptr);
    std::fclose(stream);
    ListFileState state;
    ASSERT_TRUE(readListFileState(full, state));
    EXPECT_EQ(state, opened.state);
    EXPECT_EQ(state.size, 15);
    removeLongName(name);
  }
}

}  // namespace
