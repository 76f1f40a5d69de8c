// POSIX: the file's name is looked at without following a link, and its status judged by the
// open's own rule.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "system/file_state_posix.h"
#include "system/refusal_reason.h"
#include "system/system_error.h"

std::string refusalReason(std::string_view name, int openError) {
  const std::string file(name);
  struct stat status {};
  if (fstatat(AT_FDCWD, file.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno == ENOENT && openError != 0 ? openError : errno;
    return "it cannot be created: " + systemErrorText(error);
  }
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISREG(status.st_mode)) return "it is not a regular file";
  switch (ownershipProblemOf(status)) {
    case OwnershipProblem::AnotherUser:
      return "it is another user's file";
    case OwnershipProblem::OthersMayWrite:
      return "its group or others may write it (chmod go-w " + file + ")";
    case OwnershipProblem::MoreThanOneName:
      return "it has more than one name (hard links)";
    case OwnershipProblem::None:
      break;
  }
  if (openError != 0) return "it cannot be opened: " + systemErrorText(openError);
  return "it cannot be opened";
}

std::string nameOwnerText(std::string_view name) {
  struct stat status {};
  if (fstatat(AT_FDCWD, std::string(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      status.st_uid == geteuid()) {
    return {};
  }
  // The user database may not know the number: the number is the name then.
  const passwd* user = getpwuid(status.st_uid);
  const std::string who = user != nullptr && user->pw_name != nullptr
                              ? std::string(user->pw_name)
                              : std::to_string(status.st_uid);
  return ": a file of user " + who + " holds the name";
}
