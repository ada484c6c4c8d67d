// A keyed 128-bit hash of short texts: SipHash-2-4 with its 128-bit output.
// Internal to the library (not installed).
//
// The decisions' shared memo identifies a remembered object by this hash of
// its path alone, under a key drawn at random once per process, and keeps
// no copy of the path to compare. Two paths are taken for one only when
// their hashes agree in 92 bits (see SharedMemo); without the key, which
// never leaves the process, nobody can choose a path to make that happen,
// and by chance it happens once in 2^92 questions or so. Comparing a
// stored copy instead would cost a warm decision a second memory access on
// a large estate (the copy's line, on top of the slot's).
//
// Caveats: pure functions; daProcessHashKey is thread-safe (a function-local
// static). No call throws.

#ifndef GXCORE_DB_DAKEYEDHASH_H
#define GXCORE_DB_DAKEYEDHASH_H

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

struct daHashKey {
  std::uint64_t k0 = 0, k1 = 0;
};

struct daHash128 {
  std::uint64_t lo = 0, hi = 0;  // the output's first and last eight bytes, little-endian
  bool operator==(daHash128 const&) const = default;
};

// The process's key: 128 random bits from the kernel, drawn at the first
// call. Should the kernel refuse them (no getrandom, no /dev/urandom), the
// key mixes the clock, the process id and addresses of this process: an
// outsider can still not choose colliding paths without reading the
// process's memory.
daHashKey const& daProcessHashKey();

// SipHash-2-4-128 of text under key.
inline daHash128 daKeyedHash(daHashKey const& key, std::string_view text) {
  std::uint64_t v0 = key.k0 ^ 0x736f6d6570736575ull, v1 = key.k1 ^ 0x646f72616e646f6dull ^ 0xee,
                v2 = key.k0 ^ 0x6c7967656e657261ull, v3 = key.k1 ^ 0x7465646279746573ull;
  auto round = [&] {
    v0 += v1, v1 = std::rotl(v1, 13), v1 ^= v0, v0 = std::rotl(v0, 32);
    v2 += v3, v3 = std::rotl(v3, 16), v3 ^= v2;
    v0 += v3, v3 = std::rotl(v3, 21), v3 ^= v0;
    v2 += v1, v1 = std::rotl(v1, 17), v1 ^= v2, v2 = std::rotl(v2, 32);
  };
  auto absorb = [&](std::uint64_t m) {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  };
  char const* p = text.data();
  size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t m;
    std::memcpy(&m, p, 8);
    if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
    absorb(m);
  }
  std::uint64_t last = std::uint64_t{text.size() & 0xFF} << 56;
  for (size_t i = 0; i < n; ++i) last |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  absorb(last);
  v2 ^= 0xee;
  for (int i = 0; i < 4; ++i) round();
  daHash128 out;
  out.lo = v0 ^ v1 ^ v2 ^ v3;
  v1 ^= 0xdd;
  for (int i = 0; i < 4; ++i) round();
  out.hi = v0 ^ v1 ^ v2 ^ v3;
  return out;
}

#endif
