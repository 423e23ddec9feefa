// WorkerPool: the process-wide threads that walk the tree a scan is given and
// digest the files it keeps.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace marblewick {

class WorkerPool {
 public:
  // The pool of this process, created on first use with one worker per logical
  // CPU. It is never destroyed: its threads live until the process ends.
  static WorkerPool& shared();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Calls body(begin, end) over consecutive index ranges that together cover
  // [0, count) exactly once, on the workers, and returns when all are done.
  // Ranges are claimed as workers become idle, so a worker that meets large
  // files does not hold up the others; callers that write slot i for index i
  // keep their order whatever the timing. The first exception thrown by a
  // body is rethrown here, after every worker has stopped.
  void for_each_range(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);

  // Calls job() once on each worker (once on the calling thread when the
  // system gave no worker) and returns when every call has returned. The pool
  // runs nothing else meanwhile, so the calls may wait for one another; but a
  // job must finish whatever number of calls run it, and must never submit to
  // the pool itself. The first exception thrown is rethrown here, after all
  // calls have returned.
  void run_on_every_worker(const std::function<void()>& job);

 private:
  explicit WorkerPool(std::size_t wanted_workers);
  void worker_loop() noexcept;

  // Serialises submissions: one job occupies the whole pool at a time.
  std::mutex submit_mutex_;

  std::mutex state_mutex_;
  std::condition_variable job_posted_;
  std::condition_variable job_finished_;
  std::uint64_t generation_ = 0;
  const std::function<void()>* job_ = nullptr;
  std::size_t still_running_ = 0;
  std::exception_ptr first_failure_;

  std::vector<std::thread> workers_;
};

}  // namespace marblewick
