// The last step of a POSIX list replacement, apart for its tests: the race it guards against
// (a file swapped in at the staged name) cannot be timed from outside.
#pragma once

#include <string>

#include "system/file_state.h"
#include "system/list_replacement.h"

// Puts the copy staged at `stagedName` in `directory` (`copy`: its state as staged) at the
// list's name `leaf`, replacing the list. The two names are exchanged, and what then has the
// list's name must be that copy: when someone who may change the directory swapped another file
// in at the staged name after the last look, the names are exchanged back and the list stays
// (Changed). Where the file system cannot exchange names, the copy is renamed over the list and
// what the rename put there is looked at after (Failed, with the reason, when it is not the
// copy). Replaced when the copy is in place; Failed with the reason when the rename is refused.
// Closing a batch calls it for each list.
ListOutcome swapIntoPlace(int directory,
                          const std::string& stagedName,
                          const FileState& copy,
                          const std::string& leaf,
                          std::string& reason);
