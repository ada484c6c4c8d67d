// Address texts: GxAddress(char const*) on each line of the input, and
// network/netmask matching through a POP. Line 0 is the caller's address;
// then pairs of lines are an IP-auth entry's network and netmask (the entry's
// level is its position). The POP's get_auth_level must give the level of
// the first entry whose network holds the caller (same family, caller AND
// netmask equal to the network), else the default entry's; the same after
// the POP went through its record form.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "GxCore/GxAddress.h"
#include "GxCore/GxPop.h"
#include "fuzz_support.h"

namespace {

constexpr unsigned long kDefaultLevel = 7;

int byteCount(GxAddress const& a) { return a.addressFamily() == GxAddress::familyIPv4 ? 4 : 16; }

// Text, bytes and the plain form of a valid address agree with each other.
void checkAddress(GxAddress const& a) {
  if (!a.addressIsValid()) return;
  unsigned char bytes[16] = {};
  if (a.getBinAddress(16, bytes) != 0) std::abort();
  GxAddress const fromBytes(a.addressFamily(), byteCount(a), bytes);
  unsigned char again[16] = {};
  if (!fromBytes.addressIsValid() || fromBytes.getBinAddress(16, again) != 0 ||
      std::memcmp(bytes, again, byteCount(a)) != 0) {
    std::fprintf(stderr, "address bytes do not survive their canonical text\n");
    std::abort();
  }
  ZUTF8String_6_0 text;
  if (a.getStrAddress(text) != 0) std::abort();
  ip_addr_s_t plain{};
  a.to_ip_addr_t(plain);
  GxAddress const fromPlain(&plain);
  if (fromPlain.addressFamily() != a.addressFamily()) std::abort();
}

bool holds(GxAddress const& network, GxAddress const& netmask, GxAddress const& caller) {
  if (caller.addressFamily() != network.addressFamily()) return false;
  unsigned char n[16] = {}, m[16] = {}, c[16] = {};
  network.getBinAddress(16, n);
  netmask.getBinAddress(16, m);
  caller.getBinAddress(16, c);
  for (int i = 0; i < byteCount(network); ++i)
    if ((c[i] & m[i]) != n[i]) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gxfuzz::silenceMessages();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      if (lines.size() == 17) break;  // the caller and eight entries
      lines.emplace_back();
    } else {
      lines.back() += static_cast<char>(data[i]);
    }
  }
  std::vector<GxAddress> addrs;
  for (auto const& l : lines) {
    addrs.emplace_back(l.c_str());  // a NUL inside a line ends its text
    checkAddress(addrs.back());
  }
  GxAddress const& caller = addrs[0];

  GxPop pop;
  if (pop.setNextIPAuth(0, 0, kDefaultLevel) != 0) return 0;
  ip_addr_s_t any{};
  GxAddress(0ul).to_ip_addr_t(any);
  if (pop.setNextIPAuth(any, any, kDefaultLevel) != 0) return 0;
  unsigned long expected = kDefaultLevel;
  bool found = false;
  for (size_t i = 1; i + 1 < addrs.size(); i += 2) {
    GxAddress const& network = addrs[i];
    GxAddress const& netmask = addrs[i + 1];
    // Entries of mixed or invalid families are what the import refuses.
    if (!network.addressIsValid() || network.addressFamily() != netmask.addressFamily()) continue;
    unsigned long const level = i;
    if (pop.appendIPAuth(network, netmask, level) != 0) return 0;
    if (!found && holds(network, netmask, caller)) {
      expected = level;
      found = true;
    }
  }
  if (pop.setAttrlist() != 0) return 0;

  unsigned long const level = pop.get_auth_level(caller);
  if (caller.addressIsValid() && level != expected) {
    std::fprintf(stderr, "level %lu for the caller, expected %lu\n", level, expected);
    std::abort();
  }

  gxobj_t record{};
  unsigned long st = 0;
  pop.encode(record, st);
  if (st != 0) return 0;
  GxPop* stored = nullptr;
  GxPop::decode(record, &stored, st);
  hxAsnFreeObj(record);
  if (st != 0 || !stored) {
    std::fprintf(stderr, "a POP does not decode from its own record (0x%lx)\n", st);
    std::abort();
  }
  if (stored->getIPAuthList() != 0 || stored->get_auth_level(caller) != level) {
    std::fprintf(stderr, "the stored POP gives another level\n");
    std::abort();
  }
  delete stored;
  return 0;
}
