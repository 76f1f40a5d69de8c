// The list replacement's primitives on Windows. A list's directory is held by a walk from the
// run's directory, each directory opened relative to the handle of the one above it and kept
// open without delete sharing, so that none on the way can be renamed or swapped while it is
// held; a name-surrogate reparse point on the way (a symbolic link, a junction, a mount point)
// refuses the path, while any other reparse point (a cloud folder, a deduplicated or compressed
// file) is a directory or file like any other. The list, its copy, every look, removal and rename
// then go relative to the held directory's handle: no path is resolved twice.
//
// The rename of a copy over its list guards the list from the last look to the rename (the list
// held open without write sharing) and uses POSIX semantics where the file system has them, so
// that the guard lasts through it; elsewhere the guard closes just before the classic rename,
// after one more look and only while the held directory stands at its path (wine renames by it).
// A rename that other programs block for a moment is tried again.
#define _CRT_RAND_S
#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "system/list_seam.h"
#include "system/reparse_points_windows.h"
#include "system/wide_names_windows.h"

// Declared by the driver kit's headers only.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file,
                                               HANDLE event,
                                               PIO_APC_ROUTINE routine,
                                               PVOID context,
                                               PIO_STATUS_BLOCK status,
                                               PVOID buffer,
                                               ULONG length,
                                               FILE_INFORMATION_CLASS informationClass,
                                               BOOLEAN singleEntry,
                                               PUNICODE_STRING fileName,
                                               BOOLEAN restartScan);

// One directory held open, and what keeps the directory above it open as long as it is.
struct HeldDirectoryHandles {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::wstring name;  // its name in the directory above; the run's directory: its path
  std::shared_ptr<const HeldDirectoryHandles> above;

  HeldDirectoryHandles(HANDLE opened,
                       std::wstring ownName,
                       std::shared_ptr<const HeldDirectoryHandles> parent)
      : handle(opened), name(std::move(ownName)), above(std::move(parent)) {}
  HeldDirectoryHandles(const HeldDirectoryHandles&) = delete;
  HeldDirectoryHandles& operator=(const HeldDirectoryHandles&) = delete;
  ~HeldDirectoryHandles() { CloseHandle(handle); }
};

namespace {

using Held = std::shared_ptr<const HeldDirectoryHandles>;

// A directory held for walking through and opening in: nobody can rename or remove it meanwhile.
constexpr DWORD DirectoryAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE;
constexpr DWORD DirectoryShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Tries of the rename when another program holds one of the files: about a second in all.
constexpr int RenameTries = 6;
constexpr int RenameRetryMilliseconds = 200;
// The attributes a list file keeps. Read-only and encrypted lists are not replaced; compression
// and the like belong to the file system, not to the list.
constexpr DWORD KeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The rename classes: FileRenameInformationEx (Windows 10 1607 and later) takes flags.
constexpr auto RenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);
constexpr auto RenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);
constexpr auto IdBothDirectoryInformation = static_cast<FILE_INFORMATION_CLASS>(37);
constexpr ULONG RenameReplaceIfExists = 0x1;
// Replaces the target even while it is open, when every handle on it lets it be removed.
constexpr ULONG RenamePosixSemantics = 0x2;

// How a system says it has no rename with POSIX semantics: older Windows, FAT volumes, wine.
bool noPosixRename(NTSTATUS status) {
  constexpr NTSTATUS NotImplemented = static_cast<NTSTATUS>(0xC0000002);
  constexpr NTSTATUS InvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
  constexpr NTSTATUS InvalidParameter = static_cast<NTSTATUS>(0xC000000D);
  constexpr NTSTATUS InvalidDeviceRequest = static_cast<NTSTATUS>(0xC0000010);
  constexpr NTSTATUS NotSupported = static_cast<NTSTATUS>(0xC00000BB);
  return status == NotImplemented || status == InvalidInfoClass || status == InvalidParameter ||
         status == InvalidDeviceRequest || status == NotSupported;
}

