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
// "dir NAME /s/b/a-d > FILE", which lists hidden and system files too but no directory, written
// in UTF-16 and then turned into the ANSI code page (narrowName): a character the code page lacks
// stands as "?" in its path, which names no file (held_directory.h refuses it), so that a
// look-alike never makes the run open another file. A file list that cannot be turned is a
// failed search (-1).
int runFileSearch(std::string_view listName, const std::string& fileList);

// True when the search command that wrote `fileList` reported failure only because it found
// nothing. POSIX: never; the built-in search succeeds when it finds nothing. Windows: when
// `fileList` is an empty regular file that the program could write, as the command processor's
// redirection left it before a "dir" that found nothing; a missing file list, or one that cannot
// be written (read-only, held by another program, a link), means the redirection itself failed.
bool searchFoundNothing(const std::string& fileList);
