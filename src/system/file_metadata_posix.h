// What a list file's cleaned copy takes over from the list before it replaces it: owner and
// group where the process may set them, permission bits, access control list and the user's
// extended attributes. Also the random name of a copy staged beside the list. POSIX only; works on
// descriptors.
#pragma once

#include <string>
#include <string_view>

#include "system/file_state.h"

// Gives the cleaned copy open on `copyFd` everything of the list file open on `listFd` that
// decides who may read or write it, so that the copy grants exactly what the list grants:
// - owner and group, each where the process may set it (owner first: that can clear set-id bits);
// - the permission bits. A group that cannot be kept gets the list's group bits masked by its
//   other bits (and no set-group-ID bit); an owner that cannot be kept costs the set-user-ID bit;
// - the access control list ("system.posix_acl_access"); with a group that cannot be kept, its
//   owning-group entry is masked by the other entry the same way. An access control list the
//   copy inherited from its directory is removed when the list has none;
// - every "user.*" extended attribute; the copy's own "user.*" ones the list lacks are removed;
// - other "system.*" attributes (another kind of access control list, e.g. NFSv4's), byte for
//   byte, and only when owner and group are both kept;
// - "security.*" attributes (a security module's label), byte for byte where the policy lets the
//   process set them.
// "trusted.*" attributes are not carried over: they belong to the program that set them (some
// hash the content, which the copy does not share, or point at another file's data).
// Nothing is written that the copy already has. The access control list is set before the
// permission bits, and those then agree with its mask, so at no moment does the copy grant more
// than either its starting state (a fresh 0600 file) or the list.
// Returns 0, or an errno value with a short reason without file name in `why`, e.g. "cannot
// carry over its access control list: Operation not supported"; the list must then stay as it
// is. A file system without extended attributes is fine for a list that has none.
// No undo is needed when the replacement does not happen: the copy then grants no more than the
// list, to no more than the list's content, and is to be removed.
// `copy` and `list` are the files' states as they are now (owner, group and permission bits).
// `copyMayHaveAttributes` false: the copy is known to have no extended attribute of its own (a
// new file in a directory that hands none down), and they are not read.
int carryOverMetadata(int copyFd,
                      const FileState& copy,
                      int listFd,
                      const FileState& list,
                      bool copyMayHaveAttributes,
                      std::string& why);

// fsync on the directory `directory` (any descriptor of it, O_PATH included, or AT_FDCWD), so
// that renames into it survive a power loss. Returns 0 or an errno value; 0 also where the file
// system cannot sync a directory (its renames are then as durable as it allows).
int syncDirectory(int directory);

// The start of a cleaned copy's temporary name beside a list file: the prefix, then six letters
// or digits.
inline constexpr std::string_view CopyTemporaryPrefix = ".chklist-copy-";

// A new random name for a staged copy: CopyTemporaryPrefix and six letters or digits.
std::string newCopyTemporaryName();
