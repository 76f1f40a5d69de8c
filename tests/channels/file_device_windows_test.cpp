// The file device on Windows: region locks, which hold against every other handle of the file,
// even one of the same process; opens that never reuse or follow what another program planted
// at a name; long paths; and the list file's directory held below the current directory.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <windows.h>

#include <string>
#include <vector>

#include "channels/channel.h"
#include "channels/file_device.h"
#include "support/channel_test.h"
#include "support/long_names_windows.h"
#include "support/scratch_dir.h"
#include "system/file_stream.h"
#include "system/held_directory.h"
#include "system/list_seam.h"
#include "system/wide_names_windows.h"

namespace {

// A file's whole content and its number of names, read through its "\\?\" name.
struct FileLook {
  std::string bytes;
  DWORD links = 0;
  bool opened = false;
};

FileLook lookAt(const std::string& relative) {
  const std::string full = currentDirectory() + "\\" + relative;
  const std::wstring name = L"\\\\?\\" + std::wstring(full.begin(), full.end());
  FileLook look;
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return look;
  look.opened = true;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(file, &info)) look.links = info.nNumberOfLinks;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    look.bytes.append(buffer, read);
  }
  CloseHandle(file);
  return look;
}

// Opens `name` in `mode`, writes `bytes` and closes; false when the open fails.
bool writeThrough(const HeldDirectory* directory,
                  const std::string& name,
                  StreamMode mode,
                  const std::string& bytes) {
  FileStream stream;
  if (!openFileStream(stream, directory, name, mode)) return false;
  const bool written = streamWrite(stream, bytes.data(), bytes.size());
  return closeFileStream(stream) && written;
}

std::string readThrough(const HeldDirectory* directory, const std::string& name) {
  FileStream stream;
  if (!openFileStream(stream, directory, name, StreamMode::Read)) return "(not opened)";
  std::string bytes;
  char buffer[4096];
  std::size_t read = 0;
  while ((read = streamRead(stream, buffer, sizeof buffer)) > 0) bytes.append(buffer, read);
  closeFileStream(stream);
  return bytes;
}

using FileDeviceWindows = ChannelTest;

TEST_F(FileDeviceWindows, ALockedRegionIsRefusedToAnotherChannelUntilUnlocked) {
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 10, 0), StatusCode::Ok);
  ASSERT_EQ(lockChannel(9, 0, 1), StatusCode::Ok);
  EXPECT_EQ(lockChannel(10, 0, 1), StatusCode::TransferFailed);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
  EXPECT_EQ(lockChannel(10, 1, 1), StatusCode::Ok) << "the next byte is free";
  ASSERT_EQ(unlockChannel(9, 0, 1), StatusCode::Ok);
  EXPECT_EQ(lockChannel(10, 0, 1), StatusCode::Ok);
  EXPECT_EQ(unlockChannel(9, 0, 1), StatusCode::TransferFailed) << "not locked by channel 9";
}

