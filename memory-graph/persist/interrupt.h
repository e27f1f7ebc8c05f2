// Stopping a blocked file operation: a read from a pipe whose writer sends nothing, a write
// to one whose reader stalls, or the open of a pipe with no other end waits for ever unless
// a signal interrupts it. The document's own opens, reads and writes go through
// open_file(), read_file() and write_file(), which ask the host's check, when a signal
// interrupts them (EINTR), whether to stop or to make the call again. Calls that cannot
// wait on another process (fsync, rename, the directory's open, a setting read from /proc)
// are made directly. The binding installs the check when the module is first imported.
// Persist layer only.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace recall_mesh::persist {

/// True when the host wants the running operation to stop; the host keeps its own record
/// of why (the binding leaves the exception a signal handler raised).
using InterruptCheck = bool (*)() noexcept;

/// Installs the host's check; null (the default) retries every interrupted call.
void set_interrupt_check(InterruptCheck check) noexcept;

/// Asks the host's check whether to stop the running operation, for long work that no
/// signal interrupts (reading, writing or formatting a large document of a regular file);
/// false when no check is installed. Called every megabyte or so, which costs nothing
/// measurable and lets a stop land within milliseconds.
bool stop_requested() noexcept;

/// The errno value an operation that stopped on the host's request carries to its error;
/// no system call sets it. Errors made from it have kind kInterrupted.
inline constexpr int kStopped = -1;

/// open(2), made again when a signal interrupts it unless the host asks to stop, in which
/// case it returns -1 with errno kStopped.
int open_file(const char* path, int flags, mode_t mode = 0) noexcept;

/// read(2) and write(2), made again in the same way.
ssize_t read_file(int fd, void* buf, std::size_t size) noexcept;
ssize_t write_file(int fd, const void* buf, std::size_t size) noexcept;

}  // namespace recall_mesh::persist
