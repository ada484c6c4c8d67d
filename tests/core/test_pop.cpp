// Protected object policies: first-match IP authentication over both entry
// lists, damaged IP-auth list bytes, the current and 5.1.0 attribute forms,
// the database form with damaged records, and the one lazy load of a shared
// POP.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/GxPop.h"
#include "GxCore/daStoreObjectName.h"
#include "outside/HXObject.h"
#include "outside/attrlist.h"
#include "outside/hxasn_pop.h"
#include "record_corruption.h"
#include "test_support.h"

namespace {

ip_addr_s_t ip(char const* text) {
  ip_addr_s_t p{};
  GxAddress(text).to_ip_addr_t(p);
  return p;
}

unsigned long level(GxPop const& pop, char const* address) { return pop.get_auth_level(GxAddress(address)); }

// Default level 1; 10.0.0.0/8 level 2, then 10.1.0.0/16 level 3; the IPv6
// network 2001:db8::/32 level 4. Stored in the attribute list.
GxPop mixedPop() {
  GxPop pop;
  EXPECT_EQ(pop.getIPAuthList(), gx_s_pop_no_ipauth_list);
  EXPECT_EQ(pop.setNextIPAuth(ip("0.0.0.0"), ip("0.0.0.0"), 1), 0u);
  EXPECT_EQ(pop.setNextIPAuth(ip("10.0.0.0"), ip("255.0.0.0"), 2), 0u);
  EXPECT_EQ(pop.setNextIPAuth(ip("10.1.0.0"), ip("255.255.0.0"), 3), 0u);
  EXPECT_EQ(pop.setNextIPAuth(ip("2001:db8::"), ip("ffff:ffff::"), 4), 0u);
  EXPECT_EQ(pop.setAttrlist(), 0u);
  return pop;
}

// Only the IPv4 list: default 7, 10.0.0.0/8 level 2, 10.1.0.0/16 level 3.
GxPop ipv4OnlyPop() {
  GxPop pop;
  pop.setNextIPAuth(0, 0, 7);
  pop.setNextIPAuth(0x0A000000, 0xFF000000, 2);
  pop.setNextIPAuth(0x0A010000, 0xFFFF0000, 3);
  return pop;
}

std::string text(HXObject const& attrs, char const* name, unsigned i) {
  ZUTF8String_6_0 const* v = attrs.getStringValue(name, i, nullptr);
  return v ? v->getChars() : "<none>";
}

// A POP whose "popipauthlist" value is the given bytes.
GxPop popWithListBytes(std::vector<unsigned char> bytes) {
  gxpop_s_t s{};
  value_s_t v{2, 0, static_cast<uint32_t>(bytes.size()), bytes.data()};
  EXPECT_EQ(attrlist_add_entry(s.attrlist, GxPop::ipAuthListAttr_, v), 0u);
  GxPop pop;
  EXPECT_EQ(pop.set(s), 0u);
  hxAsnFreeObj(s);
  return pop;
}

}  // namespace

// ---- IP authentication ----------------------------------------------------------

TEST(PopIPAuth, FirstMatchInListOrderWinsAndEntryZeroIsOnlyTheDefault) {
  GxPop pop = mixedPop();
  EXPECT_EQ(level(pop, "10.1.2.3"), 2u);  // 10.1.0.0/16 comes later
  EXPECT_EQ(level(pop, "10.200.0.1"), 2u);
  EXPECT_EQ(level(pop, "11.0.0.1"), 1u);
  EXPECT_EQ(level(pop, "2001:db8::5"), 4u);
  EXPECT_EQ(level(pop, "2001:db9::5"), 1u);
  EXPECT_EQ(level(pop, "::ffff:10.1.2.3"), 1u);  // IPv6 never matches an IPv4 network
  EXPECT_EQ(pop.get_auth_level(GxAddress()), 1u);
  EXPECT_EQ(pop.get_auth_count(), 4u);
}