SeamCode failed(DWORD error) {
  const int code = static_cast<int>(error);
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME:
      return {SeamError::Missing, code};
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return {SeamError::Exists, code};
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return {SeamError::Busy, code};
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NO_SYSTEM_RESOURCES:
      return {SeamError::Descriptors, code};
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return {SeamError::NotSupported, code};
    case ERROR_CANT_RESOLVE_FILENAME:
      return {SeamError::Link, code};
    default:
      return {SeamError::Other, code};
  }
}

SeamCode lastFailure() { return failed(GetLastError()); }

HANDLE handleOf(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

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

// Closes a handle when it goes out of scope.
struct OwnedHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE opened) : handle(opened) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { close(); }
  bool open() const { return handle != INVALID_HANDLE_VALUE; }
  void close() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
};

// Opens `name` of `directory`: relative to its handle, or, for the current directory, by its
// "\\?\" name. A reparse point at the name is opened itself.
HANDLE openAt(const HeldDirectory& directory,
              const std::string& name,
              DWORD access,
              DWORD share,
              NameKind kind) {
  std::wstring wide;
  if (directory.handle == 0) {
    if (!extendedName(name, wide)) {
      SetLastError(ERROR_INVALID_NAME);
      return INVALID_HANDLE_VALUE;
    }
    return openExistingItself(wide, access, share);
  }
  if (!widenName(name, wide)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return openInDirectory(handleOf(directory.handle), wide, access, share, Disposition::Existing,
                         kind);
}

// The file open on `file`, with `info`, is a regular file on disk: no directory and no link. A
// reparse point that is no link (a cloud file, a deduplicated or compressed one) is a file too.
bool regularFile(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info) {
  return GetFileType(file) == FILE_TYPE_DISK &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         !openedIsLink(file, info.dwFileAttributes);
}

// A regular file on disk (regularFile), whose information `info` receives.
bool plainFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
  return GetFileInformationByHandle(file, &info) && regularFile(file, info);
}

std::uint64_t fileIndexOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// The file behind `info` is the one `state` was taken of, whatever its content now.
bool sameFile(const BY_HANDLE_FILE_INFORMATION& info, const FileState& state) {
  return info.dwVolumeSerialNumber == state.device && fileIndexOf(info) == state.fileIndex;
}

// The two handles are of one file.
bool sameFile(HANDLE left, HANDLE right) {
  BY_HANDLE_FILE_INFORMATION first = {};
  BY_HANDLE_FILE_INFORMATION second = {};
  return GetFileInformationByHandle(left, &first) && GetFileInformationByHandle(right, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         fileIndexOf(first) == fileIndexOf(second);
}

// The run's directory, held: opened once by its path, where every walk starts.
SeamCode holdRunDirectory(const std::wstring& path, Held& held) {
  // A drive's root is named with its backslash ("C:" alone is the drive's current directory).
  const std::wstring full = path.back() == L':' ? path + L"\\" : path;
  const HANDLE opened =
      CreateFileW(extendedFullName(full).c_str(), DirectoryAccess | FILE_READ_ATTRIBUTES,
                  DirectoryShare, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return lastFailure();
  held = std::make_shared<const HeldDirectoryHandles>(opened, path, nullptr);
  return {};
}

// The entry `name` of the directory open on `above` is the directory open on `opened`, and no
// reparse point: asked of the directory's own listing, which shows the name itself. (Wine follows
// a Unix symbolic link even where the open asks for the link itself, and shows it as a reparse
// point only here; a link swapped in for the open and out again shows as another file.)
SeamCode entryIsOpened(HANDLE above, const std::wstring& name, HANDLE opened) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(opened, &info)) return lastFailure();
  // A handle of its own for the question: a directory handle keeps the name of its first query.
  const OwnedHandle listing(openInDirectory(above, L"", FILE_LIST_DIRECTORY, ShareEverything,
                                            Disposition::Existing, NameKind::Directory));
  if (!listing.open()) return lastFailure();
  alignas(8) char buffer[sizeof(FILE_ID_BOTH_DIR_INFO) + MAX_PATH * sizeof(WCHAR) * 2];
  UNICODE_STRING mask;
  mask.Buffer = const_cast<wchar_t*>(name.data());
  mask.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  mask.MaximumLength = mask.Length;
  IO_STATUS_BLOCK status = {};
  const NTSTATUS result =
      NtQueryDirectoryFile(listing.handle, nullptr, nullptr, nullptr, &status, buffer,
                           sizeof buffer, IdBothDirectoryInformation, TRUE, &mask, TRUE);
  if (result < 0) return failed(RtlNtStatusToDosError(result));
  const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer);
  const std::wstring_view found(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
  // A reparse point's tag stands where a listing puts the size of extended attributes.
  if (reparsePointIsLink(entry->FileAttributes, entry->EaSize)) return {SeamError::Link, 0};
  if (!sameIgnoringAsciiCase(found, std::wstring_view(name)) ||
      static_cast<std::uint64_t>(entry->FileId.QuadPart) != fileIndexOf(info)) {
    // Another directory stands at the name now than the one opened: one swapped in and out.
    return {SeamError::Link, 0};
  }
  return {};
}

