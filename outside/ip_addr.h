// The plain form of an IP address, shared by GxAddress (GxCore/GxAddress.h),
// the POP codec (outside/hxasn_pop.h) and callers: family 0 (invalid), 2
// (IPv4) or 10 (IPv6), the address as text, and its bytes in network order.
#pragma once

#include <cstddef>
#include <cstdint>

// The plain address. addr follows the 46-byte text field directly (it does
// not start on a 4-byte boundary).
struct ip_addr_s_t {
  uint32_t family;          // 0, 2 or 10
  char text[46];            // the address as NUL-terminated text
  unsigned char addr[16];   // binary, network order; IPv4 uses the first 4
};
static_assert(offsetof(ip_addr_s_t, text) == 4);
static_assert(offsetof(ip_addr_s_t, addr) == 50);

// The families ip_addr_s_t::family holds (the Linux values of AF_INET and
// AF_INET6; 0 for an invalid address).
constexpr uint32_t ip_addr_family_none = 0;
constexpr uint32_t ip_addr_family_ipv4 = 2;
constexpr uint32_t ip_addr_family_ipv6 = 10;
