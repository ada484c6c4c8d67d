// Database form of the policy-object maps (GxCore/daPolicyObjectMap.h): one
// plain structure for every map kind, a list of names, and its BER codec.
// The names and the array are malloc'ed (strdup/malloc/realloc) and released
// with free, because the codec fills and frees the same structures that the
// map objects build.
//
// Codec (see outside/hxasn.h for the common rules):
//   map ::= SEQUENCE { count INTEGER,
//                      reserved1 INTEGER, reserved2 INTEGER,
//                      names SEQUENCE OF OCTET STRING }   -- exactly count
// A name holds no NUL byte; a null name cannot be encoded.
#pragma once

#include <cstdint>

#include "outside/gxobj.h"
#include "outside/hxasn.h"

struct map_acl_to_pobj_s_t {
  uint32_t count;
  char** names;        // count NUL-terminated names; null when count is 0
  uint32_t reserved1;  // carried by the codec; zeroed by the map classes
  uint32_t reserved2;
};

// Encodes in into a new buffer (out is overwritten, not freed first).
// Returns 0 or hx_asn_s_encode_failed (out empty), e.g. for a null name or a
// non-zero count with a null array.
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, map_acl_to_pobj_s_t const& in);
// Fills out from the bytes of in (out is overwritten, not freed first).
// Returns 0, or hx_asn_s_decode_failed with out zeroed and nothing
// allocated. The declared count is checked against the bytes left before
// the array is allocated.
// Records the in-place reader takes (outside/hxasn_view.h) are read
// without the general reader, several times faster.
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, map_acl_to_pobj_s_t& out);
// The same with the general reader alone: the same result for every input
// (the codec's tests and fuzz target compare the two).
unsigned long hxAsnDecodeObjGeneral(hx_asn_buffer_t const& in, map_acl_to_pobj_s_t& out);
// Frees every name and the array, and zeroes s.
void hxAsnFreeObj(map_acl_to_pobj_s_t& s);
