// BER codec of the policy-object map database form (layout in
// outside/hxasn_map.h).
#include "outside/hxasn_map.h"

#include <cstdlib>

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, map_acl_to_pobj_s_t const& in) {
  out = hx_asn_buffer_t{0, nullptr};
  if (!hx_strings_present(in.names, in.count)) return hx_asn_s_encode_failed;
  HxBerWriter w;
  w.beginSequence();
  w.putUInt32(in.count);
  w.putUInt32(in.reserved1);
  w.putUInt32(in.reserved2);
  w.putStrings(in.names, in.count);
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, map_acl_to_pobj_s_t& out) {
  out = map_acl_to_pobj_s_t{};
  HxBerReader r(in);
  map_acl_to_pobj_s_t map{};
  uint32_t count = 0;
  // map owns the names once they are read.
  struct Guard {
    map_acl_to_pobj_s_t& m;
    ~Guard() { hxAsnFreeObj(m); }
  } guard{map};
  if (!r.beginSequence() || !r.getUInt32(count) || !r.getUInt32(map.reserved1) ||
      !r.getUInt32(map.reserved2) || !r.getStrings(count, map.names, map.count) || !r.endSequence() ||
      !r.finished())
    return hx_asn_s_decode_failed;
  out = map;
  map = map_acl_to_pobj_s_t{};  // the guard now frees nothing
  return 0;
}

void hxAsnFreeObj(map_acl_to_pobj_s_t& s) {
  hx_free_strings(s.names, s.count);
  s = map_acl_to_pobj_s_t{};
}
