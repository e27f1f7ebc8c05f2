#include "name_hash.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace recall_mesh::store {

namespace detail {
alignas(64) unsigned char name_secret[XXH3_SECRET_DEFAULT_SIZE];
std::uint64_t id_key = 0;
}  // namespace detail

namespace {

// Draws the keys into detail::name_secret and detail::id_key. It runs while the library is loaded,
// so the key is in place before anything can hash a name, and hashing needs no guard check.
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
    // The id key comes from the same seed through the new secret.
    detail::id_key =
        XXH3_64bits_withSecret("id key", 6, detail::name_secret, sizeof detail::name_secret);
  }
};

const DrawSecret draw_secret;

}  // namespace

}  // namespace recall_mesh::store
