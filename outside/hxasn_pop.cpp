// BER codec of the POP structures (layout in outside/hxasn_pop.h).
#include "outside/hxasn_pop.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "outside/hxasn.h"

namespace {

// Smallest encodings of one array element, for checkCount: a SEQUENCE
// header (2) and the smallest encoding of each field (3 for an INTEGER, 2
// for an empty OCTET STRING, 18 for the 16 address bytes).
constexpr uint32_t minIPv4Bytes = 2 + 3 * 3;
constexpr uint32_t minAttrBytes = 2 + 2 + 3 + 3 + 2;
constexpr uint32_t minAddrBytes = 2 + 3 + 2 + 18;
constexpr uint32_t minIPAuth2Bytes = 2 + 3 + 2 * minAddrBytes;

constexpr uint32_t addrTextMax = sizeof(ip_addr_s_t::text) - 1;  // room for the NUL
constexpr uint32_t addrBytes = sizeof(ip_addr_s_t::addr);

// ---- attribute list -----------------------------------------------------------

bool putAttrList(HxBerWriter& w, attrlist_s_t const& list) {
  if (list.count != 0 && list.entries == nullptr) return false;
  w.putUInt32(list.count);
  w.beginSequence();
  for (uint32_t i = 0; i < list.count && w.ok(); ++i) {
    attrlist_entry_s_t const& e = list.entries[i];
    if (e.name == nullptr || (e.value.length != 0 && e.value.data == nullptr)) return false;
    w.beginSequence();
    w.putString(e.name);
    w.putUInt32(e.value.value_type);
    w.putUInt32(e.value.reserved);
    w.putBytes(e.value.data, e.value.length);
    w.endSequence();
  }
  w.endSequence();
  return true;
}

// Reads one entry into e (zeroed by the caller); on failure e owns nothing.
bool getAttr(HxBerReader& r, attrlist_entry_s_t& e) {
  char* name = nullptr;
  unsigned char* bytes = nullptr;
  uint32_t n = 0;
  if (!r.beginSequence() || !r.getString(name)) return false;
  hx_malloc_ptr<char> ownedName(name);
  if (name == nullptr || !r.getUInt32(e.value.value_type) || !r.getUInt32(e.value.reserved) ||
      !r.getBytes(bytes, n))
    return false;
  hx_malloc_ptr<unsigned char> ownedBytes(bytes);
  if (!r.endSequence()) return false;
  e.name = ownedName.release();
  e.value.length = n;
  // An empty value owns no block (the reader hands out one byte for it).
  e.value.data = n != 0 ? ownedBytes.release() : nullptr;
  return true;
}

// Reads the count and the entries into list (empty on entry); on failure
// list owns nothing.
bool getAttrList(HxBerReader& r, attrlist_s_t& list) {
  uint32_t count = 0;
  if (!r.getUInt32(count) || !r.beginSequence() || !r.checkCount(count, minAttrBytes)) return false;
  if (count != 0) {
    list.entries = hx_calloc_array<attrlist_entry_s_t>(count);
    if (list.entries == nullptr) return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (!getAttr(r, list.entries[i])) {
      attrlist_free(list);
      return false;
    }
    list.count = i + 1;
  }
  if (!r.endSequence()) {
    attrlist_free(list);
    return false;
  }
  return true;
}

// ---- IPv4 list ----------------------------------------------------------------

bool getIPv4List(HxBerReader& r, gxpop_s_t& pop) {
  uint32_t count = 0;
  if (!r.getUInt32(count) || !r.beginSequence() || !r.checkCount(count, minIPv4Bytes)) return false;
  hx_malloc_ptr<gxpop_ipauth_s_t> entries(hx_calloc_array<gxpop_ipauth_s_t>(count));
  if (count != 0 && !entries) return false;
  for (uint32_t i = 0; i < count; ++i) {
    gxpop_ipauth_s_t& e = entries.get()[i];
    if (!r.beginSequence() || !r.getUInt32(e.network) || !r.getUInt32(e.netmask) || !r.getUInt32(e.auth_level) ||
        !r.endSequence())
      return false;
  }
  if (!r.endSequence()) return false;
  pop.ipauth_count = count;
  pop.ipauth = entries.release();
  return true;
}

// ---- addresses ----------------------------------------------------------------

bool putAddr(HxBerWriter& w, ip_addr_s_t const& a) {
  size_t const textLength = strnlen(a.text, sizeof a.text);
  if (textLength > addrTextMax) return false;  // no NUL: not a text
  w.beginSequence();
  w.putUInt32(a.family);
  w.putBytes(a.text, static_cast<uint32_t>(textLength));
  w.putBytes(a.addr, addrBytes);
  w.endSequence();
  return true;
}

// a is zeroed by the caller, so the text is NUL-terminated.
bool getAddr(HxBerReader& r, ip_addr_s_t& a) {
  std::string_view text;
  unsigned char* bytes = nullptr;
  uint32_t n = 0;
  if (!r.beginSequence() || !r.getUInt32(a.family) || !r.getText(text, addrTextMax) || !r.getBytes(bytes, n, addrBytes))
    return false;
  hx_malloc_ptr<unsigned char> owned(bytes);
  if (n != addrBytes || !r.endSequence()) return false;
  if (a.family != ip_addr_family_none && a.family != ip_addr_family_ipv4 && a.family != ip_addr_family_ipv6)
    return false;
  std::memcpy(a.text, text.data(), text.size());
  std::memcpy(a.addr, bytes, addrBytes);
  return true;
}

}  // namespace