// Opens the directory `name` beneath the held `above`, never through a reparse point that names
// another place, and holds it.
SeamCode holdBeneath(const Held& above, const std::wstring& name, Held& held) {
  OwnedHandle opened(openInDirectory(above->handle, name, DirectoryAccess, DirectoryShare,
                                     Disposition::Existing, NameKind::Directory, nullptr, true));
  if (!opened.open()) {
    const DWORD error = GetLastError();
    // A file symbolic link opened as itself is no directory.
    return error == ERROR_DIRECTORY ? SeamCode{SeamError::Missing, static_cast<int>(error)}
                                    : failed(error);
  }
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(opened.handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    return lastFailure();
  }
  if (reparsePointIsLink(tag.FileAttributes, tag.ReparseTag)) return {SeamError::Link, 0};
  if (const SeamCode code = entryIsOpened(above->handle, name, opened.handle); !code.ok()) {
    return code;
  }
  held = std::make_shared<const HeldDirectoryHandles>(opened.handle, name, above);
  opened.handle = INVALID_HANDLE_VALUE;
  return {};
}

// The directories of this thread's last hold, from the run's directory down, while any list
// holds them: the thread's next walk starts where the two paths part.
thread_local std::weak_ptr<const HeldDirectoryHandles> lastHeld;
// The directories lists hold now, on any thread, with each list's name: a list found again, in
// the same directory or under another name of it, was listed twice by a search its move misled.
std::mutex heldByListsMutex;
std::vector<std::pair<std::weak_ptr<const HeldDirectoryHandles>, std::string>> heldByLists;

std::vector<Held> heldChain(const Held& deepest) {
  std::vector<Held> chain;
  for (Held at = deepest; at != nullptr; at = at->above) chain.insert(chain.begin(), at);
  return chain;
}

// A component that names an entry of its directory as itself: one component, and none of the
// characters a directory's listing takes for wildcards.
bool ownComponent(std::wstring_view component) {
  return singleComponent(component) &&
         component.find_first_of(L"*?<>\"") == std::wstring_view::npos;
}

}  // namespace

