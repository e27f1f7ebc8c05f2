#include "os_error.h"

#include <cstring>

namespace recall_mesh::persist {

std::string os_error_text(int err) {
  char buf[256];
  // The GNU strerror_r returns the text, in buf or in static storage.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace recall_mesh::persist
