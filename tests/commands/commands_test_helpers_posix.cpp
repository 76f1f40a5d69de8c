#include "commands/commands_test_helpers_posix.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/command_processor_posix.h"
#include "support/redirection.h"
#include "system/write_all_posix.h"

uid_t unprivilegedUser() {
  const passwd* entry = getpwnam("nobody");
  return entry != nullptr ? entry->pw_uid : 65534;
}

gid_t unprivilegedGroup() {
  const passwd* entry = getpwnam("nobody");
  return entry != nullptr ? entry->pw_gid : 65534;
}

namespace {

// Exit code of a child whose setup failed; the reason is on its pipe.
constexpr int SetupFailed = 125;

void writeAllTo(int fd, const std::string& bytes) { writeAll(fd, bytes.data(), bytes.size()); }

}  // namespace

std::optional<std::string> runInChild(ChildSetup setup,
                                      const std::function<std::string()>& body,
                                      std::string* why) {
  bool root = geteuid() == 0;
  if (setup == ChildSetup::Unprivileged && !root) return body();
  int channel[2];
  if (pipe(channel) != 0) {
    *why = std::string("pipe: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::fflush(nullptr);
  pid_t child = fork();
  if (child < 0) {
    *why = std::string("fork: ") + std::strerror(errno);
    return std::nullopt;
  }
  if (child == 0) {
    close(channel[0]);
    if (setup == ChildSetup::Unprivileged) {
      gid_t group = unprivilegedGroup();
      if (setgroups(0, nullptr) != 0 || setresgid(group, group, group) != 0 ||
          setresuid(unprivilegedUser(), unprivilegedUser(), unprivilegedUser()) != 0) {
        writeAllTo(channel[1], std::string("cannot drop privileges: ") + std::strerror(errno));
        _exit(SetupFailed);
      }
    }
    writeAllTo(channel[1], body());
    _exit(0);
  }
  close(channel[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    result.append(buffer, static_cast<std::size_t>(got));
  }
  close(channel[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == SetupFailed) {
    *why = result;
    return std::nullopt;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "child ended abnormally (status " + std::to_string(status) + "): " + result;
  }
  return result;
}

void handTreeToUnprivilegedUser(const std::filesystem::path& root) {
  if (geteuid() != 0) return;
  std::error_code error;
  uid_t user = unprivilegedUser();
  gid_t group = unprivilegedGroup();
  if (lchown(root.c_str(), user, group) != 0) return;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (lchown(it->path().c_str(), user, group) != 0) return;
  }
}

bool entryExists(const std::filesystem::path& file) {
  struct stat status;
  return lstat(file.c_str(), &status) == 0;
}

void expectRefusedInReadOnlyDirectory(const std::string& directory,
                                      const std::string& line,
                                      const std::string& path) {
  handTreeToUnprivilegedUser(std::filesystem::current_path());
  StderrCapture capture;
  std::string why;
  const std::optional<std::string> result = runInChild(
      ChildSetup::Unprivileged,
      [&] {
        if (chmod(directory.c_str(), 0500) != 0) return std::string("chmod failed");
        const int code = runBuiltinCommand(line);
        chmod(directory.c_str(), 0700);
        return "result " + std::to_string(code);
      },
      &why);
  const std::string message = capture.text();
  if (!result) GTEST_SKIP() << why;
  EXPECT_EQ(*result, "result 1");
  EXPECT_NE(message.find(path), std::string::npos) << message;
}
