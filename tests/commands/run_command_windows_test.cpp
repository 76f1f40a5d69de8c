// The run's commands on Windows: its own files removed through their handles, and the paths a
// command line could not carry refused.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "commands/run_command.h"
#include "support/scratch_dir.h"

namespace {

TEST(RemoveOwnFileWindows, OnlyARegularFileWithOneNameIsRemovedAndNothingAsks) {
  ScratchDir scratch;
  struct Case {
    const char* what;
    DWORD attributes;  // of a file made as "list.tmp"; 0: made otherwise below
    int result;
    bool removed;
  } const cases[] = {
      {"plain", FILE_ATTRIBUTE_NORMAL, 0, true},
      {"hidden", FILE_ATTRIBUTE_HIDDEN, 0, true},
      {"system", FILE_ATTRIBUTE_SYSTEM, 0, true},
      {"hidden, system and read-only",
       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY, 0, true},
      {"missing", 0, 0, true},
      {"a directory", 0, 1, false},
      {"a second name of another file", 0, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string what = c.what;
    if (c.attributes != 0) {
      writeFileBytes("list.tmp", "ok@example.org\r\n");
      ASSERT_TRUE(SetFileAttributesW(L"list.tmp", c.attributes));
    } else if (what == "a directory") {
      ASSERT_TRUE(CreateDirectoryW(L"list.tmp", nullptr));
      writeFileBytes("list.tmp/precious.txt", "precious\r\n");
    } else if (what == "a second name of another file") {
      writeFileBytes("victim.txt", "precious\r\n");
      ASSERT_TRUE(CreateHardLinkW(L"list.tmp", L"victim.txt", nullptr));
    }
    EXPECT_EQ(removeOwnFile("list.tmp"), c.result);
    EXPECT_EQ(GetFileAttributesW(L"list.tmp") == INVALID_FILE_ATTRIBUTES, c.removed);
    if (what == "a directory") {
      EXPECT_EQ(readFileBytes("list.tmp/precious.txt"), "precious\r\n");
      DeleteFileW(L"list.tmp\\precious.txt");
      RemoveDirectoryW(L"list.tmp");
    } else if (what == "a second name of another file") {
      EXPECT_EQ(readFileBytes("victim.txt"), "precious\r\n");
      DeleteFileW(L"list.tmp");
    }
  }
}

TEST(CommandRefusesPathWindows, APathTheProcessorWouldTurnIntoAnotherFileIsRefused) {
  constexpr const char* Dot = "a name on its path ends in a dot or a blank";
  constexpr const char* Colon = "its path holds a colon";
  constexpr const char* Device = "a name on its path is a device name";
  constexpr const char* Passing = "its name cannot be passed";
  struct Case {
    std::string path;
    const char* reason;  // the start of the reason; null: passed as it is
  } const cases[] = {
      {"C:\\lists\\X\\blacklist.txt", nullptr},
      {"C:\\lists\\X.\\blacklist.txt", Dot},
      {"C:\\lists\\X...\\blacklist.txt", Dot},
      {"C:\\lists\\X \\blacklist.txt", Dot},
      {"C:\\lists\\X. .\\blacklist.txt", Dot},
      {"C:\\lists.\\X\\blacklist.txt", Dot},
      {"C:\\lists\\blacklist.txt.", Dot},
      {"C:\\lists\\..\\blacklist.txt", Dot},
      {"C:\\lists\\.\\blacklist.txt", Dot},
      {"C:\\lists\\.hidden\\a.b\\ lead\\blacklist.txt", nullptr},
      {"C:\\lists\\x:stream\\blacklist.txt", Colon},
      {"C:\\lists\\blacklist.txt:evil", Colon},
      {"C:\\lists\\blacklist.txt::$DATA", Colon},
      {"C:\\lists\\NUL\\blacklist.txt", Device},
      {"C:\\lists\\nul.txt\\blacklist.txt", Device},
      {"C:\\lists\\Con \\blacklist.txt", Dot},
      {"C:\\lists\\con .d\\blacklist.txt", Device},
      {"C:\\lists\\aux\\blacklist.txt", Device},
      {"C:\\lists\\PRN\\blacklist.txt", Device},
      {"C:\\lists\\com1\\blacklist.txt", Device},
      {"C:\\lists\\LPT9.log\\blacklist.txt", Device},
      {"C:\\lists\\COM\xb9\\blacklist.txt", Device},  // superscript one, in code page 1252
      {"C:\\lists\\conin$\\blacklist.txt", Device},
      {"C:\\lists\\CONOUT$\\blacklist.txt", Device},
      {"C:\\lists\\com10\\blacklist.txt", nullptr},
      {"C:\\lists\\console\\blacklist.txt", nullptr},
      {"C:\\lists\\nullify\\blacklist.txt", nullptr},
      {"C:\\lists\\lpt\\blacklist.txt", nullptr},
      {"C:\\lists\\a%PATH%b\\blacklist.txt", Passing},
      {"C:\\lists\\a\"b\\blacklist.txt", Passing},
      {"\\\\server\\share\\X.\\blacklist.txt", Dot},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const char* reason = commandRefusesPath(c.path);
    if (c.reason == nullptr) {
      EXPECT_EQ(reason, nullptr) << reason;
    } else {
      ASSERT_NE(reason, nullptr);
      EXPECT_EQ(std::string(reason).rfind(c.reason, 0), 0u) << reason;
    }
  }
}

}  // namespace
