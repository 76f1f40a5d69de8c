// A directory the program holds open while it works inside it: names inside it are opened
// relative to what was held, not through its path again, so another user who can write a
// directory on the way cannot redirect the program elsewhere.
#pragma once

#include <cstdint>
#include <memory>

// Windows: the open handles of a held directory and of every directory above it up to the run's
// directory (list_seam_windows.cpp), closed when the last HeldDirectory sharing them goes.
struct HeldDirectoryHandles;

struct HeldDirectory {
  int descriptor = -1;  // POSIX: an open descriptor of the directory; -1 the current directory
  // Windows: the directory's HANDLE, which names inside it are opened relative to; 0 for the
  // current directory, whose names are opened by their path.
  std::intptr_t handle = 0;
  std::shared_ptr<const HeldDirectoryHandles> handles;  // Windows: keeps `handle` open
};
