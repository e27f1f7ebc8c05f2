// Stopping a blocked file operation: a read from a pipe whose writer sends nothing, a write
// to one whose reader stalls, or the open of a pipe with no other end waits for ever unless
// a signal interrupts it. Every system call of persist that a signal interrupts (EINTR) asks
// the host's check whether to stop or to retry. The binding installs the check once; the
// rest of persist only calls stop_on_interrupt() and open_file(). Persist layer only.
#pragma once

#include <sys/types.h>

namespace recall_mesh::persist {

/// True when the host wants the running operation to stop; the host keeps its own record
/// of why (the binding leaves the exception a signal handler raised).
using InterruptCheck = bool (*)() noexcept;

/// Installs the host's check; null (the default) retries every interrupted call.
void set_interrupt_check(InterruptCheck check) noexcept;

/// For a system call that failed with EINTR: true when the operation is to stop, false
/// when the call is to be made again.
bool stop_on_interrupt() noexcept;

/// The errno value an operation that stopped on the host's request carries to its error;
/// no system call sets it. Errors made from it have kind kInterrupted.
inline constexpr int kStopped = -1;

/// open(2), made again when a signal interrupts it unless the host asks to stop, in which
/// case it returns -1 with errno kStopped.
int open_file(const char* path, int flags, mode_t mode = 0) noexcept;

}  // namespace recall_mesh::persist
