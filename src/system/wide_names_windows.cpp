// Wide and "\\?\" names for the Windows API, files opened by them, and a file's state from its
// handle.
#include "system/wide_names_windows.h"

#include <aclapi.h>
#include <winternl.h>

#include <cstdint>
#include <vector>

#include "system/wide_text_windows.h"

namespace {

constexpr std::wstring_view ExtendedPrefix = L"\\\\?\\";
constexpr std::wstring_view DevicePrefix = L"\\\\.\\";
constexpr std::wstring_view UncExtendedPrefix = L"\\\\?\\UNC\\";

bool startsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool isAsciiLetter(wchar_t character) {
  return (character >= L'A' && character <= L'Z') || (character >= L'a' && character <= L'z');
}

// True when no component between backslashes is empty, "." or "..": the system's normalisation
// would change nothing but final dots and blanks, which the "\\?\" form keeps.
bool plainComponents(std::wstring_view path) {
  std::size_t start = 0;
  while (true) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) end = path.size();
    const std::wstring_view component = path.substr(start, end - start);
    if (component.empty() || component == L"." || component == L"..") return false;
    if (end == path.size()) return true;
    start = end + 1;
  }
}

// The full path the system makes of `name`, with its usual normalisation.
bool systemFullPath(const std::wstring& name, std::wstring& full) {
  DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  while (size != 0) {
    full.assign(size, L'\0');
    const DWORD length = GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
    if (length == 0) break;
    if (length < size) {
      full.resize(length);
      return true;
    }
    size = length;  // the current directory grew meanwhile
  }
  return false;
}

// `wide` in the ANSI code page, when every character has bytes there that read back as itself.
bool narrowExactly(std::wstring_view wide, std::string& bytes) {
  bytes.clear();
  if (wide.empty()) return true;
  // No best-fit look-alikes ("L" for "\u0141"); a UTF-8 code page takes no such flag.
  const UINT codePage = GetACP();
  const DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL defaulted = FALSE;
  BOOL* usedDefault = codePage == CP_UTF8 ? nullptr : &defaulted;
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, usedDefault);
  if (length <= 0 || defaulted) return false;
  bytes.assign(static_cast<std::size_t>(length), '\0');
  if (WideCharToMultiByte(codePage, flags, wide.data(), size, bytes.data(), length, nullptr,
                          usedDefault) != length ||
      defaulted) {
    return false;
  }
  std::wstring back;
  return widenName(bytes, back) && back == wide;
}

}  // namespace

std::string narrowName(std::wstring_view wide, bool& exact) {
  std::string bytes;
  exact = narrowExactly(wide, bytes);
  if (exact) return bytes;
  bytes.clear();
  std::string one;
  for (std::size_t index = 0; index < wide.size();) {
    const bool pair = IS_HIGH_SURROGATE(wide[index]) && index + 1 < wide.size() &&
                      IS_LOW_SURROGATE(wide[index + 1]);
    const std::size_t count = pair ? 2 : 1;
    bytes += narrowExactly(wide.substr(index, count), one) ? one : std::string("?");
    index += count;
  }
  return bytes;
}

bool widenName(std::string_view name, std::wstring& wide) {
  // A NUL would end the wide name early: a different, shorter name than the one given.
  if (name.find('\0') != std::string_view::npos) return false;
  return widenBytes(name, CP_ACP, wide);
}

bool currentDirectoryName(std::wstring& directory) {
  DWORD size = GetCurrentDirectoryW(0, nullptr);
  while (size != 0) {
    directory.assign(size, L'\0');
    const DWORD length = GetCurrentDirectoryW(size, directory.data());
    if (length == 0) break;
    if (length < size) {
      directory.resize(length);
      if (!directory.empty() && directory.back() == L'\\') directory.pop_back();
      return !directory.empty();
    }
    size = length;
  }
  return false;
}

