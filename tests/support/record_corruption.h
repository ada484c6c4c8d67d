// Test helpers for the database forms: round trips through a store file
// and decoders given damaged records.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "GxCore/daStoreObject.h"
#include "GxCore/db/daLocalStore.h"
#include "outside/hxasn.h"
#include "test_support.h"

namespace gxtest {

// The bytes a writer produced; the writer's buffer is freed.
inline std::vector<unsigned char> finishBytes(HxBerWriter& w) {
  hx_asn_buffer_t b{};
  EXPECT_EQ(w.finish(b), 0u);
  std::vector<unsigned char> out(b.data, b.data + b.length);
  hx_asn_buffer_free(b);
  return out;
}

// A fresh writable store file for round trips of the database forms.
class RecordFile {
 public:
  RecordFile() : store_("recordtest", dir_.file("records.db").c_str()) {
    unsigned long st = 0;
    store_.createStore(st);
    EXPECT_EQ(st, 0u);
    store_.openStore(0, st);
    EXPECT_EQ(st, 0u);
  }
  daLocalStore& store() { return store_; }

  // Encodes obj in its database form, stores the record under key, reads
  // it back and decodes it through the type dispatch. Null (and a test
  // failure) when a step fails.
  std::unique_ptr<daStoreObject> roundTrip(daStoreObject& obj, GxObjectName const& key) {
    unsigned long st = 0, seq = 0;
    gxobj_t rec{};
    obj.encode(rec, st);
    EXPECT_EQ(st, 0u) << "encoding " << key.getChars();
    if (st != 0) return nullptr;
    uint32_t type = rec.type;
    store_.setObject(key, rec, seq, st);
    hxAsnFreeObj(rec);
    EXPECT_EQ(st, 0u) << "storing " << key.getChars();
    gxobj_t back{};
    store_.getObject(key, back, seq, st);
    EXPECT_EQ(st, 0u) << "reading " << key.getChars();
    EXPECT_EQ(back.type, type);
    daStoreObject* decoded = nullptr;
    if (st == 0) daStoreObject::decode(back, &decoded, st);
    hxAsnFreeObj(back);
    EXPECT_EQ(st, 0u) << "decoding " << key.getChars();
    return std::unique_ptr<daStoreObject>(decoded);
  }

 private:
  TempDir dir_;
  daLocalStore store_;
};

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

// The bytes of obj's database form; a test failure when encoding fails or,
// with type given, when the record is not of that type.
inline std::vector<unsigned char> encodedRecord(daStoreObject& obj, uint32_t type = 0) {
  gxobj_t rec{};
  unsigned long st = 1;
  obj.encode(rec, st);
  EXPECT_EQ(st, 0u);
  if (type != 0) EXPECT_EQ(rec.type, type);
  std::vector<unsigned char> bytes(rec.data, rec.data + rec.length);
  hxAsnFreeObj(rec);
  return bytes;
}

}  // namespace gxtest
