// Names as the wide Windows API takes them, made from the program's bytes, the opening of a file
// by such a name, and the state of a file as its handle tells it. Used by the Windows files of
// the channels and the cleaning run.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "system/file_state.h"

// `name`'s characters as UTF-16, its bytes read in the ANSI code page, as the "A" functions and
// the C library read them. False for an empty name or bytes that are no character there.
bool widenName(std::string_view name, std::wstring& wide);

// `wide` in the program's byte form, the ANSI code page, as widenName reads it back. A character
// the code page lacks (or could only stand for by a look-alike) becomes "?", which no Windows
// file name holds; `exact` then turns false. An unpaired surrogate counts as such a character.
std::string narrowName(std::wstring_view wide, bool& exact);

// The current directory's full path, without a trailing backslash (so "C:" for a drive's root).
// False when it cannot be read.
bool currentDirectoryName(std::wstring& directory);

// The current directory as the search writes the paths below it: currentDirectoryName without a
// "\\?\" or "\\?\UNC\" prefix.
bool searchedDirectory(std::wstring& directory);

// `name` in the form Windows opens as it stands: "\\?\" and the full path, which is not limited
// to MAX_PATH characters and is not normalised (a final dot or blank stays part of its
// component). A relative name is taken below the current directory. A name with "." or ".."
// components, or one rooted without a drive, is made full by the system first. "/" separates
// like "\". False when the name cannot be converted.
bool extendedName(std::string_view name, std::wstring& extended);

// The "\\?\" form of a full path (a drive's or a UNC path, or one in that form already).
std::wstring extendedFullName(std::wstring_view full);

// What identifies the content of the file behind `info` (see FileState): the volume's serial
// number, the file index, the size and the last write time in 100 ns units.
FileState fileStateOf(const BY_HANDLE_FILE_INFORMATION& info);

// The same, with the status-change time and the owner (ownerNumber) that only the file's handle
// gives: a rewrite in place whose size and last write time were made to look as before still
// shows there. `file` is the handle `info` was read from, open with at least
// FILE_READ_ATTRIBUTES; without READ_CONTROL the owner stays 0.
FileState fileStateOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info);

// The number that stands for the owner `sid` in a FileState, or for this process's user when
// `sid` is null: a hash of the SID's bytes, never 0; 0 when there is no such SID.
std::uint32_t ownerNumber(PSID sid);

// Sharing that lets others read, write, rename and remove a file while it is open.
constexpr DWORD ShareEverything = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the existing file `name` (its "\\?\" form) itself, never a reparse point's target, for
// `access`, letting others do what `share` allows; `flags` are added to the open's flags.
// INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE openExistingItself(const std::wstring& name, DWORD access, DWORD share, DWORD flags = 0);

// What an open inside a directory expects at the name, and what it does when nothing is there.
enum class NameKind {
  File,
  Directory,
  Either
};
enum class Disposition {
  Existing,
  New,
  Always
};

// Opens `name`, one component ("a.txt": no separator, not "." or "..", no stream; empty for the
// directory itself, as a Directory), inside the directory open on `directory`, by the system's
// relative open: the name is looked up in that very directory, wherever it stands now, and no path
// is resolved. A reparse point at the name is opened itself, the I/O is synchronous, the handle is
// not inherited; `security` goes to a file the open creates; `backup` asks for backup semantics.
// With `throughFilter` a reparse point at the name is opened as its file system filter serves it
// (a cloud file's content) instead; a link there is then followed, so the caller checks that it
// opened the file it meant. INVALID_HANDLE_VALUE with the system's error in GetLastError when it
// cannot be opened.
HANDLE openInDirectory(HANDLE directory,
                       std::wstring_view name,
                       DWORD access,
                       DWORD share,
                       Disposition disposition,
                       NameKind kind,
                       SECURITY_ATTRIBUTES* security = nullptr,
                       bool backup = false,
                       bool throughFilter = false);

// True when `name` is one component openInDirectory takes.
bool singleComponent(std::wstring_view name);

// Security attributes (not inheritable) for a file this run creates for itself: its owner is this
// process's user (also when elevated), its DACL grants that user alone every access and inherits
// nothing from the directory, so that no other user can read what the run writes into it (a
// private list's cleaned entries). Null when the user cannot be known; the file then gets the
// directory's inherited permissions.
SECURITY_ATTRIBUTES* privateFileSecurity();

// What the protection check of one of the run's own files (the log, a file list) weighs: whether
// its volume keeps ACLs (FILE_PERSISTENT_ACLS), its owner and DACL, and this process's token's
// user and groups (every group, enabled or deny-only). The SIDs and the DACL belong to the caller.
struct ProtectionFacts {
  bool volumeKeepsAcls = true;
  PSID owner = nullptr;
  bool daclPresent = false;
  PACL dacl = nullptr;
  PSID user = nullptr;
  std::vector<PSID> tokenGroups;
};

// True when a file with these facts is this user's alone. On a volume without ACLs (FAT, exFAT,
// many network shares) there is nothing to judge: true. Otherwise its owner is the user, or the
// Administrators group when the token holds it (enabled, or deny-only in a run that is not
// elevated: a file an elevated run of the same user made), and its DACL grants no other
// principal a right that changes the file or its protection (write, append, extended
// attributes, attributes, removal, DACL, owner, SACL, or a generic right that holds one). The
// system and the Administrators group, who may take any file anyway, do not count as others.
bool protectedForThisUser(const ProtectionFacts& facts);

// protectedForThisUser for the open file (its handle has READ_CONTROL), its facts read from the
// handle, its volume and this process's token.
bool ownedByThisUserAlone(HANDLE file);

// A position in a file as ReadFile and LockFileEx take it.
OVERLAPPED overlappedAt(std::uint64_t offset);
