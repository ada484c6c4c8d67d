// BER codec of the protected-object database forms (layout in
// outside/hxasn_pobj.h).
#include "outside/hxasn_pobj.h"

#include <cstdlib>

#include "outside/hxasn.h"

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, pobj_s_t const& in) {
  out = hx_asn_buffer_t{0, nullptr};
  HxBerWriter w;
  w.beginSequence();
  w.putUInt32(in.type);
  w.putUInt32(in.policy_attachable);
  w.putString(in.description);
  w.putUInt32(in.reserved1);
  w.putUInt32(in.reserved2);
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, pobj_s_t& out) {
  out = pobj_s_t{};
  HxBerReader r(in);
  pobj_s_t p{};
  if (!r.beginSequence() || !r.getUInt32(p.type) || !r.getUInt32(p.policy_attachable) ||
      !r.getString(p.description))
    return hx_asn_s_decode_failed;
  if (!r.getUInt32(p.reserved1) || !r.getUInt32(p.reserved2) || !r.endSequence() || !r.finished()) {
    hxAsnFreeObj(p);
    return hx_asn_s_decode_failed;
  }
  out = p;
  return 0;
}

void hxAsnFreeObj(pobj_s_t& s) {
  std::free(s.description);
  s = pobj_s_t{};
}

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, pobjspace_s_t const& in) {
  out = hx_asn_buffer_t{0, nullptr};
  if (!hx_strings_present(in.names, in.count)) return hx_asn_s_encode_failed;
  HxBerWriter w;
  w.beginSequence();
  w.putUInt32(in.reserved1);
  w.putUInt32(in.reserved2);
  w.putUInt32(in.count);
  w.putStrings(in.names, in.count);
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, pobjspace_s_t& out) {
  out = pobjspace_s_t{};
  HxBerReader r(in);
  pobjspace_s_t s{};
  // s owns the names once they are read.
  struct Guard {
    pobjspace_s_t& s;
    ~Guard() { hxAsnFreeObj(s); }
  } guard{s};
  uint32_t count = 0;
  if (!r.beginSequence() || !r.getUInt32(s.reserved1) || !r.getUInt32(s.reserved2) || !r.getUInt32(count) ||
      !r.getStrings(count, s.names, s.count) || !r.endSequence() || !r.finished())
    return hx_asn_s_decode_failed;
  out = s;
  s = pobjspace_s_t{};  // the guard now frees nothing
  return 0;
}

void hxAsnFreeObj(pobjspace_s_t& s) {
  hx_free_strings(s.names, s.count);
  s = pobjspace_s_t{};
}
