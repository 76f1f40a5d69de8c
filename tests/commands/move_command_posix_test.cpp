#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "commands/command_processor_posix.h"
#include "commands/commands_test_helpers_posix.h"
#include "support/redirection.h"
#include "support/scratch_dir.h"
#include "system/file_metadata_posix.h"

namespace {

namespace fs = std::filesystem;

// What a test observes of a move: result, the two files and what else stands beside them.
std::string observe(int result, const fs::path& source, const fs::path& destination) {
  std::string seen = "result " + std::to_string(result);
  seen += "; source " + (entryExists(source) ? "\"" + readFileBytes(source) + "\"" : "gone");
  seen += "; destination \"" + readFileBytes(destination) + "\"";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", permissionBits(destination));
  seen += std::string(" mode ") + mode;
  // Leftovers such as a temporary copy: files other than the two, in the two directories.
  int others = 0;
  std::vector<fs::path> directories = {source.parent_path()};
  if (destination.parent_path() != source.parent_path()) {
    directories.push_back(destination.parent_path());
  }
  for (const fs::path& directory : directories) {
    for (const auto& entry : fs::directory_iterator(directory)) {
      if (entry.path() != source && entry.path() != destination && !entry.is_directory()) {
        ++others;
      }
    }
  }
  return seen + "; others " + std::to_string(others);
}

TEST(MoveCommand, ReplacesTheDestinationAndKeepsItsPermissionBits) {
  for (int mode : {0600, 0640, 0644, 0400, 0660}) {
    SCOPED_TRACE(mode);
    ScratchDir scratch;
    fs::create_directory("lists");
    writeFileBytes("list.tmp", "new@example.com\r\n");
    chmod("list.tmp", 0644);
    writeFileBytes("lists/blacklist.txt", "old\r\n");
    chmod("lists/blacklist.txt", static_cast<mode_t>(mode));
    fs::path destination = scratch.path() / "lists/blacklist.txt";

    StderrCapture capture;
    int result = runBuiltinCommand("move /y list.tmp \"" + destination.string() + "\"");
    EXPECT_EQ(capture.text(), "");
    char expected[96];
    std::snprintf(expected, sizeof expected,
                  "result 0; source gone; destination \"new@example.com\r\n\" mode %04o; others 0",
                  mode);
    EXPECT_EQ(observe(result, scratch.path() / "list.tmp", destination), expected);
  }
}

TEST(MoveCommand, ANewDestinationKeepsTheSourcesBitsAndWorksWithoutTheSwitch) {
  ScratchDir scratch;
  writeFileBytes("list.tmp", "a@b.example\r\n");
  chmod("list.tmp", 0640);
  EXPECT_EQ(runBuiltinCommand("move list.tmp blacklist.txt"), 0);
  EXPECT_EQ(observe(0, scratch.path() / "list.tmp", scratch.path() / "blacklist.txt"),
            "result 0; source gone; destination \"a@b.example\r\n\" mode 0640; others 0");
}

TEST(MoveCommand, RefusesLinksDirectoriesAndAMissingSourceLeavingBothIntact) {
  ScratchDir scratch;
  writeFileBytes("victim.txt", "precious");
  chmod("victim.txt", 0600);
  fs::create_symlink("victim.txt", "link.txt");
  fs::create_directory("a-directory");
  writeFileBytes("kept.txt", "kept");
  for (const char* line : {
           "move /y list.tmp link.txt",
           "move /y list.tmp a-directory",
           "move /y missing.tmp kept.txt",
           "move /y a-directory kept.txt",
           "move /y list.tmp no-such-directory/x.txt",
       }) {
    SCOPED_TRACE(line);
    writeFileBytes("list.tmp", "new");
    chmod("list.tmp", 0644);
    StderrCapture capture;
    EXPECT_EQ(runBuiltinCommand(line), 1);
    std::string message = capture.text();
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
    EXPECT_EQ(readFileBytes("list.tmp"), "new");
    EXPECT_EQ(permissionBits("list.tmp"), 0644);
  }
  EXPECT_EQ(readFileBytes("victim.txt"), "precious");
  EXPECT_EQ(permissionBits("victim.txt"), 0600);
  EXPECT_TRUE(fs::is_symlink("link.txt"));
  EXPECT_TRUE(fs::is_empty("a-directory"));
  EXPECT_EQ(readFileBytes("kept.txt"), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 5);
}

TEST(MoveCommand, AFailedRenameLeavesBothFilesAsTheyWere) {
  ScratchDir scratch;
  fs::create_directory("locked");
  writeFileBytes("locked/blacklist.txt", "old");
  chmod("locked/blacklist.txt", 0600);
  writeFileBytes("list.tmp", "new");
  chmod("list.tmp", 0644);
  expectRefusedInReadOnlyDirectory("locked", "move /y list.tmp locked/blacklist.txt",
                                   "locked/blacklist.txt");
  EXPECT_EQ(readFileBytes("list.tmp"), "new");
  EXPECT_EQ(permissionBits("list.tmp"), 0644) << "the source keeps its own access";
  EXPECT_EQ(readFileBytes("locked/blacklist.txt"), "old");
  EXPECT_EQ(permissionBits("locked/blacklist.txt"), 0600);
}

TEST(MoveCommand, TheReplacementTakesOverOwnerAndGroupWhenAllowed) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may give a file to another owner";
  ScratchDir scratch;
  writeFileBytes("blacklist.txt", "old");
  ASSERT_EQ(chown("blacklist.txt", 65534, 65534), 0);
  writeFileBytes("list.tmp", "new");
  EXPECT_EQ(runBuiltinCommand("move /y list.tmp blacklist.txt"), 0);
  struct stat status;
  ASSERT_EQ(stat("blacklist.txt", &status), 0);
  EXPECT_EQ(status.st_uid, 65534u);
  EXPECT_EQ(status.st_gid, 65534u);
  EXPECT_EQ(readFileBytes("blacklist.txt"), "new");
}

