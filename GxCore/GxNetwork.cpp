#include "GxCore/GxNetwork.h"

GxNetwork::GxNetwork(GxAddress const& address, GxAddress const& mask) {
  if (!address.addressIsValid() || !mask.addressIsValid() || address.addressFamily() != mask.addressFamily())
    return;
  netmask_ = mask;
  maskNetwork(address, network_);
  // The address's family matched, so masking succeeded unless the bytes
  // could not be formatted; never keep a half-built network.
  if (!network_.addressIsValid()) netmask_ = GxAddress();
}

GxNetwork::GxNetwork(char const* address, char const* mask) : GxNetwork(GxAddress(address), GxAddress(mask)) {}

void GxNetwork::maskNetwork(GxAddress const& address, GxAddress& out) const {
  int family = address.addressFamily();
  if (family != netmask_.addressFamily() || family == GxAddress::familyNone) return;
  int n = family == GxAddress::familyIPv4 ? 4 : 16;
  unsigned char a[16] = {}, m[16] = {};
  address.getBinAddress(n, a);
  netmask_.getBinAddress(n, m);
  for (int i = 0; i < n; ++i) a[i] &= m[i];
  out = GxAddress(family, n, a);
}

bool GxNetwork::isSameNetwork(GxAddress const& address) const {
  // The invalid network holds nothing: without this, an address of any
  // family would mask to an invalid address and equal its invalid network
  // address.
  if (!network_.addressIsValid()) return false;
  GxAddress masked;
  maskNetwork(address, masked);
  return masked == network_;
}
