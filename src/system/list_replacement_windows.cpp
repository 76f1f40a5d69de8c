// A list file on Windows. Its directory is checked once, component by component below the
// current directory, and then named by its path: names inside it are opened as that path, a
// backslash and the name. No component may be a reparse point (a symbolic link, a junction, a
// mount point): each would lead the run elsewhere. What Windows cannot do here is keep the
// directories from being swapped after the check; see docs/windows.md.
//
// "list.tmp" is made the list file's faithful successor, then renamed over it through its own
// handle. Before the rename the copy is checked to be the one this run wrote, flushed to disk,
// and given the list file's owner, permissions (its DACL, byte for byte) and attributes; when any
// of that cannot be done the list file is left as it is. No list path is handed to the command
// processor, whose name handling could turn it into another file's. A rename that other programs
// block for a moment (a virus scanner, an indexer, a sync client) is tried again.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "system/file_stream.h"
#include "system/held_directory.h"
#include "system/list_replacement.h"
#include "system/reparse_points_windows.h"
#include "system/wide_names_windows.h"

namespace {

constexpr const char* NotBelow = "its path is not below the current directory";
constexpr const char* ThroughLink = "its path leads through a symbolic link";
constexpr const char* CannotOpen = "cannot open the file";
constexpr const char* OutsideCodePage =
    "its name holds characters outside the system's ANSI code page";

template <typename Character>
Character asciiLower(Character character) {
  return character >= 'A' && character <= 'Z' ? static_cast<Character>(character - 'A' + 'a')
                                              : character;
}

// Equal without regard to the case of ASCII letters, as Windows file systems match such names.
template <typename Character>
bool sameIgnoringAsciiCase(std::basic_string_view<Character> left,
                           std::basic_string_view<Character> right) {
  if (left.size() != right.size()) return false;
  for (std::size_t index = 0; index < left.size(); ++index) {
    if (asciiLower(left[index]) != asciiLower(right[index])) return false;
  }
  return true;
}

// A component that names an entry of its directory as itself: not empty, not "." or "..", and
// no ":" (which would name a stream of the entry instead).
bool ownComponent(std::wstring_view component) {
  return !component.empty() && component != L"." && component != L".." &&
         component.find(L':') == std::wstring_view::npos;
}

// The current directory as the search writes paths below it: without a "\\?\" prefix.
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

// Each directory of `parent` from the component at `start` down, from the top: null when each is
// a directory of its own; otherwise why the path is refused.
const char* refusedDirectoryBelow(std::wstring_view parent, std::size_t start) {
  while (start < parent.size() + 1) {
    std::size_t end = parent.find(L'\\', start);
    if (end == std::wstring_view::npos) end = parent.size();
    if (!ownComponent(parent.substr(start, end - start))) return NotBelow;
    bool link = false;
    const DWORD attributes = entryAttributes(extendedFullName(parent.substr(0, end)), link);
    if (link) return ThroughLink;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return CannotOpen;
    }
    start = end + 1;
  }
  return nullptr;
}

}  // namespace

bool holdListDirectory(std::string_view listedPath,
                       HeldDirectory& directory,
                       std::string& leaf,
                       std::string& reason) {
  releaseDirectory(directory);
  leaf.clear();
  // No Windows file name holds a "?" (a wildcard): in a listed path it stands for a character
  // the program's bytes cannot name (narrowName). Any name opened for it would be another file.
  if (listedPath.find('?') != std::string_view::npos) {
    reason = OutsideCodePage;
    return false;
  }
  std::string path(listedPath);
  toPlatformFileName(path);
  const std::size_t split = path.rfind('\\');
  std::wstring parent;
  std::wstring current;
  std::wstring wideLeaf;
  if (split == std::string::npos || split + 1 == path.size() ||
      !widenName(std::string_view(path).substr(split + 1), wideLeaf) || !ownComponent(wideLeaf)) {
    reason = NotBelow;
    return false;
  }
  if (!widenName(std::string_view(path).substr(0, split), parent) || !searchedDirectory(current)) {
    reason = CannotOpen;
    return false;
  }
  const std::wstring_view parentView = parent;
  if (!sameIgnoringAsciiCase(parentView.substr(0, current.size()), std::wstring_view(current)) ||
      (parent.size() > current.size() && parent[current.size()] != L'\\')) {
    reason = NotBelow;
    return false;
  }
  if (const char* refused = refusedDirectoryBelow(parentView, current.size() + 1)) {
    reason = refused;
    return false;
  }
  directory.path = path.substr(0, split);
  leaf = path.substr(split + 1);
  return true;
}

