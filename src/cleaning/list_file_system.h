// The platform's side of a list file (list_file_posix.cpp, list_file_windows.cpp), for
// list_file.cpp.
#pragma once

#include "cleaning/list_file.h"

// Once the list is open: removes a staged copy that an interrupted run left beside it, at a
// cost that does not depend on what else its directory holds. Nothing to do on Windows.
void removeStagedLeftover(const ListFile& list);

// Removes "list.tmp" when it still is the list's cleaned copy.
void removeCleanedCopy(ListFile& list);
