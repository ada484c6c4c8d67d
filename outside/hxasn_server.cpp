// BER codec of the authorization-server record and of the authorization
// database information (layout in outside/hxasn_server.h).
#include "outside/hxasn_server.h"

#include <cstdlib>

#include "outside/hxasn.h"

namespace {

// The smallest encoding of one service: its SEQUENCE header (2), a NULL name
// (2), the count INTEGER (3) and an empty value list (2).
constexpr uint32_t minServiceBytes = 2 + 2 + 3 + 2;

void freeService(aznadmsvc_s_t& s) {
  std::free(s.name);
  hx_free_strings(s.values, s.count);
  s = aznadmsvc_s_t{};
}

bool putService(HxBerWriter& w, aznadmsvc_s_t const& s) {
  if (!hx_strings_present(s.values, s.count)) return false;
  w.beginSequence();
  w.putString(s.name);
  w.putUInt32(s.count);
  w.putStrings(s.values, s.count);
  w.endSequence();
  return true;
}

// Reads one service into s (zeroed by the caller); on failure s owns nothing.
bool getService(HxBerReader& r, aznadmsvc_s_t& s) {
  uint32_t count = 0;
  if (!r.beginSequence() || !r.getString(s.name) || !r.getUInt32(count) || !r.getStrings(count, s.values, s.count) ||
      !r.endSequence()) {
    freeService(s);
    return false;
  }
  return true;
}

}  // namespace

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, aznlocal_svr_s_t const& in) {
  out = hx_asn_buffer_t{0, nullptr};
  if (in.admsvc_count != 0 && in.admsvcs == nullptr) return hx_asn_s_encode_failed;
  HxBerWriter w;
  w.beginSequence();
  w.putString(in.id);
  w.putString(in.description);
  w.putString(in.user);
  w.putString(in.host);
  w.putUInt32(in.port);
  w.putUInt32(in.mode);
  w.putUInt32(in.version);
  w.putInt(in.listen);
  w.putUInt32(in.reserved1);
  w.putUInt32(in.reserved2);
  w.putUInt32(in.admsvc_count);
  w.beginSequence();
  for (uint32_t i = 0; i < in.admsvc_count && w.ok(); ++i)
    if (!putService(w, in.admsvcs[i])) return hx_asn_s_encode_failed;
  w.endSequence();
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, aznlocal_svr_s_t& out) {
  out = aznlocal_svr_s_t{};
  HxBerReader r(in);
  aznlocal_svr_s_t s{};
  // s owns what has been decoded so far; admsvc_count counts the complete
  // services.
  struct Guard {
    aznlocal_svr_s_t& s;
    ~Guard() { hxAsnFreeObj(s); }
  } guard{s};
  uint32_t count = 0;
  if (!r.beginSequence() || !r.getString(s.id) || !r.getString(s.description) || !r.getString(s.user) ||
      !r.getString(s.host) || !r.getUInt32(s.port) || !r.getUInt32(s.mode) || !r.getUInt32(s.version) ||
      !r.getInt32(s.listen) || !r.getUInt32(s.reserved1) || !r.getUInt32(s.reserved2) || !r.getUInt32(count) ||
      !r.beginSequence() || !r.checkCount(count, minServiceBytes))
    return hx_asn_s_decode_failed;
  if (count != 0 && (s.admsvcs = hx_calloc_array<aznadmsvc_s_t>(count)) == nullptr) return hx_asn_s_decode_failed;
  for (uint32_t i = 0; i < count; ++i) {
    if (!getService(r, s.admsvcs[i])) return hx_asn_s_decode_failed;
    s.admsvc_count = i + 1;
  }
  if (!r.endSequence() || !r.endSequence() || !r.finished()) return hx_asn_s_decode_failed;
  out = s;
  s = aznlocal_svr_s_t{};  // the guard now frees nothing
  return 0;
}

void hxAsnFreeObj(aznlocal_svr_s_t& s) {
  std::free(s.id);
  std::free(s.description);
  std::free(s.user);
  std::free(s.host);
  if (s.admsvcs != nullptr)
    for (uint32_t i = 0; i < s.admsvc_count; ++i) freeService(s.admsvcs[i]);
  std::free(s.admsvcs);
  s = aznlocal_svr_s_t{};
}

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxauthzn_db_s_t const& in) {
  out = hx_asn_buffer_t{0, nullptr};
  HxBerWriter w;
  w.beginSequence();
  w.putUInt32(in.version);
  w.putUInt32(in.word1);
  w.putUInt32(in.word2);
  w.putUInt32(in.word3);
  w.putUInt32(in.word4);
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxauthzn_db_s_t& out) {
  out = gxauthzn_db_s_t{};
  HxBerReader r(in);
  gxauthzn_db_s_t d{};
  if (!r.beginSequence() || !r.getUInt32(d.version) || !r.getUInt32(d.word1) || !r.getUInt32(d.word2) ||
      !r.getUInt32(d.word3) || !r.getUInt32(d.word4) || !r.endSequence() || !r.finished())
    return hx_asn_s_decode_failed;
  out = d;
  return 0;
}

void hxAsnFreeObj(gxauthzn_db_s_t&) {}
