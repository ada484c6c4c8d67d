// IP networks for the IP-authentication entries of protected object
// policies: a network address (host bits cleared) and a netmask of the same
// family, answering whether an address lies in the network. Built from
// invalid or mismatched parts, both addresses stay invalid and the network
// contains no address.
//
// A plain value class: no base class, no virtual operations, not
// synchronised.
#pragma once

#include "GxCore/GxAddress.h"

class GxNetwork {
 public:
  // Both addresses invalid.
  GxNetwork() = default;
  // When address and mask are both valid and of the same family, the
  // netmask is mask and the network address is address masked with it;
  // otherwise both stay invalid.
  GxNetwork(GxAddress const& address, GxAddress const& mask);
  // The same as GxNetwork(GxAddress(address), GxAddress(mask)); null or
  // unparsable texts give the invalid network.
  GxNetwork(char const* address, char const* mask);
  GxNetwork(GxNetwork const&) = default;
  GxNetwork& operator=(GxNetwork const&) = default;

  // Equal netmasks and equal network addresses (GxAddress::operator==).
  bool operator==(GxNetwork const& o) const { return netmask_ == o.netmask_ && network_ == o.network_; }
  bool operator!=(GxNetwork const& o) const { return !(*this == o); }

  // out becomes address ANDed byte by byte with this network's netmask, in
  // canonical text form. When the families differ, or both are invalid, out
  // is left unchanged.
  void maskNetwork(GxAddress const& address, GxAddress& out) const;
  // Copies of the network address and of the netmask.
  void getNetwork(GxAddress& out) const { out = network_; }
  void getNetmask(GxAddress& out) const { out = netmask_; }
  // True when address masked with the netmask equals the network address.
  // An address of the other family, an invalid address, and any address
  // tested against the invalid network give false.
  bool isSameNetwork(GxAddress const& address) const;
  bool isSameNetwork(GxNetwork const& other) const { return *this == other; }

 private:
  GxAddress network_;
  GxAddress netmask_;
};
