#include "base/parallel.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "halcyra/interrupt.h"

namespace halcyra {
namespace {

constexpr auto kCheckEvery = std::chrono::milliseconds(100);
// How often a calling thread waiting for the pool polls for an interrupt.
constexpr auto kWaitPoll = std::chrono::milliseconds(20);
// InterruptRequested reads the clock once per this many calls.
constexpr unsigned kCallsPerClockRead = 256;

struct InterruptState {
  bool (*check)(void*) = nullptr;
  void* context = nullptr;
  bool stopped = false;
  unsigned calls = 0;
  std::chrono::steady_clock::time_point last;
};

// Initial-exec: the module's thread-local data sits in the static block every
// thread gets when it starts, never allocated on first use, which in a new
// thread under memory pressure would abort the process.
[[gnu::tls_model("initial-exec")]] thread_local InterruptState interrupt;
// The stop flag of the ParallelFor this thread works for, if any.
[[gnu::tls_model("initial-exec")]] thread_local std::atomic<bool>* current_stop = nullptr;

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

namespace {

// InterruptRequested; every_call reads the clock at each call, for loops
// that call it seldom.
bool PollInterrupt(bool every_call) {
  InterruptState& s = interrupt;
  if (s.check == nullptr) return false;
  if (s.stopped) return true;
  if (!every_call && ++s.calls % kCallsPerClockRead != 0) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - s.last < kCheckEvery) return false;
  s.last = now;
  s.stopped = s.check(s.context);
  return s.stopped;
}

}  // namespace

bool InterruptRequested() { return PollInterrupt(/*every_call=*/false); }

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

namespace {

// One ParallelFor: its tasks, taken in turn by the calling thread and by the
// pool's threads that join it.
struct Job {
  const std::function<void(size_t)>* task;
  size_t n;
  size_t helpers_wanted;     // pool threads that may join
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  std::exception_ptr failure;  // the first, under the pool's mutex
  size_t joined = 0;           // pool threads that took part
  size_t left = 0;             // and have left it; under the mutex

  void Work(std::mutex& failures) {
    current_stop = &stop;
    for (size_t i; !stop.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < n;) {
      try {
        (*task)(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(failures);
        if (!failure) failure = std::current_exception();
        stop = true;
      }
    }
    current_stop = nullptr;
  }
};

// Worker threads kept for the life of the process: a thread's first start
// allocates, besides its stack, the thread-local data of every library it
// touches, which the C library cannot report when memory runs short (it
// aborts), so threads are started once and reused rather than started per
// call. Calls from several application threads at once share them. The
// pool is never destroyed: its threads wait for work until the process
// ends. A child process forked from this one starts with no threads.
class Pool {
 public:
  static Pool& Get() {
    static Pool* pool = [] {
      auto* p = new Pool();
      pthread_atfork(nullptr, nullptr, [] { Get().ResetInChild(); });
      return p;
    }();
    return *pool;
  }

  // Offers job to up to job.helpers_wanted threads, starting threads when
  // there are fewer than that (as many as can be started).
  void Offer(Job* job) {
    std::lock_guard<std::mutex> lock(*mutex_);
    while (threads_ < job->helpers_wanted) {
      try {
        std::thread(&Pool::Serve, this).detach();
      } catch (...) {
        break;  // no more threads now: those there are share the work
      }
      ++threads_;
    }
    jobs_.push_back(job);
    wake_->notify_all();
  }

  // Withdraws job once the calling thread has run out of its tasks, and
  // waits for the pool threads that joined it to leave, polling for an
  // interrupt meanwhile (which stops them at their next check).
  void Finish(Job* job) {
    std::unique_lock<std::mutex> lock(*mutex_);
    std::erase(jobs_, job);
    while (!done_->wait_for(lock, kWaitPoll, [job] { return job->left == job->joined; })) {
      lock.unlock();  // the check may take the interpreter lock
      if (PollInterrupt(/*every_call=*/true)) job->stop = true;
      lock.lock();
    }
  }

  std::mutex& failures() { return *mutex_; }

 private:
  Pool() : mutex_(new std::mutex), wake_(new std::condition_variable), done_(new std::condition_variable) {}

  void Serve() {
    std::unique_lock<std::mutex> lock(*mutex_);
    while (true) {
      wake_->wait(lock, [this] { return std::any_of(jobs_.begin(), jobs_.end(), Open); });
      Job* job = *std::find_if(jobs_.begin(), jobs_.end(), Open);
      ++job->joined;
      std::mutex& failures = *mutex_;
      lock.unlock();
      job->Work(failures);
      lock.lock();
      ++job->left;
      done_->notify_all();
    }
  }

  static bool Open(const Job* job) {
    return job->joined < job->helpers_wanted && job->next.load() < job->n && !job->stop.load();
  }

  // After fork the child has only the forking thread, and the mutex may have
  // been held by a thread that no longer exists: start afresh (the old
  // objects are leaked, as the pool itself is).
  void ResetInChild() {
    mutex_ = new std::mutex;
    wake_ = new std::condition_variable;
    done_ = new std::condition_variable;
    jobs_.clear();
    threads_ = 0;
  }

  std::mutex* mutex_;
  std::condition_variable* wake_;
  std::condition_variable* done_;
  std::vector<Job*> jobs_;  // with tasks left to take
  size_t threads_ = 0;
};

}  // namespace

bool ParallelFor(size_t n, const std::function<void(size_t)>& task) {
  Job job;
  job.task = &task;
  job.n = n;
  job.helpers_wanted = std::min(ThreadCount(), n) - (n > 0 ? 1 : 0);
  Pool& pool = Pool::Get();
  if (job.helpers_wanted > 0) pool.Offer(&job);
  // The calling thread works too, and polls for a stop between its tasks.
  current_stop = &job.stop;
  for (size_t i; !job.stop.load(std::memory_order_relaxed) && (i = job.next.fetch_add(1)) < n;) {
    try {
      task(i);
    } catch (...) {
      std::lock_guard<std::mutex> lock(pool.failures());
      if (!job.failure) job.failure = std::current_exception();
      job.stop = true;
    }
    StopRequested();
  }
  current_stop = nullptr;
  if (job.helpers_wanted > 0) pool.Finish(&job);
  if (job.failure) std::rethrow_exception(job.failure);
  return !job.stop.load();
}

bool StopRequested() {
  if (InterruptRequested()) {
    if (current_stop != nullptr) current_stop->store(true);
    return true;
  }
  return current_stop != nullptr && current_stop->load(std::memory_order_relaxed);
}

}  // namespace halcyra
