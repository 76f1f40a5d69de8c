// The cleaning run's files on Windows: the seam's primitives under a list's replacement:
// directories held by handle, the cleaned copy taking the list file's place with its owner,
// permissions and attributes, a staged copy claimed by the run that holds it.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "channels/channel.h"
#include "channels/file_device.h"
#include "support/long_names_windows.h"
#include "support/scratch_dir.h"
#include "system/file_stream.h"
#include "system/list_seam.h"

namespace {

// A file's owner, whether its DACL is protected from inheritance, and the DACL: the bytes of each.
std::string protectionOf(const wchar_t* name) {
  const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetFileSecurityW(name, wanted, nullptr, 0, &size);
  std::vector<char> descriptor(size);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (size == 0 || !GetFileSecurityW(name, wanted, descriptor.data(), size, &size) ||
      !GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || owner == nullptr ||
      !GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) ||
      !GetSecurityDescriptorControl(descriptor.data(), &control, &revision)) {
    return {};
  }
  std::string bytes(static_cast<const char*>(owner), GetLengthSid(owner));
  bytes += (control & SE_DACL_PROTECTED) != 0 ? "|protected|" : "|inherits|";
  if (present && dacl != nullptr) bytes.append(reinterpret_cast<const char*>(dacl), dacl->AclSize);
  return bytes;
}

// Gives `name` a protected DACL that lets only this user in.
bool restrictToThisUser(const wchar_t* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  char buffer[256];
  DWORD size = 0;
  const bool known = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  CloseHandle(token);
  if (!known) return false;
  const PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  std::vector<char> aclBytes(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user));
  const PACL acl = reinterpret_cast<PACL>(aclBytes.data());
  return InitializeAcl(acl, static_cast<DWORD>(aclBytes.size()), ACL_REVISION) &&
         AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) &&
         SetNamedSecurityInfoW(const_cast<wchar_t*>(name), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
}

constexpr ChannelNumber ListChannel = 2;
constexpr ChannelNumber CopyChannel = 3;
const std::string CopyName = ".chklist-copy-blacklist.txt";

// A list held and read as the engine holds and reads it, and its cleaned copy made beside it and
// kept open after its channel closed. Everything is given back at the end.
struct StagedList {
  HeldDirectory directory;
  std::string leaf;
  FileState listState;
  FileState copyState;
  FileHandle copy = -1;

  ~StagedList() {
    closeKept(copy);
    closeAllChannels();
    releaseDirectory(directory);
  }

  // Holds the list's directory, opens the list and writes `cleaned` to a new copy beside it.
  void stage(const std::string& listed, const std::string& cleaned) {
    ASSERT_TRUE(holdListDirectory(listed, directory, leaf).ok());
    ASSERT_EQ(openChannelIn(directory, leaf, OpenMode::Input, 0, 0, ListChannel, 0),
              StatusCode::Ok);
    ASSERT_TRUE(fileStateAtOpen(fileChannelOf(ListChannel), &listState));
    ASSERT_EQ(openChannelIn(directory, CopyName, OpenMode::Output, NewFileOnly, 0, CopyChannel, 0),
              StatusCode::Ok);
    ASSERT_TRUE(fileStateAtOpen(fileChannelOf(CopyChannel), &copyState));
    ASSERT_EQ(writeChannelBytes(lookupChannel(CopyChannel), cleaned.data(), cleaned.size()),
              StatusCode::Ok);
    copy = closeChannelKeepingFile(CopyChannel);
    ASSERT_NE(copy, -1);
  }

  FileHandle listHandle() { return fileStream(fileChannelOf(ListChannel))->handle; }
};

