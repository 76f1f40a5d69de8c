// Windows start-up: a standard handle that names nothing is set to none before anything is
// opened, so that no file the program opens can be taken for standard output.
#include <gtest/gtest.h>
#include <windows.h>

#include "frame/start.h"

namespace {

TEST(WindowsStartUp, StandardHandlesThatNameNothingAreDroppedAndLiveOnesKept) {
  const HANDLE savedInput = GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  // What a parent may pass on: a handle value that was open and is closed now.
  const HANDLE closed = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(closed, INVALID_HANDLE_VALUE);
  CloseHandle(closed);
  HANDLE after[2] = {};
  const HANDLE given[2] = {closed, INVALID_HANDLE_VALUE};
  for (int index = 0; index < 2; ++index) {
    SetStdHandle(STD_INPUT_HANDLE, given[index]);
    prepareProcess();
    after[index] = GetStdHandle(STD_INPUT_HANDLE);
  }
  SetStdHandle(STD_INPUT_HANDLE, savedInput);
  EXPECT_EQ(after[0], nullptr) << "a closed handle";
  EXPECT_EQ(after[1], nullptr) << "INVALID_HANDLE_VALUE";
  EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), output) << "a live handle is kept";
}

}  // namespace
