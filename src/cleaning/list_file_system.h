// The platform's side of a list file (list_file_posix.cpp, list_file_windows.cpp), for
// list_file.cpp.
#pragma once

#include "cleaning/list_file.h"

// Removes "list.tmp" when it still is the list's cleaned copy.
void removeCleanedCopy(ListFile& list);
