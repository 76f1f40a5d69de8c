// What a failed directory search means. The cleaning run calls this after the search command
// reported failure, to tell a search that found nothing (nothing to clean) from a file list
// that could not be written (the list files there may be left uncleaned, which must be said).
#pragma once

#include <string>

// True when the search command that wrote `fileList` reported failure only because it found
// nothing. POSIX: never; the built-in search succeeds when it finds nothing. Windows: when
// `fileList` is an empty regular file that the program could write, as the command processor's
// redirection left it before a "dir" that found nothing; a missing file list, or one that cannot
// be written (read-only, held by another program, a link), means the redirection itself failed.
bool searchFoundNothing(const std::string& fileList);
