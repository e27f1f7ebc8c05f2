// Where the reader's bytes come from: a file descriptor read through a buffer of a
// mebibyte, or bytes already in memory (tests and the fuzzer). Persist layer only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <sys/types.h>
#include <string_view>

namespace recall_mesh::persist {

/// A sequence of bytes handed out in pieces.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  /// The next piece: never empty until the input ends or a read fails, and empty from then
  /// on. Its bytes stay valid until the next call.
  virtual std::string_view next() = 0;
  /// The errno of the read that failed, or 0.
  virtual int error() const noexcept { return 0; }
  /// Whether rewind() can start the bytes again (a regular file can, a pipe cannot).
  virtual bool rewindable() const noexcept { return false; }
  /// Starts the bytes again from the first; false when that failed (error() says why).
  virtual bool rewind() { return false; }
};

/// Bytes in memory, handed out in pieces of at most `piece` bytes (all at once by default;
/// small pieces let tests cross piece boundaries anywhere).
class MemorySource final : public ByteSource {
 public:
  /// `rewindable` false stands for a source that can be read only once, such as a pipe.
  explicit MemorySource(std::string_view bytes, std::size_t piece = SIZE_MAX,
                        bool rewindable = true) noexcept
      : bytes_(bytes), rest_(bytes), piece_(piece == 0 ? 1 : piece), rewindable_(rewindable) {}
  std::string_view next() override;
  bool rewindable() const noexcept override { return rewindable_; }
  bool rewind() override {
    rest_ = bytes_;
    return rewindable_;
  }

 private:
  std::string_view bytes_;
  std::string_view rest_;
  std::size_t piece_;
  bool rewindable_;
};

/// An open file descriptor, read to its end from where it stands. Does not close it.
/// Between reads it asks the host's check whether to stop (interrupt.h), so a long read of
/// a large file can be interrupted; a read the host stopped ends the input with error()
/// kStopped.
class FileSource final : public ByteSource {
 public:
  // Large reads: at 8192 bytes a read, the system calls cost more than the parse of what
  // they bring.
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  explicit FileSource(int fd);
  std::string_view next() override;
  int error() const noexcept override { return error_; }
  bool rewindable() const noexcept override { return start_ >= 0; }
  bool rewind() override;

 private:
  int fd_;
  int error_ = 0;
  bool done_ = false;
  off_t start_ = -1;             // where a regular file was first read from; -1 for other files
  std::unique_ptr<char[]> buf_;  // on the heap: the caller's thread may have a small stack
};

}  // namespace recall_mesh::persist