// ---- gxpop_s_t ----------------------------------------------------------------

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxpop_s_t const& in) {
  out = hx_asn_buffer_t{0, nullptr};
  if (in.ipauth_count != 0 && in.ipauth == nullptr) return hx_asn_s_encode_failed;
  HxBerWriter w;
  w.beginSequence();
  w.putString(in.description);
  w.putUInt32(in.day_access);
  w.putInt(in.start_access);
  w.putInt(in.end_access);
  w.putUInt32(in.time_reference);
  w.putUInt32(in.warning_mode);
  w.putUInt32(in.audit_level);
  w.putUInt32(in.qop);
  w.putUInt32(in.ipauth_count);
  w.beginSequence();
  for (uint32_t i = 0; i < in.ipauth_count && w.ok(); ++i) {
    w.beginSequence();
    w.putUInt32(in.ipauth[i].network);
    w.putUInt32(in.ipauth[i].netmask);
    w.putUInt32(in.ipauth[i].auth_level);
    w.endSequence();
  }
  w.endSequence();
  if (!putAttrList(w, in.attrlist)) return hx_asn_s_encode_failed;
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxpop_s_t& out) {
  out = gxpop_s_t{};
  HxBerReader r(in);
  gxpop_s_t pop{};
  // pop owns whatever has been decoded so far.
  struct Guard {
    gxpop_s_t& p;
    ~Guard() { hxAsnFreeObj(p); }
  } guard{pop};
  if (!r.beginSequence() || !r.getString(pop.description) || !r.getUInt32(pop.day_access) ||
      !r.getInt32(pop.start_access) || !r.getInt32(pop.end_access) || !r.getUInt32(pop.time_reference) ||
      !r.getUInt32(pop.warning_mode) || !r.getUInt32(pop.audit_level) || !r.getUInt32(pop.qop) ||
      !getIPv4List(r, pop) || !getAttrList(r, pop.attrlist) || !r.endSequence() || !r.finished())
    return hx_asn_s_decode_failed;
  out = pop;
  pop = gxpop_s_t{};  // the guard now frees nothing
  return 0;
}

void hxAsnFreeObj(gxpop_s_t& s) {
  std::free(s.description);
  std::free(s.ipauth);
  attrlist_free(s.attrlist);
  s = gxpop_s_t{};
}

// ---- gxpop_ipauth2_list_s_t ---------------------------------------------------

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxpop_ipauth2_list_s_t const& in) {
  out = hx_asn_buffer_t{0, nullptr};
  if (in.count != 0 && in.entries == nullptr) return hx_asn_s_encode_failed;
  HxBerWriter w;
  w.beginSequence();
  w.putUInt32(in.count);
  w.beginSequence();
  for (uint32_t i = 0; i < in.count && w.ok(); ++i) {
    gxpop_ipauth2_s_t const& e = in.entries[i];
    w.beginSequence();
    w.putUInt32(e.auth_level);
    if (!putAddr(w, e.network) || !putAddr(w, e.netmask)) return hx_asn_s_encode_failed;
    w.endSequence();
  }
  w.endSequence();
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxpop_ipauth2_list_s_t& out) {
  out = gxpop_ipauth2_list_s_t{};
  HxBerReader r(in);
  uint32_t count = 0;
  if (!r.beginSequence() || !r.getUInt32(count) || !r.beginSequence() || !r.checkCount(count, minIPAuth2Bytes))
    return hx_asn_s_decode_failed;
  hx_malloc_ptr<gxpop_ipauth2_s_t> entries(hx_calloc_array<gxpop_ipauth2_s_t>(count));
  if (count != 0 && !entries) return hx_asn_s_decode_failed;
  for (uint32_t i = 0; i < count; ++i) {
    gxpop_ipauth2_s_t& e = entries.get()[i];
    if (!r.beginSequence() || !r.getUInt32(e.auth_level) || !getAddr(r, e.network) || !getAddr(r, e.netmask) ||
        !r.endSequence())
      return hx_asn_s_decode_failed;
  }
  if (!r.endSequence() || !r.endSequence() || !r.finished()) return hx_asn_s_decode_failed;
  out.count = count;
  out.entries = entries.release();
  return 0;
}

void hxAsnFreeObj(gxpop_ipauth2_list_s_t& s) {
  std::free(s.entries);
  s = gxpop_ipauth2_list_s_t{};
}
