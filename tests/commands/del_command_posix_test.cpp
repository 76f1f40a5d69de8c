#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>

#include "commands/command_processor_posix.h"
#include "commands/commands_test_helpers_posix.h"
#include "support/redirection.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(DelCommand, RemovesARegularFileAndNothingElse) {
  ScratchDir scratch;
  writeFileBytes("blist.dir", "x");
  writeFileBytes("blist.dir2", "keep");
  StderrCapture capture;
  EXPECT_EQ(runBuiltinCommand("del blist.dir"), 0);
  EXPECT_EQ(capture.text(), "");
  EXPECT_FALSE(entryExists("blist.dir"));
  EXPECT_EQ(readFileBytes("blist.dir2"), "keep");
}

TEST(DelCommand, RefusesMissingFilesDirectoriesAndLinksWithOneLine) {
  ScratchDir scratch;
  fs::create_directory("empty-directory");
  writeFileBytes("target.txt", "precious");
  fs::create_symlink("target.txt", "link.txt");
  fs::create_directory_symlink("empty-directory", "directory-link");
  for (const char* line : {"del missing.txt", "del empty-directory", "del link.txt",
                           "del directory-link", "del target.txt/"}) {
    SCOPED_TRACE(line);
    StderrCapture capture;
    EXPECT_EQ(runBuiltinCommand(line), 1);
    std::string message = capture.text();
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_NE(message.find(std::string(line).substr(4)), std::string::npos) << message;
  }
  EXPECT_TRUE(fs::is_directory("empty-directory"));
  EXPECT_EQ(readFileBytes("target.txt"), "precious");
  EXPECT_TRUE(fs::is_symlink("link.txt"));
  EXPECT_TRUE(fs::is_symlink("directory-link"));
}

TEST(DelCommand, AFileInAReadOnlyDirectoryStaysWithResultOne) {
  ScratchDir scratch;
  fs::create_directory("locked");
  writeFileBytes("locked/wlist.dir", "kept");
  expectRefusedInReadOnlyDirectory("locked", "del locked/wlist.dir", "locked/wlist.dir");
  EXPECT_EQ(readFileBytes("locked/wlist.dir"), "kept");
}

}  // namespace