TEST(PopIPAuth, ANetworkWithBitsOutsideItsMaskNeverMatches) {
  GxPop pop;
  pop.setNextIPAuth();
  pop.setNextIPAuth(ip("10.0.0.1"), ip("255.0.0.0"), 9);
  EXPECT_EQ(pop.setAttrlist(), 0u);
  EXPECT_EQ(level(pop, "10.0.0.1"), 0u);
  GxPop v4;
  v4.setNextIPAuth(0, 0, 0);
  v4.setNextIPAuth(0x0A000001, 0xFF000000, 9);
  EXPECT_EQ(level(v4, "10.0.0.1"), 0u);
}

TEST(PopIPAuth, WithoutALoadedListTheIPv4ListAnswers) {
  GxPop pop = ipv4OnlyPop();
  EXPECT_EQ(level(pop, "10.1.2.3"), 2u);
  EXPECT_EQ(level(pop, "192.168.0.1"), 7u);
  EXPECT_EQ(level(pop, "2001:db8::1"), 7u);
  EXPECT_EQ(pop.get_auth_count(), 3u);
  EXPECT_EQ(pop.get_auth_level(2), 3u);
  EXPECT_EQ(pop.get_auth_level(5), GxPop::noAuthLevel_);
  EXPECT_EQ(pop.get_auth_level(-1), GxPop::noAuthLevel_);
  EXPECT_EQ(pop.get_network_addr(1), 0x0A000000u);
  EXPECT_EQ(pop.get_netmask_addr(2), 0xFFFF0000u);
  EXPECT_EQ(pop.get_network_addr(3), 0u);
  GxAddress out("1.2.3.4");
  pop.get_netmask_addr(1, out);
  EXPECT_EQ(out, GxAddress("255.0.0.0"));
  pop.get_network_addr(3, out);  // out of range: unchanged
  EXPECT_EQ(out, GxAddress("255.0.0.0"));

  GxPop none;  // no entry at all: every address is refused
  EXPECT_EQ(level(none, "10.0.0.1"), GxPop::noAuthLevel_);
  EXPECT_EQ(none.getIPAuthList(), gx_s_pop_no_ipauth_list);
  EXPECT_EQ(level(none, "2001:db8::1"), GxPop::noAuthLevel_);
  EXPECT_EQ(none.get_auth_count(), 0u);
}

// ---- IP-auth list bytes -----------------------------------------------------------

TEST(PopAttrList, IPAuthListBytesThatDoNotDecodeGiveAStatusOnce) {
  GxPop good = mixedPop();
  value_s_t const& v = good.getAttrlist().entries[0].value;
  std::vector<unsigned char> bytes(v.data, v.data + v.length);
  for (size_t n = 0; n < bytes.size(); ++n) {
    GxPop pop = popWithListBytes(std::vector<unsigned char>(bytes.begin(), bytes.begin() + n));
    EXPECT_EQ(pop.getIPAuthList(), hx_asn_s_decode_failed) << n;
    EXPECT_EQ(pop.getIPAuthList(), 0u);
    EXPECT_EQ(pop.get_auth_count(), 0u);
  }
  // An address family that is neither IPv4 nor IPv6 is refused.
  gxpop_ipauth2_s_t e{1, ip("10.0.0.0"), ip("255.0.0.0")};
  e.network.family = 7;
  gxpop_ipauth2_list_s_t list{1, &e};
  hx_asn_buffer_t enc{};
  ASSERT_EQ(hxAsnEncodeObj(enc, list), 0u);
  GxPop pop = popWithListBytes(std::vector<unsigned char>(enc.data, enc.data + enc.length));
  uint32_t const encodedLength = enc.length;
  hx_asn_buffer_free(enc);
  EXPECT_EQ(pop.getIPAuthList(), hx_asn_s_decode_failed);
  // The stored value stays as it was; once the failure has been reported the
  // attribute form falls back to the (empty) IPv4 list.
  EXPECT_EQ(pop.getAttrlist().entries[0].value.length, encodedLength);
  HXObject attrs;
  EXPECT_EQ(pop.encode("p", nullptr, attrs), 0u);
  EXPECT_EQ(attrs.integerValue("popauthcount2", 0, nullptr), 0u);
}

// ---- attribute forms ---------------------------------------------------------------

