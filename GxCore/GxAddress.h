// IP addresses as protected object policies use them to restrict callers by
// network. A GxAddress is an IPv4 (family 2) or IPv6 (family 10) address
// kept both as binary bytes in network order and as text; family 0 marks an
// invalid address, which has an empty text. Constructors never fail: input
// that does not parse or format gives an invalid address, and callers test
// addressIsValid(). ip_addr_s_t (outside/ip_addr.h) is the plain form shared
// with the codec and with callers. GxNetwork (GxCore/GxNetwork.h) builds networks on it.
//
// Plain value classes: no base class, no virtual operations, not
// synchronised.
#pragma once

#include <cstddef>
#include <cstdint>

#include "outside/ZString.h"
#include "outside/ip_addr.h"  // ip_addr_s_t

// Returned by the accessors of an invalid address.
constexpr unsigned long gx_s_invalid_address = 0x14C527C7;

class GxAddress {
 public:
  static constexpr int familyNone = 0;
  static constexpr int familyIPv4 = 2;   // AF_INET on Linux
  static constexpr int familyIPv6 = 10;  // AF_INET6 on Linux

  // An invalid address.
  GxAddress() = default;
  // An IPv4 address from a 32-bit value whose most significant byte is the
  // first octet (0x0A000001 is 10.0.0.1); bits above 32 are ignored. The
  // text is the canonical formatting.
  explicit GxAddress(unsigned long a);
  // Parses s: IPv6 when it contains a colon, else IPv4 (dotted quad only).
  // On success the text is s exactly as given (not canonicalised); a null
  // or unparsable s gives an invalid address.
  explicit GxAddress(char const* s);
  // From bytes: 4 for family 2, 16 for family 10 (length is not used, the
  // family decides how many bytes are read). The text is the canonical
  // formatting. Any other family gives an invalid address.
  GxAddress(int family, int length, unsigned char const* bytes);
  // Copies family and the 16 bytes, and takes the text field up to its
  // first NUL (at most 46 bytes); nothing is parsed or checked. A null p
  // gives an invalid address.
  explicit GxAddress(ip_addr_s_t const* p);
  GxAddress(GxAddress const&) = default;
  GxAddress& operator=(GxAddress const&) = default;

  // Same family, same text and the same 4 (IPv4) or 16 (IPv6) bytes; two
  // invalid addresses are equal. Texts take part, so "fe80::0001" and
  // "fe80::1" differ.
  bool operator==(GxAddress const& o) const;
  bool operator!=(GxAddress const& o) const { return !(*this == o); }

  bool addressIsValid() const { return family_ != familyNone; }
  int addressFamily() const { return family_; }

  // Copies the binary address to out: 4 bytes for IPv4 when length >= 4,
  // else 16 bytes when length >= 16; a shorter buffer gets nothing. Returns
  // 0 for any valid address (also when nothing was copied) and
  // gx_s_invalid_address, out untouched, for an invalid one.
  unsigned long getBinAddress(int length, unsigned char* out) const;
  // out becomes the text. 0, or gx_s_invalid_address with out untouched.
  unsigned long getStrAddress(ZUTF8String_6_0& out) const;
  // Writes family, the 4 or 16 address bytes and the text (truncated to 45
  // bytes, NUL-terminated) into out; the other bytes of out are untouched.
  void to_ip_addr_t(ip_addr_s_t& out) const;

 private:
  // Formats bytes of family into text; on success stores all three fields.
  void setFromBytes(int family, unsigned char const* bytes);

  int family_ = familyNone;
  ZUTF8String_6_0 text_;
  unsigned char addr_[16] = {};
};