TEST(MoveCommand, AGroupThatCannotBeTakenOverMayDoNoMoreThanEveryoneElse) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a list owned by another user";
  ScratchDir scratch;
  writeFileBytes("list.tmp", "new");
  handTreeToUnprivilegedUser(scratch.path());
  // Owned by root: the unprivileged mover can neither take over its owner nor its group.
  writeFileBytes("blacklist.txt", "old");
  ASSERT_EQ(chown("blacklist.txt", 0, 0), 0);
  ASSERT_EQ(chmod("blacklist.txt", 0644), 0);
  // The group keeps what everyone may do.
  expectFromChild(
      ChildSetup::Unprivileged,
      [&] {
        return observe(runBuiltinCommand("move /y list.tmp blacklist.txt"),
                       scratch.path() / "list.tmp", scratch.path() / "blacklist.txt");
      },
      "result 0; source gone; destination \"new\" mode 0644; others 0");
}

TEST(MoveCommand, AcrossFileSystemsCopiesBesideTheDestinationThenRemovesTheSource) {
  ScratchDir scratch;
  fs::create_directory("mounted");
  fs::create_directory("lists");
  writeFileBytes("lists/blacklist.txt", "old");
  chmod("lists/blacklist.txt", 0600);
  expectFromChild(
      ChildSetup::PrivateMounts,
      [&] {
        if (std::string failed = mountTmpfs("mounted", 1024); !failed.empty()) return failed;
        std::string content(300000, 'x');
        content += "@end\r\n";
        writeFileBytes("mounted/list.tmp", content);
        chmod("mounted/list.tmp", 0644);
        int result = runBuiltinCommand("move /y mounted/list.tmp \"" +
                                       (scratch.path() / "lists/blacklist.txt").string() + "\"");
        std::string observed = observe(result, scratch.path() / "mounted/list.tmp",
                                       scratch.path() / "lists/blacklist.txt");
        std::size_t at = observed.find(content);
        return at == std::string::npos ? observed
                                       : observed.replace(at, content.size(), "<content>");
      },
      "result 0; source gone; destination \"<content>\" mode 0600; others 0");
}

