#include "interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace recall_mesh::persist {
namespace {

std::atomic<InterruptCheck> g_check{nullptr};

// For a system call that failed with EINTR: true when the operation is to stop, false
// when the call is to be made again.
bool stop_on_interrupt() noexcept {
  const InterruptCheck check = g_check.load(std::memory_order_relaxed);
  return check != nullptr && check();
}

// Makes `call` again while a signal interrupts it, unless the host asks to stop: then -1
// with errno kStopped.
template <class Call>
auto retrying(Call call) noexcept {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
    if (stop_on_interrupt()) {
      errno = kStopped;
      return static_cast<decltype(call())>(-1);
    }
  }
}

}  // namespace

bool stop_requested() noexcept {
  return stop_on_interrupt();
}

void set_interrupt_check(InterruptCheck check) noexcept {
  g_check.store(check, std::memory_order_relaxed);
}

int open_file(const char* path, int flags, mode_t mode) noexcept {
  return retrying([&] { return ::open(path, flags, mode); });
}

ssize_t read_file(int fd, void* buf, std::size_t size) noexcept {
  return retrying([&] { return ::read(fd, buf, size); });
}

ssize_t write_file(int fd, const void* buf, std::size_t size) noexcept {
  return retrying([&] { return ::write(fd, buf, size); });
}

}  // namespace recall_mesh::persist
