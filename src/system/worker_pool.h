// Threads kept for the run: a few that share out the parts of one job with the thread that asks
// (what waits on the system, a file's sync, then waits side by side), and workers that take the
// parts of a long job in order ahead of the thread that uses their results.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

// Runs `work(i)` once for every i below `count`, on up to `threads` threads at once counting the
// caller's, and returns when every part has run. The caller starts alone and calls in as many
// helpers as the time left seems to be worth. The helpers are started at the first call that
// wants them and kept; where the system gives no more threads, the caller does the rest.
void forEachTogether(std::size_t count,
                     std::size_t threads,
                     const std::function<void(std::size_t)>& work);

// The machine's cores (at least one).
std::size_t machineCores();

// How many threads side by side pay off on this machine: four a core (on a share or a disk they
// wait as much as they run), at most 16; one on a single core.
std::size_t machineThreads();

// Workers that run `work(part, worker)` for parts 0, 1, 2, ... in that order of taking, each
// part once, as far as the caller allows; `worker` numbers the thread (0 to workers() - 1, and
// workers() for the caller when it works as one). The caller takes the results in order: for
// each part it waits until a worker has done it, or does it itself when none has taken it yet.
class WorkAhead {
 public:
  using Work = std::function<void(std::size_t part, std::size_t worker)>;
  // Starts one worker a core beside the caller's, and the rest of up to `workers` threads once
  // half of the parts done take milliseconds (they wait on a disk or a share); fewer where the
  // system gives no more. The caller allows at most `ahead` parts beyond the oldest it has not
  // yet waited for or taken.
  WorkAhead(std::size_t workers, std::size_t ahead, Work work);
  // Lets no part be taken any more and waits for those taken.
  ~WorkAhead();
  WorkAhead(const WorkAhead&) = delete;
  WorkAhead& operator=(const WorkAhead&) = delete;

  std::size_t workers() const;
  // Parts below `parts` may be taken from now on.
  void allow(std::size_t parts);
  // Waits until a worker has done `part` (true), or takes it for the caller when none has taken
  // it yet (false: the caller does it; no worker will). Parts are asked for in order. While it
  // waits, the caller works on later parts as a worker (true for them then).
  bool waitOrTake(std::size_t part);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Tasks done ahead of the thread that will need their results, the latest pushed first (a walk
// pushes a directory's subdirectories last to first, and needs them first to last, each before
// the ones pushed before it). A task no thread has started is the caller's to do or leave.
class TaskStack {
 public:
  using Ticket = std::size_t;
  // Starts up to `threads` threads (fewer where the system gives no more).
  explicit TaskStack(std::size_t threads);
  // Drops the tasks not started and waits for those running.
  ~TaskStack();
  TaskStack(const TaskStack&) = delete;
  TaskStack& operator=(const TaskStack&) = delete;

  std::size_t threads() const;
  Ticket push(std::function<void()> task);
  // Waits until the task has run (true), or takes it back when no thread has started it
  // (false: it will not run). Each ticket is taken once.
  bool take(Ticket ticket);

 private:
  struct State;
  std::unique_ptr<State> state_;
};
