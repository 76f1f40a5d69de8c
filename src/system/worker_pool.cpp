// The pools behind forEachTogether and WorkAhead. Built with exceptions: a thread the system
// refuses (std::system_error) leaves a pool smaller instead of ending the run.
#include "system/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
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

// Tells a pool's threads to stop, wakes them and waits for them to end.
template <class Flag>
void stopThreads(std::mutex& mutex,
                 Flag& stopping,
                 std::condition_variable& wake,
                 std::vector<std::thread>& threads) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  for (std::thread& thread : threads) thread.join();
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

  ~Pool() { stopThreads(mutex, stopping, wake, workers); }

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
  // The caller starts alone: parts that take microseconds (a sync on a file system that keeps
  // everything in memory) are done before a helper would have woken. Helpers are called in for
  // what is left only as far as its time, guessed from the parts done, pays for them.
  if (count == 0) return;
  using Clock = std::chrono::steady_clock;
  constexpr auto Alone = std::chrono::microseconds(100);
  constexpr auto HelperWorth = std::chrono::microseconds(200);
  const Clock::time_point started = Clock::now();
  std::size_t first = 0;
  Clock::duration spent{};
  while (first < count) {
    work(first++);
    spent = Clock::now() - started;
    if (spent >= Alone) break;
  }
  const std::size_t left = count - first;
  const auto partTime = spent / static_cast<Clock::rep>(first);
  const std::size_t worth =
      static_cast<std::size_t>(partTime * static_cast<Clock::rep>(left) / HelperWorth);
  // Parts this short keep a CPU busy rather than wait: more helpers than cores only take turns.
  const std::size_t room = partTime < HelperWorth ? std::min(threads, machineCores()) : threads;
  const std::size_t helpers = std::min({left, room > 1 ? room - 1 : 0, worth});
  Pool& shared = pool();
  if (helpers == 0) {
    for (std::size_t part = first; part < count; ++part) work(part);
    return;
  }
  std::unique_lock<std::mutex> lock(shared.mutex);
  startThreads(shared.workers, helpers, [&shared](std::size_t) { shared.serve(); });
  shared.work = &work;
  shared.count = count;
  shared.next = first;
  shared.seats = std::min(helpers, shared.workers.size());
  lock.unlock();
  for (std::size_t seat = 0; seat < helpers; ++seat) shared.wake.notify_one();
  shared.takeParts();
  lock.lock();
  // Every part has been taken: a worker that wakes late finds no seat, and none starts again.
  shared.seats = 0;
  shared.finished.wait(lock, [&] { return shared.busy == 0; });
}

std::size_t machineCores() { return std::max(1u, std::thread::hardware_concurrency()); }

std::size_t machineThreads() {
  const std::size_t cores = machineCores();
  return cores == 1 ? 1 : std::min<std::size_t>(4 * cores, 16);
}

// The parts are taken by a shared counter, and each part's slot in a ring tells when it is done
// (it holds the part's number plus one): taking and finishing a part need no lock. The lock and
// its conditions serve only a thread that goes to sleep (nothing to take, or the part it needs
// still being done), and whoever could wake it looks first whether anyone sleeps.
struct WorkAhead::State {
  Work work;
  std::vector<std::thread> threads;
  std::size_t most = 0;  // workers when parts wait on the system; the caller's number
  // Parts that took long (waiting on a disk or a share), out of those done: once half of them
  // do, the rest of the workers are started.
  std::atomic<std::size_t> partsDone{0};
  std::atomic<std::size_t> slowParts{0};
  std::atomic<bool> grown{false};
  std::size_t capacity = 1;
  std::unique_ptr<std::atomic<std::size_t>[]> finished;  // by part, modulo capacity
  std::atomic<std::size_t> allowed{0};
  std::atomic<std::size_t> next{0};  // the next part to take
  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::condition_variable wake;  // parts allowed, or stopping
  std::condition_variable done;  // the part the caller waits for is done
  std::size_t sleeping = 0;      // workers waiting for parts, under the lock
  std::atomic<bool> callerWaits{false};