TEST_F(FileDeviceWindows, AnOutputFileIsAlwaysANewFileOfItsOwn) {
  // A second name of another file planted at list.tmp: the victim keeps its content and its
  // one other name; list.tmp becomes a file of its own.
  writeFileBytes("victim.txt", "precious\n");
  ASSERT_TRUE(CreateHardLinkW(L"list.tmp", L"victim.txt", nullptr));
  ASSERT_EQ(lookAt("victim.txt").links, 2u);
  ASSERT_TRUE(writeThrough(nullptr, "list.tmp", StreamMode::Write, "cleaned\r\n"));
  EXPECT_EQ(lookAt("victim.txt").bytes, "precious\n");
  EXPECT_EQ(lookAt("victim.txt").links, 1u);
  EXPECT_EQ(lookAt("list.tmp").bytes, "cleaned\r\n");
  EXPECT_EQ(lookAt("list.tmp").links, 1u);

  // What cannot be removed is left as it is, and the open fails.
  struct Case {
    const char* what;
    const char* name;
  } const cases[] = {{"a directory", "dir.tmp"}, {"a read-only file", "readonly.tmp"}};
  CreateDirectoryW(L"dir.tmp", nullptr);
  writeFileBytes("dir.tmp/inner.txt", "inner\n");
  writeFileBytes("readonly.tmp", "kept\n");
  ASSERT_TRUE(SetFileAttributesW(L"readonly.tmp", FILE_ATTRIBUTE_READONLY));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(openChannel(c.name, OpenMode::Output, 0, 0, 3, 0), StatusCode::NotOpened);
  }
  EXPECT_EQ(lookAt("dir.tmp\\inner.txt").bytes, "inner\n");
  EXPECT_EQ(lookAt("readonly.tmp").bytes, "kept\n");
  SetFileAttributesW(L"readonly.tmp", FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FileDeviceWindows, TheLogIsARegularFileThatCannotBeRenamedWhileOpen) {
  CreateDirectoryW(L"dir.log", nullptr);
  EXPECT_EQ(openChannel("dir.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::NotOpened)
      << "a directory";
  EXPECT_EQ(openChannel("\\\\.\\NUL", OpenMode::Append, 0, 0, 9, 0), StatusCode::NotOpened)
      << "a device would swallow the records";
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  EXPECT_FALSE(MoveFileW(L"chklist.log", L"chklist.log.1"));
  EXPECT_FALSE(DeleteFileW(L"chklist.log"));
  ASSERT_EQ(closeChannel(9), StatusCode::Ok);
  EXPECT_TRUE(MoveFileW(L"chklist.log", L"chklist.log.1")) << "free again once closed";
}

// Adds to `name`'s DACL an entry that lets `who` (a well-known principal) have `access`.
bool grantTo(const wchar_t* name, WELL_KNOWN_SID_TYPE who, DWORD access) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  std::vector<char> sid(size);
  if (!CreateWellKnownSid(who, nullptr, sid.data(), &size)) return false;
  EXPLICIT_ACCESSW entry = {};
  entry.grfAccessPermissions = access;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid.data());
  PACL old = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old,
                            nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  PACL wider = nullptr;
  const bool set =
      SetEntriesInAclW(1, &entry, old, &wider) == ERROR_SUCCESS &&
      SetNamedSecurityInfoW(const_cast<wchar_t*>(name), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, wider, nullptr) == ERROR_SUCCESS;
  LocalFree(wider);
  LocalFree(descriptor);
  return set;
}

// Whether `name`'s DACL holds an entry granting `who` all of `access`, as read back.
bool grants(const wchar_t* name, WELL_KNOWN_SID_TYPE who, DWORD access) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  std::vector<char> sid(size);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!CreateWellKnownSid(who, nullptr, sid.data(), &size) ||
      GetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool found = false;
  for (DWORD index = 0; dacl != nullptr && index < dacl->AceCount && !found; ++index) {
    void* entry = nullptr;
    if (!GetAce(dacl, index, &entry)) break;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    found = allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid.data()) &&
            (allowed->Mask & access) == access;
  }
  LocalFree(descriptor);
  return found;
}

TEST_F(FileDeviceWindows, ALogIsOwnedAloneOnlyWhenNoOtherUserMayChangeIt) {
  // A log the run creates is its user's alone; one that others may write, append to or remove
  // (planted, or given away) is not.
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  EXPECT_TRUE(fileOwnedAlone(fileChannelOf(9))) << "created by this run";
  ASSERT_EQ(closeChannel(9), StatusCode::Ok);
  // Its owner is the token's user, named when it was made: an elevated token's default owner
  // would be the Administrators group.
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  char userBuffer[256];
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, userBuffer, sizeof userBuffer, &size));
  CloseHandle(token);
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(L"chklist.log", SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                  &owner, nullptr, nullptr, nullptr, &descriptor),
            ERROR_SUCCESS);
  EXPECT_TRUE(EqualSid(owner, reinterpret_cast<TOKEN_USER*>(userBuffer)->User.Sid));
  LocalFree(descriptor);
  struct Case {
    const char* what;
    DWORD access;
    bool alone;
  } const cases[] = {
      {"everyone may read", GENERIC_READ, true},
      {"everyone may append", FILE_APPEND_DATA, false},
      {"everyone may write", FILE_WRITE_DATA, false},
      {"everyone may remove", DELETE, false},
      {"everyone may change its permissions", WRITE_DAC, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeleteFileW(L"planted.log");
    ASSERT_EQ(openChannel("planted.log", OpenMode::Append, 0, 0, 8, 0), StatusCode::Ok);
    ASSERT_EQ(closeChannel(8), StatusCode::Ok);
    ASSERT_TRUE(grantTo(L"planted.log", WinWorldSid, c.access));
    if (!grants(L"planted.log", WinWorldSid, c.access)) {
      // Wine maps a DACL onto Unix permissions, which hold no grant of these rights alone.
      GTEST_SKIP() << "this system does not keep the DACL given to the file";
    }
    ASSERT_EQ(openChannel("planted.log", OpenMode::Append, 0, 0, 8, 0), StatusCode::Ok);
    EXPECT_EQ(fileOwnedAlone(fileChannelOf(8)), c.alone);
    ASSERT_EQ(closeChannel(8), StatusCode::Ok);
  }
}