void releaseDirectory(HeldDirectory& directory) { directory = HeldDirectory{}; }

bool isListFileName(std::string_view leaf, std::string_view name) {
  return sameIgnoringAsciiCase(leaf, name);
}

namespace {

constexpr const char* CopyName = "list.tmp";
// Tries of the rename when another program holds one of the files: about a second in all.
constexpr int RenameTries = 6;
constexpr int RenameRetryMilliseconds = 200;
// The attributes a list file keeps. Read-only and encrypted lists are not replaced (below);
// compression and the like belong to the file system, not to the list.
constexpr DWORD KeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Closes a handle when it goes out of scope.
struct OwnedHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE opened) : handle(opened) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  bool open() const { return handle != INVALID_HANDLE_VALUE; }
};

// A regular file on disk with a single name, whose information `info` receives.
bool plainFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
  return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// The file behind `info` is the one `state` was taken of, whatever its content now.
bool sameFile(const BY_HANDLE_FILE_INFORMATION& info, const FileState& state) {
  const FileState now = fileStateOf(info);
  return now.device == state.device && now.fileIndex == state.fileIndex;
}

// The owner and DACL of an open file, as a self-relative security descriptor.
bool readProtection(HANDLE file, std::vector<char>& descriptor) {
  const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  GetKernelObjectSecurity(file, wanted, nullptr, 0, &size);
  if (size == 0) return false;
  descriptor.assign(size, '\0');
  return GetKernelObjectSecurity(file, wanted, descriptor.data(), size, &size) != FALSE;
}

PSID ownerOf(std::vector<char>& descriptor) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted)) return nullptr;
  return owner;
}

// The DACL's bytes, with its presence and protection: equal exactly when two files grant and
// deny the same, and inherit alike.
std::vector<char> daclOf(std::vector<char>& descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) ||
      !GetSecurityDescriptorControl(descriptor.data(), &control, &revision)) {
    return {};
  }
  std::vector<char> bytes = {present ? 'd' : '-', (control & SE_DACL_PROTECTED) ? 'p' : '-'};
  if (present && dacl != nullptr) {
    const char* raw = reinterpret_cast<const char*>(dacl);
    bytes.insert(bytes.end(), raw, raw + dacl->AclSize);
  }
  return bytes;
}

// Lets this process set an owner other than its user, where its token holds that right (an
// administrator's does, disabled). False when it does not.
bool enableRestorePrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool enabled =
      LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &privileges.Privileges[0].Luid) &&
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
      GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return enabled;
}

// The copy opened anew for `access`, when it is still the file this run created.
HANDLE reopenCopy(const std::wstring& copyName,
                  const FileState& copyState,
                  DWORD access,
                  DWORD flags) {
  const HANDLE copy = openExistingItself(copyName, access | FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, flags);
  BY_HANDLE_FILE_INFORMATION info = {};
  if (copy == INVALID_HANDLE_VALUE) return copy;
  if (!plainFile(copy, info) || !sameFile(info, copyState)) {
    CloseHandle(copy);
    return INVALID_HANDLE_VALUE;
  }
  return copy;
}

