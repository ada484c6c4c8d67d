// BER codec of the policy-object map database form (layout in
// outside/hxasn_map.h).
#include "outside/hxasn_map.h"

#include <cstdlib>
#include <cstring>

#include "outside/hxasn_view.h"

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

namespace {

// The map in in, read in place (HxBerView) into map: the same structure,
// allocated the same way, as the reader below makes, for every record the
// view takes (a subset of what the reader takes). A decision reads the map
// of every object on its path that has one the first time it meets it, and
// the general reader costs several times as much. False when the view does
// not take the record or memory runs out: map then owns what was read (the
// caller frees it) and the reader gives the record's status.
bool decodeInPlace(hx_asn_buffer_t const& in, map_acl_to_pobj_s_t& map) {
  HxBerView r(in.data, in.length);
  uint32_t count = 0;
  if (!r.beginSequence() || !r.getUInt32(count) || !r.getUInt32(map.reserved1) || !r.getUInt32(map.reserved2) ||
      !r.beginSequence() || count > r.remaining() / 2)
    return false;
  if (count != 0 && (map.names = hx_calloc_array<char*>(count)) == nullptr) return false;
  for (uint32_t i = 0; i < count; ++i) {
    std::string_view name;
    if (r.peekTag() != HxBerView::kOctetString || !r.getText(name)) return false;  // a NULL element is no name
    // getText refused a NUL byte, so strndup copies the whole name.
    if ((map.names[i] = strndup(name.data(), name.size())) == nullptr) return false;
    map.count = i + 1;
  }
  return r.endSequence() && r.endSequence() && r.finished();
}

}  // namespace

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, map_acl_to_pobj_s_t& out) {
  out = map_acl_to_pobj_s_t{};
  map_acl_to_pobj_s_t map{};
  if (decodeInPlace(in, map)) {
    out = map;
    return 0;
  }
  hxAsnFreeObj(map);
  return hxAsnDecodeObjGeneral(in, out);
}

unsigned long hxAsnDecodeObjGeneral(hx_asn_buffer_t const& in, map_acl_to_pobj_s_t& out) {
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
