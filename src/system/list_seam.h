// The system's primitives for replacing a list file, one file per platform (list_seam_posix.cpp,
// list_seam_windows.cpp). Each works relative to a directory the run holds, never through a path
// resolved again, and returns a code: no sentence and no policy is made here. The replacement
// engine (cleaning/list_replacement.cpp) decides what to do with them and what the console says.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "system/file_state.h"
#include "system/file_stream.h"
#include "system/held_directory.h"

// What went wrong, in the few kinds the engine tells apart; the system's number goes with it for
// the console's words.
enum class SeamError : std::uint8_t {
  None,
  Missing,       // no such name, or a directory on the way is gone
  Link,          // a name on the way is a symbolic link (Windows: a name-surrogate reparse point)
  NotBelow,      // the path leaves the run's directory or names no file
  Exists,        // the name is taken
  Busy,          // another program holds the file (Windows sharing), or another run's lock
  Changed,       // the file is no longer the one expected (Windows: found by the rename's guard)
  NotSupported,  // the file system lacks the operation (an exchange of names)
  Descriptors,   // the process ran out of descriptors or handles
  Unnamable,     // Windows: the name holds characters outside the system's ANSI code page
  ReadOnly,      // Windows: a read-only list cannot be replaced
  Encrypted,     // Windows: an encrypted list would come back in clear
  Access,        // the copy could not be given the list's owner, access or attributes
  Other,
};

struct SeamCode {
  SeamError error = SeamError::None;
  int system = 0;  // errno or GetLastError; 0 where the kind says it all
  bool ok() const { return error == SeamError::None; }
};

// What is at a name, without following a link there.
struct NameLook {
  bool regular = false;
  std::uint32_t links = 0;
  FileState state;
};

// Holds the directory of `listedPath`, a full path the directory search listed below the run's
// directory, without following any link on the way, and sets `leaf` to its last component.
// NotBelow when the path is not below the run's directory or names no file; Link, Missing, or
// (Windows) Unnamable for a "?", the search's mark of a character the program's bytes lack.
// Windows: every directory on the way stays open without delete sharing while it is held, so
// none can be renamed or swapped, and names inside it are opened relative to its handle.
// `held` is released first.
SeamCode holdListDirectory(std::string_view listedPath, HeldDirectory& held, std::string& leaf);

// Gives back what holdDirectoryBeneath held; `held` is then the run's directory again.
void releaseDirectory(HeldDirectory& held);

// Holds in `now` the directory `listedPath` leads to now, beneath the run's directory and
// through no link, for a list's commit: the list is replaced where its listed path leads, never
// in a directory that moved away since it was found (out of the tree, say). POSIX walks the path
// again (NotBelow, Link or Missing when it leads nowhere now); on Windows nothing on the way can
// move while `held` is held, and `now` shares it. `now` is released first.
SeamCode holdAtListedPath(const HeldDirectory& held,
                          std::string_view listedPath,
                          HeldDirectory& now);

// Whether two holds are of one directory. Asked only when a commit fails, to say why.
bool sameDirectory(const HeldDirectory& one, const HeldDirectory& other);

// True when `leaf` names a list file called `name`: byte for byte on POSIX; on Windows without
// regard to ASCII letter case, as its file systems match names.
bool isListFileName(std::string_view leaf, std::string_view name);

// Looks at `name` in `directory`.
SeamCode lookAt(const HeldDirectory& directory, const std::string& name, NameLook& look);

// Exchanges the files at two names of `directory` in one step. NotSupported where the file
// system or the system cannot (Windows always).
SeamCode exchangeNames(const HeldDirectory& directory,
                       const std::string& first,
                       const std::string& second);

// Renames the file open on `file` at `from` over `to`, both in `directory`. Windows: `to` is held
// against writers from a last look (its state must be `expected`, else Changed) to the rename;
// POSIX looks at nothing (the engine looked just before).
SeamCode renameOver(const HeldDirectory& directory,
                    FileHandle file,
                    const std::string& from,
                    const std::string& to,
                    const FileState& expected);

// Removes the name `name` of `directory` when it still names the file `expected` (identity);
// `looked`: the caller has just looked and found it so (POSIX then asks nothing more; Windows
// removes through a handle of the file, which it checks whatever).
SeamCode removeName(const HeldDirectory& directory,
                    const std::string& name,
                    const FileState& expected,
                    bool looked = false);

// Closes a copy's handle kept after its channel closed (closeChannelKeepingFile); -1 after.
void closeKept(FileHandle& kept);

// Marks the list file open on `list` (for reading) as this run's until it is closed: its name
// and, after the exchange, the staged name that holds the old list are then a live run's to
// another run (lookAtLeftover). POSIX: a shared open-file-description lock. NotSupported where
// holding the list open would keep it from being replaced (Windows): the caller closes it.
SeamCode claimList(FileHandle list);

// Looks at a staged copy a run left at `name`: Busy while a live run holds it; otherwise the look,
// and in `hold` a handle that keeps any run from claiming the file until it is closed (closeKept),
// or -1: a copy another run has just made and not yet claimed is then never taken for a leftover.
SeamCode lookAtLeftover(const HeldDirectory& directory,
                        const std::string& name,
                        NameLook& look,
                        FileHandle& hold);

// Makes the file's data durable (fdatasync, FlushFileBuffers).
SeamCode syncData(FileHandle file);

// Makes the directory's names durable; Ok where the system keeps them durable by itself.
SeamCode syncDirectory(const HeldDirectory& directory);

// Gives the staged copy open on `copy` (state `copyState`) the owner, access and attributes of
// the list open on `list` (state `listState`); `copy` may be written still. Access, ReadOnly or
// Encrypted when it cannot.
SeamCode giveListsAccess(FileHandle copy,
                         const FileState& copyState,
                         FileHandle list,
                         const FileState& listState);

// The owner a file this process creates gets (POSIX: the effective user; Windows: the token's
// user, as FileState's owner holds it there).
std::uint32_t processOwner();

// A new random name for a staged copy, for when its usual name is taken.
std::string randomStagedName();

// The seam's code for a system number a call outside it reported (lastSystemError).
SeamCode codeOf(int system);

// How many files the process may have open at once.
std::size_t openFileLimit();
