#include "background_sink.h"

#include <system_error>
#include <utility>

#include "quiet_thread.h"

namespace recall_mesh::persist {

BackgroundSink::BackgroundSink(ByteSink& out) : out_(out) {
  filling_.reserve(kBlock);
  writing_.reserve(kBlock);
  try {
    writer_ = start_quiet_thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread to be had: write in the caller's thread.
  }
}

BackgroundSink::~BackgroundSink() {
  if (!writer_.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

bool BackgroundSink::write(const char* data, std::size_t size) {
  if (!writer_.joinable()) {
    if (failed_) return false;
    failed_ = !out_.write(data, size);
    return !failed_;
  }
  while (size != 0) {
    const std::size_t room = kBlock - filling_.size();
    const std::size_t n = size < room ? size : room;
    filling_.insert(filling_.end(), data, data + n);
    data += n;
    size -= n;
    if (filling_.size() == kBlock && !hand_over()) return false;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  return !failed_;
}

bool BackgroundSink::hand_over() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !pending_; });
  if (failed_) return false;
  std::swap(filling_, writing_);
  filling_.clear();
  pending_ = true;
  lock.unlock();
  changed_.notify_all();
  return true;
}

bool BackgroundSink::finish() {
  if (!writer_.joinable()) return !failed_;
  if (!filling_.empty() && !hand_over()) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !pending_; });
  return !failed_;
}

void BackgroundSink::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return pending_ || stopping_; });
    if (!pending_) return;  // stopping, with nothing left to write
    // After a failure the rest is dropped: the document is lost either way, and `out_`
    // keeps the first error.
    const bool skip = failed_;
    lock.unlock();
    const bool ok = skip || out_.write(writing_.data(), writing_.size());
    lock.lock();
    failed_ = failed_ || !ok;
    pending_ = false;
    changed_.notify_all();
  }
}

}  // namespace recall_mesh::persist