SeamCode holdListDirectory(std::string_view listedPath, HeldDirectory& held, std::string& leaf) {
  releaseDirectory(held);
  leaf.clear();
  // No Windows file name holds a "?" (a wildcard): in a listed path it stands for a character
  // the program's bytes cannot name (narrowName). Any name opened for it would be another file.
  if (listedPath.find('?') != std::string_view::npos) return {SeamError::Unnamable, 0};
  std::string path(listedPath);
  toPlatformFileName(path);
  const std::size_t split = path.rfind('\\');
  std::wstring parent;
  std::wstring current;
  std::wstring wideLeaf;
  if (split == std::string::npos ||
      !widenName(std::string_view(path).substr(split + 1), wideLeaf) || !ownComponent(wideLeaf)) {
    return {SeamError::NotBelow, 0};
  }
  if (!widenName(std::string_view(path).substr(0, split), parent)) {
    return {SeamError::NotBelow, 0};
  }
  if (!searchedDirectory(current)) return lastFailure();
  const std::wstring_view parentView = parent;
  if (!sameIgnoringAsciiCase(parentView.substr(0, current.size()), std::wstring_view(current)) ||
      (parent.size() > current.size() && parent[current.size()] != L'\\')) {
    return {SeamError::NotBelow, 0};
  }
  std::vector<std::wstring> components;
  for (std::size_t start = current.size() + 1; start < parent.size() + 1;) {
    std::size_t end = parent.find(L'\\', start);
    if (end == std::wstring::npos) end = parent.size();
    components.emplace_back(parentView.substr(start, end - start));
    if (!ownComponent(components.back())) return {SeamError::NotBelow, 0};
    start = end + 1;
  }
  // What the last hold opened and a list still holds is taken as it is, down to where the paths
  // part: the same directories, which nobody could rename meanwhile.
  const std::vector<Held> last = heldChain(lastHeld.lock());
  Held at;
  std::size_t reused = 0;
  if (!last.empty() && last.front()->name == current) {
    at = last.front();
    for (reused = 0; reused < components.size() && reused + 1 < last.size() &&
                     last[reused + 1]->name == components[reused];
         ++reused) {
      at = last[reused + 1];
    }
  } else if (const SeamCode code = holdRunDirectory(current, at); !code.ok()) {
    return code;
  }
  for (std::size_t index = reused; index < components.size(); ++index) {
    Held next;
    if (const SeamCode code = holdBeneath(at, components[index], next); !code.ok()) return code;
    at = std::move(next);
  }
  const std::string name = path.substr(split + 1);
  const std::lock_guard<std::mutex> lock(heldByListsMutex);
  std::erase_if(heldByLists, [](const auto& entry) { return entry.first.expired(); });
  for (const auto& [entry, listName] : heldByLists) {
    // Another thread may let its list go at any moment.
    const Held other = entry.lock();
    if (other != nullptr &&
        sameIgnoringAsciiCase(std::string_view(listName), std::string_view(name)) &&
        sameFile(other->handle, at->handle)) {
      return {SeamError::Missing, 0};
    }
  }
  lastHeld = at;
  held.handle = reinterpret_cast<std::intptr_t>(at->handle);
  // A hold of its own, sharing the handles: its entry goes with this list.
  const auto own = std::make_shared<const Held>(std::move(at));
  held.handles = Held(own, own->get());
  heldByLists.emplace_back(held.handles, name);
  leaf = name;
  return {};
}

void releaseDirectory(HeldDirectory& held) { held = HeldDirectory{}; }

// Every directory on the way is held without delete sharing: none of them can have moved.
SeamCode holdAtListedPath(const HeldDirectory& held, std::string_view, HeldDirectory& now) {
  now = held;
  return {};
}

bool sameDirectory(const HeldDirectory& one, const HeldDirectory& other) {
  return one.handle == other.handle;
}

bool isListFileName(std::string_view leaf, std::string_view name) {
  return sameIgnoringAsciiCase(leaf, name);
}

SeamCode lookAt(const HeldDirectory& directory, const std::string& name, NameLook& look) {
  // READ_CONTROL for the owner, which tells another user's file from a leftover.
  const OwnedHandle file(openAt(directory, name, FILE_READ_ATTRIBUTES | READ_CONTROL,
                                ShareEverything, NameKind::Either));
  if (!file.open()) return lastFailure();
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file.handle, &info)) return lastFailure();
  look.regular = regularFile(file.handle, info);
  look.links = info.nNumberOfLinks;
  look.state = fileStateOf(file.handle, info);
  return {};
}

SeamCode exchangeNames(const HeldDirectory&, const std::string&, const std::string&) {
  return {SeamError::NotSupported, ERROR_NOT_SUPPORTED};
}

