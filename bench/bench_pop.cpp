// Cost of the IP-authentication check on the authorization path: the level
// a POP requires from an IPv4 and from an IPv6 caller, against an IP-auth
// list of 50 entries (25 IPv4 networks, then 24 IPv6 networks after the
// default) loaded beforehand. Neither caller matches, so every entry is
// walked: the worst case of the first-match search.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "GxCore/GxPop.h"

namespace {

ip_addr_s_t ip(char const* text) {
  ip_addr_s_t p{};
  GxAddress(text).to_ip_addr_t(p);
  return p;
}

struct Fixture {
  GxPop pop;
  Fixture() {
    pop.setNextIPAuth();
    char text[64];
    for (int i = 0; i < 25; ++i) {
      std::snprintf(text, sizeof text, "10.%d.0.0", i);
      pop.setNextIPAuth(ip(text), ip("255.255.0.0"), 2);
    }
    for (int i = 0; i < 24; ++i) {
      std::snprintf(text, sizeof text, "2001:db8:%x::", i);
      pop.setNextIPAuth(ip(text), ip("ffff:ffff:ffff::"), 3);
    }
    pop.setAttrlist();
    pop.getIPAuthList();
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_PopAuthLevelIPv4(benchmark::State& state) {
  GxPop const& pop = fixture().pop;
  GxAddress const caller("192.168.7.9");
  for (auto _ : state) benchmark::DoNotOptimize(pop.get_auth_level(caller));
}
BENCHMARK(BM_PopAuthLevelIPv4);

void BM_PopAuthLevelIPv6(benchmark::State& state) {
  GxPop const& pop = fixture().pop;
  GxAddress const caller("2001:db9::7");
  for (auto _ : state) benchmark::DoNotOptimize(pop.get_auth_level(caller));
}
BENCHMARK(BM_PopAuthLevelIPv6);

}  // namespace