bool searchedDirectory(std::wstring& directory) {
  if (!currentDirectoryName(directory)) return false;
  const std::wstring_view view = directory;
  if (view.substr(0, 8) == L"\\\\?\\UNC\\") {
    directory = L"\\\\" + directory.substr(8);
  } else if (view.substr(0, 4) == L"\\\\?\\") {
    directory = directory.substr(4);
  }
  return true;
}

bool extendedName(std::string_view name, std::wstring& extended) {
  std::wstring wide;
  if (!widenName(name, wide)) return false;
  for (wchar_t& character : wide) {
    if (character == L'/') character = L'\\';
  }
  if (startsWith(wide, ExtendedPrefix) || startsWith(wide, DevicePrefix)) {
    extended = wide;
    return true;
  }
  const bool drivePath = wide.size() >= 2 && isAsciiLetter(wide[0]) && wide[1] == L':';
  if (drivePath && wide.size() >= 3 && wide[2] == L'\\' &&
      (wide.size() == 3 || plainComponents(std::wstring_view(wide).substr(3)))) {
    extended = extendedFullName(wide);
    return true;
  }
  if (startsWith(wide, L"\\\\") && plainComponents(std::wstring_view(wide).substr(2))) {
    extended = extendedFullName(wide);
    return true;
  }
  if (!drivePath && wide[0] != L'\\' && plainComponents(wide)) {
    std::wstring directory;
    if (!currentDirectoryName(directory)) return false;
    extended = extendedFullName(directory + L"\\" + wide);
    return true;
  }
  // Rooted without a drive, relative to a drive's own current directory, or holding "." or
  // ".." components: only the system knows what such a name stands for.
  std::wstring full;
  if (!systemFullPath(wide, full)) return false;
  extended = extendedFullName(full);
  return true;
}

std::wstring extendedFullName(std::wstring_view full) {
  if (startsWith(full, ExtendedPrefix) || startsWith(full, DevicePrefix)) return std::wstring(full);
  const bool unc = startsWith(full, L"\\\\");
  std::wstring extended(unc ? UncExtendedPrefix : ExtendedPrefix);
  extended.append(unc ? full.substr(2) : full);
  return extended;
}

FileState fileStateOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileState state;
  state.device = info.dwVolumeSerialNumber;
  state.fileIndex = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  state.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                         info.nFileSizeLow);
  state.modifiedTime = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  state.modifiedFraction = 0;
  // The status-change time is not in this record: it stays 0 and a change is judged without it.
  return state;
}

FileState fileStateOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info) {
  FileState state = fileStateOf(info);
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
    state.changedTime = basic.ChangeTime.QuadPart;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) == ERROR_SUCCESS) {
    state.owner = ownerNumber(owner);
    LocalFree(descriptor);
  }
  return state;
}

HANDLE openExistingItself(const std::wstring& name, DWORD access, DWORD share, DWORD flags) {
  return CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

bool singleComponent(std::wstring_view name) {
  return !name.empty() && name != L"." && name != L".." &&
         name.find_first_of(L"\\/:") == std::wstring_view::npos &&
         name.find(L'\0') == std::wstring_view::npos;
}

HANDLE openInDirectory(HANDLE directory,
                       std::wstring_view name,
                       DWORD access,
                       DWORD share,
                       Disposition disposition,
                       NameKind kind,
                       SECURITY_ATTRIBUTES* security,
                       bool backup,
                       bool throughFilter) {
  // An empty name opens the directory itself anew: a handle of its own, with its own scan.
  const bool itself = name.empty() && kind == NameKind::Directory;
  if ((!itself && !singleComponent(name)) || name.size() > 0x7fff) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING objectName;
  objectName.Buffer = const_cast<wchar_t*>(name.data());
  objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  // Names match without regard to case, as the Win32 opens match them.
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, directory,
                             security == nullptr ? nullptr : security->lpSecurityDescriptor);
  ULONG options = (throughFilter ? 0 : FILE_OPEN_REPARSE_POINT) | FILE_SYNCHRONOUS_IO_NONALERT;
  if (kind == NameKind::File) options |= FILE_NON_DIRECTORY_FILE;
  if (kind == NameKind::Directory) options |= FILE_DIRECTORY_FILE;
  if (backup) options |= FILE_OPEN_FOR_BACKUP_INTENT;
  const ULONG create = disposition == Disposition::Existing ? FILE_OPEN
                       : disposition == Disposition::New    ? FILE_CREATE
                                                            : FILE_OPEN_IF;
  IO_STATUS_BLOCK status = {};
  HANDLE opened = nullptr;
  // What CreateFileW adds to every open: waiting on the handle, and its attributes.
  const NTSTATUS result =
      NtCreateFile(&opened, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status,
                   nullptr, FILE_ATTRIBUTE_NORMAL, share, create, options, nullptr, 0);
  if (result < 0) {
    SetLastError(RtlNtStatusToDosError(result));
    return INVALID_HANDLE_VALUE;
  }
  return opened;
}

