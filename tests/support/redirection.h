// Standard output or standard error sent elsewhere for a while (POSIX): to a descriptor the test
// holds (a file, a pseudo-terminal), or to a temporary file whose bytes the test reads back.
// And the pseudo-terminal that stands in for a person's terminal.
#pragma once

#include <string>

// Points descriptor `target` (1 or 2) at `descriptor` until restore() or destruction; stdio's
// buffered output goes out before each switch, to where it was meant to go.
class Redirection {
 public:
  Redirection(int target, int descriptor);
  ~Redirection() { restore(); }
  Redirection(const Redirection&) = delete;
  Redirection& operator=(const Redirection&) = delete;

  void restore();

 private:
  int target_;
  int saved_;
};

// Sends standard error to a temporary file until text() or destruction.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture() { text(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Restores standard error and returns everything written to it meanwhile; empty after the
  // first call.
  std::string text();

 private:
  int file_;
  Redirection redirection_;
};

// A pseudo-terminal in raw mode (no LF to CR LF translation): a program writes to `terminal`,
// `master` reads what it shows. Both -1 when this system cannot provide one.
class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // What the terminal shows, waiting a fifth of a second at most for more to come.
  std::string shown();

  int master = -1;
  int terminal = -1;
};
