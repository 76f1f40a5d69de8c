// The directory search for list files, and what a failed one means. The cleaning run asks for
// the search, and after a failure asks whether it found nothing (nothing to clean) or could not
// write its file list (the list files there may be left uncleaned, which must be said).
#pragma once

#include <string>
#include <string_view>

#include "system/file_state.h"

// Runs the directory search for every file named `listName` below the current directory and
// leaves their full paths in `fileList`, one per line (CR LF), in the program's byte form.
// Returns 0 when it succeeded. POSIX: the built-in "dir NAME /s/b > FILE", regular files only.
// Windows: the run's own walk, which lists what "dir NAME /s/b/a-d" lists but enters no directory
// link, into a file list made anew. A failed search leaves no file list behind.
int runFileSearch(std::string_view listName, const std::string& fileList);

// True when the last search into `fileList` failed only because it found nothing. POSIX: never;
// the built-in search succeeds when it finds nothing.
bool searchFoundNothing(const std::string& fileList);

// The console text that says why the last search into `fileList` failed, when it did not merely
// find nothing (no line end; the caller adds what is left unchecked).
std::string searchFailure(const std::string& fileList);

// True when `opened` (the state of a file open as `fileList`) is the file the last search into
// `fileList` wrote. Another file renamed to its name meanwhile (by anyone who can write the run's
// directory) names paths nobody searched for, and is not the run's to read or remove.
bool searchWrote(const std::string& fileList, const FileState& opened);
