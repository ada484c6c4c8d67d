// The ACL and map decoders read most records in place and leave the rest to
// the general reader: for any bytes at all, the two must give the same
// status and the same structure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec_compare.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes take(hx_asn_buffer_t b) {
  Bytes out(b.data, b.data + b.length);
  hx_asn_buffer_free(b);
  return out;
}

Bytes aclRecord(char const* description, std::vector<std::pair<uint32_t, uint32_t>> entries) {
  std::vector<acl_entry_s_t> e(entries.size());
  std::vector<std::vector<uint32_t>> masks(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    e[i].entry_type = entries[i].first;
    e[i].id.time_low = static_cast<uint32_t>(i * 2654435761u);
    e[i].id.node[5] = static_cast<uint8_t>(i);
    masks[i].assign(entries[i].second, 0);
    for (uint32_t w = 0; w < entries[i].second; ++w) masks[i][w] = 0x80000001u >> w;
    e[i].perms = {entries[i].second, masks[i].empty() ? nullptr : masks[i].data()};
  }
  acl_ext_s_t acl{const_cast<char*>(description), static_cast<uint32_t>(e.size()), e.empty() ? nullptr : e.data(), 0,
                  7};
  hx_asn_buffer_t out{};
  EXPECT_EQ(hxAsnEncodeObj(out, acl), 0u);
  return take(out);
}

Bytes mapRecord(std::vector<char const*> names) {
  map_acl_to_pobj_s_t map{static_cast<uint32_t>(names.size()),
                          names.empty() ? nullptr : const_cast<char**>(names.data()), 3, 0};
  hx_asn_buffer_t out{};
  EXPECT_EQ(hxAsnEncodeObj(out, map), 0u);
  return take(out);
}

template <class T>
void expectAgreement(Bytes const& b, std::string const& what) {
  EXPECT_TRUE(gxtest::decodersAgree<T>(b.data(), static_cast<uint32_t>(b.size()))) << what;
}

// Every truncation, every byte replaced by a few telling values, and a byte
// inserted at every place: lengths, tags and counts all get broken.
template <class T>
void expectAgreementOnMutations(Bytes const& valid, std::string const& what) {
  expectAgreement<T>(valid, what + " as written");
  for (size_t n = 0; n < valid.size(); ++n) expectAgreement<T>(Bytes(valid.begin(), valid.begin() + n), what + " cut");
  for (size_t i = 0; i < valid.size(); ++i) {
    for (unsigned char v : {0x00, 0x01, 0x04, 0x05, 0x30, 0x7f, 0x80, 0x81, 0x84, 0x85, 0xff}) {
      Bytes b = valid;
      b[i] = v;
      expectAgreement<T>(b, what + " byte " + std::to_string(i) + "=" + std::to_string(v));
    }
    Bytes grown = valid;
    grown.insert(grown.begin() + static_cast<long>(i), 0x00);
    expectAgreement<T>(grown, what + " grown at " + std::to_string(i));
  }
}

