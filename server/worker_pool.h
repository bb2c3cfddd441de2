// WorkerPool: a fixed set of threads taking jobs from a bounded queue — where the server runs
// what must not run on an I/O thread (the engines' streaming and offline passes, engine loading).
//
// Thread safety: post() from any thread; the destructor finishes the queued jobs, then joins.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace server {

class WorkerPool {
 public:
  // REQUIRES: threads >= 1, capacity >= 1 (jobs waiting, not counting running ones).
  WorkerPool(std::string name, std::size_t threads, std::size_t capacity);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `job`; false (and nothing queued) when the queue is full. A job must not throw.
  bool post(std::function<void()> job);
  // Jobs queued or running.
  std::size_t pending() const;

 private:
  void run();

  std::string name_;
  std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_
  std::size_t running_ = 0;                 // guarded by mutex_
  bool stopping_ = false;                   // guarded by mutex_
  std::vector<std::thread> threads_;
};

}  // namespace server
