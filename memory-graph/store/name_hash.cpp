#include "name_hash.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace recall_mesh::store {

namespace detail {
alignas(64) unsigned char name_secret[XXH3_SECRET_DEFAULT_SIZE];
}  // namespace detail

namespace {

// Draws the key into detail::name_secret. It runs while the library is loaded, so the
// key is in place before anything can hash a name, and hashing needs no guard check.
struct DrawSecret {
  DrawSecret() noexcept {
    std::array<unsigned char, 64> seed{};
    std::size_t got = 0;
    while (got < seed.size()) {
      ssize_t n = getrandom(seed.data() + got, seed.size() - got, 0);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        break;
      }
    }
    if (got < seed.size()) {
      // No entropy source at all is not expected on Linux; fall back to the clock and an
      // address so the key still differs between processes.
      auto now = std::chrono::steady_clock::now().time_since_epoch().count();
      const void* where = this;
      std::memcpy(seed.data(), &now, sizeof now);
      std::memcpy(seed.data() + sizeof now, &where, sizeof where);
    }
    XXH3_generateSecret(detail::name_secret, sizeof detail::name_secret, seed.data(), seed.size());
  }
};

const DrawSecret draw_secret;

}  // namespace

}  // namespace recall_mesh::store
