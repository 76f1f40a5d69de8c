// Helpers for the built-in commands' tests: running a piece of a test as an unprivileged user or
// with private mounts in a forked child, small file queries.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

enum class ChildSetup {
  // As the user nobody when the test runs as root (the tree must be handed over first with
  // handTreeToUnprivilegedUser); as the test's own user, in this process, otherwise.
  Unprivileged,
  // In a forked child, unchanged: process-wide limits set there end with it.
  Forked,
  // In a forked child with its own mount namespace: tmpfs mounts made there vanish with it.
  PrivateMounts,
};

// The user and group of ChildSetup::Unprivileged when running as root.
uid_t unprivilegedUser();
gid_t unprivilegedGroup();

// Runs `body` under `setup` and returns its result; nullopt with the reason in `why` when the
// setup is not possible here (then the test should skip).
std::optional<std::string> runInChild(ChildSetup setup,
                                      const std::function<std::string()>& body,
                                      std::string* why);

// Expects `body`, run under `setup`, to return `expected`. Skips the test, saying why, when the
// setup is not possible here or `body` returns "skip: " and the reason; checks after it must
// hold then too.
void expectFromChild(ChildSetup setup,
                     const std::function<std::string()>& body,
                     const std::string& expected);

// Makes the user of ChildSetup::Unprivileged the owner of everything under `root` (a no-op
// unless running as root).
void handTreeToUnprivilegedUser(const std::filesystem::path& root);

// Runs the command `line` as the user of ChildSetup::Unprivileged, the current directory's tree
// handed over to it, while `directory` is read-only to it; expects the result 1 and a message on
// standard error naming `path`.
void expectRefusedInReadOnlyDirectory(const std::string& directory,
                                      const std::string& line,
                                      const std::string& path);

// Mounts a tmpfs of `kilobytes` at `directory`; "" on success, else the reason.
std::string mountTmpfs(const std::filesystem::path& directory, int kilobytes);

// Mounts a ramfs, a file system without extended attributes, at `directory`; "" on success, else
// the reason.
std::string mountRamfs(const std::filesystem::path& directory);

// The permission bits of `file` (not following a link); -1 when it does not exist.
int permissionBits(const std::filesystem::path& file);

// Whether anything, even a dangling symbolic link, stands at `file`.
bool entryExists(const std::filesystem::path& file);
