// Equality of decoded ACLs and maps, for the tests and the fuzz target that
// hold the in-place decoders to the general reader's results.
#pragma once

#include <cstring>

#include "outside/hxasn_acl.h"
#include "outside/hxasn_map.h"

namespace gxtest {

inline bool sameText(char const* a, char const* b) {
  return (a == nullptr) == (b == nullptr) && (a == nullptr || std::strcmp(a, b) == 0);
}

inline bool sameDecoded(acl_ext_s_t const& a, acl_ext_s_t const& b) {
  if (!sameText(a.description, b.description) || a.num_entries != b.num_entries || a.reserved1 != b.reserved1 ||
      a.reserved2 != b.reserved2 || (a.entries == nullptr) != (b.entries == nullptr))
    return false;
  for (uint32_t i = 0; i < a.num_entries; ++i) {
    acl_entry_s_t const &x = a.entries[i], &y = b.entries[i];
    if (x.entry_type != y.entry_type || std::memcmp(&x.id, &y.id, sizeof x.id) != 0 || x.aux != y.aux ||
        x.perms.count != y.perms.count || (x.perms.groups == nullptr) != (y.perms.groups == nullptr) ||
        (x.perms.count != 0 && std::memcmp(x.perms.groups, y.perms.groups, x.perms.count * 4) != 0))
      return false;
  }
  return true;
}

inline bool sameDecoded(map_acl_to_pobj_s_t const& a, map_acl_to_pobj_s_t const& b) {
  if (a.count != b.count || a.reserved1 != b.reserved1 || a.reserved2 != b.reserved2 ||
      (a.names == nullptr) != (b.names == nullptr))
    return false;
  for (uint32_t i = 0; i < a.count; ++i)
    if (!sameText(a.names[i], b.names[i])) return false;
  return true;
}

// Whether both decoders give the same status and the same structure for the
// bytes; what each made is freed.
template <class T>
bool decodersAgree(void const* bytes, uint32_t length) {
  hx_asn_buffer_t in{length, static_cast<unsigned char*>(const_cast<void*>(bytes))};
  T fast{}, general{};
  unsigned long const a = hxAsnDecodeObj(in, fast), b = hxAsnDecodeObjGeneral(in, general);
  bool const same = a == b && (a != 0 || sameDecoded(fast, general));
  hxAsnFreeObj(fast);
  hxAsnFreeObj(general);
  return same;
}

}  // namespace gxtest
