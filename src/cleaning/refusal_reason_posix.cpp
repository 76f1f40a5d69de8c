// POSIX: the log's name is looked at without following a link, and its status read in the order
// of the open's own checks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cleaning/refusal_reason.h"

int lastSystemError() { return errno; }

std::string refusalReason(std::string_view name, int openError) {
  const std::string file(name);
  struct stat status {};
  if (fstatat(AT_FDCWD, file.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno == ENOENT && openError != 0 ? openError : errno;
    return "it cannot be created: " + std::string(std::strerror(error));
  }
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISREG(status.st_mode)) return "it is not a regular file";
  if (status.st_uid != geteuid()) return "it is another user's file";
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "its group or others may write it (chmod go-w " + file + ")";
  }
  if (status.st_nlink != 1) return "it has more than one name (hard links)";
  if (openError != 0) return "it cannot be opened: " + std::string(std::strerror(openError));
  return "it cannot be opened";
}
