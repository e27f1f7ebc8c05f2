// A sink that hands its bytes to a second thread for writing, so the system calls that
// copy a large document into the file overlap the formatting of the rest. Persist layer
// only.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "document_writer.h"

namespace recall_mesh::persist {

/// Stages bytes in blocks of kBlock and passes each full block to a writer thread, which
/// writes it to `out` while the next block fills. When no thread can be started it writes
/// in the caller's thread instead: slower, never wrong.
class BackgroundSink final : public ByteSink {
 public:
  static constexpr std::size_t kBlock = std::size_t{1} << 20;

  explicit BackgroundSink(ByteSink& out);
  /// Waits for the writer thread; finish() first to learn whether everything was written.
  ~BackgroundSink() override;
  BackgroundSink(const BackgroundSink&) = delete;
  BackgroundSink& operator=(const BackgroundSink&) = delete;

  /// Takes the bytes; false once a write has failed (later bytes are dropped).
  bool write(const char* data, std::size_t size) override;
  /// Writes what is staged and waits until the writer is done; false when any write
  /// failed, in which case `out` holds the reason.
  bool finish();

 private:
  bool hand_over();  // passes the filling block to the writer; false after a failure
  void run();        // the writer thread

  ByteSink& out_;
  std::vector<char> filling_;
  std::vector<char> writing_;  // the writer's block while `pending_`
  std::mutex mutex_;
  std::condition_variable changed_;
  bool pending_ = false;  // `writing_` waits for, or is in, the writer
  bool stopping_ = false;
  bool failed_ = false;
  std::thread writer_;  // not joinable when writes happen in the caller's thread
};

}  // namespace recall_mesh::persist
