// libFuzzer target for the document reader: any bytes, read whole, in small pieces and by
// the general reader alone (a source that cannot be read twice skips the fast reader of
// the writer's own form), must give the same outcome; whatever loads must write a
// document that reads back and writes the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "byte_source.h"
#include "document.h"
#include "document_reader.h"

namespace {

using recall_mesh::persist::ByteSource;
using recall_mesh::persist::Error;
using recall_mesh::persist::MemorySource;
using recall_mesh::store::AdjacencyMap;

// The error message, or the document that the loaded store writes.
std::string outcome(ByteSource& source) {
  auto result = recall_mesh::persist::read_document(source);
  if (const Error* e = std::get_if<Error>(&result)) return "error: " + e->message;
  return recall_mesh::persist::document_text(std::get<AdjacencyMap>(result));
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  MemorySource whole(bytes);
  const std::string first = outcome(whole);
  MemorySource pieces(bytes, 1 + size % 13);
  check(outcome(pieces) == first);
  MemorySource general(bytes, 1 + size % 5, false);
  check(outcome(general) == first);
  if (first.rfind("error: ", 0) == 0) return 0;

  MemorySource again(first);
  check(outcome(again) == first);
  MemorySource again_general(first, SIZE_MAX, false);
  check(outcome(again_general) == first);
  return 0;
}
