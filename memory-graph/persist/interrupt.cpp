#include "interrupt.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>

namespace recall_mesh::persist {
namespace {

std::atomic<InterruptCheck> g_check{nullptr};

}  // namespace

void set_interrupt_check(InterruptCheck check) noexcept {
  g_check.store(check, std::memory_order_relaxed);
}

bool stop_on_interrupt() noexcept {
  const InterruptCheck check = g_check.load(std::memory_order_relaxed);
  return check != nullptr && check();
}

int open_file(const char* path, int flags, mode_t mode) noexcept {
  for (;;) {
    const int fd = ::open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
    if (stop_on_interrupt()) {
      errno = kStopped;
      return -1;
    }
  }
}

}  // namespace recall_mesh::persist
