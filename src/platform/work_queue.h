// Tasks in stream order on worker threads, for the parallel paths.
//
// The calling thread submits tasks 0, 1, 2, ... in order as their input
// becomes ready, and waits for each one's result in order; workers take the
// submitted tasks in order, as many at once as there are workers. Host
// callbacks stay with the calling thread: tasks are pure work on memory the
// caller owns. The caller bounds how far it submits ahead of what it has
// consumed (that bounds the memory); at most kMaxOutstanding tasks may be
// submitted and not yet waited for.
//
// With no worker thread at all (none could be started, or none wanted),
// every task runs on the calling thread when it is waited for, so a caller
// never needs a second way of doing its work.
#pragma once

#include <array>
#include <cstdint>

#include "platform/threads.h"

namespace gzarc::platform {

class WorkQueue {
 public:
  static constexpr unsigned kMaxWorkers = 64;
  static constexpr uint64_t kMaxOutstanding = 256;
  using Work = void (*)(void* context, uint64_t task);

  // Starts up to workers threads (fewer when some cannot be started).
  WorkQueue(unsigned workers, Work work, void* context);
  // Lets the running tasks finish, runs no more and joins every worker.
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  unsigned Workers() const { return started_; }
  // Makes the next task (numbered from 0 in order) available.
  void Submit();
  uint64_t Submitted() const { return submitted_; }
  // Blocks until task (submitted, not yet waited for) is done; tasks must be
  // waited for in order.
  void Wait(uint64_t task);
  // Runs no task that has not started yet; returns once the running ones
  // are done.
  void Abandon();

 private:
  static void WorkerMain(void* queue);
  void RunTasks();
  bool IsDone(uint64_t task) const { return done_[task % kMaxOutstanding]; }

  Work work_;
  void* context_;
  Mutex mutex_;
  Condition wake_;      // workers: a task was submitted, or the end
  Condition finished_;  // the caller: a task is done
  uint64_t submitted_ = 0;
  uint64_t claimed_ = 0;
  uint64_t waited_ = 0;  // tasks below this have been waited for
  uint64_t running_ = 0;
  bool ending_ = false;
  std::array<bool, kMaxOutstanding> done_{};
  std::array<Thread, kMaxWorkers> threads_;
  unsigned started_ = 0;
};

}  // namespace gzarc::platform