TEST(MoveCommand, AReplacementThatHappenedIsReportedSoEvenWhenTheSourceStays) {
  // Across file systems the source is removed after the rename; when that fails, the
  // destination holds the new content all the same, and the caller must hear it was replaced.
  ScratchDir scratch;
  fs::create_directory("mounted");
  fs::create_directory("lists");
  writeFileBytes("lists/blacklist.txt", "old");
  expectFromChild(
      ChildSetup::PrivateMounts,
      [&] {
        if (std::string failed = mountTmpfs("mounted", 1024); !failed.empty()) return failed;
        writeFileBytes("mounted/list.tmp", "new@example.org\r\n");
        if (::mount(nullptr, "mounted", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
          return std::string("cannot make the tmpfs read-only");
        }
        const int source = ::open("mounted", O_PATH | O_DIRECTORY | O_CLOEXEC);
        const int destination = ::open("lists", O_PATH | O_DIRECTORY | O_CLOEXEC);
        std::string reason;
        const ReplaceOutcome outcome =
            replaceFileAt(source, "list.tmp", destination, "blacklist.txt", reason);
        ::close(source);
        ::close(destination);
        return std::string(outcome == ReplaceOutcome::Replaced ? "replaced" : "not replaced") +
               "; destination \"" + readFileBytes("lists/blacklist.txt") + "\"; source " +
               (entryExists("mounted/list.tmp") ? "kept" : "gone");
      },
      "replaced; destination \"new@example.org\r\n\"; source kept");
}

TEST(MoveCommand, AFailedCopyAcrossFileSystemsLeavesBothFilesAndNoTemporary) {
  ScratchDir scratch;
  fs::create_directory("mounted");
  writeFileBytes("list.tmp", std::string(400000, 'n'));
  expectFromChild(
      ChildSetup::PrivateMounts,
      [&] {
        // Too small for the copy: the write fails part way.
        if (std::string failed = mountTmpfs("mounted", 64); !failed.empty()) return failed;
        writeFileBytes("mounted/blacklist.txt", "old");
        chmod("mounted/blacklist.txt", 0600);
        StderrCapture capture;
        int result = runBuiltinCommand("move /y list.tmp mounted/blacklist.txt");
        std::string message = capture.text();
        std::string observed =
            observe(result, scratch.path() / "list.tmp", scratch.path() / "mounted/blacklist.txt");
        std::size_t sourceStart = observed.find("source \"") + 8;
        observed.replace(sourceStart, 400000, "<400000 n>");
        bool named = message.find("No space left on device") != std::string::npos;
        return observed + (named ? "; message says why" : "; message?" + message);
      },
      "result 1; source \"<400000 n>\"; destination \"old\" mode 0600; others 0; "
      "message says why");
  EXPECT_EQ(readFileBytes("list.tmp"), std::string(400000, 'n'));
}

// ---- A cleaned copy takes over the list's access ------------------------------------------------

// Output and exit status of a shell command line, standard error included.
std::string runShell(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return output;
  }
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.append(buffer, got);
  }
  *status = pclose(pipe);
  return output;
}

bool aclToolsInstalled() {
  int status = 0;
  runShell("command -v setfacl && command -v getfacl", &status);
  return status == 0;
}

// Applies `entries` with setfacl; "" on success, else what setfacl said.
std::string setAcl(const std::string& entries, const fs::path& file) {
  int status = 0;
  std::string said = runShell("setfacl -m '" + entries + "' '" + file.string() + "'", &status);
  return status == 0 ? std::string() : said.empty() ? "setfacl failed" : said;
}

// The access control list of `file` as getfacl shows it, ids as numbers.
std::string aclOf(const fs::path& file) {
  int status = 0;
  return runShell("getfacl --omit-header --numeric '" + file.string() + "'", &status);
}

bool hasAccessAcl(const fs::path& file) {
  return lgetxattr(file.c_str(), "system.posix_acl_access", nullptr, 0) >= 0;
}

// Every user.* attribute of `file`, sorted, bytes outside printable ASCII as \xHH.
std::string userAttributesOf(const fs::path& file) {
  std::vector<char> names(65536);
  ssize_t size = llistxattr(file.c_str(), names.data(), names.size());
  std::map<std::string, std::string> found;
  for (ssize_t start = 0; start < size;) {
    std::string name(names.data() + start);
    start += static_cast<ssize_t>(name.size()) + 1;
    if (name.rfind("user.", 0) != 0) continue;
    std::vector<char> value(65536);
    ssize_t length = lgetxattr(file.c_str(), name.c_str(), value.data(), value.size());
    std::string shown;
    for (ssize_t i = 0; i < length; ++i) {
      auto byte = static_cast<unsigned char>(value[static_cast<std::size_t>(i)]);
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += byte >= 0x20 && byte < 0x7f ? std::string(1, static_cast<char>(byte)) : escaped;
    }
    found[name] = shown;
  }
  std::string all;
  for (const auto& [name, value] : found) all += name + "=" + value + "; ";
  return all;
}