// A small BER writer for records no encoder of ours would write.
Bytes tlv(unsigned char tag, Bytes const& content, int lengthBytes = 0) {
  Bytes out{tag};
  size_t const n = content.size();
  if (lengthBytes == 0 && n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {
    int const k = lengthBytes != 0 ? lengthBytes : (n < 0x100 ? 1 : 2);
    out.push_back(static_cast<unsigned char>(0x80 | k));
    for (int i = k - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(i < 8 ? n >> (8 * i) : 0));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (Bytes const& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes seq(std::initializer_list<Bytes> parts, int lengthBytes = 0) { return tlv(0x30, cat(parts), lengthBytes); }
Bytes integer(Bytes content) { return tlv(0x02, content); }
Bytes octets(size_t n, unsigned char fill = 0x11) { return tlv(0x04, Bytes(n, fill)); }
Bytes text(std::string const& s) { return tlv(0x04, Bytes(s.begin(), s.end())); }
Bytes null() { return {0x05, 0x00}; }
Bytes entry(Bytes id, Bytes masks, Bytes type = integer({4})) { return seq({type, id, masks}); }
Bytes acl(Bytes description, Bytes count, std::initializer_list<Bytes> entries, Bytes trailer = {}) {
  return cat({seq({description, integer({0}), integer({0}), count, seq(entries)}), trailer});
}

TEST(InPlaceDecoding, AclsAgreeWithTheGeneralReaderOnCraftedRecords) {
  Bytes const good = entry(octets(16), octets(4));
  std::vector<std::pair<char const*, Bytes>> cases = {
      {"plain", acl(text("d"), integer({1}), {good})},
      {"NULL description", acl(null(), integer({1}), {good})},
      {"NUL in the description", acl(text(std::string("a\0b", 3)), integer({1}), {good})},
      {"mask of 5 bytes", acl(null(), integer({1}), {entry(octets(16), octets(5))})},
      {"no mask bytes", acl(null(), integer({1}), {entry(octets(16), octets(0))})},
      {"id of 15 bytes", acl(null(), integer({1}), {entry(octets(15), octets(4))})},
      {"id of 17 bytes", acl(null(), integer({1}), {entry(octets(17), octets(4))})},
      {"count above the entries", acl(null(), integer({2}), {good})},
      {"count below the entries", acl(null(), integer({1}), {good, good})},
      {"negative count", acl(null(), integer({0xff}), {good})},
      {"count of 9 bytes", acl(null(), integer(Bytes(9, 0)), {good})},
      {"type of 5 bytes over 32 bits", acl(null(), integer({1}), {entry(octets(16), octets(4), integer({1, 0, 0, 0, 0}))})},
      {"type with a leading zero", acl(null(), integer({1}), {entry(octets(16), octets(4), integer({0, 4}))})},
      {"extra element in an entry", acl(null(), integer({1}), {seq({integer({4}), octets(16), octets(4), null()})})},
      {"entry not a sequence", acl(null(), integer({1}), {octets(22)})},
      {"bytes after the record", acl(null(), integer({1}), {good}, {0x00})},
      {"long-form lengths", cat({seq({null(), integer({0}), integer({0}), integer({1}), seq({good}, 2)}, 1)})},
      {"five length bytes", cat({seq({null(), integer({0}), integer({0}), integer({1}), seq({good})}, 5)})},
      {"empty record", Bytes{}},
  };
  for (auto const& [what, bytes] : cases) expectAgreement<acl_ext_s_t>(bytes, what);
}

TEST(InPlaceDecoding, AclsAgreeWithTheGeneralReaderOnValidAndBrokenRecords) {
  std::vector<std::pair<std::string, Bytes>> records = {
      {"no entries, no description", aclRecord(nullptr, {})},
      {"empty description", aclRecord("", {{acl_e_any_other, 1}})},
      {"mixed entries", aclRecord("web", {{acl_e_user, 1}, {acl_e_group, 3}, {acl_e_unauthenticated, 0},
                                          {acl_e_any_other, 2}, {77, 1}})},
  };
  for (auto const& [what, bytes] : records) {
    SCOPED_TRACE(what);
    expectAgreementOnMutations<acl_ext_s_t>(bytes, what);
  }
  // Long-form lengths the in-place reader takes, and a long record.
  Bytes big = aclRecord(std::string(300, 'd').c_str(), std::vector<std::pair<uint32_t, uint32_t>>(40, {acl_e_group, 2}));
  expectAgreement<acl_ext_s_t>(big, "300-byte description, 40 entries");
  std::mt19937 rng(5);
  for (int i = 0; i < 2000; ++i) {
    Bytes b = big;
    b[rng() % b.size()] = static_cast<unsigned char>(rng());
    expectAgreement<acl_ext_s_t>(b, "random byte in a long record");
  }
}

TEST(InPlaceDecoding, MapsAgreeWithTheGeneralReaderOnValidAndBrokenRecords) {
  for (auto const& names : std::vector<std::vector<char const*>>{{}, {"acl-a"}, {"a", "", "third name"}}) {
    Bytes const b = mapRecord(names);
    SCOPED_TRACE(names.size());
    expectAgreementOnMutations<map_acl_to_pobj_s_t>(b, std::to_string(names.size()) + " names");
  }
  auto map = [](Bytes count, std::initializer_list<Bytes> names) {
    return seq({count, integer({0}), integer({0}), seq(names)});
  };
  std::vector<std::pair<char const*, Bytes>> cases = {
      {"NULL as a name", map(integer({1}), {null()})},
      {"NUL in a name", map(integer({1}), {text(std::string("a\0", 2))})},
      {"count above the names", map(integer({2}), {text("a")})},
      {"count below the names", map(integer({1}), {text("a"), text("b")})},
      {"a name not a string", map(integer({1}), {integer({1})})},
  };
  for (auto const& [what, bytes] : cases) expectAgreement<map_acl_to_pobj_s_t>(bytes, what);
}

}  // namespace