TEST(PopAttributeForm, CurrentFormRoundTripKeepsBothFamilies) {
  GxPop pop = mixedPop();
  pop.setDescription("office networks");
  pop.setWarningMode(1);
  pop.setAuditLevel(3);
  pop.setEndAccess(-1);
  HXObject attrs;
  ASSERT_EQ(pop.encode("p", "q", attrs), 0u);
  EXPECT_EQ(text(attrs, "popnwaddr2", 0), "<none>");  // everything went to set "q"
  GxPop back;
  ASSERT_EQ(back.decode("p", "q", attrs), 0u);
  EXPECT_STREQ(back.description(), "office networks");
  EXPECT_TRUE(back.warningMode() == 1 && back.auditLevel() == 3u && back.endAccess() == -1);
  EXPECT_EQ(back.get_auth_count(), 4u);
  EXPECT_EQ(back.value().ipauth_count, 3u);  // the IPv4 pairs
  EXPECT_EQ(level(back, "10.1.2.3"), 2u);
  EXPECT_EQ(level(back, "2001:db8::5"), 4u);
  GxPop reloaded(back);  // from the stored attribute list
  EXPECT_EQ(reloaded.getIPAuthList(), 0u);
  EXPECT_EQ(level(reloaded, "2001:db8::5"), 4u);
}

TEST(PopAttributeForm, DecodeRefusesAHostNameAndAddsNoEntry) {
  HXObject attrs;
  attrs.addIntegerValue("popauthcount2", 3, nullptr);
  for (char const* nw : {"0.0.0.0", "10.0.0.0", "gateway.example"}) attrs.addStringValue("popnwaddr2", nw, nullptr);
  for (char const* nm : {"0.0.0.0", "255.0.0.0", "255.255.0.0"}) attrs.addStringValue("popnmaddr2", nm, nullptr);
  for (unsigned l : {1u, 2u, 3u}) attrs.addIntegerValue("popauthlevel2", l, nullptr);
  GxPop pop;
  EXPECT_EQ(pop.decode("p", nullptr, attrs), gx_s_pop_bad_ipauth_address);
  EXPECT_EQ(pop.get_auth_count(), 0u);
  EXPECT_EQ(pop.value().ipauth_count, 0u);
  // A count past the values present fails the same way.
  attrs.setIntegerValue("popauthcount2", 40000000, 0, nullptr);
  attrs.setStringValue("popnwaddr2", "10.1.0.0", 2, nullptr);
  EXPECT_EQ(pop.decode("p", nullptr, attrs), gx_s_pop_bad_ipauth_address);
}

TEST(PopAttributeForm, A510RewriteReplacesIPv4EntriesAndKeepsIPv6Ones) {
  GxPop pop = mixedPop();
  HXObject attrs;
  GxPop peer;  // what a 5.1.0 peer writes back
  peer.setNextIPAuth(0, 0, 5);
  peer.setNextIPAuth(0xC0A80000, 0xFFFF0000, 6);
  ASSERT_EQ(peer.encode510("p", nullptr, attrs), 0u);
  EXPECT_EQ(attrs.length("popnwaddr2", nullptr), 0u);
  ASSERT_EQ(pop.decode510("p", nullptr, attrs), 0u);
  EXPECT_EQ(pop.get_auth_count(), 3u);
  EXPECT_EQ(pop.value().ipauth_count, 2u);
  EXPECT_EQ(level(pop, "10.1.2.3"), 5u);
  EXPECT_EQ(level(pop, "192.168.3.4"), 6u);
  EXPECT_EQ(level(pop, "2001:db8::5"), 4u);
  GxAddress last;
  pop.get_network_addr(2, last);
  EXPECT_EQ(last, GxAddress("2001:db8::"));
  GxPop stored(pop);
  EXPECT_EQ(stored.getIPAuthList(), 0u);
  EXPECT_EQ(level(stored, "2001:db8::5"), 4u);
  // A count over the values present makes up no entries.
  attrs.setIntegerValue("popauthcount", 1000000, 0, nullptr);
  ASSERT_EQ(pop.decode510("p", nullptr, attrs), 0u);
  EXPECT_EQ(pop.value().ipauth_count, 2u);
}

