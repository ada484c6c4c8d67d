// Plain structure of a set of extended attributes (name/value pairs attached
// to a policy object or a protected object), shared by GxExtAttr
// (GxCore/GxExtAttr.h) and the BER codec, and the codec of its database
// form. Everything the structure points to is allocated with malloc/
// realloc/strdup and released with free, because the codec fills and frees
// the same structures that the library code builds.
//
// Codec (see outside/hxasn.h for the common rules):
//   extattr ::= SEQUENCE { reserved1 INTEGER, reserved2 INTEGER,
//                          count INTEGER,
//                          entries SEQUENCE OF entry }   -- exactly count
//   entry   ::= SEQUENCE { name OCTET STRING,
//                          value_count INTEGER,
//                          values SEQUENCE OF OCTET STRING } -- exactly value_count
// Names and values are never null in an encoding: a null name or value makes
// encoding fail, a NULL element makes decoding fail.
#pragma once

#include <cstdint>

#include "outside/gxobj.h"

struct gxextattr_entry_s_t {
  char* name;            // owned text
  uint32_t value_count;
  char** values;         // value_count owned texts; null when there are none
};

struct gxextattr_s_t {
  uint32_t count;                 // number of names
  gxextattr_entry_s_t* entries;   // count entries; null when there are none
  uint32_t reserved1;             // carried by the codec; zero in every object
  uint32_t reserved2;
};

// Encodes in into a new buffer (out is overwritten, not freed first).
// Returns 0 or hx_asn_s_encode_failed (out empty).
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxextattr_s_t const& in);
// Fills out from the bytes of in (out is overwritten, not freed first).
// Returns 0, or hx_asn_s_decode_failed with out zeroed and nothing allocated.
// Declared name and value counts are checked against the bytes left before
// their arrays are allocated.
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxextattr_s_t& out);
// Frees every name, value and array, and zeroes s.
void hxAsnFreeObj(gxextattr_s_t& s);
