// Locks of the streaming path. The interpreter lock is released around every
// libsndfile call; what libsndfile shares across the process (opening, the
// error text of a failed open) is serialised by one library mutex, and each
// stream and block iterator has a mutex of its own. A mutex is only ever
// waited for with the interpreter lock released, so a thread that holds one
// and needs the interpreter lock (a file object's callback) cannot deadlock
// with a thread that holds the interpreter lock and waits for the mutex.
#pragma once
#include <Python.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace ondalis::stream {

// Whether the interpreter is shutting down.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

// Where a thread that may not go on waits for the process to end, touching
// nothing.
[[noreturn]] inline void wait_for_exit() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Takes the interpreter lock back for a thread that comes back from
// libsndfile (`take` calls PyEval_RestoreThread or PyGILState_Ensure). Once
// the interpreter shuts down, taking it ends the thread (pthread_exit), by
// an unwind that would pass through frames that may not be unwound (a
// destructor, the C API boundary) and abort the process; and a thread that
// waits for the lock when the shutdown begins meets the same end. Such a
// thread (a daemon thread still in a read at exit) waits here for the
// process to end instead. The thread that runs the shutdown holds the lock
// already (a file object's callback while it closes a stream left open): it
// goes on.
template <class Take>
auto take_interpreter(Take&& take) -> decltype(take()) {
  if (interpreter_finalizing() && !PyGILState_Check()) wait_for_exit();
  try {
    return take();
  } catch (...) {
    // The thread's end (abi::__forced_unwind; caught whole, since it carries
    // no object to bind a reference to): the interpreter takes nothing else
    // from here, and the handler never returns, so nothing is swallowed.
    wait_for_exit();
  }
}

// The interpreter lock released for the life of the object. Once the
// interpreter shuts down, the thread that holds the lock is the one running
// the shutdown (no other gets it back), closing what was left open (a block
// iterator in a module's globals): it keeps the lock, which it could never
// take back, and no other Python code runs beside it anyway.
class Unlocked {
 public:
  Unlocked() : state_(interpreter_finalizing() ? nullptr : PyEval_SaveThread()) {}
  ~Unlocked() {
    if (state_ != nullptr) take_interpreter([&] { PyEval_RestoreThread(state_); });
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// A mutex that knows the thread holding it, so that a thread re-entering its
// own stream (a file object's read() that uses the stream it feeds) is told so
// instead of waiting for itself.
class OwnedMutex {
 public:
  // Whether the calling thread holds the mutex.
  bool held_here() const { return owner_.load() == std::this_thread::get_id(); }
  // Takes the mutex without waiting; true when it was free.
  bool try_lock() {
    if (!mutex_.try_lock()) return false;
    owner_.store(std::this_thread::get_id());
    return true;
  }
  // Waits for the mutex; call with the interpreter lock released.
  void lock() {
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
  }
  void unlock() {
    owner_.store(std::thread::id{});
    mutex_.unlock();
  }

 private:
  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
};

// Takes `mutex`, releasing the interpreter lock only when it must wait.
inline void lock_waiting_unlocked(OwnedMutex& mutex) {
  if (mutex.try_lock()) return;
  Unlocked unlocked;
  mutex.lock();
}

// The mutex for libsndfile's process-wide state.
OwnedMutex& library_mutex();

}  // namespace ondalis::stream
