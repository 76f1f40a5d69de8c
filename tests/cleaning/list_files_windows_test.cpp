// The cleaning run's looks at files on Windows: a list file's state by a path beyond MAX_PATH
// characters, and the cleaned copy taking the list file's place with its owner, permissions and
// attributes.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "channels/file_device.h"
#include "cleaning/list_file.h"
#include "support/long_names_windows.h"
#include "support/scratch_dir.h"
#include "system/file_stream.h"

namespace {

TEST(ListFileWindows, AListIsLookedAtAsTheOpenSawItAndAPathTooLongIsRefused) {
  ScratchDir scratch;
  for (const std::size_t length : {60u, 357u}) {
    SCOPED_TRACE(length);
    const std::string name = longRelativeName(length, "blacklist.txt");
    const std::string full = currentDirectory() + "\\" + name;
    FileStream stream;
    ASSERT_TRUE(openFileStream(stream, nullptr, full, StreamMode::Write));
    ASSERT_TRUE(streamWrite(stream, "a@example.org\r\n", 15));
    ASSERT_TRUE(closeFileStream(stream));
    {
      ListFile list(full, "blacklist.txt");
      std::string why;
      if (full.size() >= MAX_PATH) {
        EXPECT_FALSE(openListFile(list, why));
        EXPECT_EQ(why, "its path is too long") << "the command processor could not move it";
        continue;
      }
      ASSERT_TRUE(openListFile(list, why)) << why;
      EXPECT_TRUE(listFileUnchanged(list));
      EXPECT_EQ(list.state.size, 15);
      EXPECT_TRUE(listFileEndsWithCrLf(list));
    }
    removeLongName(name);
  }
}

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

TEST(ListFileWindows, TheCopyTakesTheListsPlaceOnlyAsItsFaithfulSuccessor) {
  ScratchDir scratch;
  const std::string original = "bad\r\nok@example.org\r\n";
  const DWORD hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  // What happens to the files between the copy's last line and its replacement.
  enum class Meanwhile {
    Nothing,
    OtherCopy,
    ListEdited,
    ListOpenForWriting
  };
  struct Case {
    const char* what;
    DWORD attributes;
    Meanwhile meanwhile;
    ListOutcome outcome;
    const char* reason;
  } const cases[] = {
      {"hidden and system, restricted", hiddenSystem, Meanwhile::Nothing, ListOutcome::Replaced,
       ""},
      {"plain", FILE_ATTRIBUTE_ARCHIVE, Meanwhile::Nothing, ListOutcome::Replaced, ""},
      {"read-only", FILE_ATTRIBUTE_READONLY, Meanwhile::Nothing, ListOutcome::Failed,
       "it is read-only"},
      {"another list.tmp", FILE_ATTRIBUTE_ARCHIVE, Meanwhile::OtherCopy, ListOutcome::Changed, ""},
      {"list edited", FILE_ATTRIBUTE_ARCHIVE, Meanwhile::ListEdited, ListOutcome::Changed, ""},
      // An editor with the list open for writing may save at any moment: never replaced under it.
      {"list held for writing", FILE_ATTRIBUTE_ARCHIVE, Meanwhile::ListOpenForWriting,
       ListOutcome::Failed, "another program has it open"},
  };
  const std::string edited = original + "new@example.org\r\n";
  CreateDirectoryW(L"d", nullptr);
  const Text path = currentDirectory() + "\\d\\blacklist.txt";
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
    {
      ListFile list(path, "blacklist.txt");
      std::string why;
      ASSERT_TRUE(openListFile(list, why)) << why;
      // The first line is dropped: the copy starts empty.
      ASSERT_TRUE(startCleanedCopy(list, 0, nullptr, why)) << why;
      const std::string line = "ok@example.org\r\n";
      ASSERT_EQ(writeChannelBytes(lookupChannel(CleanedCopyChannel), line.data(), line.size()),
                StatusCode::Ok);
      ASSERT_EQ(syncFile(fileChannelOf(CleanedCopyChannel)), StatusCode::Ok);
      if (c.meanwhile == Meanwhile::OtherCopy) {
        // Made while the copy still exists, so that it cannot be given the copy's file index.
        ASSERT_EQ(closeChannel(CleanedCopyChannel), StatusCode::Ok);
        writeFileBytes("planted.tmp", "planted@example.org\r\n");
        ASSERT_TRUE(MoveFileExW(L"planted.tmp", L"list.tmp", MOVEFILE_REPLACE_EXISTING));
      }
      if (c.meanwhile == Meanwhile::ListEdited) writeFileBytes("d/blacklist.txt", edited);
      HANDLE writer = INVALID_HANDLE_VALUE;
      if (c.meanwhile == Meanwhile::ListOpenForWriting) {
        writer = CreateFileW(L"d\\blacklist.txt", GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
      }
      std::string reason;
      EXPECT_EQ(stageListFile(list, reason), c.outcome);
      EXPECT_EQ(reason, c.reason);
      if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    }
    EXPECT_EQ(GetFileAttributesW(L"list.tmp") == INVALID_FILE_ATTRIBUTES,
              c.meanwhile != Meanwhile::OtherCopy)
        << "only the run's own copy is removed";
    const DWORD attributes = GetFileAttributesW(L"d\\blacklist.txt");
    EXPECT_EQ(attributes & (hiddenSystem | FILE_ATTRIBUTE_READONLY),
              c.attributes & ~FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(protectionOf(L"d\\blacklist.txt"), protection) << "owner and DACL as they were";
    SetFileAttributesW(L"d\\blacklist.txt", FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(readFileBytes("d/blacklist.txt"), c.outcome == ListOutcome::Replaced
                                                    ? "ok@example.org\r\n"
                                                : c.meanwhile == Meanwhile::ListEdited ? edited
                                                                                       : original);
    DeleteFileW(L"list.tmp");
  }
}

}  // namespace