// Makes a new copy in `directory`, gives it to `prepare` (a stand-in for what a copy may already
// have), carries over the access of the list open on `listFd` and describes the outcome: the
// result or reason, whose owner and group the copy has, its mode. `copyPath` gets its path.
std::string carryToNewCopy(const fs::path& directory,
                           int listFd,
                           fs::path* copyPath,
                           const std::function<void(int)>& prepare = {}) {
  int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string name;
  int copyFd = createCopyTemporary(directoryFd, &name);
  close(directoryFd);
  if (copyFd < 0) return std::string("cannot create a copy: ") + std::strerror(errno);
  *copyPath = directory / name;
  if (prepare) prepare(copyFd);
  std::string why;
  int result = carryOverMetadata(copyFd, listFd, why);
  struct stat list;
  struct stat copy;
  fstat(listFd, &list);
  fstat(copyFd, &copy);
  close(copyFd);
  auto whose = [](unsigned id, unsigned listId, unsigned moverId) {
    return id == listId ? "list's" : id == moverId ? "mover's" : "someone else's";
  };
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(copy.st_mode & 07777));
  return (result == 0 ? std::string("carried over") : "refused (" + why + ")") + "; owner " +
         whose(copy.st_uid, list.st_uid, geteuid()) + "; group " +
         whose(copy.st_gid, list.st_gid, getegid()) + "; mode " + mode;
}

std::string carriedOverWithMode(int mode, const char* owner, const char* group) {
  char text[96];
  std::snprintf(text, sizeof text, "carried over; owner %s; group %s; mode %04o", owner, group,
                mode);
  return text;
}

TEST(CopyMetadata, TheCopyTakesOverOwnerGroupAndEveryPermissionBit) {
  for (int mode : {0600, 0640, 0644, 0604, 0400, 0660, 0755, 04644, 02640, 01644, 06750}) {
    SCOPED_TRACE(mode);
    ScratchDir scratch;
    writeFileBytes("blacklist.txt", "a@b.example\r\n");
    // As root the list belongs to someone else, so the copy's owner and group must change.
    if (geteuid() == 0) {
      ASSERT_EQ(chown("blacklist.txt", unprivilegedUser(), unprivilegedGroup()), 0);
    }
    ASSERT_EQ(chmod("blacklist.txt", static_cast<mode_t>(mode)), 0);
    int listFd = open("blacklist.txt", O_RDONLY | O_CLOEXEC);
    fs::path copy;
    EXPECT_EQ(carryToNewCopy(".", listFd, &copy), carriedOverWithMode(mode, "list's", "list's"));
    close(listFd);
  }
}

TEST(CopyMetadata, AGroupThatCannotBeKeptGetsNoMoreThanEveryoneElse) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a list of another user and group";
  // The list is root's; the copy is made by an unprivileged user, who can keep neither the owner
  // nor root's group. An owner that cannot be kept costs the set-user-ID bit.
  struct Case {
    int listMode;
    bool moversGroup;  // the list's group is the mover's own, so it is kept
    const char* expected;
  };
  const Case cases[] = {
      {0644, false, "carried over; owner mover's; group mover's; mode 0644"},
      {0640, false, "carried over; owner mover's; group mover's; mode 0600"},
      {0664, false, "carried over; owner mover's; group mover's; mode 0644"},
      {0666, false, "carried over; owner mover's; group mover's; mode 0666"},
      {0604, false, "carried over; owner mover's; group mover's; mode 0604"},
      {0675, false, "carried over; owner mover's; group mover's; mode 0655"},
      {02644, false, "carried over; owner mover's; group mover's; mode 0644"},
      {04644, false, "carried over; owner mover's; group mover's; mode 0644"},
      {0664, true, "carried over; owner mover's; group list's; mode 0664"},
      {02660, true, "carried over; owner mover's; group list's; mode 2660"},
      {04660, true, "carried over; owner mover's; group list's; mode 0660"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.listMode);
    ScratchDir scratch;
    handTreeToUnprivilegedUser(scratch.path());
    writeFileBytes("blacklist.txt", "a@b.example\r\n");
    ASSERT_EQ(chown("blacklist.txt", 0, row.moversGroup ? unprivilegedGroup() : 0), 0);
    ASSERT_EQ(chmod("blacklist.txt", static_cast<mode_t>(row.listMode)), 0);
    // Opened here: the mover need not be able to open it by name.
    int listFd = open("blacklist.txt", O_RDONLY | O_CLOEXEC);
    expectFromChild(
        ChildSetup::Unprivileged,
        [&] {
          fs::path copy;
          return carryToNewCopy(".", listFd, &copy);
        },
        row.expected);
    close(listFd);
  }
}

