#include "byte_source.h"

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

std::string_view FileSource::next() {
  while (!done_) {
    const ssize_t n = read_file(fd_, buf_.get(), kBufferSize);
    if (n > 0) return {buf_.get(), static_cast<std::size_t>(n)};
    if (n < 0) error_ = errno;
    done_ = true;
  }
  return {};
}

}  // namespace recall_mesh::persist