// ---- database form ---------------------------------------------------------------

TEST(PopRecord, RoundTripThroughTheTypeDispatch) {
  GxPop pop = mixedPop();
  pop.setDescription("d");
  pop.setQualityOfProtection(2);
  pop.setDayAccess(0x7F);
  pop.setStartAccess(-100);
  pop.setTimeReferenceAccess(1);
  pop.setNextIPAuth(0x0A000000, 0xFF000000, 2);
  ASSERT_EQ(pop.setZone("Europe/Berlin"), 0u);
  ASSERT_EQ(pop.setAttrlist(), 0u);  // the IP-auth list is stored again: the zone stays
  std::vector<unsigned char> bytes = gxtest::encodedRecord(pop, gx_type_pop);
  std::unique_ptr<daStoreObject> obj;
  ASSERT_EQ(gxtest::decodeBytes(bytes, bytes.size(), gx_type_pop, obj), 0u);
  auto* back = dynamic_cast<GxPop*>(obj.get());
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back->description(), "d");
  EXPECT_EQ(back->qualityOfProtection(), 2u);
  EXPECT_EQ(back->dayAccess(), 0x7Fu);
  EXPECT_EQ(back->startAccess(), -100);
  EXPECT_EQ(back->timeReferenceAccess(), 1u);
  EXPECT_EQ(back->zone(), "Europe/Berlin");
  EXPECT_EQ(back->value().ipauth_count, 1u);
  EXPECT_EQ(back->get_auth_count(), 1u);  // the IP-auth list is loaded on demand
  EXPECT_EQ(back->getIPAuthList(), 0u);
  EXPECT_EQ(level(*back, "2001:db8::5"), 4u);
  EXPECT_EQ(gxtest::encodedRecord(*back), bytes);
  GxPop assigned;
  assigned = *back;
  EXPECT_EQ(gxtest::encodedRecord(assigned), bytes);
}

TEST(PopRecord, DamagedRecordsGiveAStatusAndNoObject) {
  GxPop pop = mixedPop();
  pop.setDescription("damaged");
  pop.setNextIPAuth(0x0A000000, 0xFF000000, 2);
  gxtest::expectCorruptionRefused(gxtest::encodedRecord(pop), gx_type_pop, 1287);
}

// ---- concurrency -------------------------------------------------------------------

namespace {

// Calls getIPAuthList from several threads at once; returns the statuses.
// Each thread then reads the level of 10.1.2.3, which must be expected.
std::vector<unsigned long> loadTogether(GxPop& pop, unsigned long expected) {
  constexpr int threads = 8;
  std::vector<unsigned long> statuses(threads, 1);
  std::atomic<int> ready{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < threads) std::this_thread::yield();
      statuses[t] = pop.getIPAuthList();
      EXPECT_EQ(level(pop, "10.1.2.3"), expected);
    });
  for (auto& th : pool) th.join();
  return statuses;
}

int countOf(std::vector<unsigned long> const& v, unsigned long s) {
  return static_cast<int>(std::count(v.begin(), v.end(), s));
}

}  // namespace

TEST(PopConcurrency, ConcurrentFirstCallsLoadTheListOnce) {
  GxPop missing = ipv4OnlyPop();
  auto st = loadTogether(missing, 2);
  EXPECT_EQ(countOf(st, gx_s_pop_no_ipauth_list), 1);
  EXPECT_EQ(countOf(st, 0), 7);

  GxPop stored(mixedPop());
  st = loadTogether(stored, 2);
  EXPECT_EQ(countOf(st, 0), 8);
  EXPECT_EQ(stored.get_auth_count(), 4u);

  GxPop damaged = popWithListBytes({0x30, 0x03, 0x02, 0x01});
  damaged.setNextIPAuth(0, 0, 7);
  st = loadTogether(damaged, 7);
  EXPECT_EQ(countOf(st, hx_asn_s_decode_failed), 1);
  EXPECT_EQ(countOf(st, 0), 7);
}
