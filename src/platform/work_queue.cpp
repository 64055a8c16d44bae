#include "platform/work_queue.h"

#include "platform/platform_faults.h"

namespace gzarc::platform {

WorkQueue::WorkQueue(unsigned workers, Work work, void* context) : work_(work), context_(context) {
  if (workers > kMaxWorkers) workers = kMaxWorkers;
  for (unsigned i = 0; i < workers; ++i) {
    if (!threads_[started_].Start(&WorkerMain, this)) break;
    ++started_;
  }
}

WorkQueue::~WorkQueue() {
  Abandon();
  {
    LockGuard lock(mutex_);
    ending_ = true;
    wake_.NotifyAll();
  }
  for (unsigned i = 0; i < started_; ++i) threads_[i].Join();
}

void WorkQueue::WorkerMain(void* queue) {
  faults::IgnoreThisThread();
  static_cast<WorkQueue*>(queue)->RunTasks();
}

void WorkQueue::RunTasks() {
  mutex_.Lock();
  for (;;) {
    while (!ending_ && claimed_ == submitted_) wake_.Wait(mutex_);
    if (ending_) break;
    const uint64_t task = claimed_++;
    ++running_;
    mutex_.Unlock();
    work_(context_, task);
    mutex_.Lock();
    --running_;
    done_[task % kMaxOutstanding] = true;
    finished_.NotifyAll();
  }
  mutex_.Unlock();
}

void WorkQueue::Submit() {
  LockGuard lock(mutex_);
  done_[submitted_ % kMaxOutstanding] = false;
  ++submitted_;
  wake_.NotifyOne();
}

void WorkQueue::Wait(uint64_t task) {
  if (started_ == 0) {
    // No workers: the tasks run here, in order, as they are waited for.
    while (claimed_ <= task) {
      const uint64_t next = claimed_++;
      work_(context_, next);
      done_[next % kMaxOutstanding] = true;
    }
    waited_ = task + 1;
    return;
  }
  LockGuard lock(mutex_);
  while (!IsDone(task)) finished_.Wait(mutex_);
  waited_ = task + 1;
}

void WorkQueue::Abandon() {
  LockGuard lock(mutex_);
  // Tasks submitted but not started will never run; mark them done so that
  // nobody waits for them.
  for (uint64_t t = claimed_; t < submitted_; ++t) done_[t % kMaxOutstanding] = true;
  claimed_ = submitted_;
  while (running_ > 0) finished_.Wait(mutex_);
}

}  // namespace gzarc::platform
