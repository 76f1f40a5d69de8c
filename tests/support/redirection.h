// Standard output or standard error sent elsewhere for a while (POSIX): to a descriptor the test
// holds (a file, a pseudo-terminal) or to a temporary file whose bytes it reads back; and the
// pseudo-terminal that stands in for a person's terminal.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Points descriptor `target` (1 or 2) at `descriptor` until restore() or destruction; stdio's
// buffered output goes out before each switch, to where it was meant to go.
class Redirection {
 public:
  Redirection(int target, int descriptor) : target_(target), saved_(dup(target)) {
    std::fflush(nullptr);
    dup2(descriptor, target_);
  }
  ~Redirection() { restore(); }
  Redirection(const Redirection&) = delete;
  Redirection& operator=(const Redirection&) = delete;

  void restore() {
    if (saved_ < 0) return;
    std::fflush(nullptr);
    dup2(saved_, target_);
    close(saved_);
    saved_ = -1;
  }

 private:
  int target_;
  int saved_;
};

// The bytes readable from `descriptor` now; a terminal's master side waits up to a fifth of a
// second for more.
inline std::string readAvailable(int descriptor) {
  std::string bytes;
  char buffer[4096];
  pollfd ready = {descriptor, POLLIN, 0};
  while (poll(&ready, 1, 200) > 0) {
    const ssize_t count = read(descriptor, buffer, sizeof buffer);
    if (count <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
  return bytes;
}

// Sends standard error to a temporary file without a name until text() or destruction.
class StderrCapture {
 public:
  StderrCapture() : file_(anonymousFile()), redirection_(STDERR_FILENO, file_) {}
  ~StderrCapture() { text(); }

  // Restores standard error and returns everything written to it meanwhile; empty after the
  // first call.
  std::string text() {
    if (file_ < 0) return std::string();
    redirection_.restore();
    lseek(file_, 0, SEEK_SET);
    const std::string bytes = readAvailable(file_);
    close(file_);
    file_ = -1;
    return bytes;
  }

 private:
  static int anonymousFile() {
    char name[] = "/tmp/chklist-stderr-XXXXXX";
    const int file = mkstemp(name);
    unlink(name);
    return file;
  }

  int file_;
  Redirection redirection_;
};

// A pseudo-terminal in raw mode (no LF to CR LF translation): a program writes to `terminal`,
// `master` reads what it shows. `terminal` is -1 when this system cannot provide one.
struct PseudoTerminal {
  PseudoTerminal() {
    termios mode = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (terminal < 0 || tcgetattr(terminal, &mode) != 0) return;
    cfmakeraw(&mode);
    tcsetattr(terminal, TCSANOW, &mode);
  }
  ~PseudoTerminal() {
    if (terminal >= 0) close(terminal);
    if (master >= 0) close(master);
  }
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // What the terminal shows, waiting a fifth of a second at most for more to come.
  std::string shown() { return readAvailable(master); }

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  int terminal = -1;
};
