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
#include <mutex>
#include <thread>

namespace ondalis::stream {

// The interpreter lock released for the life of the object.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
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
