// Where the reader's bytes come from: a file descriptor read through an 8192-byte buffer,
// or bytes already in memory (tests and the fuzzer). Persist layer only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
};

/// Bytes in memory, handed out in pieces of at most `piece` bytes (all at once by default;
/// small pieces let tests cross piece boundaries anywhere).
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes, std::size_t piece = SIZE_MAX) noexcept
      : rest_(bytes), piece_(piece == 0 ? 1 : piece) {}
  std::string_view next() override;

 private:
  std::string_view rest_;
  std::size_t piece_;
};

/// An open file descriptor, read to its end. Does not close it. A read the host stops
/// (interrupt.h) ends the input with error() kStopped.
class FileSource final : public ByteSource {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  explicit FileSource(int fd) : fd_(fd), buf_(std::make_unique<char[]>(kBufferSize)) {}
  std::string_view next() override;
  int error() const noexcept override { return error_; }

 private:
  int fd_;
  int error_ = 0;
  bool done_ = false;
  std::unique_ptr<char[]> buf_;  // on the heap: the caller's thread may have a small stack
};

}  // namespace recall_mesh::persist
