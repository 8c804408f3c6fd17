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
    for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  // Runs the tasks handed over, then joins the threads.
  ~WorkerPool() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
  }

  // Hands over a task of `owner`; it must not throw, and must touch no Python object.
  void submit(const void* owner, std::function<void()> task) {
    {
      const std::lock_guard lock(mutex_);
      queue_.push_back({owner, std::move(task)});
    }
    wake_.notify_one();
  }

  // Runs on the calling thread the tasks of `owner` that no thread has taken yet, first in line.
  void help(const void* owner) {
    while (true) {
      Task task;
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
  struct Task {
    const void* owner = nullptr;
    std::function<void()> run;
  };

  void work() {
    while (true) {
      Task task;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      task.run();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> queue_;
  bool stopping_ = false;
  std::vector<std::jthread> workers_;  // last: joined first, while the queue still exists
};

}  // namespace vorel::python