TEST(ListSeamWindows, TheCopyTakesTheListsPlaceOnlyAsItsFaithfulSuccessor) {
  ScratchDir scratch;
  const std::string original = "bad\r\nok@example.org\r\n";
  const std::string cleaned = "ok@example.org\r\n";
  const std::string edited = original + "new@example.org\r\n";
  const DWORD hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  // What happens to the list between its reading and its replacement.
  enum class Meanwhile {
    Nothing,
    Edited,
    SavedByRename,
    OpenForWriting
  };
  struct Case {
    const char* what;
    DWORD attributes;
    Meanwhile meanwhile;
    SeamError access;  // what giveListsAccess says
    SeamError rename;  // what renameOver says, when the access was given
  } const cases[] = {
      {"hidden and system, restricted", hiddenSystem, Meanwhile::Nothing, SeamError::None,
       SeamError::None},
      {"plain", FILE_ATTRIBUTE_ARCHIVE, Meanwhile::Nothing, SeamError::None, SeamError::None},
      {"read-only", FILE_ATTRIBUTE_READONLY, Meanwhile::Nothing, SeamError::ReadOnly,
       SeamError::None},
      {"edited in place", FILE_ATTRIBUTE_ARCHIVE, Meanwhile::Edited, SeamError::None,
       SeamError::Changed},
      {"saved by an editor's rename", FILE_ATTRIBUTE_ARCHIVE, Meanwhile::SavedByRename,
       SeamError::None, SeamError::Changed},
      // An editor with the list open for writing may save at any moment: never replaced under it.
      {"held for writing", FILE_ATTRIBUTE_ARCHIVE, Meanwhile::OpenForWriting, SeamError::None,
       SeamError::Busy},
  };
  CreateDirectoryW(L"d", nullptr);
  const std::string listed = currentDirectory() + "\\d\\blacklist.txt";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetFileAttributesW(L"d\\blacklist.txt", FILE_ATTRIBUTE_NORMAL);
    writeFileBytes("d/blacklist.txt", original);
    ASSERT_TRUE(SetFileAttributesW(L"d\\blacklist.txt", c.attributes));
    if (c.attributes == hiddenSystem) {
      ASSERT_TRUE(restrictToThisUser(L"d\\blacklist.txt"));
    }
    const std::string protection = protectionOf(L"d\\blacklist.txt");
    ASSERT_FALSE(protection.empty());
    std::string expected = original;
    {
      StagedList list;
      list.stage(listed, cleaned);
      if (HasFatalFailure()) return;
      const SeamCode given =
          giveListsAccess(list.copy, list.copyState, list.listHandle(), list.listState);
      EXPECT_EQ(given.error, c.access);
      EXPECT_TRUE(syncData(list.copy).ok());
      ASSERT_EQ(closeChannel(ListChannel), StatusCode::Ok);
      if (c.meanwhile == Meanwhile::Edited) writeFileBytes("d/blacklist.txt", edited);
      if (c.meanwhile == Meanwhile::SavedByRename) {
        writeFileBytes("d/saved.tmp", edited);
        ASSERT_TRUE(MoveFileExW(L"d\\saved.tmp", L"d\\blacklist.txt", MOVEFILE_REPLACE_EXISTING));
      }
      if (c.meanwhile != Meanwhile::Nothing) expected = edited;
      HANDLE writer = INVALID_HANDLE_VALUE;
      if (c.meanwhile == Meanwhile::OpenForWriting) {
        expected = original;
        writer = CreateFileW(L"d\\blacklist.txt", GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
      }
      if (given.ok()) {
        const SeamCode renamed =
            renameOver(list.directory, list.copy, CopyName, list.leaf, list.listState);
        EXPECT_EQ(renamed.error, c.rename);
        if (renamed.ok()) expected = cleaned;
      }
      if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
      NameLook look;
      if (lookAt(list.directory, CopyName, look).ok()) {
        // Not replaced: the run gives back its claim and removes its copy, only while it is its.
        closeKept(list.copy);
        FileState other = list.copyState;
        other.fileIndex ^= 1;
        EXPECT_EQ(removeName(list.directory, CopyName, other).error, SeamError::Changed);
        EXPECT_TRUE(removeName(list.directory, CopyName, list.copyState).ok());
      }
    }
    EXPECT_EQ(GetFileAttributesW(L"d\\.chklist-copy-blacklist.txt"), INVALID_FILE_ATTRIBUTES);
    const DWORD attributes = GetFileAttributesW(L"d\\blacklist.txt");
    EXPECT_EQ(attributes & (hiddenSystem | FILE_ATTRIBUTE_READONLY),
              c.meanwhile == Meanwhile::Nothing ? c.attributes & ~FILE_ATTRIBUTE_ARCHIVE : 0);
    if (c.meanwhile == Meanwhile::Nothing) {
      EXPECT_EQ(protectionOf(L"d\\blacklist.txt"), protection) << "owner and DACL as they were";
    }
    SetFileAttributesW(L"d\\blacklist.txt", FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(readFileBytes("d/blacklist.txt"), expected);
  }
}

TEST(ListSeamWindows, AStagedCopyIsThisRunsWhileItHoldsIt) {
  ScratchDir scratch;
  CreateDirectoryW(L"d", nullptr);
  writeFileBytes("d/blacklist.txt", "bad\r\n");
  StagedList list;
  list.stage(currentDirectory() + "\\d\\blacklist.txt", "");
  if (HasFatalFailure()) return;
  NameLook look;
  FileHandle hold = -1;
  EXPECT_EQ(lookAtLeftover(list.directory, CopyName, look, hold).error, SeamError::Busy)
      << "another run must leave it alone";
  EXPECT_EQ(removeName(list.directory, CopyName, list.copyState).error, SeamError::Busy);
  writeFileBytes("d/planted.tmp", "planted@example.org\r\n");
  EXPECT_FALSE(
      MoveFileExW(L"d\\planted.tmp", L"d\\.chklist-copy-blacklist.txt", MOVEFILE_REPLACE_EXISTING))
      << "nobody takes the copy's name while it is held";
  closeKept(list.copy);
  EXPECT_EQ(list.copy, -1);
  ASSERT_TRUE(lookAtLeftover(list.directory, CopyName, look, hold).ok());
  EXPECT_TRUE(look.regular);
  EXPECT_EQ(look.links, 1u);
  EXPECT_EQ(look.state.fileIndex, list.copyState.fileIndex);
  EXPECT_NE(processOwner(), 0u);
  EXPECT_EQ(look.state.owner, processOwner()) << "a leftover is known as this user's";
  EXPECT_TRUE(removeName(list.directory, CopyName, look.state).ok());
  EXPECT_EQ(lookAt(list.directory, CopyName, look).error, SeamError::Missing);
  EXPECT_EQ(lookAtLeftover(list.directory, "planted.tmp", look, hold).error, SeamError::None);
  EXPECT_EQ(exchangeNames(list.directory, "planted.tmp", list.leaf).error, SeamError::NotSupported);
}

TEST(ListSeamWindows, HeldDirectoriesStayWhereTheyWereFound) {
  ScratchDir scratch;
  CreateDirectoryW(L"a", nullptr);
  CreateDirectoryW(L"a\\b", nullptr);
  writeFileBytes("a/b/blacklist.txt", "deep@example.org\r\n");
  writeFileBytes("a/blacklist.txt", "upper@example.org\r\n");
  const std::string here = currentDirectory();
  HeldDirectory deep;
  HeldDirectory upper;
  std::string leaf;
  ASSERT_TRUE(holdListDirectory(here + "\\a\\b\\blacklist.txt", deep, leaf).ok());
  ASSERT_TRUE(holdListDirectory(here + "\\a\\blacklist.txt", upper, leaf).ok());
  for (const wchar_t* held : {L"a", L"a\\b"}) {
    SCOPED_TRACE(std::string(held, held + wcslen(held)));
    EXPECT_FALSE(MoveFileW(held, L"moved")) << "a held directory cannot be renamed";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  NameLook deepLook;
  NameLook upperLook;
  ASSERT_TRUE(lookAt(deep, leaf, deepLook).ok());
  ASSERT_TRUE(lookAt(upper, leaf, upperLook).ok());
  EXPECT_EQ(deepLook.state.size, 18);
  EXPECT_EQ(upperLook.state.size, 19);
  EXPECT_TRUE(syncDirectory(deep).ok());
  releaseDirectory(deep);
  EXPECT_EQ(deep.handle, 0);
  EXPECT_FALSE(MoveFileW(L"a", L"moved")) << "still held for the list above";
  EXPECT_TRUE(MoveFileW(L"a\\b", L"a\\moved")) << "given back with its last list";
  releaseDirectory(upper);
  EXPECT_TRUE(MoveFileW(L"a", L"moved"));
}

TEST(ListSeamWindows, AListListedTwiceIsHeldOnce) {
  // A search misled by a directory moved while it walked lists one list twice: the second is not
  // where it was found, and never taken for another run's.
  ScratchDir scratch;
  CreateDirectoryW(L"d", nullptr);
  writeFileBytes("d/blacklist.txt", "bad\r\n");
  writeFileBytes("d/whitelist.txt", "ok@example.org\r\n");
  const std::string listed = currentDirectory() + "\\d\\blacklist.txt";
  HeldDirectory first;
  HeldDirectory again;
  HeldDirectory other;
  std::string leaf;
  ASSERT_TRUE(holdListDirectory(listed, first, leaf).ok());
  EXPECT_EQ(holdListDirectory(listed, again, leaf).error, SeamError::Missing);
  EXPECT_EQ(holdListDirectory(currentDirectory() + "\\D\\BlackList.txt", again, leaf).error,
            SeamError::Missing);
  EXPECT_TRUE(holdListDirectory(currentDirectory() + "\\d\\whitelist.txt", other, leaf).ok())
      << "another list of the directory";
  // Workers hold and give back lists side by side: each holds its own, and the list held here
  // stays refused to them, while the others' holds come and go.
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> workers;
  for (std::size_t worker = 0; worker < wrong.size(); ++worker) {
    const std::string directory = "w" + std::to_string(worker);
    std::filesystem::create_directory(directory);
    writeFileBytes(directory + "/blacklist.txt", "ok@example.org\r\n");
    workers.emplace_back([&, directory, worker] {
      const std::string own = currentDirectory() + "\\" + directory + "\\blacklist.txt";
      for (int round = 0; round < 300; ++round) {
        HeldDirectory mine;
        HeldDirectory taken;
        std::string name;
        wrong[worker] += holdListDirectory(own, mine, name).ok() ? 0 : 1;
        wrong[worker] += holdListDirectory(listed, taken, name).ok() ? 1 : 0;
        releaseDirectory(taken);
        releaseDirectory(mine);
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(wrong, std::vector<int>(wrong.size(), 0));
  releaseDirectory(first);
  EXPECT_TRUE(holdListDirectory(listed, again, leaf).ok()) << "once the first is given back";
  releaseDirectory(again);
  releaseDirectory(other);
}

TEST(ListSeamWindows, StagedNamesAreNewEachTime) {
  const std::string first = randomStagedName();
  const std::string second = randomStagedName();
  EXPECT_EQ(first.substr(0, 14), ".chklist-copy-");
  EXPECT_EQ(first.size(), 20u);
  EXPECT_NE(first, second);
  EXPECT_EQ(first.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos)
      << "names that differ in case only would be one name";
}
}  // namespace
