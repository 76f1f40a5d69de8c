// Directories the program holds open while it works inside them. A list file's directory is
// resolved once, beneath the run's directory and never through a symbolic link (or, on Windows,
// a reparse point), and every later step for that list file (its open, the look at its state,
// the replacement, the directory's sync) goes through what was held, not through its path again:
// another user who can write a directory on the way cannot redirect the run elsewhere.
#pragma once

#include <string>
#include <string_view>

struct HeldDirectory {
  int descriptor = -1;  // POSIX: an open descriptor of the directory; -1 the current directory
  std::string path;     // Windows: the directory's path, to which names inside it are appended;
                        // empty for the current directory
};

// Resolves the directory of `listedPath`, a full path the directory search listed below the
// current directory, and holds it. True with `directory` held and `leaf` set to the last
// component; false with a console text in `reason` (for example "its path leads through a
// symbolic link") when the path no longer resolves that way or is not below the current
// directory, or (Windows) when it holds a "?", the file search's mark of a character the
// program's byte form lacks ("its name holds characters outside the system's ANSI code page").
bool holdListDirectory(std::string_view listedPath,
                       HeldDirectory& directory,
                       std::string& leaf,
                       std::string& reason);

// Releases what holdListDirectory held; the record is then the current directory again.
void releaseDirectory(HeldDirectory& directory);

// True when `leaf` names a list file called `name`: byte for byte on POSIX; on Windows without
// regard to ASCII letter case, as its file systems match names.
bool isListFileName(std::string_view leaf, std::string_view name);