namespace {

// This process's token's user and groups (every group, enabled or deny-only), read once: they
// do not change while the process runs.
struct TokenFacts {
  std::vector<char> user;
  std::vector<char> groups;
  bool known = false;
};

TokenFacts readTokenFacts() {
  TokenFacts facts;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return facts;
  const auto information = [token](TOKEN_INFORMATION_CLASS which, std::vector<char>& bytes) {
    DWORD size = 0;
    GetTokenInformation(token, which, nullptr, 0, &size);
    bytes.assign(size, '\0');
    return size != 0 && GetTokenInformation(token, which, bytes.data(), size, &size);
  };
  facts.known = information(TokenUser, facts.user) && information(TokenGroups, facts.groups);
  CloseHandle(token);
  return facts;
}

// Read by the first thread that asks; the others wait for it.
const TokenFacts& tokenFacts() {
  static const TokenFacts facts = readTokenFacts();
  return facts;
}

PSID tokenUser() {
  const TokenFacts& facts = tokenFacts();
  return facts.known ? reinterpret_cast<const TOKEN_USER*>(facts.user.data())->User.Sid : nullptr;
}

// The SID of a well-known principal, in `storage`.
PSID wellKnownSid(WELL_KNOWN_SID_TYPE type, std::vector<char>& storage) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  storage.assign(size, '\0');
  if (!CreateWellKnownSid(type, nullptr, storage.data(), &size)) return nullptr;
  return storage.data();
}

bool sameSid(PSID left, PSID right) {
  return left != nullptr && right != nullptr && EqualSid(left, right);
}

}  // namespace

std::uint32_t ownerNumber(PSID sid) {
  if (sid == nullptr) sid = tokenUser();
  if (sid == nullptr || !IsValidSid(sid)) return 0;
  // FNV-1a over the SID's bytes.
  std::uint32_t number = 2166136261u;
  const auto* bytes = static_cast<const unsigned char*>(sid);
  for (DWORD index = 0; index < GetLengthSid(sid); ++index) {
    number = (number ^ bytes[index]) * 16777619u;
  }
  return number == 0 ? 1 : number;
}

namespace {

// The security a private file is made with: the user alone may reach it.
struct PrivateSecurity {
  std::vector<char> acl;
  SECURITY_DESCRIPTOR descriptor{};
  SECURITY_ATTRIBUTES attributes{};
  bool made = false;
};

void makePrivateSecurity(PrivateSecurity& security) {
  std::vector<char>& acl = security.acl;
  SECURITY_DESCRIPTOR& descriptor = security.descriptor;
  const PSID sid = tokenUser();
  if (sid == nullptr) return;
  acl.assign(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid), '\0');
  const PACL list = reinterpret_cast<PACL>(acl.data());
  // The owner is the user, named here: an elevated token's default owner is the Administrators
  // group, and a log made so would be refused by the same user's later runs without elevation.
  if (!InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION) ||
      !AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
      !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorOwner(&descriptor, sid, FALSE) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) ||
      !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return;
  }
  security.attributes = {sizeof security.attributes, &descriptor, FALSE};
  security.made = true;
}

}  // namespace

