// The Windows directory search: the walk over trees given as facts (entries, reparse tags, read
// errors, a clock), and the search on this system's files with the file list it leaves.
#include "commands/file_search_windows.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "commands/file_search.h"
#include "support/long_names_windows.h"
#include "support/scratch_dir.h"

namespace {

constexpr std::uint32_t File = FILE_ATTRIBUTE_ARCHIVE;
constexpr std::uint32_t Folder = FILE_ATTRIBUTE_DIRECTORY;
constexpr std::uint32_t Reparse = FILE_ATTRIBUTE_REPARSE_POINT;
// Tags as the system reports them: links (name surrogates) and the filters' files.
constexpr std::uint32_t MountPoint = 0xA0000003;  // junctions and mount points
constexpr std::uint32_t Symlink = 0xA000000C;
constexpr std::uint32_t Cloud = 0x9000601A;  // OneDrive Files On-Demand
constexpr std::uint32_t Dedup = 0x80000013;
constexpr std::uint32_t Wof = 0x80000017;

// A tree given as facts. Directories not named hold nothing; `endless` gives every directory not
// named two subdirectories and a list file, as a loop of links seen without their tags would.
class FactTree : public SearchSystem {
 public:
  std::map<std::wstring, std::vector<SearchEntry>> directories;
  std::map<std::wstring, std::uint32_t> errors;
  bool endless = false;
  std::uint64_t millisecondsPerRead = 0;
  bool writable = true;
  std::vector<std::wstring> read;
  std::string listing;
  std::string console;
  std::string error;

  std::uint32_t readDirectory(const std::wstring& directory,
                              std::vector<SearchEntry>& entries) override {
    read.push_back(directory);
    clock_ += millisecondsPerRead;
    if (const auto found = directories.find(directory); found != directories.end()) {
      entries = found->second;
    } else if (endless) {
      entries = {{L"a", Folder, 0}, {L"b", Folder, 0}, {L"blacklist.txt", File, 0}};
    }
    const auto failed = errors.find(directory);
    return failed == errors.end() ? 0 : failed->second;
  }
  std::uint64_t milliseconds() override { return clock_; }
  bool writeLine(std::string_view line) override {
    listing.append(line);
    return writable;
  }
  void sayOnConsole(std::string_view message) override { console.append(message).append("\n"); }
  void sayOnError(std::string_view message) override { error.append(message).append("\n"); }

