// BER writer/reader, the database header codec and the attribute object
// (values, name tracking, record form), including decoding hostile bytes.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "outside/HXObject.h"
#include "outside/hxasn.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes take(hx_asn_buffer_t& b) {
  Bytes out(b.data, b.data + b.length);
  hx_asn_buffer_free(b);
  return out;
}
template <class Fill>
Bytes write(Fill fill) {
  HxBerWriter w;
  fill(w);
  hx_asn_buffer_t b{};
  EXPECT_EQ(w.finish(b), 0u);
  return take(b);
}
HxBerReader reader(Bytes const& b) { return HxBerReader(b.data(), static_cast<uint32_t>(b.size())); }

// Decoders get an exact-size heap copy of the first n bytes, so that ASan
// sees any overread.
struct Heap {
  explicit Heap(Bytes const& in, size_t n = SIZE_MAX) : b{static_cast<uint32_t>(std::min(n, in.size())), nullptr} {
    b.data = static_cast<unsigned char*>(std::malloc(b.length + 1));
    std::copy(in.begin(), in.begin() + b.length, b.data);
  }
  ~Heap() { hx_asn_buffer_free(b); }
  hx_asn_buffer_t b;
};
unsigned long decodeObject(Bytes const& in, HXObject& o, size_t n = SIZE_MAX) {
  Heap heap(in, n);
  gxobj_t rec{nullptr, 0, 0, heap.b.length, heap.b.data};
  unsigned long s = 1;
  o.decode(rec, s);
  return s;
}
Bytes encodeObject(HXObject const& o) {
  hx_asn_buffer_t b{};
  unsigned long s = 1;
  o.encode(b, s);
  EXPECT_EQ(s, 0u);
  return take(b);
}

// Every value of every set, typed and in order.
std::string dump(HXObject const& o) {
  std::string out;
  for (auto const& q : o.qualifiers())
    for (auto const& n : o.attributeNames(q.c_str())) {
      out += "[" + q + "]" + n + ":";
      for (unsigned i = 0; i < o.length(n.c_str(), q.c_str()); ++i) {
        unsigned long st = 0;
        if (auto const* s = o.getStringValue(n.c_str(), i, q.c_str())) out += "s'" + s->str() + "',";
        else if (unsigned v = o.integerValue(n.c_str(), i, q.c_str(), &st); st == 0) out += std::to_string(v) + ",";
        else out += o.booleanValue(n.c_str(), i, q.c_str()) ? "T," : "F,";
      }
      out += "\n";
    }
  return out;
}

HXObject sample(unsigned manyValues) {
  HXObject o("/auth/pop/p1");
  o.addStringValue("description", "", nullptr);
  o.addStringValue("utf8", "Gr\xC3\xBC\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC", nullptr);
  for (unsigned v : {0u, 127u, 128u, 0x7FFFFFFFu, 0xFFFFFFFFu}) o.addIntegerValue("count", v, nullptr);
  o.addBooleanValue("flag", true, nullptr);
  o.addBooleanValue("flag", false, nullptr);
  o.addStringValue("name", "inner", "q1");
  o.addIntegerValue("mixed", 7, "q1");
  o.addBooleanValue("mixed", true, "q1");
  o.addStringValue("", "empty attribute name", "\xC3\xA9t\xC3\xA9");
  for (unsigned i = 0; i < manyValues; ++i) {
    if (i % 3 == 0) o.addStringValue("many", std::to_string(i).c_str(), "ext");
    else if (i % 3 == 1) o.addIntegerValue("many", i * 1000003u, "ext");
    else o.addBooleanValue("many", i % 2 == 0, "ext");
  }
  return o;
}

// ---- HxAsnCodec --------------------------------------------------------------

TEST(HxAsnCodec, HeaderRoundTripsWithItsWireFormAndRefusesDamagedInput) {
  hx_asn_buffer_t b{};
  ASSERT_EQ(hxAsnEncodeObj(b, gxobj_db_header_s_t{1, 2, 3}), 0u);
  EXPECT_EQ(take(b), (Bytes{0x30, 9, 2, 1, 1, 2, 1, 2, 2, 1, 3}));
  // The upper half of the uint32 range needs a leading zero byte.
  ASSERT_EQ(hxAsnEncodeObj(b, gxobj_db_header_s_t{0, 0xFFFFFFFFu, 0x80}), 0u);
  Bytes enc = take(b);
  EXPECT_EQ(enc, (Bytes{0x30, 14, 2, 1, 0, 2, 5, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 2, 0, 0x80}));
  gxobj_db_header_s_t h{9, 9, 9};
  ASSERT_EQ(hxAsnDecodeObj(Heap(enc).b, h), 0u);
  EXPECT_TRUE(h.seqnum == 0 && h.version == 0xFFFFFFFFu && h.flags == 0x80);

  Bytes const good{0x30, 9, 2, 1, 1, 2, 1, 2, 2, 1, 3};
  h = {7, 7, 7};
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_EQ(hxAsnDecodeObj(Heap(good, n).b, h), hx_asn_s_decode_failed) << n;
  for (Bytes bad : {Bytes{0x30, 9, 2, 1, 1, 2, 1, 2, 2, 1, 3, 0},               // trailing byte
                    Bytes{0x30, 9, 2, 1, 0xFF, 2, 1, 2, 2, 1, 3},               // -1
                    Bytes{0x30, 11, 2, 3, 1, 0, 0, 0, 0, 2, 1, 2, 2, 1, 3},     // 2^32
                    Bytes{0x30, 11, 2, 1, 1, 2, 1, 2, 2, 1, 3, 5, 0},           // extra element
                    Bytes{0x30, 9, 2, 1, 1, 4, 1, 2, 2, 1, 3}})                 // wrong tag
    EXPECT_EQ(hxAsnDecodeObj(Heap(bad).b, h), hx_asn_s_decode_failed);
  EXPECT_EQ(h.seqnum, 7u);  // untouched by every failure
}

