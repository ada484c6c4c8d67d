// An ACL answered in place from its database form must answer as the
// decoded ACL does, for every caller and request, and must never answer a
// record the decoder refuses: it may only decline (unreadable), leaving the
// decision to the decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "GxCore/acleval.h"
#include "GxCore/perm.h"
#include "outside/hxasn.h"
#include "outside/hxasn_acl.h"

namespace {

// A BER writer that picks the long length form, pads INTEGERs with a
// leading zero and writes a NULL description at random: encodings the
// library's decoder reads but its writer never makes.
struct OddWriter {
  std::mt19937& rng;

  std::string element(unsigned char tag, std::string const& contents) {
    size_t const n = contents.size();
    std::string out(1, char(tag));
    if (n < 128 && rng() % 3 != 0) {
      out += char(n);
    } else {
      int const bytes = n < 256 ? 1 + int(rng() % 2) : 3;
      out += char(0x80 | bytes);
      for (int i = bytes - 1; i >= 0; --i) out += char((n >> (8 * i)) & 0xff);
    }
    return out + contents;
  }
  std::string integer(uint32_t v) {
    std::string c;
    for (int i = 4; i >= 0; --i) c += char((uint64_t{v} >> (8 * i)) & 0xff);  // five bytes: never negative
    while (c.size() > 1 && c[0] == 0 && (c[1] & 0x80) == 0) c.erase(0, 1);  // the minimal form
    if (rng() % 4 == 0) c.insert(0, 1, '\0');                               // padded
    return element(0x02, c);
  }
  std::string acl(acl_ext_s_t const& a) {
    std::string entries;
    for (uint32_t i = 0; i < a.num_entries; ++i) {
      acl_entry_s_t const& e = a.entries[i];
      std::string masks;
      for (uint32_t g = 0; g < e.perms.count; ++g)
        for (int b = 3; b >= 0; --b) masks += char((e.perms.groups[g] >> (8 * b)) & 0xff);
      // The test's uuids have sixteen equal bytes: their order is moot.
      entries += element(0x30, integer(e.entry_type) + element(0x04, std::string(reinterpret_cast<char const*>(&e.id), 16)) +
                                   element(0x04, masks));
    }
    std::string description = rng() % 2 ? element(0x05, "") : element(0x04, "d");
    return element(0x30, description + integer(0) + integer(0) + integer(a.num_entries) + element(0x30, entries));
  }
};

// A uuid of the test's pool: every byte the same, so byte order is moot.
hx_uuid_t poolUuid(int n) {
  hx_uuid_t u;
  std::memset(&u, n + 1, sizeof u);
  return u;
}

struct Generated {
  std::vector<acl_entry_s_t> entries;
  std::vector<std::vector<uint32_t>> masks;
  acl_ext_s_t acl() {
    for (size_t i = 0; i < entries.size(); ++i) entries[i].perms.groups = masks[i].empty() ? nullptr : masks[i].data();
    return acl_ext_s_t{nullptr, uint32_t(entries.size()), entries.empty() ? nullptr : entries.data(), 0, 0};
  }
};

// Entries of every kind (an unknown type too), uuids from a pool of six,
// masks of zero to three words.
Generated generate(std::mt19937& rng) {
  static uint32_t const kTypes[] = {acl_e_user, acl_e_group, acl_e_any_other, acl_e_unauthenticated, 7};
  Generated g;
  for (int i = 0, n = int(rng() % 7); i < n; ++i) {
    acl_entry_s_t e{};
    e.entry_type = kTypes[rng() % 5];
    e.id = poolUuid(int(rng() % 6));
    std::vector<uint32_t> m(rng() % 4);
    for (uint32_t& w : m) w = uint32_t(rng()) & uint32_t(rng());
    e.perms.count = uint32_t(m.size());
    g.entries.push_back(e);
    g.masks.push_back(std::move(m));
  }
  return g;
}

// What the decoded ACL answers: does it grant every bit of requested?
bool decodedGrants(acl_ext_s_t const& acl, sec_id_pa_t* pa, acl_permset_s_t const& requested) {
  acl_permset_s_t out{};
  unsigned long st = 0;
  acl_inq_permset_for_pa_applied(pa, &acl, &out, nullptr, &st);
  bool const granted = perm_is_action_set(&out, &requested) != 0;
  std::free(out.groups);
  return granted;
}

struct Caller {
  std::vector<sec_id_t> groups;
  std::vector<hx_uuid_t> groupIds;
  sec_id_pa_t pa{};
  hx_acl_caller view{};
  bool authenticated = false;

