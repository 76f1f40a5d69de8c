// Windows start-up: a standard handle that is missing or not open leaves the console without
// output; it never becomes a file the run opens later. Only a directory on a drive letter is one
// the command processor can work in.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "console/console_platform.h"
#include "frame/start.h"
#include "support/scratch_dir.h"

namespace {

TEST(StartWindows, AStandardOutputThatIsNotOpenShowsNothingAndReachesNoFile) {
  ScratchDir scratch;
  const HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE closed =
      CreateFileW(L"closed.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(closed, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(closed));
  struct Case {
    const char* what;
    HANDLE given;
  } const cases[] = {
      {"none", nullptr},
      {"invalid", INVALID_HANDLE_VALUE},
      {"closed before start", closed},
  };
  const ConsolePlatform* platform = defaultConsolePlatform();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetStdHandle(STD_OUTPUT_HANDLE, c.given);
    prepareProcess();
    // The system hands out a closed handle's value again: here, most likely, to this file.
    const HANDLE file =
        CreateFileW(L"log.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const ConsoleHandle output = platform->getStdHandle(StandardStream::Output);
    EXPECT_EQ(output, nullptr);
    std::uint32_t written = 0;
    EXPECT_FALSE(platform->writeFile(output, "text\r\n", 6, &written));
    EXPECT_FALSE(platform->isTerminal(output));
    CloseHandle(file);
    EXPECT_EQ(readFileBytes("log.txt"), "");
  }
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
}

TEST(StartWindows, OnlyADirectoryOnADriveLetterSuitsTheCommandProcessor) {
  struct Case {
    const wchar_t* directory;
    bool works;
  } const cases[] = {
      {L"C:\\lists", true},
      {L"C:", true},  // a drive's root, as the current directory's name gives it
      {L"z:\\tmp\\a b", true},
      {L"\\\\?\\C:\\lists", false},  // the command processor takes it for a network path
      {L"\\\\server\\share\\lists", false},
      {L"\\\\server\\share", false},
      {L"\\\\?\\UNC\\server\\share\\lists", false},
      {L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\lists", false},
      {L"\\\\.\\C:\\lists", false},
      {L"CC:\\lists", false},
      {L"1:\\lists", false},
      {L"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(commandProcessorWorksIn(c.directory), c.works);
  }
}

}  // namespace