namespace {

// Renames the open `file` to `name` in the directory open on `directory`, replacing the file of
// that name: with POSIX semantics when `posix`, else the classic way, which fails while the
// target is open. The system's status.
NTSTATUS renameInto(HANDLE file, HANDLE directory, const std::wstring& name, bool posix) {
  const std::size_t nameBytes = name.size() * sizeof(WCHAR);
  const std::size_t size = offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes;
  std::vector<std::uint64_t> buffer((size + sizeof(std::uint64_t)) / sizeof(std::uint64_t));
  auto* request = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  // The Ex class reads its first field as flags; the classic one as a BOOLEAN.
  const ULONG flags = posix ? RenameReplaceIfExists | RenamePosixSemantics : TRUE;
  std::memcpy(buffer.data(), &flags, sizeof flags);
  request->RootDirectory = directory;
  request->FileNameLength = static_cast<ULONG>(nameBytes);
  std::memcpy(request->FileName, name.data(), nameBytes);
  IO_STATUS_BLOCK status = {};
  return NtSetInformationFile(file, &status, request, static_cast<ULONG>(size),
                              posix ? RenameInformationEx : RenameInformation);
}

// The file at `name` is the one `expected` was taken of, unchanged, looked at through a handle
// of its own that keeps nobody from anything.
bool stillAt(const HeldDirectory& directory, const std::string& name, const FileState& expected) {
  const OwnedHandle file(openAt(directory, name, FILE_READ_ATTRIBUTES | READ_CONTROL,
                                ShareEverything, NameKind::File));
  BY_HANDLE_FILE_INFORMATION info = {};
  return file.open() && plainFile(file.handle, info) && fileStateOf(file.handle, info) == expected;
}

// The held directory stands at the path it was walked by: opened by that path, it is the
// directory held. On Windows always; under wine a Unix program can swap a held directory, and
// wine renames by the Unix path it recorded, which then leads elsewhere.
bool atItsPath(const HeldDirectory& directory) {
  std::wstring path;
  for (const HeldDirectoryHandles* at = directory.handles.get(); at != nullptr;
       at = at->above.get()) {
    path.insert(0, (at->above == nullptr ? L"" : L"\\") + at->name);
  }
  if (!path.empty() && path.back() == L':') path += L'\\';
  const OwnedHandle opened(openExistingItself(extendedFullName(path), FILE_READ_ATTRIBUTES,
                                              ShareEverything, FILE_FLAG_BACKUP_SEMANTICS));
  return opened.open() && sameFile(opened.handle, handleOf(directory.handle));
}

// True when another program has `name` open without letting it be renamed or replaced.
bool openByAnother(const HeldDirectory& directory, const std::string& name) {
  const OwnedHandle probe(openAt(directory, name, DELETE, ShareEverything, NameKind::File));
  return !probe.open() && GetLastError() == ERROR_SHARING_VIOLATION;
}

// Why the rename over `name` failed with `error`. The classic rename is denied while anyone has
// the target open, so a denial is put down to another program when one holds the list.
SeamCode refusedRename(DWORD error, const HeldDirectory& directory, const std::string& name) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
      (error == ERROR_ACCESS_DENIED && openByAnother(directory, name))) {
    return {SeamError::Busy, static_cast<int>(error)};
  }
  return failed(error);
}

}  // namespace

SeamCode renameOver(const HeldDirectory& directory,
                    FileHandle file,
                    const std::string&,
                    const std::string& to,
                    const FileState& expected) {
  std::wstring target;
  if (directory.handle == 0 || !widenName(to, target) || !singleComponent(target)) {
    return {SeamError::NotBelow, 0};
  }
  const HANDLE held = handleOf(directory.handle);
  bool posix = true;
  for (int tries = 1;; ++tries) {
    DWORD error = ERROR_SHARING_VIOLATION;
    {
      // The last look, through a handle that lets nobody write the list until the rename.
      OwnedHandle guard(
          openAt(directory, to, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NameKind::File));
      if (!guard.open() && GetLastError() != ERROR_SHARING_VIOLATION) {
        return {SeamError::Changed, static_cast<int>(GetLastError())};
      }
      BY_HANDLE_FILE_INFORMATION info = {};
      if (guard.open() &&
          (!plainFile(guard.handle, info) || !(fileStateOf(guard.handle, info) == expected))) {
        return {SeamError::Changed, 0};
      }
      if (guard.open() && posix) {
        const NTSTATUS status = renameInto(handleOf(file), held, target, true);
        posix = !noPosixRename(status);
        error = RtlNtStatusToDosError(status);
      }
      if (guard.open() && !posix) {
        guard.close();
        // One more look once the guard is gone: an edit saved the moment it went is seen here,
        // and only one saved between this look and the rename is not.
        if (!stillAt(directory, to, expected)) return {SeamError::Changed, 0};
        // Under wine the rename goes by the directory's path: not while that leads elsewhere.
        if (!atItsPath(directory)) return {SeamError::Missing, 0};
        error = RtlNtStatusToDosError(renameInto(handleOf(file), held, target, false));
      }
    }
    if (error == ERROR_SUCCESS) return {};
    const bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                      error == ERROR_LOCK_VIOLATION;
    if (!busy || tries == RenameTries) return refusedRename(error, directory, to);
    Sleep(RenameRetryMilliseconds);
  }
}