  explicit Caller(std::mt19937& rng) {
    authenticated = rng() % 5 != 0;
    if (!authenticated) return;
    pa.principal.uuid = poolUuid(int(rng() % 6));
    for (int i = 0, n = int(rng() % 4); i < n; ++i) {
      groupIds.push_back(poolUuid(int(rng() % 6)));
      groups.push_back(sec_id_t{groupIds.back(), nullptr});
    }
    pa.num_groups = uint16_t(groups.size());
    pa.groups = groups.empty() ? nullptr : groups.data();
    view = hx_acl_caller{&pa.principal.uuid, groupIds.data(), uint32_t(groupIds.size())};
  }
  sec_id_pa_t* decoded() { return authenticated ? &pa : nullptr; }
};

// Each round: an ACL in the writer's encoding or an odd one, then the same
// bytes damaged (truncated, a byte changed, a byte inserted). Whatever the
// in-place reader answers, the decoder must read the record too and agree;
// the writer's own encodings must not be declined. A private copy of
// exactly the bytes catches a read past them under the sanitizers.
TEST(AclAnswer, InPlaceAnswerIsTheDecodersOrDeclinedForWrittenOddAndDamagedRecords) {
  std::mt19937 rng(2027);
  int oddTaken = 0, damagedTaken = 0;
  auto check = [&rng](std::string const& bytes, char const* what, int round) {
    Caller caller(rng);
    std::vector<uint32_t> want(1 + rng() % 2);
    for (uint32_t& w : want) w = 1u << (rng() % 32);
    acl_permset_s_t const requested{uint32_t(want.size()), want.data()};
    std::vector<char> exact(bytes.begin(), bytes.end());
    hx_acl_answer const a = hxAsnAclAnswer(exact.data(), uint32_t(exact.size()), caller.view, requested);
    if (a == hx_acl_unreadable) return false;
    acl_ext_s_t decoded{};
    std::string copy = bytes;
    EXPECT_EQ(hxAsnDecodeObj(hx_asn_buffer_t{uint32_t(copy.size()), reinterpret_cast<unsigned char*>(copy.data())}, decoded), 0u)
        << "answered a " << what << " record the decoder refuses, round " << round;
    EXPECT_EQ(a == hx_acl_granted, decodedGrants(decoded, caller.decoded(), requested)) << what << ", round " << round;
    hxAsnFreeObj(decoded);
    return true;
  };
  for (int round = 0; round < 30000 && !HasFailure(); ++round) {
    Generated g = generate(rng);
    acl_ext_s_t const acl = g.acl();
    bool const odd = round % 2 == 1;
    std::string bytes;
    if (odd) {
      bytes = OddWriter{rng}.acl(acl);
    } else {
      hx_asn_buffer_t b{};
      ASSERT_EQ(hxAsnEncodeObj(b, acl), 0u);
      bytes.assign(reinterpret_cast<char*>(b.data), b.length);
      hx_asn_buffer_free(b);
    }
    bool const taken = check(bytes, odd ? "odd" : "written", round);
    ASSERT_TRUE(taken || odd) << "the writer's own encoding was declined, round " << round;
    oddTaken += odd && taken;
    for (int cuts = 1 + int(rng() % 3); cuts > 0 && !bytes.empty(); --cuts) {
      size_t const at = rng() % bytes.size();
      switch (rng() % 3) {
        case 0: bytes.resize(at); break;
        case 1: bytes[at] = char(rng()); break;
        default: bytes.insert(at, 1, char(rng())); break;
      }
    }
    damagedTaken += check(bytes, "damaged", round);
  }
  EXPECT_GT(oddTaken, 7500) << "long lengths, padded integers and a NULL description are read, not declined";
  EXPECT_GT(damagedTaken, 0);
}

}  // namespace
