// POSIX: SIGINT, SIGTERM and SIGHUP are noted by a handler; blocked system calls they interrupt
// are restarted, so the run's steps finish as they would have. At the end the default action is
// restored and the signal raised again, so that the caller sees the process ended by it.
#include <signal.h>

#include <atomic>

#include "system/interruption.h"

namespace {

// Written by the handler on whichever thread the signal reaches, read by every thread.
std::atomic<int> arrived{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

void noteInterruption(int signal) { arrived = signal; }

constexpr int Interruptions[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

void catchInterruptions() {
  struct sigaction action {};
  action.sa_handler = noteInterruption;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal : Interruptions) {
    struct sigaction previous {};
    // A signal ignored when the run began (nohup) stays ignored.
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
}

bool runInterrupted() { return arrived.load(std::memory_order_relaxed) != 0; }

void endIfInterrupted() {
  const int signal = arrived.load();
  if (signal == 0) return;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
}
