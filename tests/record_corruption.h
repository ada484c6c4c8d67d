// Test helpers for decoders given damaged records.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "GxCore/daStoreObject.h"
#include "test_support.h"

namespace gxtest {

// Decodes an exact-size heap copy of the first n bytes as a record of the
// given type through the type dispatch, so that ASan sees any read past the
// record. out holds the object built, if any.
inline unsigned long decodeBytes(std::vector<unsigned char> const& bytes, size_t n, uint32_t type,
                                 std::unique_ptr<daStoreObject>& out) {
  auto* data = static_cast<unsigned char*>(std::malloc(n ? n : 1));
  std::memcpy(data, bytes.data(), n);
  gxobj_t rec{nullptr, 0, type, static_cast<uint32_t>(n), data};
  daStoreObject* obj = reinterpret_cast<daStoreObject*>(0x1);
  unsigned long st = 0;
  daStoreObject::decode(rec, &obj, st);
  std::free(data);
  out.reset(obj);
  return st;
}

// The whole encoding decodes; every truncation of it is refused with a
// status and no object.
inline void expectTruncationsRefused(std::vector<unsigned char> const& good, uint32_t type) {
  MessageCapture quiet;  // failed decodes are logged
  std::unique_ptr<daStoreObject> obj;
  ASSERT_EQ(decodeBytes(good, good.size(), type, obj), 0u);
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_NE(decodeBytes(good, n, type, obj), 0u) << n;
    EXPECT_EQ(obj, nullptr) << n;
  }
}

// Truncations refused as above; seeded random byte flips either decode or
// fail cleanly.
inline void expectCorruptionRefused(std::vector<unsigned char> const& good, uint32_t type, unsigned seed,
                                    int rounds = 2000) {
  expectTruncationsRefused(good, type);
  MessageCapture quiet;
  std::unique_ptr<daStoreObject> obj;
  std::mt19937 rng(seed);
  for (int round = 0; round < rounds; ++round) {
    std::vector<unsigned char> bad = good;
    for (int f = 1 + static_cast<int>(rng() % 3); f > 0; --f)
      bad[rng() % bad.size()] ^= static_cast<unsigned char>(1 + rng() % 255);
    unsigned long st = decodeBytes(bad, bad.size(), type, obj);
    EXPECT_EQ(st == 0, obj != nullptr);
  }
}

}  // namespace gxtest
