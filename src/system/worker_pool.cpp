// The pool behind forEachTogether: workers wait for a job, take its parts by a shared counter,
// and the last to finish wakes the caller. Built with exceptions: a thread the system refuses
// (std::system_error) leaves the pool smaller instead of ending the run.
#include "system/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

struct Pool {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable finished;
  std::vector<std::thread> workers;
  // The job: its parts, the next part to take, and how many threads work on it still.
  const std::function<void(std::size_t)>* work = nullptr;
  std::size_t count = 0;
  std::atomic<std::size_t> next{0};
  std::size_t wanted = 0;  // workers the job may use
  std::size_t busy = 0;
  std::uint64_t job = 0;
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

  void serve(std::size_t index) {
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return stopping || (job != seen && index < wanted); });
      if (stopping) return;
      seen = job;
      ++busy;
      lock.unlock();
      takeParts();
      lock.lock();
      if (--busy == 0) finished.notify_one();
    }
  }

  void grow(std::size_t size) {
    try {
      while (workers.size() < size) {
        const std::size_t index = workers.size();
        workers.emplace_back([this, index] { serve(index); });
      }
    } catch (const std::system_error&) {
      // No more threads: the ones there are do the work.
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
  shared.grow(helpers);
  shared.work = &work;
  shared.count = count;
  shared.next = 0;
  shared.wanted = helpers;
  ++shared.job;
  lock.unlock();
  shared.wake.notify_all();
  shared.takeParts();
  lock.lock();
  shared.finished.wait(lock, [&] { return shared.busy == 0; });
  // Every part has been taken: a worker woken late finds none left, and none starts again.
  shared.wanted = 0;
}

std::size_t machineThreads() {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::min<std::size_t>(2 * cores, 16);
}
