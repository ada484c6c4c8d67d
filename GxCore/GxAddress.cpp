#include "GxCore/GxAddress.h"

#include <cstring>

#include "outside/ZInet.h"

namespace {

// Text buffer sizes that hold any formatted address with its NUL
// (INET_ADDRSTRLEN and INET6_ADDRSTRLEN).
constexpr unsigned int ipv4TextSize = 16;
constexpr unsigned int ipv6TextSize = 46;

size_t byteCount(int family) { return family == GxAddress::familyIPv4 ? 4 : 16; }

}  // namespace

GxAddress::GxAddress(unsigned long a) {
  unsigned char bytes[4] = {static_cast<unsigned char>(a >> 24), static_cast<unsigned char>(a >> 16),
                            static_cast<unsigned char>(a >> 8), static_cast<unsigned char>(a)};
  char buf[ipv4TextSize];
  if (zinet_ntop_6_0(familyIPv4, bytes, buf, sizeof buf) == nullptr) return;
  unsigned char parsed[4];
  if (zinet_pton_6_0(familyIPv4, buf, parsed) != 1) return;
  family_ = familyIPv4;
  text_ = buf;
  std::memcpy(addr_, parsed, sizeof parsed);
}

GxAddress::GxAddress(char const* s) {
  if (s == nullptr) return;
  int family = std::strchr(s, ':') != nullptr ? familyIPv6 : familyIPv4;
  unsigned char parsed[16] = {};
  if (zinet_pton_6_0(family, s, parsed) != 1) return;
  family_ = family;
  text_ = s;
  std::memcpy(addr_, parsed, sizeof parsed);
}

GxAddress::GxAddress(int family, int /*length*/, unsigned char const* bytes) {
  if (bytes != nullptr) setFromBytes(family, bytes);
}

GxAddress::GxAddress(ip_addr_s_t const* p) {
  if (p == nullptr) return;
  family_ = static_cast<int>(p->family);
  std::memcpy(addr_, p->addr, sizeof addr_);
  text_ = ZUTF8String_6_0(p->text, static_cast<unsigned int>(strnlen(p->text, sizeof p->text)));
}

void GxAddress::setFromBytes(int family, unsigned char const* bytes) {
  char buf[ipv6TextSize];
  unsigned int size;
  if (family == familyIPv4)
    size = ipv4TextSize;
  else if (family == familyIPv6)
    size = ipv6TextSize;
  else
    return;
  if (zinet_ntop_6_0(family, bytes, buf, size) == nullptr) return;
  family_ = family;
  text_ = buf;
  std::memset(addr_, 0, sizeof addr_);
  std::memcpy(addr_, bytes, byteCount(family));
}

bool GxAddress::operator==(GxAddress const& o) const {
  if (family_ != o.family_ || text_ != o.text_) return false;
  if (family_ == familyNone) return true;
  return std::memcmp(addr_, o.addr_, byteCount(family_)) == 0;
}

unsigned long GxAddress::getBinAddress(int length, unsigned char* out) const {
  if (!addressIsValid()) return gx_s_invalid_address;
  if (out == nullptr) return 0;
  if (family_ == familyIPv4 && length >= 4)
    std::memcpy(out, addr_, 4);
  else if (length >= 16)
    std::memcpy(out, addr_, 16);
  return 0;
}

unsigned long GxAddress::getStrAddress(ZUTF8String_6_0& out) const {
  if (!addressIsValid()) return gx_s_invalid_address;
  out = text_;
  return 0;
}

void GxAddress::to_ip_addr_t(ip_addr_s_t& out) const {
  out.family = static_cast<uint32_t>(family_);
  if (family_ != familyNone) std::memcpy(out.addr, addr_, byteCount(family_));
  size_t n = text_.getLength();
  if (n > sizeof out.text - 1) n = sizeof out.text - 1;
  std::memcpy(out.text, text_.getChars(), n);
  out.text[n] = '\0';
}
