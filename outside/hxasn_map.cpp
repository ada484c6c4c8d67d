// BER codec of the policy-object map database form (layout in
// outside/hxasn_map.h).
#include "outside/hxasn_map.h"

#include <cstdlib>

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, map_acl_to_pobj_s_t const& in) {
  out = hx_asn_buffer_t{0, nullptr};
  if (in.count != 0 && in.names == nullptr) return hx_asn_s_encode_failed;
  HxBerWriter w;
  w.beginSequence();
  w.putUInt32(in.count);
  w.putUInt32(in.reserved1);
  w.putUInt32(in.reserved2);
  w.beginSequence();
  for (uint32_t i = 0; i < in.count && w.ok(); ++i) {
    if (in.names[i] == nullptr) return hx_asn_s_encode_failed;
    w.putString(in.names[i]);
  }
  w.endSequence();
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, map_acl_to_pobj_s_t& out) {
  out = map_acl_to_pobj_s_t{};
  HxBerReader r(in);
  map_acl_to_pobj_s_t map{};
  uint32_t count = 0;
  // map owns what has been decoded so far; its count is the number of
  // complete names.
  struct Guard {
    map_acl_to_pobj_s_t& m;
    ~Guard() { hxAsnFreeObj(m); }
  } guard{map};
  if (!r.beginSequence() || !r.getUInt32(count) || !r.getUInt32(map.reserved1) ||
      !r.getUInt32(map.reserved2) || !r.beginSequence() || !r.checkCount(count, 2))
    return hx_asn_s_decode_failed;
  if (count != 0) {
    map.names = hx_calloc_array<char*>(count);
    if (map.names == nullptr) return hx_asn_s_decode_failed;
  }
  for (uint32_t i = 0; i < count; ++i) {
    char* name = nullptr;
    // A NULL element would decode as a null name, which no map holds.
    if (!r.getString(name)) return hx_asn_s_decode_failed;
    if (name == nullptr) return hx_asn_s_decode_failed;
    map.names[i] = name;
    map.count = i + 1;
  }
  if (!r.endSequence() || !r.endSequence() || !r.finished()) return hx_asn_s_decode_failed;
  out = map;
  map = map_acl_to_pobj_s_t{};  // the guard now frees nothing
  return 0;
}

void hxAsnFreeObj(map_acl_to_pobj_s_t& s) {
  if (s.names != nullptr)
    for (uint32_t i = 0; i < s.count; ++i) std::free(s.names[i]);
  std::free(s.names);
  s = map_acl_to_pobj_s_t{};
}