// A SID from its string form, kept alive by the table.
struct Sid {
  std::vector<char> bytes;
  explicit Sid(const wchar_t* text) {
    PSID sid = nullptr;
    if (ConvertStringSidToSidW(text, &sid)) {
      bytes.assign(static_cast<char*>(sid), static_cast<char*>(sid) + GetLengthSid(sid));
      LocalFree(sid);
    }
  }
  PSID get() const { return const_cast<char*>(bytes.data()); }
};

// One entry of a DACL: allowed or denied, to whom, which rights, with which flags.
struct Entry {
  bool allowed;
  const Sid* who;
  DWORD mask;
  BYTE flags = 0;
};

std::vector<char> aclOf(const std::vector<Entry>& entries) {
  std::vector<char> bytes(1024);
  const PACL acl = reinterpret_cast<PACL>(bytes.data());
  InitializeAcl(acl, static_cast<DWORD>(bytes.size()), ACL_REVISION);
  for (const Entry& entry : entries) {
    if (entry.allowed) {
      AddAccessAllowedAceEx(acl, ACL_REVISION, entry.flags, entry.mask, entry.who->get());
    } else {
      AddAccessDeniedAceEx(acl, ACL_REVISION, entry.flags, entry.mask, entry.who->get());
    }
  }
  return bytes;
}

TEST(ProtectionWindows, ALogIsThisUsersAloneByItsVolumeOwnerTokenAndEveryChangingRight) {
  const Sid user(L"S-1-5-21-1-2-3-1001");
  const Sid other(L"S-1-5-21-1-2-3-1002");
  const Sid administrators(L"S-1-5-32-544");
  const Sid users(L"S-1-5-32-545");
  const Sid everyone(L"S-1-1-0");
  const Sid system(L"S-1-5-18");
  const Sid ownerRights(L"S-1-3-4");
  const std::vector<Entry> own = {{true, &user, FILE_ALL_ACCESS}};
  const std::vector<const Sid*> plainToken = {&everyone, &users};
  const std::vector<const Sid*> adminToken = {&everyone, &users, &administrators};
  struct Case {
    const char* what;
    bool acls;  // the volume keeps ACLs
    const Sid* owner;
    bool dacl;  // a DACL is present
    std::vector<Entry> entries;
    std::vector<const Sid*> token;
    bool alone;
  };
  std::vector<Case> cases = {
      {"made by this run", true, &user, true, own, plainToken, true},
      {"others may read",
       true,
       &user,
       true,
       {{true, &user, FILE_ALL_ACCESS}, {true, &everyone, FILE_GENERIC_READ | FILE_EXECUTE}},
       plainToken,
       true},
      {"the system and the administrators may change it",
       true,
       &user,
       true,
       {{true, &system, FILE_ALL_ACCESS},
        {true, &administrators, GENERIC_ALL},
        {true, &ownerRights, WRITE_DAC}},
       plainToken,
       true},
      {"a grant only for what is made inside",
       true,
       &user,
       true,
       {{true, &user, FILE_ALL_ACCESS}, {true, &everyone, GENERIC_ALL, INHERIT_ONLY_ACE}},
       plainToken,
       true},
      {"a denial is no grant",
       true,
       &user,
       true,
       {{false, &everyone, FILE_ALL_ACCESS}, {true, &user, FILE_ALL_ACCESS}},
       plainToken,
       true},
      {"another user owns it", true, &other, true, own, plainToken, false},
      {"an elevated run made it, the token holds the group", true, &administrators, true, own,
       adminToken, true},
      {"owned by the administrators, the user is none of them", true, &administrators, true, own,
       plainToken, false},
      {"owned by a group all users are in", true, &users, true, own, plainToken, false},
      {"no DACL lets everyone in", true, &user, false, {}, plainToken, false},
      // FAT, exFAT, many shares: the owner and DACL the system reports mean nothing.
      {"a volume without ACLs", false, &everyone, false, {}, plainToken, true},
  };
  // Each right that changes the file or its protection, granted to another principal in turn.
  const struct {
    const char* what;
    const Sid* who;
    DWORD right;
  } changingRights[] = {
      {"others may write", &everyone, FILE_WRITE_DATA},
      {"others may append", &users, FILE_APPEND_DATA},
      {"others may set its attributes", &everyone, FILE_WRITE_ATTRIBUTES},
      {"others may set its extended attributes", &everyone, FILE_WRITE_EA},
      {"others may remove it", &other, DELETE},
      {"others may re-permit it", &other, WRITE_DAC},
      {"others may take it", &other, WRITE_OWNER},
      {"others hold a generic write", &everyone, GENERIC_WRITE},
      {"others hold every right", &everyone, GENERIC_ALL},
  };
  for (const auto& grant : changingRights) {
    cases.push_back(
        {grant.what, true, &user, true, {{true, grant.who, grant.right}}, plainToken, false});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(user.bytes.empty());
    std::vector<char> acl = aclOf(c.entries);
    ProtectionFacts facts;
    facts.volumeKeepsAcls = c.acls;
    facts.owner = c.owner->get();
    facts.daclPresent = c.dacl;
    facts.dacl = c.dacl ? reinterpret_cast<PACL>(acl.data()) : nullptr;
    facts.user = user.get();
    for (const Sid* group : c.token) facts.tokenGroups.push_back(group->get());
    EXPECT_EQ(protectedForThisUser(facts), c.alone);
  }
}

