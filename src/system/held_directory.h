// A directory the program holds open while it works inside it: names inside it are opened
// relative to what was held, not through its path again, so another user who can write a
// directory on the way cannot redirect the program elsewhere.
#pragma once

#include <string>

struct HeldDirectory {
  int descriptor = -1;  // POSIX: an open descriptor of the directory; -1 the current directory
  std::string path;     // Windows: the directory's path, to which names inside it are appended;
                        // empty for the current directory
};
