#include "name_hash.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <xxhash.h>

namespace recall_mesh::store {
namespace {

struct Secret {
  alignas(64) unsigned char bytes[XXH3_SECRET_DEFAULT_SIZE];

  Secret() noexcept {
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
    XXH3_generateSecret(bytes, sizeof bytes, seed.data(), seed.size());
  }
};

const Secret& process_secret() noexcept {
  static const Secret secret;
  return secret;
}

}  // namespace

std::uint64_t hash_name(std::string_view text) noexcept {
  const Secret& secret = process_secret();
  return XXH3_64bits_withSecret(text.data(), text.size(), secret.bytes, sizeof secret.bytes);
}

}  // namespace recall_mesh::store
