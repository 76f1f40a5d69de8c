// "del FILE" on POSIX: removes one regular file. Directories, symbolic links and other kinds of
// file are refused; unlink never removes a directory, so a swap after the check is harmless.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "commands/command_processor_posix.h"
#include "system/system_error.h"

int deleteRegularFile(const std::string& path) {
  struct stat status;
  std::string why;
  if (lstat(path.c_str(), &status) != 0) {
    why = systemErrorText(errno);
  } else if (S_ISDIR(status.st_mode)) {
    why = "it is a directory";
  } else if (!S_ISREG(status.st_mode)) {
    why = "it is not a regular file";
  } else if (unlink(path.c_str()) != 0) {
    why = systemErrorText(errno);
  } else {
    return 0;
  }
  reportCommandError("del: cannot remove \"" + path + "\": " + why);
  return 1;
}
