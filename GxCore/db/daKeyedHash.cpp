#include "GxCore/db/daKeyedHash.h"

#include <sys/random.h>
#include <unistd.h>

#include <chrono>

namespace {

daHashKey drawKey() {
  daHashKey key;
  std::uint64_t words[2] = {};
  char* at = reinterpret_cast<char*>(words);
  size_t got = 0;
  while (got < sizeof(words)) {
    ssize_t const n = ::getrandom(at + got, sizeof(words) - got, 0);
    if (n <= 0) break;  // interrupted or unsupported: fall back below
    got += static_cast<size_t>(n);
  }
  if (got < sizeof(words)) {
    auto const now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    auto const wall = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    // Scrambled through the hash itself under a fixed key.
    std::uint64_t const seed[4] = {now, wall, static_cast<std::uint64_t>(::getpid()),
                                   reinterpret_cast<std::uintptr_t>(&key) ^ reinterpret_cast<std::uintptr_t>(&drawKey)};
    daHash128 const h = daKeyedHash(daHashKey{words[0], words[1]},
                                    std::string_view(reinterpret_cast<char const*>(seed), sizeof(seed)));
    words[0] ^= h.lo;
    words[1] ^= h.hi;
  }
  key.k0 = words[0];
  key.k1 = words[1];
  return key;
}

}  // namespace

daHashKey const& daProcessHashKey() {
  static daHashKey const key = drawKey();
  return key;
}
