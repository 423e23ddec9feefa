// WorkerPool. Workers never touch the interpreter: they run plain C++ jobs, and
// whatever a job throws is caught on the worker and handed to the submitting
// thread, because an exception escaping a thread function ends the process.
#include "inventory/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <pthread.h>
#include <system_error>
#include <utility>
#include <unistd.h>

namespace marblewick {
namespace {

std::size_t logical_cpu_count() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

// Blocks every signal on the creating thread while workers are started, so
// they inherit a full mask: signals then reach the interpreter's threads, and
// a worker is never interrupted in the middle of a read.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

// Ranges are small enough that idle workers can take over what a busy one
// has not started, and large enough that claiming costs nothing measurable.
std::size_t range_size_for(std::size_t count, std::size_t workers) {
  std::size_t pieces = std::max<std::size_t>(1, workers) * 16;
  return std::clamp<std::size_t>(count / pieces, 1, 64);
}

}  // namespace

WorkerPool& WorkerPool::shared() {
  // A child made by fork() inherits the pool object but none of its threads;
  // waiting on it there would hang forever, so a child builds its own pool
  // (the inherited one is abandoned untouched, its locks may be held).
  static std::mutex creation_mutex;
  static WorkerPool* pool = nullptr;
  static pid_t owner = 0;
  std::lock_guard<std::mutex> lock(creation_mutex);
  pid_t current = ::getpid();
  if (pool == nullptr || owner != current) {
    pool = new WorkerPool(logical_cpu_count());
    owner = current;
  }
  return *pool;
}

WorkerPool::WorkerPool(std::size_t wanted_workers) {
  AllSignalsBlocked blocked;
  workers_.reserve(wanted_workers);
  for (std::size_t i = 0; i < wanted_workers; ++i) {
    try {
      workers_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
      // The system refused another thread: work with those we have (with
      // none, jobs run on the submitting thread).
      break;
    }
  }
  // Started threads are never joined: the pool lives as long as the process.
  for (std::thread& worker : workers_) worker.detach();
}

void WorkerPool::worker_loop() noexcept {
  std::uint64_t seen = 0;
  for (;;) {
    const std::function<void()>* job;
    {
      std::unique_lock<std::mutex> lock(state_mutex_);
      job_posted_.wait(lock, [&] { return generation_ != seen; });
      seen = generation_;
      job = job_;
    }
    std::exception_ptr failure;
    try {
      (*job)();
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (failure && !first_failure_) first_failure_ = failure;
    if (--still_running_ == 0) job_finished_.notify_one();
  }
}

void WorkerPool::run_on_every_worker(const std::function<void()>& job) {
  std::lock_guard<std::mutex> submitting(submit_mutex_);
  if (workers_.empty()) {
    job();
    return;
  }
  std::exception_ptr failure;
  {
    std::unique_lock<std::mutex> lock(state_mutex_);
    job_ = &job;
    first_failure_ = nullptr;
    still_running_ = workers_.size();
    ++generation_;
    job_posted_.notify_all();
    job_finished_.wait(lock, [&] { return still_running_ == 0; });
    job_ = nullptr;
    failure = std::exchange(first_failure_, nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}

void WorkerPool::for_each_range(std::size_t count,
                                const std::function<void(std::size_t, std::size_t)>& body) {
  if (count == 0) return;
  const std::size_t range_size = range_size_for(count, workers_.size());
  std::atomic<std::size_t> next{0};
  // Set by a failing body so the other workers stop claiming new ranges.
  std::atomic<bool> stop{false};
  run_on_every_worker([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      std::size_t begin = next.fetch_add(range_size, std::memory_order_relaxed);
      if (begin >= count) return;
      std::size_t end = std::min(count, begin + range_size);
      try {
        body(begin, end);
      } catch (...) {
        stop.store(true, std::memory_order_relaxed);
        throw;
      }
    }
  });
}

}  // namespace marblewick
