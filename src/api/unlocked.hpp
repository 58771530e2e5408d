// Engine work with the interpreter lock released, so that other Python
// threads run meanwhile.
//
// What may run inside: engine code over engine values only. No C API call, no
// reference count of a Python object, no read of Python memory that another
// thread could change. The call protocol (call.hpp) converts every argument
// before and makes every Python object after; the values the step reads are
// the caller's payload, which only its owner thread can reach (the owner
// check refuses every other thread before it touches the payload, and a drop
// on another thread leaks the payload without touching it), and the
// converted arguments, which are the call's own.
#pragma once

#include <cstdint>

#include "py.hpp"

namespace kelo_frame::api {

// Work below this many rows (or bytes of text) keeps the lock: releasing and
// taking it back costs about a microsecond when no other thread wants it, and
// up to the interpreter's switch interval (5 ms) when one does, which would
// slow a program's many small calls far more than their running alone costs
// the other threads. At 16384 rows the cheapest released steps (a filter, a
// head's row numbers) take tens of microseconds.
inline constexpr std::uint64_t kReleaseFrom = std::uint64_t{1} << 14;

// Releases the lock for its lifetime; it is taken back in the destructor,
// also when the work throws (std::bad_alloc then becomes MemoryError with
// the lock held again).
class Unlocked {
 public:
  Unlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // The lock held again for the lifetime of a Relock, for a C API call in the
  // middle of released work (the CSV writer growing its str).
  class Relock {
   public:
    explicit Relock(Unlocked* outer) noexcept : outer_(outer) {
      if (outer_ != nullptr) PyEval_RestoreThread(outer_->state_);
    }
    ~Relock() {
      if (outer_ != nullptr) outer_->state_ = PyEval_SaveThread();
    }
    Relock(const Relock&) = delete;
    Relock& operator=(const Relock&) = delete;

   private:
    Unlocked* outer_;
  };

 private:
  PyThreadState* state_;
};

// Runs fn() without the lock when `work` reaches kReleaseFrom, else with it.
template <class Fn>
auto run_unlocked_if(std::uint64_t work, Fn&& fn) {
  if (work < kReleaseFrom) return fn();
  const Unlocked unlocked;
  return fn();
}

}  // namespace kelo_frame::api
