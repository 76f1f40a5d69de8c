#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/redirection.h"

Redirection::Redirection(int target, int descriptor) : target_(target), saved_(dup(target)) {
  std::fflush(nullptr);
  dup2(descriptor, target_);
}

void Redirection::restore() {
  if (saved_ < 0) return;
  std::fflush(nullptr);
  dup2(saved_, target_);
  close(saved_);
  saved_ = -1;
}

namespace {

// A temporary file without a name, open for reading and writing.
int anonymousFile() {
  char name[] = "/tmp/chklist-stderr-XXXXXX";
  const int file = mkstemp(name);
  unlink(name);
  return file;
}

}  // namespace

StderrCapture::StderrCapture() : file_(anonymousFile()), redirection_(STDERR_FILENO, file_) {}

std::string StderrCapture::text() {
  if (file_ < 0) return std::string();
  redirection_.restore();
  std::string bytes;
  char buffer[4096];
  lseek(file_, 0, SEEK_SET);
  for (ssize_t got; (got = read(file_, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  close(file_);
  file_ = -1;
  return bytes;
}

PseudoTerminal::PseudoTerminal() {
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
  terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  termios mode = {};
  if (terminal < 0 || tcgetattr(terminal, &mode) != 0) return;
  cfmakeraw(&mode);
  tcsetattr(terminal, TCSANOW, &mode);
}

PseudoTerminal::~PseudoTerminal() {
  if (terminal >= 0) close(terminal);
  if (master >= 0) close(master);
}

std::string PseudoTerminal::shown() {
  std::string bytes;
  pollfd ready = {master, POLLIN, 0};
  while (poll(&ready, 1, 200) > 0) {
    char buffer[512];
    const ssize_t count = read(master, buffer, sizeof buffer);
    if (count <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
  return bytes;
}
