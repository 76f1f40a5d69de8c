// POSIX start-up: the three standard descriptors are made to exist and SIGXFSZ is ignored. Faults
// take the system's default course and the floating-point environment is already
// round-to-nearest with all exceptions masked.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfenv>

#include "frame/command_options.h"
#include "frame/start.h"
#include "system/list_seam.h"

namespace {

// A standard descriptor left closed by whoever started the program would be the number the next
// open takes: console lines and messages meant for it would then land in that file (the log, a
// list file, a cleaned copy). The null device takes the number instead, as careful tools do.
void openClosedStandardDescriptors() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: this one, since those below it are open.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != descriptor) {
      dup2(opened, descriptor);
      close(opened);
    }
  }
}

// The run's threads share one table of descriptors, which the system grows as more are open.
// Once threads share it, each growth makes the opening thread wait for every CPU to pass a
// quiescent point: milliseconds, with the other threads soon waiting on it. The table is grown
// here, before any thread starts, to what a run holds at most (a batch of lists and the lists read
// ahead, three descriptors each).
void growDescriptorTable() {
  constexpr std::size_t RunDescriptors = 2048;
  const std::size_t room = std::min(openFileLimit(), RunDescriptors);
  if (room < 2) return;
  const int highest = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, static_cast<int>(room - 1));
  if (highest >= 0) close(highest);
}

}  // namespace

void prepareProcess() {
  openClosedStandardDescriptors();
  // The local time zone is read now, before the run holds any descriptor: under a tight limit
  // on open files its file could not be opened later, and every record would be stamped in UTC.
  tzset();
  // A write past the file-size limit then fails with EFBIG and is handled like any failed write
  // (the list file is left alone, the log cut back to whole records), instead of the signal
  // ending the run with its temporary files left behind.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGXFSZ, &ignore, nullptr);
  growDescriptorTable();
}

void setFloatingPointControl() { std::fesetround(FE_TONEAREST); }

bool isPlatformHelpOption(std::string_view) { return false; }