SECURITY_ATTRIBUTES* privateFileSecurity() {
  // Made once, by the first thread that asks: the user of a process does not change.
  // Made in place: the descriptor points into the ACL, the attributes at the descriptor.
  static PrivateSecurity security;
  static const bool made = [] {
    makePrivateSecurity(security);
    return security.made;
  }();
  return made ? &security.attributes : nullptr;
}

bool protectedForThisUser(const ProtectionFacts& facts) {
  // FAT, exFAT and many network shares keep no ACLs: the system reports an owner and a DACL
  // that nothing enforces, so there is nothing to judge.
  if (!facts.volumeKeepsAcls) return true;
  if (facts.user == nullptr || facts.owner == nullptr) return false;
  std::vector<char> administratorsStorage;
  std::vector<char> systemStorage;
  std::vector<char> ownerRightsStorage;
  const PSID administrators = wellKnownSid(WinBuiltinAdministratorsSid, administratorsStorage);
  const PSID system = wellKnownSid(WinLocalSystemSid, systemStorage);
  const PSID ownerRights = wellKnownSid(WinCreatorOwnerRightsSid, ownerRightsStorage);
  // The owner may always re-permit the file: the user, or the Administrators group when the
  // user belongs to it (an elevated run made the file), enabled or deny-only in this token.
  bool administratorsMember = false;
  for (const PSID group : facts.tokenGroups) administratorsMember |= sameSid(group, administrators);
  if (!sameSid(facts.owner, facts.user) &&
      !(administratorsMember && sameSid(facts.owner, administrators))) {
    return false;
  }
  // No DACL at all lets everyone in.
  if (!facts.daclPresent || facts.dacl == nullptr) return false;
  // Every right that lets its holder change the file, its attributes or extended attributes,
  // remove it, or change who may.
  constexpr DWORD Changing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                             FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER |
                             ACCESS_SYSTEM_SECURITY | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
  for (DWORD index = 0; index < facts.dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(facts.dacl, index, &entry)) return false;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      continue;
    }
    // Grants of any other kind (conditional, object) are not read: they count as another's.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & Changing) == 0) continue;
    const PSID grantee = const_cast<DWORD*>(&allowed->SidStart);
    // The system and the Administrators group may take any file anyway.
    const bool trusted = sameSid(grantee, facts.user) || sameSid(grantee, facts.owner) ||
                         sameSid(grantee, administrators) || sameSid(grantee, system) ||
                         sameSid(grantee, ownerRights);
    if (!trusted) return false;
  }
  return true;
}

bool ownedByThisUserAlone(HANDLE file) {
  ProtectionFacts facts;
  DWORD volumeFlags = 0;
  // A volume that cannot say keeps its ACLs: the check applies.
  facts.volumeKeepsAcls = !GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr,
                                                         &volumeFlags, nullptr, 0) ||
                          (volumeFlags & FILE_PERSISTENT_ACLS) != 0;
  if (!facts.volumeKeepsAcls) return true;
  const TokenFacts& token = tokenFacts();
  if (!token.known) return false;
  facts.user = tokenUser();
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(token.groups.data());
  for (DWORD index = 0; index < groups->GroupCount; ++index) {
    facts.tokenGroups.push_back(groups->Groups[index].Sid);
  }
  const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetKernelObjectSecurity(file, wanted, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<char> descriptor(size);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  if (!GetKernelObjectSecurity(file, wanted, descriptor.data(), size, &size) ||
      !GetSecurityDescriptorOwner(descriptor.data(), &facts.owner, &defaulted) ||
      !GetSecurityDescriptorDacl(descriptor.data(), &present, &facts.dacl, &defaulted)) {
    return false;
  }
  facts.daclPresent = present != FALSE;
  return protectedForThisUser(facts);
}

OVERLAPPED overlappedAt(std::uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return at;
}
