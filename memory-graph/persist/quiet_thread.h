// Helper threads of the persist layer start with every signal blocked, so signals meant
// for the process keep reaching the threads that were there before (an interpreter
// handles them in its main thread), and a failed write reports its errno instead of
// raising a signal in a thread nobody watches.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace recall_mesh::persist {

/// Starts `body` on a new thread with every signal blocked. Throws std::system_error when
/// no thread can be had.
template <class F>
std::thread start_quiet_thread(F&& body) {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  const bool masked = pthread_sigmask(SIG_BLOCK, &all, &before) == 0;
  struct Restore {
    bool masked;
    const sigset_t* before;
    ~Restore() {
      if (masked) pthread_sigmask(SIG_SETMASK, before, nullptr);
    }
  } restore{masked, &before};
  return std::thread(std::forward<F>(body));
}

}  // namespace recall_mesh::persist
