#include "error.h"

#include <array>
#include <cerrno>

#include "document_format.h"
#include "interrupt.h"
#include "os_error.h"

namespace recall_mesh::persist {
namespace {

constexpr std::array<std::string_view, 8> kPrefixes = {
    "",                                // kOpen: the system's text alone
    "",                                // kNulInPath
    "Failed to load graph: ",          // kLoad
    "",                                // kTooNew: a sentence of its own
    "Failed to parse graph: ",         // kParseGraph
    "Failed to parse legacy graph: ",  // kParseLegacy
    "Failed to save graph: ",          // kSave
    "",                                // kInterrupted
};
static_assert(kPrefixes.size() == static_cast<std::size_t>(ErrorKind::kInterrupted) + 1,
              "one prefix per kind");

}  // namespace

std::string_view error_prefix(ErrorKind kind) noexcept {
  return kPrefixes[static_cast<std::size_t>(kind)];
}

Error make_error(ErrorKind kind, std::string_view detail) {
  std::string message(error_prefix(kind));
  message.append(detail);
  return Error{kind, 0, std::move(message)};
}

Error open_error(int err) {
  if (err == kStopped) return stopped_error();
  Error e = make_error(ErrorKind::kOpen, os_error_text(err));
  e.os_errno = err;
  return e;
}

Error save_error(int err) {
  if (err == kStopped) return stopped_error();
  return make_error(ErrorKind::kSave, os_error_text(err));
}

Error read_error(int err) {
  if (err == kStopped) return stopped_error();
  return make_error(ErrorKind::kLoad, os_error_text(err));
}

Error stopped_error() {
  Error e = make_error(ErrorKind::kInterrupted, os_error_text(EINTR));
  e.os_errno = EINTR;
  return e;
}

Error nul_in_path_error() {
  return make_error(ErrorKind::kNulInPath, "file name contained an unexpected NUL byte");
}

Error too_new_error(std::uint64_t version) {
  return make_error(ErrorKind::kTooNew, "Graph v" + std::to_string(version) +
                                            " is newer than engine v" +
                                            std::to_string(kDocumentVersion) + ". Please update.");
}

}  // namespace recall_mesh::persist
