#include "byte_source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "interrupt.h"

namespace recall_mesh::persist {

std::string_view MemorySource::next() {
  const std::string_view piece = rest_.substr(0, std::min(piece_, rest_.size()));
  rest_.remove_prefix(piece.size());
  return piece;
}

FileSource::FileSource(int fd) : fd_(fd), buf_(std::make_unique<char[]>(kBufferSize)) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) start_ = ::lseek(fd, 0, SEEK_CUR);
}

bool FileSource::rewind() {
  if (start_ < 0) return false;
  if (::lseek(fd_, start_, SEEK_SET) != start_) {
    error_ = errno;
    done_ = true;
    return false;
  }
  error_ = 0;
  done_ = false;
  return true;
}

std::string_view FileSource::next() {
  while (!done_) {
    if (stop_requested()) {
      error_ = kStopped;
      done_ = true;
      break;
    }
    const ssize_t n = read_file(fd_, buf_.get(), kBufferSize);
    if (n > 0) return {buf_.get(), static_cast<std::size_t>(n)};
    if (n < 0) error_ = errno;
    done_ = true;
  }
  return {};
}

}  // namespace recall_mesh::persist
