#include "document.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "byte_source.h"
#include "document_reader.h"
#include "document_writer.h"
#include "file_replace.h"
#include "interrupt.h"

namespace recall_mesh::persist {

std::optional<Error> save_to_json(const store::AdjacencyMap& adj, std::string_view path) {
  FileReplacement file;
  if (std::optional<Error> e = file.open(path)) return e;
  // Entries take about 250 bytes each; a short guess only leaves the rest to grow.
  constexpr std::size_t kEntryGuess = 240;
  file.reserve(adj.edge_count() * kEntryGuess);
  FdSink sink(file.fd());
  if (!write_document(adj, sink)) return save_error(sink.error());
  return file.commit(sink.written());
}

namespace {

// The document as text; false when the host's check stopped it (only when `interruptible`).
bool write_text(const store::AdjacencyMap& adj, bool interruptible, std::string& text) {
  text.reserve(document_size_bound(adj));
  StringSink sink(text, interruptible);
  return write_document(adj, sink) || !sink.stopped();
}

}  // namespace

std::variant<std::string, Error> to_json_str(const store::AdjacencyMap& adj) {
  std::string text;
  if (!write_text(adj, true, text)) return stopped_error();
  return text;
}

std::string document_text(const store::AdjacencyMap& adj) {
  std::string text;
  write_text(adj, false, text);
  return text;
}

std::variant<store::AdjacencyMap, Error> load_from_json(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return nul_in_path_error();
  }
  const std::string name(path);
  const int fd = open_file(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return open_error(errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  FileSource source(fd);
  std::variant<store::AdjacencyMap, Error> result = read_document(source);
  if (source.error() == kStopped) return stopped_error();
  return result;
}

}  // namespace recall_mesh::persist
