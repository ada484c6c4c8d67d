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
  if (in.count != 0 && in.names == nullptr) return hx_asn_s_encode_failed;
  for (uint32_t i = 0; i < in.count; ++i)
    if (in.names[i] == nullptr) return hx_asn_s_encode_failed;
  HxBerWriter w;
  w.beginSequence();
  w.putUInt32(in.reserved1);
  w.putUInt32(in.reserved2);
  w.putUInt32(in.count);
  w.beginSequence();
  for (uint32_t i = 0; i < in.count && w.ok(); ++i) w.putString(in.names[i]);
  w.endSequence();
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, pobjspace_s_t& out) {
  out = pobjspace_s_t{};
  HxBerReader r(in);
  pobjspace_s_t s{};
  // s owns what has been decoded so far; s.count counts the complete names.
  struct Guard {
    pobjspace_s_t& s;
    ~Guard() { hxAsnFreeObj(s); }
  } guard{s};
  uint32_t count = 0;
  if (!r.beginSequence() || !r.getUInt32(s.reserved1) || !r.getUInt32(s.reserved2) || !r.getUInt32(count) ||
      !r.beginSequence() || !r.checkCount(count, 2))
    return hx_asn_s_decode_failed;
  if (count != 0) {
    s.names = hx_calloc_array<char*>(count);
    if (s.names == nullptr) return hx_asn_s_decode_failed;
  }
  for (uint32_t i = 0; i < count; ++i) {
    char* name = nullptr;
    if (!r.getString(name)) return hx_asn_s_decode_failed;
    if (name == nullptr) return hx_asn_s_decode_failed;  // a NULL element is no name
    s.names[i] = name;
    s.count = i + 1;
  }
  if (!r.endSequence() || !r.endSequence() || !r.finished()) return hx_asn_s_decode_failed;
  out = s;
  s = pobjspace_s_t{};  // the guard now frees nothing
  return 0;
}

void hxAsnFreeObj(pobjspace_s_t& s) {
  if (s.names != nullptr)
    for (uint32_t i = 0; i < s.count; ++i) std::free(s.names[i]);
  std::free(s.names);
  s = pobjspace_s_t{};
}