// Makes the owner in `descriptor` the copy's: as this user may, or else with the right to
// restore files where the token holds it (opening for that needs backup semantics).
bool setOwner(const std::wstring& copyName,
              const FileState& copyState,
              std::vector<char>& descriptor) {
  for (const bool privileged : {false, true}) {
    if (privileged && !enableRestorePrivilege()) return false;
    const OwnedHandle copy(
        reopenCopy(copyName, copyState, WRITE_OWNER, privileged ? FILE_FLAG_BACKUP_SEMANTICS : 0));
    if (copy.open() &&
        SetKernelObjectSecurity(copy.handle, OWNER_SECURITY_INFORMATION, descriptor.data())) {
      return true;
    }
  }
  return false;
}

// Gives the copy the list file's owner and DACL, exactly: a descriptor set on the file itself is
// taken as it is, where the security API would merge in what the copy's own directory passes on.
// Null on success, otherwise the reason.
const char* copyProtection(const std::wstring& listName,
                           const std::wstring& copyName,
                           const FileState& copyState,
                           HANDLE copy) {
  const OwnedHandle list(openExistingItself(listName, READ_CONTROL, ShareEverything));
  std::vector<char> wanted;
  std::vector<char> present;
  if (!list.open() || !readProtection(list.handle, wanted) || !readProtection(copy, present)) {
    return "cannot read the list's permissions";
  }
  const PSID wantedOwner = ownerOf(wanted);
  const PSID presentOwner = ownerOf(present);
  if (wantedOwner == nullptr || presentOwner == nullptr) return "cannot read the list's owner";
  if (!EqualSid(wantedOwner, presentOwner) && !setOwner(copyName, copyState, wanted)) {
    return "cannot give list.tmp the list's owner";
  }
  // A failure here may leave the copy's permissions between its own and the list's, never
  // wider than both: the copy is removed then.
  if (!SetKernelObjectSecurity(copy, DACL_SECURITY_INFORMATION, wanted.data()) ||
      !readProtection(copy, present)) {
    return "cannot give list.tmp the list's permissions";
  }
  const PSID ownerNow = ownerOf(present);
  if (ownerNow == nullptr || !EqualSid(ownerNow, wantedOwner)) {
    return "cannot give list.tmp the list's owner";
  }
  if (daclOf(present) != daclOf(wanted) || daclOf(present).empty()) {
    return "cannot give list.tmp the list's permissions";
  }
  return nullptr;
}

// Gives the copy the list file's kept attributes (hidden, system, ...). Null on success.
const char* copyAttributes(HANDLE copy, DWORD listAttributes) {
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(copy, FileBasicInfo, &basic, sizeof basic)) {
    return "cannot give list.tmp the list's attributes";
  }
  const DWORD wanted = listAttributes & KeptAttributes;
  basic.FileAttributes = wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL;
  // Zero times are left as they are.
  basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
  basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!SetFileInformationByHandle(copy, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandle(copy, &info) ||
      (info.dwFileAttributes & (KeptAttributes | FILE_ATTRIBUTE_READONLY)) != wanted) {
    return "cannot give list.tmp the list's attributes";
  }
  return nullptr;
}