 private:
  std::uint64_t clock_ = 0;
};

TEST(FileSearchWalk, ListsAsDirDoesAndNeverEntersALink) {
  FactTree tree;
  tree.directories[L"C:\\t"] = {
      {L".", Folder, 0},
      {L"..", Folder, 0},
      {L"sub", Folder, 0},
      {L"blacklist.txt", File, 0},
      {L"junction", Folder | Reparse, MountPoint},
      {L"symlinkd", Folder | Reparse, Symlink},
      {L"untagged", Folder | Reparse, 0},  // wine's Unix link to a directory
      {L"zz", Folder, 0},
      {L"cloud", Folder | Reparse, Cloud},
      {L"dedup", Folder | Reparse, Dedup},
      {L"wof", Folder | Reparse, Wof},
      {L"whitelist.txt", File, 0},
  };
  tree.directories[L"C:\\t\\sub"] = {{L"deeper", Folder, 0},
                                     {L"blacklist.txt.bak", File, 0},
                                     {L"BLACKLIST.TXT", File | FILE_ATTRIBUTE_HIDDEN, 0}};
  tree.directories[L"C:\\t\\sub\\deeper"] = {{L"blacklist.txt", File | Reparse, Cloud}};
  // A directory named like a list is no list, but is walked.
  tree.directories[L"C:\\t\\zz"] = {{L"blacklist.txt", Folder, 0}};
  tree.directories[L"C:\\t\\zz\\blacklist.txt"] = {{L"BlackList.txt", File, 0}};
  for (const wchar_t* folder :
       {L"junction", L"symlinkd", L"untagged", L"cloud", L"dedup", L"wof"}) {
    tree.directories[std::wstring(L"C:\\t\\") + folder] = {{L"blacklist.txt", File, 0}};
  }
  const SearchOutcome outcome = walkForListFiles(tree, L"C:\\t", L"blacklist.txt");
  EXPECT_EQ(outcome.failure, "");
  EXPECT_EQ(outcome.matches, 7u);
  EXPECT_EQ(tree.listing,
            "C:\\t\\blacklist.txt\r\n"
            "C:\\t\\sub\\BLACKLIST.TXT\r\n"
            "C:\\t\\sub\\deeper\\blacklist.txt\r\n"
            "C:\\t\\zz\\blacklist.txt\\BlackList.txt\r\n"
            "C:\\t\\cloud\\blacklist.txt\r\n"
            "C:\\t\\dedup\\blacklist.txt\r\n"
            "C:\\t\\wof\\blacklist.txt\r\n");
  for (const std::wstring& directory : tree.read) {
    for (const wchar_t* link : {L"junction", L"symlinkd", L"untagged"}) {
      EXPECT_EQ(directory.find(link), std::wstring::npos) << "entered a link";
    }
  }
  EXPECT_EQ(tree.console + tree.error, "");
}

TEST(FileSearchWalk, AnEndlessOrHugeTreeIsBoundedAndSaid) {
  struct Case {
    const char* what;
    SearchBounds bounds;
    std::uint64_t millisecondsPerRead;
    bool writable;
    const char* failure;
    std::size_t mostReads;
  } const cases[] = {
      {"too many folders",
       {256, 1000, std::uint64_t{256} << 20, 600000},
       0,
       true,
       "it met more than 1000 folders",
       1000},
      {"too long",
       {256, 1000000, std::uint64_t{256} << 20, 10000},
       1000,
       true,
       "it took longer than 10 seconds",
       11},
      {"too big a file list",
       {256, 1000000, std::uint64_t{1} << 20, 600000},
       0,
       true,
       "its file list grew beyond 1 MiB",
       1000000},
      {"a file list that cannot be written", {}, 0, false, "cannot write the file list", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FactTree tree;
    tree.endless = true;
    tree.millisecondsPerRead = c.millisecondsPerRead;
    tree.writable = c.writable;
    const SearchOutcome outcome = walkForListFiles(tree, L"C:\\t", L"blacklist.txt", c.bounds);
    EXPECT_EQ(outcome.failure, c.failure);
    EXPECT_LE(tree.read.size(), c.mostReads);
    EXPECT_LE(tree.listing.size(), std::size_t{1} << 20);
  }
  // Deeper than the depth bound: left out and said, the rest listed, the search a success.
  FactTree chain;
  std::wstring path = L"C:\\t";
  for (int depth = 0; depth < 6; ++depth) {
    chain.directories[path] = {{L"blacklist.txt", File, 0}, {L"d", Folder, 0}};
    path += L"\\d";
  }
  const SearchOutcome deep = walkForListFiles(chain, L"C:\\t", L"blacklist.txt", {3});
  EXPECT_EQ(deep.failure, "");
  EXPECT_EQ(deep.matches, 4u);
  EXPECT_EQ(chain.error,
            "dir: left out the directories in \"C:\\t\\d\\d\\d\": nested more than 3 levels "
            "deep\n");
}

TEST(FileSearchWalk, AFolderThatCannotBeReadIsSaidByWhatItMeans) {
  struct Case {
    const char* what;
    std::uint32_t error;
    bool onConsole;  // the lists below it go unchecked, which the console says
    bool onError;    // the user's own choice, noted on standard error
  } const cases[] = {
      {"access denied", ERROR_ACCESS_DENIED, false, true},
      {"gone since its parent was read", ERROR_PATH_NOT_FOUND, false, false},
      {"a device error", ERROR_IO_DEVICE, true, false},
      {"a network error", ERROR_UNEXP_NET_ERR, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FactTree tree;
    tree.directories[L"C:\\t"] = {{L"x", Folder, 0}, {L"y", Folder, 0}};
    tree.directories[L"C:\\t\\x"] = {{L"blacklist.txt", File, 0}};
    tree.directories[L"C:\\t\\y"] = {{L"blacklist.txt", File, 0}};
    tree.errors[L"C:\\t\\x"] = c.error;
    tree.directories[L"C:\\t\\x"].clear();
    const SearchOutcome outcome = walkForListFiles(tree, L"C:\\t", L"blacklist.txt");
    EXPECT_EQ(outcome.failure, "");
    EXPECT_EQ(tree.listing, "C:\\t\\y\\blacklist.txt\r\n");
    EXPECT_EQ(outcome.unread, c.onConsole);
    EXPECT_EQ(tree.console.find("The search could not read C:\\t\\x: ") == 0, c.onConsole)
        << tree.console;
    EXPECT_EQ(!tree.error.empty(), c.onError) << tree.error;
  }
}

TEST(FileSearchWindows, TheSearchListsThisTreeAndLeavesNoFileListWhenItFindsNothing) {
  ScratchDir scratch;
  const std::string top = currentDirectory();
  // A planted file list: a hard link to another file, which a redirection would write through.
  writeFileBytes("victim.txt", "precious\r\n");
  ASSERT_TRUE(CreateHardLinkW(L"blist.dir", L"victim.txt", nullptr));
  EXPECT_EQ(runFileSearch("blacklist.txt", "blist.dir"), 1);
  EXPECT_TRUE(searchFoundNothing("blist.dir"));
  EXPECT_FALSE(searchFoundNothing("wlist.dir")) << "another file list's search";
  EXPECT_EQ(GetFileAttributesW(L"blist.dir"), INVALID_FILE_ATTRIBUTES) << "left behind";
  EXPECT_EQ(readFileBytes("victim.txt"), "precious\r\n");
  CreateDirectoryW(L"a", nullptr);
  CreateDirectoryW(L"b", nullptr);
  writeFileBytes("b/BlackList.txt", "x\r\n");
  writeFileBytes("a/blacklist.txt", "x\r\n");
  writeFileBytes("blacklist.txt", "x\r\n");
  SetFileAttributesW(L"a\\blacklist.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(runFileSearch("blacklist.txt", "blist.dir"), 0);
  EXPECT_FALSE(searchFoundNothing("blist.dir"));
  // Enumerated in name order, as NTFS and wine list a directory.
  EXPECT_EQ(readFileBytes("blist.dir"), top + "\\blacklist.txt\r\n" + top +
                                            "\\a\\blacklist.txt\r\n" + top +
                                            "\\b\\BlackList.txt\r\n");
  SetFileAttributesW(L"a\\blacklist.txt", FILE_ATTRIBUTE_NORMAL);
}

TEST(FileSearchWindows, AFileListThatCannotBeMadeIsAFailedSearch) {
  ScratchDir scratch;
  ASSERT_TRUE(CreateDirectoryW(L"blist.dir", nullptr));
  writeFileBytes("blist.dir/precious.txt", "precious\r\n");
  EXPECT_EQ(runFileSearch("blacklist.txt", "blist.dir"), -1);
  EXPECT_FALSE(searchFoundNothing("blist.dir"));
  EXPECT_EQ(searchFailure("blist.dir"),
            "Cannot make the file list blist.dir: another file holds its name and cannot be "
            "removed");
  EXPECT_EQ(readFileBytes("blist.dir/precious.txt"), "precious\r\n");
}

}  // namespace
