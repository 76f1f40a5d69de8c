// Helpers for the built-in commands' tests: running a piece of a test as an unprivileged user or
// in a forked child, small file queries.
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
};

// The user and group of ChildSetup::Unprivileged when running as root.
uid_t unprivilegedUser();
gid_t unprivilegedGroup();

// Runs `body` under `setup` and returns its result; nullopt with the reason in `why` when the
// setup is not possible here (then the test should skip).
std::optional<std::string> runInChild(ChildSetup setup,
                                      const std::function<std::string()>& body,
                                      std::string* why);

// Makes the user of ChildSetup::Unprivileged the owner of everything under `root` (a no-op
// unless running as root).
void handTreeToUnprivilegedUser(const std::filesystem::path& root);

// Runs the command `line` as the user of ChildSetup::Unprivileged, the current directory's tree
// handed over to it, while `directory` is read-only to it; expects the result 1 and a message on
// standard error naming `path`.
void expectRefusedInReadOnlyDirectory(const std::string& directory,
                                      const std::string& line,
                                      const std::string& path);

// Whether anything, even a dangling symbolic link, stands at `file`.
bool entryExists(const std::filesystem::path& file);
