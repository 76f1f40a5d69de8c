// Windows command execution: what the command processor is given, what it inherits and what
// comes back. A stand-in processor (the end-to-end helper, built beside the tests) logs its
// command line and whether a handle of this process reached it.
#include "commands/run_command_windows.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "commands/run_command.h"
#include "status/status_store.h"
#include "support/scratch_dir.h"
#include "support/stand_in_windows.h"

namespace {

class RunCommandWindows : public ::testing::Test {
 protected:
  void TearDown() override { useCommandProcessor(""); }
};

TEST_F(RunCommandWindows, TheProcessorGetsItsSwitchesTheCommandAndNoHandle) {
  ScratchDir scratch;
  const std::string processor = standInPath();
  if (processor.empty()) GTEST_SKIP() << "the stand-in processor e2e_helper.exe is not built";
  // An inheritable handle: a child that inherited handles would find it open under its value.
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  const HANDLE open = CreateFileW(L"open.txt", GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                  CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);
  // The user's DIRCMD would change what "dir" lists, or make it wait for a key.
  ASSERT_TRUE(SetEnvironmentVariableW(L"DIRCMD", L"/l /o-n /p"));
  // Standard input and error are files here: the command must read the null device instead,
  // and leave the error file as it was.
  writeFileBytes("input.txt", "y\r\ny\r\n");
  const HANDLE input =
      CreateFileW(L"input.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  const HANDLE errors = CreateFileW(L"errors.txt", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(input, INVALID_HANDLE_VALUE);
  ASSERT_NE(errors, INVALID_HANDLE_VALUE);
  const HANDLE savedInput = GetStdHandle(STD_INPUT_HANDLE);
  const HANDLE savedError = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, input);
  SetStdHandle(STD_ERROR_HANDLE, errors);
  const std::string value = std::to_string(reinterpret_cast<std::uintptr_t>(open));
  // Without a console window of its own, the program gives none to the commands either.
  const std::string window = GetConsoleWindow() != nullptr ? "yes" : "no";
  useCommandProcessor(processor);
  setStatus(StatusCode::TransferFailed);
  const std::string command = "probe log.txt " + value + " open.txt 7";
  EXPECT_EQ(runCommand(command + std::string("\0 ignored", 9)), 7);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
  EXPECT_EQ(readFileBytes("log.txt"),
            "\"" + processor + "\" /d /v:off /c " + command + "\nhandle " + value +
                " not inherited\ninput ends\nDIRCMD unset\nwindow " + window + "\n");
  SetStdHandle(STD_INPUT_HANDLE, savedInput);
  SetStdHandle(STD_ERROR_HANDLE, savedError);
  SetEnvironmentVariableW(L"DIRCMD", nullptr);
  CloseHandle(input);
  CloseHandle(errors);
  EXPECT_EQ(readFileBytes("errors.txt"), "");
  CloseHandle(open);
}

TEST_F(RunCommandWindows, NothingRunsForAnEmptyCommandOrAMissingProcessor) {
  ScratchDir scratch;
  const std::string processor = standInPath();
  if (processor.empty()) GTEST_SKIP() << "the stand-in processor e2e_helper.exe is not built";
  useCommandProcessor(processor);
  EXPECT_EQ(runCommand(""), -1);
  EXPECT_EQ(runCommand(std::string("\0probe log.txt 0 x 0", 20)), -1);
  EXPECT_EQ(readFileBytes("log.txt"), "");
  useCommandProcessor(processor.substr(0, processor.rfind('\\')) + "\\missing.exe");
  EXPECT_EQ(runCommand("probe log.txt 0 x 0"), -1);
  EXPECT_EQ(readFileBytes("log.txt"), "");
}

TEST_F(RunCommandWindows, TheSystemsProcessorReturnsTheCommandsExitCode) {
  ScratchDir scratch;
  EXPECT_EQ(runCommand("exit 3"), 3);
  EXPECT_EQ(runCommand("echo made> made.txt"), 0);
  EXPECT_EQ(readFileBytes("made.txt"), "made\r\n");
}

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
