// The server's bounded worker pools.
#include "server/worker_pool.h"

#include <pthread.h>

#include <stdexcept>

namespace server {

WorkerPool::WorkerPool(std::string name, std::size_t threads, std::size_t capacity)
    : name_(std::move(name)), capacity_(capacity) {
  if (threads < 1 || capacity < 1) throw std::invalid_argument("a pool needs a thread and room");
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    threads_.emplace_back([this] { run(); });
    // Named for top and debuggers (at most 15 characters).
    pthread_setname_np(threads_.back().native_handle(), name_.substr(0, 15).c_str());
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

bool WorkerPool::post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (jobs_.size() >= capacity_) return false;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
  return true;
}

std::size_t WorkerPool::pending() const {
  std::lock_guard lock(mutex_);
  return jobs_.size() + running_;
}

void WorkerPool::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and every queued job done
    auto job = std::move(jobs_.front());
    jobs_.pop_front();
    ++running_;
    lock.unlock();
    job();
    job = nullptr;  // what the job held goes before the next one starts
    lock.lock();
    --running_;
  }
}

}  // namespace server
