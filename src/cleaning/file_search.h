// What a failed directory search means.
#pragma once

#include <string>

// True when the directory search command ended with a failure only because it found nothing:
// the Windows command processor's dir does so and leaves the file list `fileList` empty. The
// built-in search succeeds when it finds nothing, so on POSIX every failure is a real one.
bool searchFoundNothing(const std::string& fileList);