  std::atomic<std::size_t>& slot(std::size_t part) { return finished[part % capacity]; }

  // Takes the next part allowed, if any.
  bool takeNext(std::size_t& part) {
    part = next.load();
    while (part < allowed.load()) {
      if (next.compare_exchange_weak(part, part + 1)) return true;
    }
    return false;
  }

  void run(std::size_t part, std::size_t worker) {
    constexpr auto SlowPart = std::chrono::milliseconds(2);
    constexpr std::size_t SlowSample = 4;
    const auto started = std::chrono::steady_clock::now();
    work(part, worker);
    const bool slow = std::chrono::steady_clock::now() - started >= SlowPart;
    const std::size_t finishedParts = partsDone.fetch_add(1) + 1;
    const std::size_t slowOnes = slow ? slowParts.fetch_add(1) + 1 : slowParts.load();
    if (slowOnes >= SlowSample && 2 * slowOnes >= finishedParts && !grown.exchange(true)) grow();
    slot(part).store(part + 1);
    if (callerWaits.load()) {
      std::lock_guard<std::mutex> lock(mutex);
      done.notify_one();
    }
  }

  // Starts the workers not started yet, unless the caller is stopping them.
  void grow() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!stopping.load()) {
      startThreads(threads, most, [this](std::size_t worker) { serve(worker); });
    }
  }

  void serve(std::size_t worker) {
    for (std::size_t part = 0; !stopping.load();) {
      if (takeNext(part)) {
        run(part, worker);
        continue;
      }
      std::unique_lock<std::mutex> lock(mutex);
      ++sleeping;
      wake.wait(lock, [&] { return stopping.load() || next.load() < allowed.load(); });
      --sleeping;
    }
  }
};

WorkAhead::WorkAhead(std::size_t workers, std::size_t ahead, Work work)
    : state_(std::make_unique<State>()) {
  State* state = state_.get();
  state->work = std::move(work);
  state->capacity = ahead + 1;
  state->finished = std::make_unique<std::atomic<std::size_t>[]>(state->capacity);
  state->most = workers;
  // Where parts are work for the CPUs, workers beyond one a core beside the caller's only take
  // turns on them.
  const std::size_t first = std::min(workers, std::max<std::size_t>(machineCores() - 1, 1));
  std::lock_guard<std::mutex> lock(state->mutex);
  startThreads(state->threads, first, [state](std::size_t worker) { state->serve(worker); });
}

WorkAhead::~WorkAhead() {
  stopThreads(state_->mutex, state_->stopping, state_->wake, state_->threads);
}

std::size_t WorkAhead::workers() const { return state_->most; }

void WorkAhead::allow(std::size_t parts) {
  State& state = *state_;
  const std::size_t before = state.allowed.load();
  if (parts <= before) return;
  state.allowed.store(parts);
  std::lock_guard<std::mutex> lock(state.mutex);
  // One sleeping worker woken for each new part.
  const std::size_t from = std::max(before, state.next.load());
  for (std::size_t part = from; part < parts && part - from < state.sleeping; ++part) {
    state.wake.notify_one();
  }
}

bool WorkAhead::waitOrTake(std::size_t part) {
  State& state = *state_;
  for (std::size_t taken = state.next.load(); taken <= part;) {
    if (state.next.compare_exchange_weak(taken, part + 1)) return false;
  }
  // While a worker is on it, the caller takes a later part as a worker would, rather than wait.
  const auto isDone = [&] { return state.slot(part).load() == part + 1; };
  while (!isDone()) {
    std::size_t later = 0;
    if (state.takeNext(later)) {
      state.run(later, state.most);
      continue;
    }
    std::unique_lock<std::mutex> lock(state.mutex);
    state.callerWaits = true;
    state.done.wait(lock, isDone);
    state.callerWaits = false;
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
  stopThreads(state_->mutex, state_->stopping, state_->wake, state_->threads);
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
