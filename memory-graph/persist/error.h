// How persistence fails: the kinds of failure, each with the start of its message in one
// table, and the functions that make them. The binding turns an Error into the matching
// Python exception. Persist layer only; any persist file may include it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace recall_mesh::persist {

enum class ErrorKind : std::uint8_t {
  kOpen,         // the file could not be opened; os_errno says why
  kNulInPath,    // the path holds a NUL byte
  kLoad,         // the bytes are no JSON document, or reading them failed
  kTooNew,       // the document's version is newer than this engine's
  kParseGraph,   // a versioned document whose graph does not convert
  kParseLegacy,  // a legacy document that does not convert
  kSave,         // writing or flushing the new file failed
  kInterrupted,  // the host's interrupt check asked to stop (interrupt.h); its reason stands
};

struct Error {
  ErrorKind kind;
  int os_errno = 0;  // for kOpen and kInterrupted
  // The exception's whole message, e.g. "No such file or directory (os error 2)".
  std::string message;
};

/// The text every message of `kind` begins with ("Failed to load graph: "), or "".
std::string_view error_prefix(ErrorKind kind) noexcept;

/// An error of `kind` whose message is its prefix followed by `detail`.
Error make_error(ErrorKind kind, std::string_view detail);

/// Opening failed with `err`; kStopped (interrupt.h) makes the stopped error instead.
Error open_error(int err);
/// Writing the new file failed with `err`; kStopped makes the stopped error instead.
Error save_error(int err);
/// A read of the document failed with `err`.
Error read_error(int err);
/// The host's check asked to stop.
Error stopped_error();
/// A path holds a NUL byte.
Error nul_in_path_error();
/// The document's version is beyond kDocumentVersion.
Error too_new_error(std::uint64_t version);

}  // namespace recall_mesh::persist