// True when another program has `name` open without letting it be renamed or replaced.
bool openByAnother(const std::wstring& name) {
  const HANDLE probe = openExistingItself(name, DELETE, ShareEverything);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// The list file is still the one that was read, looked at through a handle of its own that
// keeps nobody from anything.
bool stillTheList(const std::wstring& listName, const FileState& listState) {
  const OwnedHandle list(openExistingItself(listName, FILE_READ_ATTRIBUTES, ShareEverything));
  BY_HANDLE_FILE_INFORMATION info = {};
  return list.open() && plainFile(list.handle, info) && fileStateOf(list.handle, info) == listState;
}

// Why a list file with `attributes` is not replaced; null when it may be. Windows refuses to
// replace a read-only file; an encrypted one would come back in clear.
const char* unreplaceable(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return "it is read-only";
  if ((attributes & FILE_ATTRIBUTE_ENCRYPTED) != 0) return "it is encrypted";
  return nullptr;
}

// The copy opened for everything its preparation and its rename need, sharing only reading: from
// here on nobody else can write it or take its name. Tried again while another program (a virus
// scanner, an indexer) has it open without letting it be renamed.
ListOutcome openCopyForReplacement(const std::wstring& copyName,
                                   const FileState& copyState,
                                   OwnedHandle& copy,
                                   std::string& reason) {
  constexpr DWORD Access = GENERIC_WRITE | DELETE | SYNCHRONIZE | READ_CONTROL | WRITE_DAC |
                           FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
  for (int tries = 1;; ++tries) {
    copy.handle = openExistingItself(copyName, Access, FILE_SHARE_READ);
    if (copy.open()) break;
    if (GetLastError() != ERROR_SHARING_VIOLATION) return ListOutcome::Changed;
    if (tries == RenameTries) {
      reason = "another program has list.tmp open";
      return ListOutcome::Failed;
    }
    Sleep(RenameRetryMilliseconds);
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!plainFile(copy.handle, info) || info.nNumberOfLinks != 1 || !sameFile(info, copyState)) {
    return ListOutcome::Changed;
  }
  return ListOutcome::Replaced;
}

// Makes the held copy ready to take the list file's place: flushed, then given the list's
// attributes, owner and permissions. The list is looked at here only for what it hands on;
// whether it is still the one that was read is the last look, just before the rename. Replaced
// when the copy is ready; otherwise Changed, or Failed with `reason`.
ListOutcome prepareCopy(const std::wstring& listName,
                        const std::wstring& copyName,
                        const FileState& listState,
                        const FileState& copyState,
                        HANDLE copy,
                        std::string& reason) {
  const OwnedHandle list(openExistingItself(listName, FILE_READ_ATTRIBUTES, ShareEverything));
  BY_HANDLE_FILE_INFORMATION listInfo = {};
  if (!list.open() || !plainFile(list.handle, listInfo) ||
      !(fileStateOf(list.handle, listInfo) == listState)) {
    return ListOutcome::Changed;
  }
  const char* refused = unreplaceable(listInfo.dwFileAttributes);
  // The cleaned entries reach the disk before the name does: after a power loss the list is
  // either the old one or the whole new one.
  if (refused == nullptr && !FlushFileBuffers(copy)) refused = "cannot write list.tmp to the disk";
  if (refused == nullptr) refused = copyAttributes(copy, listInfo.dwFileAttributes);
  if (refused == nullptr) refused = copyProtection(listName, copyName, copyState, copy);
  if (refused == nullptr) return ListOutcome::Replaced;
  reason = refused;
  return ListOutcome::Failed;
}

// The list file opened for reading without letting anyone write it, and found to be the list
// that was read: the last look. Changed when it is not; Failed when another program has it open
// for writing or without letting it be read or renamed.
ListOutcome guardUnchangedList(const std::wstring& listName,
                               const FileState& listState,
                               OwnedHandle& guard) {
  guard.handle = openExistingItself(listName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  if (!guard.open()) {
    return GetLastError() == ERROR_SHARING_VIOLATION ? ListOutcome::Failed : ListOutcome::Changed;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!plainFile(guard.handle, info) || !(fileStateOf(guard.handle, info) == listState)) {
    return ListOutcome::Changed;
  }
  return ListOutcome::Replaced;
}

// The request SetFileInformationByHandle takes to rename a file, spelt out: the system headers
// name its first field ReplaceIfExists (a BOOLEAN) or Flags depending on the Windows version
// they are built for, at the same place.
struct RenameRequest {
  DWORD flags;
  HANDLE rootDirectory;
  DWORD nameBytes;
  WCHAR name[1];
};

// The rename with flags of Windows 10 (1607) and later, FileRenameInfoEx; the headers declare it
// only for builds aimed at that version.
constexpr auto RenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD RenameReplaceIfExists = 0x1;
// Replaces the target even while it is open, when every handle on it lets it be removed.
constexpr DWORD RenamePosixSemantics = 0x2;

// Renames the open file `file` to `target` (its "\\?\" form), replacing the file of that name:
// with POSIX semantics when `posix`, else the classic way, which fails while the target is open.
// ERROR_SUCCESS, or the system's error.
DWORD renameOver(HANDLE file, const std::wstring& target, bool posix) {
  // The system's own form of the name: "\??\" where the Win32 form has "\\?\".
  const std::wstring systemName = L"\\??\\" + target.substr(4);
  const std::size_t nameBytes = systemName.size() * sizeof(WCHAR);
  const std::size_t size = offsetof(RenameRequest, name) + nameBytes + sizeof(WCHAR);
  std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  RenameRequest request = {};
  request.flags = posix ? RenameReplaceIfExists | RenamePosixSemantics : TRUE;
  request.rootDirectory = nullptr;
  request.nameBytes = static_cast<DWORD>(nameBytes);
  char* bytes = reinterpret_cast<char*>(buffer.data());
  std::memcpy(bytes, &request, offsetof(RenameRequest, name));
  std::memcpy(bytes + offsetof(RenameRequest, name), systemName.data(), nameBytes);
  const bool renamed = SetFileInformationByHandle(file, posix ? RenameInfoEx : FileRenameInfo,
                                                  bytes, static_cast<DWORD>(size)) != FALSE;
  return renamed ? ERROR_SUCCESS : GetLastError();
}

// How a system says it has no rename with POSIX semantics: older Windows, FAT volumes, wine.
bool noPosixRename(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_LEVEL;
}

// Why the rename over `listName` failed with `error`. The classic rename is denied while anyone
// has the target open, so a denial is put down to another program when one holds the list.
std::string refusedRename(DWORD error, const std::wstring& listName) {
  if (error == ERROR_SHARING_VIOLATION ||
      (error == ERROR_ACCESS_DENIED && openByAnother(listName))) {
    return "another program has it open";
  }
  if (error == ERROR_LOCK_VIOLATION) return "another program has locked it";
  if (error == ERROR_ACCESS_DENIED) return "the system denies replacing it";
  return "the system refused to replace it (error " + std::to_string(error) + ")";
}

// One rename of the prepared copy over the list file: at no moment is the list file missing.
// Each try holds the list open without write sharing, then takes the last look through that
// handle. Where the system replaces a file that is open (Windows 10 and later, on NTFS), the guard
// lasts through the rename, so no edit can be saved between the look and the replacement; where
// it cannot, the guard is closed just before the classic rename and the list looked at once more,
// a window of microseconds (a program that still has the list open then makes the rename fail,
// and the next look sees its edit).
// Tried again while another program holds the list file.
ListOutcome renameIntoPlace(const std::wstring& listName,
                            HANDLE copy,
                            const FileState& listState,
                            std::string& reason) {
  bool posix = true;
  for (int tries = 1;; ++tries) {
    DWORD error = ERROR_SHARING_VIOLATION;
    {
      OwnedHandle guard;
      const ListOutcome guarded = guardUnchangedList(listName, listState, guard);
      if (guarded == ListOutcome::Changed) return ListOutcome::Changed;
      if (guarded == ListOutcome::Replaced && posix) {
        error = renameOver(copy, listName, true);
        posix = !noPosixRename(error);
      }
      if (guarded == ListOutcome::Replaced && !posix) {
        CloseHandle(guard.handle);
        guard.handle = INVALID_HANDLE_VALUE;
        // One more look once the guard is gone: an edit saved the moment it went is seen here,
        // and only one saved between this look and the rename is not.
        if (!stillTheList(listName, listState)) return ListOutcome::Changed;
        error = renameOver(copy, listName, false);
      }
    }
    if (error == ERROR_SUCCESS) return ListOutcome::Replaced;
    const bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                      error == ERROR_LOCK_VIOLATION;
    if (!busy || tries == RenameTries) {
      reason = refusedRename(error, listName);
      return ListOutcome::Failed;
    }
    Sleep(RenameRetryMilliseconds);
  }
}

// Removes the copy, when it still is the file this run created: through its own handle, so that
// neither a hidden or system copy nor a directory or link that took its name is missed or
// followed.
void removeCopy(const std::wstring& copyName, const FileState& copyState) {
  const OwnedHandle copy(openExistingItself(
      copyName, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, ShareEverything));
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!copy.open() || !plainFile(copy.handle, info) || !sameFile(info, copyState)) return;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(copy.handle, FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  SetFileInformationByHandle(copy.handle, FileDispositionInfo, &disposition, sizeof disposition);
}

// The replacement itself, through handles from the check of the copy to its rename: the file
// renamed is the copy this run wrote, and the file replaced the list that was read. `list.tmp`
// may be left behind when it does not happen.
ListOutcome replaceThroughHandles(const HeldDirectory& directory,
                                  const std::string& leaf,
                                  const FileState& listState,
                                  const FileState& copyState,
                                  std::string& reason) {
  std::wstring listName;
  std::wstring copyName;
  if (!extendedName(directory.path.empty() ? leaf : directory.path + "\\" + leaf, listName) ||
      !extendedName(CopyName, copyName)) {
    return ListOutcome::Failed;
  }
  OwnedHandle copy;
  ListOutcome outcome = openCopyForReplacement(copyName, copyState, copy, reason);
  if (outcome == ListOutcome::Replaced) {
    outcome = prepareCopy(listName, copyName, listState, copyState, copy.handle, reason);
  }
  if (outcome == ListOutcome::Replaced) {
    outcome = renameIntoPlace(listName, copy.handle, listState, reason);
  }
  return outcome;
}

}  // namespace

std::vector<UndurableReplacement> syncReplacements() {
  // The rename is as durable as the file system makes it: NTFS journals
  // it, and no directory can be flushed through the Windows API.
  return {};
}

void removeStagedLeftover(const ListOnDisk&) {}

void removeCleanedCopy(ListOnDisk& list) {
  std::wstring copyName;
  if (list.copyMade && !list.copyRemoved && extendedName(CopyName, copyName)) {
    removeCopy(copyName, list.copyState);
  }
  list.copyRemoved = true;
}

bool listFileUnchanged(const ListOnDisk& list) {
  // Looked up through the "\\?\" wide name, so that a path beyond MAX_PATH characters is read
  // too; a reparse point at the path is looked at itself, not followed, as the list's open does.
  std::wstring name;
  if (!list.stateKnown || !extendedName(list.path, name)) return false;
  const OwnedHandle file(openExistingItself(name, FILE_READ_ATTRIBUTES, ShareEverything));
  BY_HANDLE_FILE_INFORMATION info{};
  return file.open() && GetFileInformationByHandle(file.handle, &info) &&
         fileStateOf(file.handle, info) == list.state;
}

// Each list is replaced when it has been read: its rename is no cheaper in a
// batch, and NTFS journals it.
bool replacementsWaitForBatch() { return false; }

std::size_t stagedListCount() { return 0; }

std::int64_t stagedBytes() { return 0; }

bool batchIsFull() { return false; }

bool syncStagedCopies(std::string&) { return true; }

std::vector<BatchedOutcome> replaceStagedLists(const char*) { return {}; }

ListOutcome stageListCopy(ListOnDisk& list, std::string& reason) {
  const ListOutcome outcome =
      replaceThroughHandles(list.directory, list.leaf, list.state, list.copyState, reason);
  if (outcome == ListOutcome::Changed || outcome == ListOutcome::Failed) {
    removeCleanedCopy(list);
  } else {
    list.copyRemoved = true;
  }
  return outcome;
}

bool runFileExists(std::string_view name) {
  return GetFileAttributesA(std::string(name).c_str()) != INVALID_FILE_ATTRIBUTES ||
         GetLastError() != ERROR_FILE_NOT_FOUND;
}

// NTFS journals its directory entries: a name it reported created survives a power loss.
bool syncRunDirectory(std::string&) { return true; }
