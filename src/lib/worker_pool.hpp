#pragma once

// Native threads that run tasks handed over to them, in order, without the interpreter lock.
// The thread that hands them over may run the tasks of one owner itself while it waits for them.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vorel::python {

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t threads) {
    workers_.reserve(threads);
    try {
      for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
    } catch (...) {
      stop();  // a thread that cannot start: those started end, and are joined on the way out
      throw;
    }
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Drops the tasks no thread has taken, lets those running end, and joins the threads.
  ~WorkerPool() { stop(); }

  // Hands over the tasks task(0) ... task(count - 1) of `owner`, all of them or, when that fails
  // (std::bad_alloc), none; they must not throw, and must touch no Python object.
  template <class Task>
  void submit(const void* owner, std::size_t count, const Task& task) {
    {
      const std::lock_guard lock(mutex_);
      const std::size_t before = queue_.size();
      try {
        for (std::size_t i = 0; i < count; ++i) queue_.push_back({owner, [task, i] { task(i); }});
      } catch (...) {
        queue_.resize(before);  // no thread took any: the lock is held
        throw;
      }
    }
    wake_.notify_all();
  }

  // Runs on the calling thread the tasks of `owner` that no thread has taken yet, first in line.
  void help(const void* owner) {
    while (true) {
      Queued task;
      {
        const std::lock_guard lock(mutex_);
        if (queue_.empty() || queue_.front().owner != owner) return;
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      task.run();
    }
  }

 private:
  struct Queued {
    const void* owner = nullptr;
    std::function<void()> run;
  };

  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    wake_.notify_all();
  }

  void work() {
    while (true) {
      Queued task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      task.run();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Queued> queue_;
  bool stopping_ = false;
  std::vector<std::jthread> workers_;  // last: joined first, while the queue still exists
};

}  // namespace vorel::python
