// The text of an operating-system error as every persist message shows it:
// "No such file or directory (os error 2)". Persist layer only.
#pragma once

#include <string>

namespace recall_mesh::persist {

/// The C library's description of `err` followed by " (os error <err>)".
std::string os_error_text(int err);

}  // namespace recall_mesh::persist
