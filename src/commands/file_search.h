// The directory search for list files, and what a failed one means. The cleaning run asks for
// the search, and after a failure asks whether it found nothing (nothing to clean) or could not
// write its file list (the list files there may be left uncleaned, which must be said).
#pragma once

#include <string>
#include <string_view>

// Runs the directory search for every file named `listName` below the current directory and
// leaves their full paths in `fileList`, one per line (CR LF), in the program's byte form.
// Returns the search command's exit status: 0 when it succeeded. POSIX: the built-in
// "dir NAME /s/b > FILE", regular files only. Windows: the command processor's
// "dir NAME /s/b/a-d", which lists hidden and system files too but no directory, written in
// UTF-16 into a file list made anew and handed to it as its standard output, and then turned
// into the ANSI code page (narrowName): a character the code page lacks
// stands as "?" in its path, which names no file (held_directory.h refuses it), so that a
// look-alike never makes the run open another file. A file list that cannot be turned is a
// failed search (-1). A file list the search made but could not write whole is removed again,
// so that a failed search leaves none behind.
int runFileSearch(std::string_view listName, const std::string& fileList);

// True when the search command that wrote `fileList` reported failure only because it found
// nothing. POSIX: never; the built-in search succeeds when it finds nothing. Windows: when the
// command processor's "dir" ended with its status for no file found and wrote nothing into the
// file list this run created for it.
bool searchFoundNothing(const std::string& fileList);

// The console text that says why the last search for `listName` into `fileList` failed, when it
// did not merely find nothing (no line end; the caller adds what is left unchecked). POSIX: the
// file list could not be written. Windows: the file list could not be made, or the command
// processor could not be started or its search ended with a failure.
std::string searchFailure(std::string_view listName, const std::string& fileList);