SeamCode removeName(const HeldDirectory& directory,
                    const std::string& name,
                    const FileState& expected,
                    bool) {
  // Wine looks the name up, and removes the file when its last handle closes, by the directory's
  // path, and only while that path leads here: each waits a moment at most for that, and a
  // removal a swap of the directory sent elsewhere leaves the file here, to be tried again.
  const auto awaitItsPath = [&directory] {
    for (int wait = 0; directory.handle != 0 && wait < 50 && !atItsPath(directory); ++wait) {
      Sleep(1);
    }
  };
  for (int tries = 0;; ++tries) {
    awaitItsPath();
    // Through a handle of the file itself: neither a hidden or system file nor a directory or
    // link that took its name is missed or followed.
    OwnedHandle file(openAt(directory, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                            ShareEverything, NameKind::Either));
    if (!file.open()) return tries == 0 ? lastFailure() : SeamCode{};
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!plainFile(file.handle, info) || !sameFile(info, expected)) {
      return tries == 0 ? SeamCode{SeamError::Changed, 0} : SeamCode{};
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      FILE_BASIC_INFO basic = {};
      basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      SetFileInformationByHandle(file.handle, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!SetFileInformationByHandle(file.handle, FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
      return lastFailure();
    }
    awaitItsPath();
    file.close();
    if (tries == 2) return {};
  }
}

void closeKept(FileHandle& kept) {
  if (kept != -1 && kept != 0) CloseHandle(handleOf(kept));
  kept = -1;
}

// The run that makes a copy holds it from its creation without delete sharing: nothing to race
// with, and no handle is kept in `hold`.
SeamCode lookAtLeftover(const HeldDirectory& directory,
                        const std::string& name,
                        NameLook& look,
                        FileHandle& hold) {
  hold = -1;
  if (const SeamCode code = lookAt(directory, name, look); !code.ok() || !look.regular) {
    return code;
  }
  // Whether a live run holds it: its handle lets nobody open the file for removal.
  const OwnedHandle probe(openAt(directory, name, DELETE, ShareEverything, NameKind::File));
  if (!probe.open()) {
    return GetLastError() == ERROR_SHARING_VIOLATION
               ? SeamCode{SeamError::Busy, ERROR_SHARING_VIOLATION}
               : lastFailure();
  }
  // The file looked at, and the directory's own listing must show this very file at the name,
  // and no link: wine opens the target of a Unix symbolic link even when asked for the link, and
  // removing that would remove a file elsewhere; and under a swap of the directory its looks may
  // meet two files. Anything else is never a leftover to remove (nor another run's).
  BY_HANDLE_FILE_INFORMATION info = {};
  std::wstring wide;
  if (!plainFile(probe.handle, info) || !sameFile(info, look.state) ||
      (directory.handle != 0 && widenName(name, wide) &&
       !entryIsOpened(reinterpret_cast<HANDLE>(directory.handle), wide, probe.handle).ok())) {
    look.regular = false;
  }
  return {};
}

// A list held open could not be replaced: its staged copy's handle is claim enough.
SeamCode claimList(FileHandle) { return {SeamError::NotSupported, 0}; }

SeamCode syncData(FileHandle file) {
  if (FlushFileBuffers(handleOf(file))) return {};
  return {SeamError::Other, static_cast<int>(GetLastError())};
}

// NTFS journals its directory entries: a name it reported renamed survives a power loss, and no
// directory can be flushed through the Windows API.
SeamCode syncDirectory(const HeldDirectory&) { return {}; }

namespace {

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

SeamCode accessFailure() {
  const DWORD error = GetLastError();
  return {SeamError::Access, static_cast<int>(error)};
}

// Gives the copy the list's owner and DACL, exactly: a descriptor set on the file itself is taken
// as it is, where the security API would merge in what the copy's directory passes on. The owner
// is set as this user may, or else with the right to restore files where the token holds it.
SeamCode copyProtection(HANDLE copy, HANDLE list) {
  std::vector<char> wanted;
  std::vector<char> present;
  if (!readProtection(list, wanted) || !readProtection(copy, present)) return accessFailure();
  const PSID wantedOwner = ownerOf(wanted);
  const PSID presentOwner = ownerOf(present);
  if (wantedOwner == nullptr || presentOwner == nullptr) return {SeamError::Access, 0};
  if (!EqualSid(wantedOwner, presentOwner) &&
      !SetKernelObjectSecurity(copy, OWNER_SECURITY_INFORMATION, wanted.data()) &&
      !(enableRestorePrivilege() &&
        SetKernelObjectSecurity(copy, OWNER_SECURITY_INFORMATION, wanted.data()))) {
    return accessFailure();
  }
  // A failure here may leave the copy's permissions between its own and the list's, never
  // wider than both: the copy is not renamed then.
  if (!SetKernelObjectSecurity(copy, DACL_SECURITY_INFORMATION, wanted.data()) ||
      !readProtection(copy, present)) {
    return accessFailure();
  }
  const PSID ownerNow = ownerOf(present);
  if (ownerNow == nullptr || !EqualSid(ownerNow, wantedOwner) || daclOf(present).empty() ||
      daclOf(present) != daclOf(wanted)) {
    return {SeamError::Access, 0};
  }
  return {};
}

// Gives the copy the list file's kept attributes (hidden, system, ...).
SeamCode copyAttributes(HANDLE copy, DWORD listAttributes) {
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(copy, FileBasicInfo, &basic, sizeof basic)) {
    return accessFailure();
  }
  const DWORD wanted = listAttributes & KeptAttributes;
  basic.FileAttributes = wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL;
  // Zero times are left as they are.
  basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
  basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
  if (!SetFileInformationByHandle(copy, FileBasicInfo, &basic, sizeof basic)) {
    return accessFailure();
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(copy, &info)) return accessFailure();
  if ((info.dwFileAttributes & (KeptAttributes | FILE_ATTRIBUTE_READONLY)) != wanted) {
    return {SeamError::Access, 0};
  }
  return {};
}

}  // namespace