TEST_F(FileDeviceWindows, NamesBeyondMaxPathAreOpenedInEveryMode) {
  const std::string name = longRelativeName(300, "blacklist.txt");
  ASSERT_GT(currentDirectory().size() + 1 + name.size(), 300u);
  ASSERT_TRUE(writeThrough(nullptr, name, StreamMode::Write, "a@b.example\r\n"));
  ASSERT_TRUE(writeThrough(nullptr, name, StreamMode::Append, "late@b.example\r\n"));
  EXPECT_EQ(readThrough(nullptr, name), "a@b.example\r\nlate@b.example\r\n");
  EXPECT_EQ(readThrough(nullptr, currentDirectory() + "\\" + name),
            "a@b.example\r\nlate@b.example\r\n")
      << "by its full path";
  EXPECT_EQ(lookAt(name).bytes, "a@b.example\r\nlate@b.example\r\n");
  removeLongName(name);
}

TEST_F(FileDeviceWindows, AnOpenedFilesStateIsTheHandlesOwn) {
  writeFileBytes("list.txt", "one@example.org\r\n");
  OpenedFile opened;
  FileStream stream;
  ASSERT_TRUE(openFileStream(stream, nullptr, "list.txt", StreamMode::Read, &opened));
  EXPECT_TRUE(opened.regular);
  EXPECT_TRUE(opened.identified);
  EXPECT_EQ(opened.state.size, 17);
  const HANDLE handle = reinterpret_cast<HANDLE>(stream.handle);
  BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(GetFileInformationByHandle(handle, &info));
  EXPECT_EQ(opened.state.fileIndex,
            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  EXPECT_EQ(opened.state.device, info.dwVolumeSerialNumber);
  EXPECT_FALSE(MoveFileW(L"list.txt", L"old.txt")) << "no other file takes its name meanwhile";
  closeFileStream(stream);

  OpenedFile created;
  ASSERT_TRUE(openFileStream(stream, nullptr, "list.tmp", StreamMode::Write, &created));
  EXPECT_TRUE(created.regular);
  // The state it was created with: what identifies the copy when it is moved into place.
  EXPECT_TRUE(created.identified);
  EXPECT_EQ(created.state.size, 0);
  closeFileStream(stream);
}

TEST_F(FileDeviceWindows, AListDirectoryIsHeldOnlyBelowTheCurrentDirectory) {
  const std::string here = currentDirectory();
  CreateDirectoryW(L"a b", nullptr);
  CreateDirectoryW(L"a b\\c", nullptr);
  writeFileBytes("a b/c/blacklist.txt", "deep@example.org\r\n");
  writeFileBytes("blacklist.txt", "top@example.org\r\n");
  writeFileBytes("file.txt", "x\n");
  const std::string longName = longRelativeName(320, "blacklist.txt");
  writeThrough(nullptr, longName, StreamMode::Write, "long@example.org\r\n");
  std::string upperHere = here;
  for (char& byte : upperHere) {
    if (byte >= 'a' && byte <= 'z') byte = static_cast<char>(byte - 'a' + 'A');
  }
  struct Case {
    std::string listed;
    SeamError error;  // None: held
    std::string content = {};
  } const cases[] = {
      {here + "\\blacklist.txt", SeamError::None, "top@example.org\r\n"},
      {here + "\\a b\\c\\BlackList.TXT", SeamError::None, "deep@example.org\r\n"},
      {upperHere + "\\a b\\c\\blacklist.txt", SeamError::None, "deep@example.org\r\n"},
      {here + "/a b/c/blacklist.txt", SeamError::None, "deep@example.org\r\n"},
      {here + "\\" + longName, SeamError::None, "long@example.org\r\n"},
      {"C:\\elsewhere\\blacklist.txt", SeamError::NotBelow},
      {here + "x\\blacklist.txt", SeamError::NotBelow},
      {here + "\\a b\\..\\..\\blacklist.txt", SeamError::NotBelow},
      {here + "\\a b\\.\\c\\blacklist.txt", SeamError::NotBelow},
      {here + "\\a b:stream\\blacklist.txt", SeamError::NotBelow},
      {here + "\\a*\\blacklist.txt", SeamError::NotBelow},
      {here + "\\a b\\", SeamError::NotBelow},
      {"blacklist.txt", SeamError::NotBelow},
      {here + "\\missing\\blacklist.txt", SeamError::Missing},
      {here + "\\file.txt\\blacklist.txt", SeamError::Missing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listed);
    HeldDirectory directory;
    std::string leaf = "stale";
    const SeamCode code = holdListDirectory(c.listed, directory, leaf);
    EXPECT_EQ(code.error, c.error);
    if (!code.ok()) {
      EXPECT_EQ(directory.handle, 0) << "a refused path holds nothing";
      EXPECT_EQ(directory.handles, nullptr);
      continue;
    }
    EXPECT_NE(directory.handle, 0);
    EXPECT_TRUE(isListFileName(leaf, "blacklist.txt")) << leaf;
    EXPECT_EQ(readThrough(&directory, leaf), c.content);
    releaseDirectory(directory);
    EXPECT_EQ(directory.handle, 0);
    EXPECT_EQ(directory.descriptor, -1);
  }
  removeLongName(longName);
}

TEST_F(FileDeviceWindows, ANameTheCodePageLacksIsMarkedNeverALookAlike) {
  if (GetACP() != 1252) GTEST_SKIP() << "the cases are written for the ANSI code page 1252";
  struct Case {
    std::wstring wide;
    std::string bytes;
    bool exact;
  } const cases[] = {
      {L"C:\\lists\\blacklist.txt", "C:\\lists\\blacklist.txt", true},
      {L"caf\u00e9 \u20ac", "caf\xe9 \x80", true},
      {L"\u0141odz", "?odz", false},     // best fit would give "Lodz", another folder
      {L"\u2024x\uFF21", "?x?", false},  // dot leader and fullwidth A: look-alikes too
      {L"a\U0001F600b", "a?b", false},   // a surrogate pair is one character
      {std::wstring(L"a") + L'\xD800' + L"b", "a?b", false},  // an unpaired surrogate
      {std::wstring(), "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    bool exact = !c.exact;
    EXPECT_EQ(narrowName(c.wide, exact), c.bytes);
    EXPECT_EQ(exact, c.exact);
  }
  // What the search marked is refused, whatever exists under a look-alike name.
  CreateDirectoryW(L"Lodz", nullptr);
  writeFileBytes("Lodz/blacklist.txt", "other@example.org\r\n");
  HeldDirectory directory;
  std::string leaf;
  EXPECT_EQ(holdListDirectory(currentDirectory() + "\\?odz\\blacklist.txt", directory, leaf).error,
            SeamError::Unnamable);
}

TEST_F(FileDeviceWindows, ListFileNamesMatchWithoutRegardToAsciiCase) {
  struct Case {
    const char* leaf;
    bool matches;
  } const cases[] = {
      {"blacklist.txt", true},
      {"BlackList.TXT", true},
      {"BLACKLIST.TXT", true},
      {"blacklist.tx", false},
      {"blacklist.txt ", false},
      {"blacklist.txt.", false},
      {"whitelist.txt", false},
      {"", false},
      {"bl\xc1"
       "cklist.txt",
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isListFileName(c.leaf, "blacklist.txt"), c.matches) << c.leaf;
  }
  EXPECT_FALSE(isListFileName("\xe9", "\xc9")) << "letters outside ASCII are compared as bytes";
}

}  // namespace
