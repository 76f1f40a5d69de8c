#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "commands/run_command.h"
#include "status/status_store.h"
#include "support/redirection.h"
#include "support/scratch_dir.h"

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

// Runs `command` with standard error captured; returns what the command wrote there.
std::string runCapturingErrors(const std::string& command, int* result) {
  StderrCapture capture;
  *result = runCommand(command);
  return capture.text();
}

TEST(RunCommand, AnEmptyCommandRunsNothingAndGivesMinusOne) {
  ScratchDir scratch;
  int result = 0;
  // Handed on, the empty line would draw the command processor's refusal on standard error.
  EXPECT_EQ(runCapturingErrors(std::string(), &result), "");
  EXPECT_EQ(result, -1);
}

TEST(RunCommand, LeavesTheStatusStoreAsItWas) {
  ScratchDir scratch;
  writeFileBytes("blist.dir", "x");
  for (StatusCode before : {StatusCode::Ok, StatusCode::TransferFailed}) {
    setStatus(before);
    int result = 0;
    for (const std::string& command :
         {"del blist.dir"s, "del blist.dir"s, "no such command"s, ""s}) {
      SCOPED_TRACE(command);
      runCapturingErrors(command, &result);
      EXPECT_EQ(lastStatus(), before);
    }
  }
  setStatus(StatusCode::Ok);
}

TEST(RunCommand, RunsOnlyThePartBeforeTheFirstNul) {
  ScratchDir scratch;
  for (const char* name : {"a", "a b", "b"}) writeFileBytes(name, "keep");
  int result = -2;
  runCapturingErrors("del a\0 b"s, &result);
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(fs::exists("a"));
  EXPECT_EQ(readFileBytes("a b"), "keep");
  EXPECT_EQ(readFileBytes("b"), "keep");

  // Cut after the verb, the line lacks its path: refused, nothing removed.
  std::string message = runCapturingErrors("del\0b"s, &result);
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(readFileBytes("b"), "keep");
}

TEST(RunCommand, PassesSpecialCharactersUnchanged) {
  ScratchDir scratch;
  const std::string name = "x\"; rm -rf y & `touch z` $(touch z) 'q' | w";
  for (const char* decoy : {"x", "y", "q", "w", "rm", "-rf"}) writeFileBytes(decoy, "decoy");
  writeFileBytes(name, "old");
  int result = -2;
  EXPECT_EQ(runCapturingErrors("del \"" + name + "\"", &result), "");
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(fs::exists(name));
  EXPECT_FALSE(fs::exists("z"));
  for (const char* decoy : {"x", "y", "q", "w", "rm", "-rf"}) {
    EXPECT_EQ(readFileBytes(decoy), "decoy") << decoy;
  }
}

}  // namespace
