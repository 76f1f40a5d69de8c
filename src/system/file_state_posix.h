// The state of a file (see FileState) as POSIX stat(2) gives it: device, inode, size and the
// modification and status-change times with their nanoseconds. Used by the POSIX files of the
// channels and the cleaning run.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "system/file_state.h"

// Static: each file that includes this may see another `struct stat` (a 32-bit build's layout
// depends on _FILE_OFFSET_BITS), so each keeps its own copy.
static inline FileState fileStateOf(const struct stat& info) {
  FileState state;
  state.device = static_cast<std::uint64_t>(info.st_dev);
  state.fileIndex = static_cast<std::uint64_t>(info.st_ino);
  state.size = static_cast<std::int64_t>(info.st_size);
  state.modifiedTime = static_cast<std::int64_t>(info.st_mtim.tv_sec);
  state.modifiedFraction = static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  state.changedTime = static_cast<std::int64_t>(info.st_ctim.tv_sec);
  state.changedFraction = static_cast<std::int64_t>(info.st_ctim.tv_nsec);
  state.permissions = static_cast<std::uint32_t>(info.st_mode & 07777);
  state.owner = static_cast<std::uint32_t>(info.st_uid);
  state.group = static_cast<std::uint32_t>(info.st_gid);
  return state;
}

// Why a regular file may not serve as one of the run's own files (the log, a file list), which
// must be this user's alone. One rule for the open's check and for the console's reason.
enum class OwnershipProblem {
  None,
  AnotherUser,
  OthersMayWrite,
  MoreThanOneName
};

static inline OwnershipProblem ownershipProblemOf(const struct stat& info) {
  if (info.st_uid != ::geteuid()) return OwnershipProblem::AnotherUser;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return OwnershipProblem::OthersMayWrite;
  if (info.st_nlink != 1) return OwnershipProblem::MoreThanOneName;
  return OwnershipProblem::None;
}