TEST(CopyMetadata, TheAccessControlListIsCarriedOverExactly) {
  if (!aclToolsInstalled()) GTEST_SKIP() << "setfacl and getfacl (package acl) are not installed";
  struct Case {
    const char* listAcl;           // "" for none
    const char* directoryDefault;  // inherited by every new file there; "" for none
  };
  const Case cases[] = {
      {"u:nobody:rw", ""},
      {"g:nogroup:r,m::r", ""},
      {"u:nobody:r,g:nogroup:rw,m::rw,o::r", ""},
      // A generous default the copy inherits must not outlive the carrying over.
      {"", "d:u:nobody:rwx,d:g::rwx,d:m::rwx,d:o::rwx"},
      {"u:nobody:r", "d:u:nobody:rwx,d:g:nogroup:rwx,d:m::rwx"},
      {"u:nobody:r", "d:u:nobody:r,d:g::---,d:m::r,d:o::---"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(std::string(row.listAcl) + " / " + row.directoryDefault);
    ScratchDir scratch;
    fs::create_directory("lists");
    writeFileBytes("lists/blacklist.txt", "a@b.example\r\n");
    ASSERT_EQ(chmod("lists/blacklist.txt", 0640), 0);
    std::string failed = *row.listAcl ? setAcl(row.listAcl, "lists/blacklist.txt") : "";
    if (failed.empty() && *row.directoryDefault) failed = setAcl(row.directoryDefault, "lists");
    if (!failed.empty()) GTEST_SKIP() << "no access control lists here: " << failed;
    ASSERT_EQ(hasAccessAcl("lists/blacklist.txt"), *row.listAcl != '\0');

    int listFd = open("lists/blacklist.txt", O_RDONLY | O_CLOEXEC);
    fs::path copy;
    EXPECT_EQ(carryToNewCopy("lists", listFd, &copy),
              carriedOverWithMode(permissionBits("lists/blacklist.txt"), "list's", "list's"));
    close(listFd);
    EXPECT_EQ(aclOf(copy), aclOf("lists/blacklist.txt"));
    EXPECT_EQ(hasAccessAcl(copy), *row.listAcl != '\0');
    if (*row.directoryDefault) {
      // A new file there does inherit the default, so the copy started with it.
      int other = open("lists", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      std::string name;
      close(createCopyTemporary(other, &name));
      close(other);
      EXPECT_TRUE(hasAccessAcl(fs::path("lists") / name));
    }
  }
}

TEST(CopyMetadata, AnAccessControlListWhoseGroupCannotBeKeptGivesThatGroupNoMore) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a list of another user and group";
  if (!aclToolsInstalled()) GTEST_SKIP() << "setfacl and getfacl (package acl) are not installed";
  ScratchDir scratch;
  handTreeToUnprivilegedUser(scratch.path());
  writeFileBytes("blacklist.txt", "a@b.example\r\n");
  ASSERT_EQ(chmod("blacklist.txt", 0640), 0);
  if (std::string failed = setAcl("u:nobody:r", "blacklist.txt"); !failed.empty()) {
    GTEST_SKIP() << "no access control lists here: " << failed;
  }
  int listFd = open("blacklist.txt", O_RDONLY | O_CLOEXEC);
  // The named user and the mask stay; root's group read the list, the mover's new group gets
  // only what everyone else may do.
  expectFromChild(
      ChildSetup::Unprivileged,
      [&] {
        fs::path copy;
        std::string outcome = carryToNewCopy(".", listFd, &copy);
        return outcome + "\n" + aclOf(copy);
      },
      "carried over; owner mover's; group mover's; mode 0640\nuser::rw-\nuser:" +
          std::to_string(unprivilegedUser()) + ":r--\ngroup::---\nmask::r--\nother::---\n\n");
  close(listFd);
}

TEST(CopyMetadata, UserAttributesAreCarriedOverAndTheCopysOwnRemoved) {
  ScratchDir scratch;
  writeFileBytes("blacklist.txt", "a@b.example\r\n");
  const std::string binary("\0\x01\xff", 3);
  const std::string large(3000, 'z');
  if (setxattr("blacklist.txt", "user.origin", "team list", 9, 0) != 0) {
    GTEST_SKIP() << "no user attributes here: " << std::strerror(errno);
  }
  ASSERT_EQ(setxattr("blacklist.txt", "user.binary", binary.data(), binary.size(), 0), 0);
  ASSERT_EQ(setxattr("blacklist.txt", "user.large", large.data(), large.size(), 0), 0);
  ASSERT_EQ(setxattr("blacklist.txt", "user.empty", "", 0, 0), 0);
  ASSERT_EQ(userAttributesOf("blacklist.txt"),
            "user.binary=\\x00\\x01\\xff; user.empty=; user.large=" + large +
                "; user.origin=team list; ");

  int listFd = open("blacklist.txt", O_RDONLY | O_CLOEXEC);
  fs::path copy;
  std::string outcome = carryToNewCopy(".", listFd, &copy, [](int copyFd) {
    fsetxattr(copyFd, "user.stale", "old", 3, 0);
    fsetxattr(copyFd, "user.origin", "team list", 9, 0);
    fsetxattr(copyFd, "user.binary", "other", 5, 0);
  });
  close(listFd);
  EXPECT_EQ(outcome.substr(0, 13), "carried over;") << outcome;
  EXPECT_EQ(userAttributesOf(copy), userAttributesOf("blacklist.txt"));
}

TEST(CopyMetadata, WhatCannotBeCarriedOverIsRefusedWithTheReason) {
  // The copy sits on a ramfs, which has no extended attributes.
  struct Case {
    const char* listHas;
    const char* expected;
  };
  const Case cases[] = {
      {"nothing", "carried over"},
      {"nothing, on a ramfs too", "carried over"},
      {"an access control list",
       "refused (cannot carry over its access control list: Operation not supported)"},
      {"a user attribute",
       "refused (cannot carry over its extended attribute user.note: Operation not supported)"},
      {"a user attribute named with an escape",
       "refused (cannot carry over its extended attribute user.?[2J: Operation not supported)"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.listHas);
    ScratchDir scratch;
    fs::create_directory("mounted");
    expectFromChild(
        ChildSetup::PrivateMounts,
        [&] {
          std::string list = "blacklist.txt";
          writeFileBytes(list, "a@b.example\r\n");
          if (std::string failed = mountRamfs("mounted"); !failed.empty()) return failed;
          std::string setUp;
          std::string has = row.listHas;
          if (has == "nothing, on a ramfs too") {
            list = "mounted/blacklist.txt";
            writeFileBytes(list, "a@b.example\r\n");
          } else if (has == "an access control list") {
            if (!aclToolsInstalled()) return std::string("skip: setfacl is not installed");
            setUp = setAcl("u:nobody:r", list);
          } else if (has != "nothing") {
            std::string name = has == "a user attribute" ? "user.note" : "user.\x1b[2J";
            if (setxattr(list.c_str(), name.c_str(), "x", 1, 0) != 0) setUp = "setxattr failed";
          }
          if (!setUp.empty()) return "skip: " + setUp;
          chmod(list.c_str(), 0640);
          int listFd = open(list.c_str(), O_RDONLY | O_CLOEXEC);
          fs::path copy;
          std::string outcome = carryToNewCopy("mounted", listFd, &copy);
          close(listFd);
          return outcome.substr(0, outcome.find("; owner"));
        },
        row.expected);
  }
}

// ---- Temporaries of a copy beside a list, and their leftovers -----------------------------------

TEST(CopyTemporary, IsANewPrivateFileInTheHeldDirectory) {
  ScratchDir scratch;
  fs::create_directory("lists");
  int directoryFd = open("lists", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  mode_t saved = umask(0);
  std::string first;
  std::string second;
  int firstFd = createCopyTemporary(directoryFd, &first);
  int secondFd = createCopyTemporary(directoryFd, &second);
  umask(saved);
  close(directoryFd);
  ASSERT_GE(firstFd, 0);
  ASSERT_GE(secondFd, 0);
  EXPECT_EQ(write(firstFd, "x", 1), 1);
  close(firstFd);
  close(secondFd);
  EXPECT_NE(first, second);
  for (const std::string& name : {first, second}) {
    EXPECT_EQ(name.size(), 20u) << name;
    EXPECT_EQ(name.rfind(".chklist-copy-", 0), 0u) << name;
    EXPECT_TRUE(fs::is_regular_file(fs::path("lists") / name)) << name;
    EXPECT_EQ(permissionBits(fs::path("lists") / name), 0600) << name;
  }
  EXPECT_EQ(readFileBytes(fs::path("lists") / first), "x");
}

TEST(CopyLeftovers, OnlyTheUsersOwnRegularFilesOfThatNameAreRemoved) {
  enum class Kind {
    OwnFile,
    OtherUsersFile,
    Link,
    HardLink,
    Directory,
    Fifo
  };
  struct Case {
    const char* name;
    Kind kind;
    bool removed;
  };
  std::vector<Case> cases = {
      {".chklist-copy-Ab12Cd", Kind::OwnFile, true},
      {".chklist-copy-Hard00", Kind::HardLink, true},
      {".chklist-copy-L1nk00", Kind::Link, false},
      {".chklist-copy-D1r000", Kind::Directory, false},
      {".chklist-copy-F1fo00", Kind::Fifo, false},
      {".chklist-copy-short", Kind::OwnFile, false},
      {".chklist-copy-Ab12Cd7", Kind::OwnFile, false},
      {".chklist-copy-Ab-2Cd", Kind::OwnFile, false},
      {".chklist-Ab12Cd", Kind::OwnFile, false},
      {"x.chklist-copy-Ab12Cd", Kind::OwnFile, false},
      {"blacklist.txt", Kind::OwnFile, false},
  };
  // Only root can make a file of another user here.
  if (geteuid() == 0) cases.push_back({".chklist-copy-zz90yX", Kind::OtherUsersFile, false});

  ScratchDir scratch;
  fs::create_directory("shared");
  writeFileBytes("original.txt", "original");
  writeFileBytes("target.txt", "target");
  // Beside the current directory's own file of a leftover's name: only the held one is searched.
  writeFileBytes(".chklist-copy-Ab12Cd", "not in the held directory");
  for (const Case& row : cases) {
    fs::path path = fs::path("shared") / row.name;
    switch (row.kind) {
      case Kind::OwnFile:
      case Kind::OtherUsersFile:
        writeFileBytes(path, "partial copy");
        if (row.kind == Kind::OtherUsersFile) {
          ASSERT_EQ(chown(path.c_str(), unprivilegedUser(), unprivilegedGroup()), 0);
        }
        break;
      case Kind::Link:
        fs::create_symlink(scratch.path() / "target.txt", path);
        break;
      case Kind::HardLink:
        fs::create_hard_link("original.txt", path);
        break;
      case Kind::Directory:
        fs::create_directory(path);
        break;
      case Kind::Fifo:
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        break;
    }
  }
  int directoryFd = open("shared", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string made;
  close(createCopyTemporary(directoryFd, &made));
  removeCopyLeftovers(directoryFd);
  close(directoryFd);

  for (const Case& row : cases) {
    EXPECT_EQ(entryExists(fs::path("shared") / row.name), !row.removed) << row.name;
  }
  EXPECT_FALSE(entryExists(fs::path("shared") / made)) << made << " was made by a copy";
  EXPECT_EQ(readFileBytes("original.txt"), "original");
  EXPECT_EQ(readFileBytes("target.txt"), "target");
  EXPECT_EQ(readFileBytes(".chklist-copy-Ab12Cd"), "not in the held directory");
}

}  // namespace