TEST(HxAsnCodec, SequencesNestBoundedlyAndBalance) {
  Bytes deep = write([](HxBerWriter& w) {
    for (int i = 0; i < 40; ++i) w.beginSequence();
    for (int i = 0; i < 40; ++i) w.endSequence();
  });
  HxBerReader r = reader(deep);
  int opened = 0;
  while (r.beginSequence()) ++opened;
  EXPECT_EQ(opened, 32);
  Bytes const oneBool{0x30, 3, 1, 1, 0xFF};
  HxBerReader unread = reader(oneBool);
  ASSERT_TRUE(unread.beginSequence());
  EXPECT_FALSE(unread.endSequence());

  hx_asn_buffer_t b{};
  HxBerWriter open;
  open.beginSequence();
  EXPECT_EQ(open.finish(b), hx_asn_s_encode_failed);
  EXPECT_EQ(b.data, nullptr);
  HxBerWriter extraEnd;
  extraEnd.endSequence();
  extraEnd.putBool(true);
  EXPECT_EQ(extraEnd.finish(b), hx_asn_s_encode_failed);
}

// liblber reads the byte after an element it steps over; the decoders must
// not let it when the element ends the buffer. A guard page catches it.
TEST(HxAsnCodec, DecodersNeverReadPastTheBuffer) {
  size_t const page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto* map = static_cast<unsigned char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
  auto atEnd = [&](Bytes const& b) {
    return static_cast<unsigned char*>(std::memcpy(map + page - b.size(), b.data(), b.size()));
  };
  gxobj_db_header_s_t h{};
  EXPECT_EQ(hxAsnDecodeObj(hx_asn_buffer_t{11, atEnd(Bytes{0x30, 9, 2, 1, 1, 2, 1, 2, 2, 1, 3})}, h), 0u);
  EXPECT_TRUE(HxBerReader(atEnd(Bytes{0x30, 0}), 2).beginSequence());
  Bytes record = encodeObject(sample(0));
  gxobj_t rec{nullptr, 0, 0, static_cast<uint32_t>(record.size()), atEnd(record)};
  unsigned long s = 1;
  HXObject().decode(rec, s);
  EXPECT_EQ(s, 0u);
  munmap(map, 2 * page);
}

TEST(HxAsnCodec, RecordsOverTheSizeCapAreRefused) {
  // The cap is checked before a byte is read: the short buffer is never touched.
  unsigned char small[2] = {0x30, 0};
  EXPECT_FALSE(HxBerReader(small, gxobj_max_encoded_length + 1).ok());
  gxobj_t rec{nullptr, 0, 0, gxobj_max_encoded_length + 1, small};
  unsigned long s = 0;
  HXObject().decode(rec, s);
  EXPECT_EQ(s, hx_obj_s_bad_record);

  // One OCTET STRING of the whole cap: 6 bytes of tag and length, then contents.
  std::vector<char> bulk(gxobj_max_encoded_length - 5, 'x');
  hx_asn_buffer_t b{};
  HxBerWriter over;
  over.putBytes(bulk.data(), static_cast<uint32_t>(bulk.size()));
  EXPECT_EQ(over.finish(b), hx_asn_s_encode_failed);
  EXPECT_EQ(b.data, nullptr);
  HxBerWriter fits;
  fits.putBytes(bulk.data(), static_cast<uint32_t>(bulk.size() - 1));
  ASSERT_EQ(fits.finish(b), 0u);
  EXPECT_EQ(b.length, gxobj_max_encoded_length);
  EXPECT_TRUE(HxBerReader(b).ok());
  hx_asn_buffer_free(b);
}

// ---- HXObject ----------------------------------------------------------------

