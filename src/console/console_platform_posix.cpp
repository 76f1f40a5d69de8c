// The console platform on POSIX systems: there is no console screen buffer, so the writer always
// finds the console absent and takes the byte path to fd 1. Redirected output gets the bytes
// exactly; a terminal gets them through the terminal filter, so printed names cannot drive it.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "console/console_platform.h"
#include "console/terminal_text.h"
#include "system/write_all_posix.h"

namespace {

// The descriptors behind the two handles, and whether fd 1 is a terminal, found when the writer
// takes its handles. `filter` carries an unfinished UTF-8 character between writes.
// `pipeSignalIgnored`: set when taking the handles found SIGPIPE at its default action and set
// it to be ignored; the writes then need no signal blocking of their own.
int inputDescriptor = 0;
int outputDescriptor = 1;
bool outputIsTerminal = false;
bool pipeSignalIgnored = false;
TerminalTextState filter = {};

// A pipe's reader going away must not kill the process between deleting a list file and moving
// its cleaned copy into place: the write fails with EPIPE instead. Ignoring the signal for the
// process costs two system calls once; a handler someone installed is left alone.
void ignorePipeSignal() {
  if (pipeSignalIgnored) return;
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
      current.sa_handler != SIG_DFL) {
    return;
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  pipeSignalIgnored = sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

// One write(2) that cannot kill the process: when the reader of a pipe has gone, the write fails
// with EPIPE. Unless the signal is ignored, the SIGPIPE it raises is blocked and taken back.
ssize_t writeOutput(int descriptor, const void* bytes, std::size_t count) {
  if (pipeSignalIgnored) return write(descriptor, bytes, count);
  sigset_t pipeSignal;
  sigset_t previous;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigprocmask(SIG_BLOCK, &pipeSignal, &previous);
  sigset_t pending;
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  const ssize_t result = write(descriptor, bytes, count);
  const int error = errno;
  if (result < 0 && error == EPIPE && !alreadyPending) {
    const timespec noWait = {0, 0};
    sigtimedwait(&pipeSignal, nullptr, &noWait);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return result;
}

// Writes all `count` bytes to fd 1, one pipe-safe write at a time.
bool writeAllOutput(const char* bytes, std::size_t count) {
  return writeAll(STDOUT_FILENO, bytes, count, writeOutput);
}

ConsoleHandle posixGetStdHandle(StandardStream which) {
  if (which == StandardStream::Input) return &inputDescriptor;
  ignorePipeSignal();
  outputIsTerminal = isatty(STDOUT_FILENO) == 1;
  filter = {};
  return &outputDescriptor;
}

bool posixGetConsoleMode(ConsoleHandle, std::uint32_t*) { return false; }
bool posixSetConsoleMode(ConsoleHandle, std::uint32_t) { return false; }
bool posixGetScreenBufferInfo(ConsoleHandle, ConsoleBufferInfo*) { return false; }

// A file or pipe: one write(2), as much as it takes. A terminal: every byte filtered and written
// in full, so `written` is the whole count unless writing failed.
bool posixWriteFile(ConsoleHandle, const char* bytes, std::uint32_t count, std::uint32_t* written) {
  *written = 0;
  if (!outputIsTerminal) {
    for (;;) {
      const ssize_t result = writeOutput(STDOUT_FILENO, bytes, count);
      if (result < 0 && errno == EINTR) continue;
      if (result < 0) return false;
      *written = static_cast<std::uint32_t>(result);
      return true;
    }
  }
  constexpr std::uint32_t Piece = 4096;
  char shown[Piece + TerminalTextCarry];
  while (*written < count) {
    std::uint32_t part = count - *written;
    if (part > Piece) part = Piece;
    const std::size_t produced = filterTerminalText(filter, bytes + *written, part, shown);
    if (!writeAllOutput(shown, produced)) return false;
    *written += part;
  }
  return true;
}

bool posixIsTerminal(ConsoleHandle) { return outputIsTerminal; }

// The coarse monotonic clock where there is one: read without a system call, fine to a few
// milliseconds.
std::uint64_t posixTickCount() {
#ifdef CLOCK_MONOTONIC_COARSE
  constexpr clockid_t Clock = CLOCK_MONOTONIC_COARSE;
#else
  constexpr clockid_t Clock = CLOCK_MONOTONIC;
#endif
  timespec now{};
  if (clock_gettime(Clock, &now) != 0) return 0;
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

// The end of a stretch of output: an unfinished character will not be completed, show it as "?".
void posixFinishOutput(ConsoleHandle) {
  if (!outputIsTerminal) return;
  char shown[TerminalTextCarry];
  writeAllOutput(shown, finishTerminalText(filter, shown));
}

constexpr ConsolePlatform posixConsolePlatform = {
    .getStdHandle = posixGetStdHandle,
    .getConsoleMode = posixGetConsoleMode,
    .setConsoleMode = posixSetConsoleMode,
    .getScreenBufferInfo = posixGetScreenBufferInfo,
    // The screen buffer's operations: the writer reaches them only on a console, which it never
    // finds here.
    .writeOutput = nullptr,
    .scrollBuffer = nullptr,
    .fillAttribute = nullptr,
    .fillCharacter = nullptr,
    .setCursorPosition = nullptr,
    .setWindowInfo = nullptr,
    .writeFile = posixWriteFile,
    .beep = nullptr,
    .isTerminal = posixIsTerminal,
    .finishOutput = posixFinishOutput,
    .tickCount = posixTickCount,
};

}  // namespace

const ConsolePlatform* defaultConsolePlatform() { return &posixConsolePlatform; }
