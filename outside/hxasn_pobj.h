// Plain structures of protected objects and of the object-space list, shared
// by GxPObj / GxPObjSpace (GxCore/GxPObj.h) and the BER codec, and the codec
// of their database forms. Everything a structure points to is allocated
// with malloc/realloc/strdup and released with free, because the codec fills
// and frees the same structures the objects build.
//
// Codec (see outside/hxasn.h for the common rules):
//   pobj      ::= SEQUENCE { type INTEGER, policy_attachable INTEGER,
//                            description OCTET STRING | NULL,
//                            reserved1 INTEGER, reserved2 INTEGER }
//   pobjspace ::= SEQUENCE { reserved1 INTEGER, reserved2 INTEGER,
//                            count INTEGER,
//                            names SEQUENCE OF OCTET STRING }  -- exactly count
// An object-space name is never null: a NULL element in the list does not
// decode, and a list holding a null name does not encode.
#pragma once

#include <cstdint>

#include "outside/gxobj.h"

struct pobj_s_t {
  uint32_t type;               // protected-object type number (not interpreted)
  uint32_t policy_attachable;  // nonzero when policies may be attached
  char* description;           // owned text or null
  uint32_t reserved1;          // carried by the codec; zero in every object
  uint32_t reserved2;
};

struct pobjspace_s_t {
  uint32_t count;      // number of names
  char** names;        // count owned names; null when there are none
  uint32_t reserved1;  // carried by the codec; zero in every object
  uint32_t reserved2;
};

// Encode: the structure into a new buffer (out is overwritten, not freed
// first). Returns 0 or hx_asn_s_encode_failed (out empty).
// Decode: out is overwritten, not freed first. Returns 0, or
// hx_asn_s_decode_failed with out zeroed and nothing allocated.
// Free: releases what the structure points to and zeroes it.
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, pobj_s_t const& in);
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, pobj_s_t& out);
void hxAsnFreeObj(pobj_s_t& s);

// The declared name count is checked against the bytes left before the name
// array is allocated.
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, pobjspace_s_t const& in);
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, pobjspace_s_t& out);
void hxAsnFreeObj(pobjspace_s_t& s);
