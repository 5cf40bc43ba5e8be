#include "base/parallel.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "halcyra/interrupt.h"

namespace halcyra {
namespace {

constexpr auto kCheckEvery = std::chrono::milliseconds(100);
// InterruptRequested reads the clock once per this many calls.
constexpr unsigned kCallsPerClockRead = 256;

struct InterruptState {
  bool (*check)(void*) = nullptr;
  void* context = nullptr;
  bool stopped = false;
  unsigned calls = 0;
  std::chrono::steady_clock::time_point last;
};

thread_local InterruptState interrupt;
// The stop flag of the ParallelFor this thread works for, if any.
thread_local std::atomic<bool>* current_stop = nullptr;

}  // namespace

struct ScopedInterruptCheck::Saved {
  InterruptState state;
};

ScopedInterruptCheck::ScopedInterruptCheck(bool (*check)(void*), void* context)
    : saved_(new Saved{interrupt}) {
  interrupt = InterruptState{check, context, false, 0, std::chrono::steady_clock::now()};
}

ScopedInterruptCheck::~ScopedInterruptCheck() {
  interrupt = saved_->state;
  delete saved_;
}

bool InterruptRequested() {
  InterruptState& s = interrupt;
  if (s.check == nullptr) return false;
  if (s.stopped) return true;
  if (++s.calls % kCallsPerClockRead != 0) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - s.last < kCheckEvery) return false;
  s.last = now;
  s.stopped = s.check(s.context);
  return s.stopped;
}

size_t ThreadCount() {
  if (const char* v = std::getenv("HALCYRA_THREADS")) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v, &end, 10);
    if (end != v && *end == '\0' && n > 0) return static_cast<size_t>(std::min<unsigned long long>(n, 1024));
  }
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

Ranges::Ranges(size_t items, size_t min_items_per_range, size_t per_thread) : items_(items) {
  const size_t wanted = per_thread * ThreadCount();
  const size_t most = std::max<size_t>(1, items / std::max<size_t>(1, min_items_per_range));
  count_ = ThreadCount() == 1 ? 1 : std::min(wanted, most);
}

bool ParallelFor(size_t n, const std::function<void(size_t)>& task) {
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex failed;
  std::exception_ptr failure;
  const auto work = [&](bool caller) {
    current_stop = &stop;
    for (size_t i; !stop.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < n;) {
      try {
        task(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(failed);
        if (!failure) failure = std::current_exception();
        stop = true;
      }
      if (caller) StopRequested();
    }
    current_stop = nullptr;
  };
  const size_t threads = std::min(ThreadCount(), n);
  std::vector<std::thread> helpers;
  try {
    helpers.reserve(threads > 0 ? threads - 1 : 0);
    for (size_t t = 1; t < threads; ++t) helpers.emplace_back(work, false);
  } catch (...) {
    // Fewer threads than asked for: those there are do the work.
  }
  work(true);
  for (std::thread& h : helpers) h.join();
  if (failure) std::rethrow_exception(failure);
  return !stop.load();
}

bool StopRequested() {
  if (InterruptRequested()) {
    if (current_stop != nullptr) current_stop->store(true);
    return true;
  }
  return current_stop != nullptr && current_stop->load(std::memory_order_relaxed);
}

}  // namespace halcyra
