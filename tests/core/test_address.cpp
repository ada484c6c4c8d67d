// IPv4/IPv6 addresses and networks: parsing, printing, the plain form,
// masking and containment.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "GxCore/GxAddress.h"
#include "GxCore/GxNetwork.h"

namespace {

std::string text(GxAddress const& a) {
  ZUTF8String_6_0 s("<invalid>");
  a.getStrAddress(s);
  return s.str();
}
std::string networkOf(GxNetwork const& n) {
  GxAddress a;
  n.getNetwork(a);
  return text(a);
}

TEST(Address, FamilyFollowsTheColonAndBadTextsAreInvalid) {
  EXPECT_EQ(GxAddress("10.1.2.3").addressFamily(), 2);
  EXPECT_EQ(GxAddress("fe80::1").addressFamily(), 10);
  EXPECT_EQ(GxAddress("::ffff:10.1.2.3").addressFamily(), 10);
  EXPECT_EQ(text(GxAddress("FE80:0::0001")), "FE80:0::0001");  // kept as given
  for (char const* bad : {"10.1.2", "localhost", "", "1.2.3.256", "1::2::3", "fe80::1%eth0"}) {
    EXPECT_FALSE(GxAddress(bad).addressIsValid()) << bad;
    EXPECT_EQ(text(GxAddress(bad)), "<invalid>") << bad;
  }
  EXPECT_FALSE(GxAddress(static_cast<char const*>(nullptr)).addressIsValid());
  EXPECT_EQ(text(GxAddress(0x0A000001ul)), "10.0.0.1");
  unsigned char v6[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(text(GxAddress(10, 0, v6)), "fe80::1");
  EXPECT_FALSE(GxAddress(7, 16, v6).addressIsValid());
}

TEST(Address, EqualityComparesTextsAsWellAsBytes) {
  unsigned char a[16], b[16];
  GxAddress padded("fe80::0001"), plain("fe80::1");
  padded.getBinAddress(16, a);
  plain.getBinAddress(16, b);
  EXPECT_EQ(std::memcmp(a, b, 16), 0);
  EXPECT_NE(padded, plain);
  EXPECT_EQ(GxAddress(10, 16, a), plain);
  EXPECT_EQ(GxAddress(), GxAddress("junk"));
  EXPECT_NE(GxAddress(), GxAddress("::"));
}

TEST(Address, BinaryCopyDependsOnFamilyAndLength) {
  unsigned char buf[16];
  std::memset(buf, 0xAA, sizeof buf);
  EXPECT_EQ(GxAddress("1.2.3.4").getBinAddress(2, buf), 0u);
  EXPECT_EQ(buf[0], 0xAA);  // too short: nothing copied
  EXPECT_EQ(GxAddress("1.2.3.4").getBinAddress(16, buf), 0u);
  EXPECT_EQ(buf[3], 4);
  EXPECT_EQ(buf[4], 0xAA);  // IPv4 copies 4 bytes only
  EXPECT_EQ(GxAddress("junk").getBinAddress(16, buf), gx_s_invalid_address);
}

TEST(Address, PlainFormRoundTripsAndStaysInBounds) {
  for (char const* s : {"10.20.30.40", "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"}) {
    ip_addr_s_t raw;
    std::memset(&raw, 0x5A, sizeof raw);
    GxAddress(s).to_ip_addr_t(raw);
    EXPECT_STREQ(raw.text, s);
    EXPECT_EQ(GxAddress(&raw), GxAddress(s)) << s;
  }
  ip_addr_s_t raw{};
  raw.family = 10;
  std::memset(raw.text, 'a', sizeof raw.text);  // no NUL in the field
  GxAddress unterminated(&raw);
  EXPECT_EQ(text(unterminated).size(), sizeof raw.text);
  unterminated.to_ip_addr_t(raw);
  EXPECT_EQ(std::strlen(raw.text), sizeof raw.text - 1);
}

TEST(Network, MasksAddressesAndTestsContainment) {
  GxNetwork net("10.1.2.3", "255.255.0.0");
  EXPECT_EQ(networkOf(net), "10.1.0.0");
  EXPECT_TRUE(net.isSameNetwork(GxAddress("10.1.200.7")));
  EXPECT_FALSE(net.isSameNetwork(GxAddress("10.2.0.1")));
  EXPECT_FALSE(net.isSameNetwork(GxAddress("::ffff:10.1.2.3")));
  EXPECT_EQ(net, GxNetwork("10.1.99.99", "255.255.0.0"));
  EXPECT_NE(net, GxNetwork("10.1.2.3", "255.255.255.0"));
  GxNetwork all("172.16.5.4", "0.0.0.0"), one("172.16.5.4", "255.255.255.255");
  EXPECT_TRUE(all.isSameNetwork(GxAddress("255.255.255.255")));
  EXPECT_TRUE(one.isSameNetwork(GxAddress("172.16.5.4")));
  EXPECT_FALSE(one.isSameNetwork(GxAddress("172.16.5.5")));
  // IPv6: the network address is canonical, so a non-canonical spelling of
  // a member still matches once masked.
  GxNetwork v6("2001:0db8:0:0:1234::1", "ffff:ffff:ffff:ffff::");
  EXPECT_EQ(networkOf(v6), "2001:db8::");
  EXPECT_TRUE(v6.isSameNetwork(GxAddress("2001:0DB8:0:0:ffff::")));
  EXPECT_FALSE(v6.isSameNetwork(GxAddress("2001:db9::1")));
}

TEST(Network, MismatchedPartsGiveANetworkHoldingNothing) {
  GxNetwork mixed("10.1.2.3", "ffff::");
  GxAddress mask;
  mixed.getNetmask(mask);
  EXPECT_FALSE(mask.addressIsValid());
  EXPECT_EQ(mixed, GxNetwork());
  for (char const* s : {"10.1.2.3", "::", "junk"}) EXPECT_FALSE(mixed.isSameNetwork(GxAddress(s))) << s;
  GxAddress out("1.2.3.4");
  GxNetwork("10.0.0.0", "255.0.0.0").maskNetwork(GxAddress("::1"), out);
  EXPECT_EQ(text(out), "1.2.3.4");  // other family: untouched
}

}  // namespace
