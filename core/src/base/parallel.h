// Work spread over threads, and the polling that lets a long call stop.
//
// A call may use HALCYRA_THREADS threads (a positive number), else as many
// as the CPUs this process may run on: the calling thread and threads of a
// pool kept for the life of the process, which calls made at the same time
// from several threads of the application share. Work is
// split so that results never depend on the thread count: each task writes
// its own slot, and slots are combined in task order.
#pragma once

#include <cstddef>
#include <functional>

namespace halcyra {

// HALCYRA_THREADS when set to a positive number, else the CPUs this process
// may run on (at least 1).
size_t ThreadCount();

// Runs task(0), ..., task(n - 1) on up to ThreadCount() threads, the calling
// thread among them, each task once, and returns when every started task is
// done. Once InterruptRequested asks the calling thread to stop, no further
// task starts, tasks that poll StopRequested end early, and false is
// returned. An exception thrown by a task (std::bad_alloc) is rethrown here
// once all are done.
bool ParallelFor(size_t n, const std::function<void(size_t)>& task);

// For long tasks of a ParallelFor, on any of its threads: whether the call
// is stopping, so that the task may end early (its result is not used). On
// the calling thread it polls InterruptRequested.
bool StopRequested();

// The tasks of a ParallelFor over n items: ranges of about the same size,
// per_thread of them per thread (several, so that uneven ones even out), none
// smaller than min_items_per_range unless there is just one. Range i is
// [Ranges::begin(i), Ranges::begin(i + 1)).
struct Ranges {
  Ranges(size_t items, size_t min_items_per_range, size_t per_thread = 4);
  size_t count() const { return count_; }
  size_t begin(size_t i) const { return items_ * i / count_; }

 private:
  size_t items_;
  size_t count_;
};

}  // namespace halcyra
