// Writing the graph document: one compact, canonical JSON text per store. Members of every
// object come in ascending byte order of their keys, so the text never depends on the
// order of the store's maps. Persist layer only; document.h wraps it for files and strings.
#pragma once

#include <cstddef>
#include <string>

#include "store/adjacency_map.h"

namespace recall_mesh::persist {

/// Where written bytes go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  /// Takes `size` bytes; false when they could not be taken (the sink keeps the reason).
  virtual bool write(const char* data, std::size_t size) = 0;
};

/// Appends to a string it does not own. Every few megabytes it asks the host's check
/// whether to stop (interrupt.h) when `interruptible`, and refuses the bytes if so.
class StringSink final : public ByteSink {
 public:
  explicit StringSink(std::string& out, bool interruptible = false)
      : out_(out), interruptible_(interruptible) {}
  bool write(const char* data, std::size_t size) override;
  bool stopped() const noexcept { return stopped_; }

 private:
  static constexpr std::size_t kPollStep = std::size_t{4} << 20;

  std::string& out_;
  bool interruptible_;
  bool stopped_ = false;
  std::size_t unpolled_ = 0;  // bytes taken since the check was last asked
};

/// Streams the document of `adj` into `sink` through a 64 KiB buffer, sorting keys one
/// level at a time. Returns false once the sink refuses bytes; what reached it is then a
/// prefix of the document.
bool write_document(const store::AdjacencyMap& adj, ByteSink& sink);

/// A size the document of `adj` never exceeds, found without formatting it: reserving it
/// lets a text grow without copies, and pages it never touches cost no memory.
std::size_t document_size_bound(const store::AdjacencyMap& adj);

}  // namespace recall_mesh::persist