TEST(HXObject, RecordRoundTripKeepsEveryValueAndTheRecordFields) {
  HXObject original = sample(3000);
  gxobj_t rec{};
  HXObject::init_gxobj(rec, 42);
  rec.value = 5;
  unsigned long s = 1;
  original.encode(rec, s);
  ASSERT_EQ(s, 0u);
  EXPECT_TRUE(rec.key == nullptr && rec.value == 5 && rec.type == 42);

  HXObject copy("stale");
  copy.addStringValue("gone", "x", "gone");
  copy.decode(rec, s);
  hxAsnFreeObj(rec);
  ASSERT_EQ(s, 0u);
  EXPECT_EQ(dump(copy), dump(original));
  EXPECT_EQ(copy.getName(), "/auth/pop/p1");
  EXPECT_EQ(encodeObject(copy), encodeObject(original));
  EXPECT_EQ(decodeObject(encodeObject(HXObject()), copy), 0u);
  EXPECT_TRUE(copy.empty());
  EXPECT_EQ(copy.getName(), "");
}

TEST(HXObject, DecodeFailsCleanlyOnTruncationsTrailingBytesAndRandomMutations) {
  Bytes const enc = encodeObject(sample(0));
  HXObject o("untouched");
  for (size_t n = 0; n < enc.size(); ++n) ASSERT_EQ(decodeObject(enc, o, n), hx_obj_s_bad_record) << n;
  Bytes trailing = enc;
  trailing.push_back(0);
  EXPECT_EQ(decodeObject(trailing, o), hx_obj_s_bad_record);
  EXPECT_EQ(dump(o), dump(HXObject("untouched")));
  EXPECT_EQ(o.getName(), "untouched");

  std::mt19937 rng(20240611);
  int decoded = 0;
  for (int round = 0; round < 4000; ++round) {
    Bytes m = enc;
    for (unsigned k = 1 + rng() % 3; k > 0; --k) m[rng() % m.size()] ^= static_cast<unsigned char>(1 + rng() % 255);
    HXObject got;
    if (decodeObject(m, got) != 0) continue;
    ++decoded;  // whatever decodes must encode and decode again
    HXObject again;
    ASSERT_EQ(decodeObject(encodeObject(got), again), 0u);
    EXPECT_EQ(dump(again), dump(got));
  }
  EXPECT_GT(decoded, 0);
}

TEST(HXObject, DecodeRefusesAmbiguousOrMistypedRecords) {
  auto record = [](char const* q2, ber_tag_t valueTag, int64_t value) {
    return write([&](HxBerWriter& w) {
      w.beginSequence();
      for (char const* q : {"a", q2}) {
        w.beginSequence();
        w.putString(q);
        w.beginSequence();
        w.beginSequence();
        w.putString("n");
        w.beginSequence();
        w.putInt(value, valueTag);
        for (int i = 0; i < 4; ++i) w.endSequence();
      }
      w.endSequence();
    });
  };
  HXObject o;
  EXPECT_EQ(decodeObject(record("b", hx_ber_context(1), 7), o), 0u);
  EXPECT_EQ(o.integerValue("n", 0, "b"), 7u);
  EXPECT_EQ(decodeObject(record("a", hx_ber_context(1), 7), o), hx_obj_s_bad_record);  // same set twice
  EXPECT_EQ(decodeObject(record("b", hx_ber_context(1), -1), o), hx_obj_s_bad_record);
  EXPECT_EQ(decodeObject(record("b", hx_ber_context(1), 0x100000000ll), o), hx_obj_s_bad_record);
  EXPECT_EQ(decodeObject(record("b", hx_ber_context(3), 7), o), hx_obj_s_bad_record);
  EXPECT_EQ(decodeObject(record("b", LBER_INTEGER, 7), o), hx_obj_s_bad_record);
}

TEST(HXObject, NameFollowsTheUnqualifiedNameAttribute) {
  HXObject o("first");
  EXPECT_EQ(o.getName(), "first");
  EXPECT_EQ(o.setStringValue("name", "second", 0, nullptr), 0u);
  EXPECT_EQ(o.getName(), "second");
  o.setStringValue("name", "third", 0, "");
  o.setStringValue("name", "other", 0, "q");
  o.addStringValue("name", "alias", nullptr);
  EXPECT_EQ(o.getName(), "third");
  EXPECT_EQ(o.deleteValue("name", 0, nullptr), 0u);
  EXPECT_EQ(o.getName(), "alias");
  o.setIntegerValue("name", 5, 0, nullptr);
  EXPECT_EQ(o.getName(), "");
  o.setStringValue("name", "back", 0, nullptr);
  HXObject assigned;
  assigned = o;
  EXPECT_EQ(assigned.getName(), "back");
  o.deleteAttribute("name", nullptr);
  EXPECT_EQ(o.getName(), "");
  assigned.encode("x", "q", o);
  o.decode("x", "q", o);
  EXPECT_EQ(o.getName(), "back");
}

}  // namespace