SeamCode giveListsAccess(FileHandle copy,
                         const FileState& copyState,
                         FileHandle list,
                         const FileState& listState) {
  BY_HANDLE_FILE_INFORMATION listInfo = {};
  BY_HANDLE_FILE_INFORMATION copyInfo = {};
  if (!plainFile(handleOf(list), listInfo) || !sameFile(listInfo, listState) ||
      !plainFile(handleOf(copy), copyInfo) || copyInfo.nNumberOfLinks != 1 ||
      !sameFile(copyInfo, copyState)) {
    return {SeamError::Changed, 0};
  }
  // Windows refuses to replace a read-only file; an encrypted one would come back in clear.
  if ((listInfo.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) return {SeamError::ReadOnly, 0};
  if ((listInfo.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) != 0) {
    return {SeamError::Encrypted, 0};
  }
  if (const SeamCode code = copyAttributes(handleOf(copy), listInfo.dwFileAttributes); !code.ok()) {
    return code;
  }
  return copyProtection(handleOf(copy), handleOf(list));
}

// The token's user, which owns what the run creates (privateFileSecurity).
std::uint32_t processOwner() { return ownerNumber(nullptr); }

std::string randomStagedName() {
  // Lower case only: the file systems match names without regard to case.
  constexpr std::string_view Letters = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = ".chklist-copy-";
  for (int index = 0; index < 6; ++index) {
    unsigned int random = 0;
    if (rand_s(&random) != 0) random = GetTickCount() + static_cast<unsigned int>(index) * 7919u;
    name += Letters[random % Letters.size()];
  }
  return name;
}

SeamCode codeOf(int system) {
  return system == 0 ? SeamCode{SeamError::Other, 0} : failed(static_cast<DWORD>(system));
}

// A process may hold about sixteen million handles: far more than a batch needs.
std::size_t openFileLimit() { return std::size_t{1} << 20; }
