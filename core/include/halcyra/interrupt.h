// Stopping a long call from outside. The Python binding releases the
// interpreter lock around the core's work; to let Ctrl-C through, it installs
// a check for the duration of the call, which the core runs on the calling
// thread between units of work, at most about every 100 ms. A call that
// stops fails with Error::Interrupted and leaves its object as any failure of
// that call would.
#pragma once

namespace halcyra {

// Installs check(context) for the calling thread until destroyed; it returns
// true to ask the running call to stop. Installations nest.
class ScopedInterruptCheck {
 public:
  ScopedInterruptCheck(bool (*check)(void* context), void* context);
  ~ScopedInterruptCheck();
  ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
  ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;

 private:
  struct Saved;
  Saved* saved_;
};

// Whether the check installed on this thread, if any, asks to stop. Cheap
// enough for inner loops: the check itself runs at most every ~100 ms, and
// once it has asked to stop, every later call answers true at once.
bool InterruptRequested();

}  // namespace halcyra
