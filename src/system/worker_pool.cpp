// The pools behind forEachTogether and WorkAhead. Built with exceptions: a thread the system
// refuses (std::system_error) leaves a pool smaller instead of ending the run.
#include "system/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Starts threads running `serve(index)` until `threads` holds `size` of them, or the system
// gives no more.
template <class Serve>
void startThreads(std::vector<std::thread>& threads, std::size_t size, Serve serve) {
  try {
    while (threads.size() < size) {
      const std::size_t index = threads.size();
      threads.emplace_back([serve, index] { serve(index); });
    }
  } catch (const std::system_error&) {
    // No more threads: the ones there are do the work.
  }
}

// Workers wait for a job, take its parts by a shared counter, and the last to finish wakes the
// caller. A job wakes only as many workers as it has seats for.
struct Pool {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable finished;
  std::vector<std::thread> workers;
  // The job: its parts, the next part to take, and how many threads work on it still.
  const std::function<void(std::size_t)>* work = nullptr;
  std::size_t count = 0;
  std::atomic<std::size_t> next{0};
  std::size_t seats = 0;  // workers the job may still take on
  std::size_t busy = 0;
  bool stopping = false;

  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    for (std::thread& worker : workers) worker.join();
  }

  void takeParts() {
    for (std::size_t part; (part = next.fetch_add(1)) < count;) (*work)(part);
  }

  void serve() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return stopping || seats > 0; });
      if (stopping) return;
      --seats;
      ++busy;
      lock.unlock();
      takeParts();
      lock.lock();
      if (--busy == 0) finished.notify_one();
    }
  }
};

Pool& pool() {
  static Pool shared;
  return shared;
}

}  // namespace

void forEachTogether(std::size_t count,
                     std::size_t threads,
                     const std::function<void(std::size_t)>& work) {
  const std::size_t helpers = std::min(count, threads) > 1 ? std::min(count, threads) - 1 : 0;
  Pool& shared = pool();
  if (helpers == 0) {
    for (std::size_t part = 0; part < count; ++part) work(part);
    return;
  }
  std::unique_lock<std::mutex> lock(shared.mutex);
  startThreads(shared.workers, helpers, [&shared](std::size_t) { shared.serve(); });
  shared.work = &work;
  shared.count = count;
  shared.next = 0;
  shared.seats = std::min(helpers, shared.workers.size());
  lock.unlock();
  for (std::size_t seat = 0; seat < helpers; ++seat) shared.wake.notify_one();
  shared.takeParts();
  lock.lock();
  // Every part has been taken: a worker that wakes late finds no seat, and none starts again.
  shared.seats = 0;
  shared.finished.wait(lock, [&] { return shared.busy == 0; });
}

std::size_t machineThreads() {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return cores == 1 ? 1 : std::min<std::size_t>(4 * cores, 16);
}

struct WorkAhead::State {
  Work work;
  std::mutex mutex;
  std::condition_variable wake;      // a part allowed, or stopping
  std::condition_variable finished;  // the part the caller waits for is done
  std::vector<std::thread> threads;
  std::vector<bool> done;  // by part, for the parts allowed
  std::size_t allowed = 0;
  std::size_t next = 0;  // the next part to take
  std::size_t idle = 0;  // workers waiting for a part
  bool stopping = false;

  void serve(std::size_t worker) {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      ++idle;
      wake.wait(lock, [&] { return stopping || next < allowed; });
      --idle;
      if (stopping) return;
      const std::size_t part = next++;
      lock.unlock();
      work(part, worker);
      lock.lock();
      done[part] = true;
      finished.notify_one();
    }
  }
};

WorkAhead::WorkAhead(std::size_t workers, Work work) : state_(std::make_unique<State>()) {
  state_->work = std::move(work);
  State* state = state_.get();
  std::lock_guard<std::mutex> lock(state->mutex);
  startThreads(state->threads, workers, [state](std::size_t worker) { state->serve(worker); });
}

WorkAhead::~WorkAhead() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  for (std::thread& thread : state_->threads) thread.join();
}

std::size_t WorkAhead::workers() const { return state_->threads.size(); }

void WorkAhead::allow(std::size_t parts) {
  std::size_t wakes = 0;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (parts <= state_->allowed) return;
    // As many idle workers as there are new parts to take.
    const std::size_t from = std::max(state_->allowed, state_->next);
    wakes = parts > from ? std::min(parts - from, state_->idle) : 0;
    state_->allowed = parts;
    state_->done.resize(parts, false);
  }
  for (; wakes > 0; --wakes) state_->wake.notify_one();
}

bool WorkAhead::waitOrTake(std::size_t part) {
  State& state = *state_;
  std::unique_lock<std::mutex> lock(state.mutex);
  if (state.next <= part) {
    state.next = part + 1;
    return false;
  }
  // While a worker is on it, the caller takes a later part as a worker would, rather than wait.
  while (!state.done[part]) {
    if (state.next < state.allowed) {
      const std::size_t later = state.next++;
      lock.unlock();
      state.work(later, state.threads.size());
      lock.lock();
      state.done[later] = true;
      continue;
    }
    state.finished.wait(lock, [&] { return state.done[part] || state.next < state.allowed; });
  }
  return true;
}

struct TaskStack::State {
  enum class Step : std::uint8_t {
    Waiting,
    Running,
    Done,
    Taken
  };
  struct Task {
    std::function<void()> work;
    Step step = Step::Waiting;
  };
  std::mutex mutex;
  std::condition_variable wake;      // a task pushed, or stopping
  std::condition_variable finished;  // a task done
  std::vector<std::thread> threads;
  std::vector<Task> tasks;      // by ticket
  std::vector<Ticket> waiting;  // tickets not started, the latest last
  bool stopping = false;

  void serve() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return stopping || !waiting.empty(); });
      if (stopping) return;
      const Ticket ticket = waiting.back();
      waiting.pop_back();
      tasks[ticket].step = Step::Running;
      std::function<void()> work = std::move(tasks[ticket].work);
      lock.unlock();
      work();
      lock.lock();
      tasks[ticket].step = Step::Done;
      finished.notify_all();
    }
  }
};

TaskStack::TaskStack(std::size_t threads) : state_(std::make_unique<State>()) {
  State* state = state_.get();
  std::lock_guard<std::mutex> lock(state->mutex);
  startThreads(state->threads, threads, [state](std::size_t) { state->serve(); });
}

TaskStack::~TaskStack() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  for (std::thread& thread : state_->threads) thread.join();
}

std::size_t TaskStack::threads() const { return state_->threads.size(); }

TaskStack::Ticket TaskStack::push(std::function<void()> task) {
  Ticket ticket = 0;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ticket = state_->tasks.size();
    state_->tasks.push_back({std::move(task), State::Step::Waiting});
    state_->waiting.push_back(ticket);
  }
  state_->wake.notify_one();
  return ticket;
}

bool TaskStack::take(Ticket ticket) {
  State& state = *state_;
  std::unique_lock<std::mutex> lock(state.mutex);
  State::Task& task = state.tasks[ticket];
  if (task.step == State::Step::Waiting) {
    state.waiting.erase(std::find(state.waiting.begin(), state.waiting.end(), ticket));
    task.step = State::Step::Taken;
    task.work = nullptr;
    return false;
  }
  state.finished.wait(lock, [&] { return state.tasks[ticket].step == State::Step::Done; });
  return true;
}
