// Plain structures of protected object policies (POPs), shared by GxPop
// (GxCore/GxPop.h) and the BER codec, and their codec. gxpop_s_t is the
// database form of a POP; gxpop_ipauth2_list_s_t, its IP-authentication
// list for IPv4 and IPv6 networks, travels encoded as the value of the
// "popipauthlist" entry of the POP's attribute list. Everything the
// structures point to is malloc'ed and released with free, because the
// codec fills and frees the same structures the library builds.
//
// Codec (see outside/hxasn.h for the common rules):
//   pop      ::= SEQUENCE { description OCTET STRING or NULL,
//                           day_access INTEGER, start_access INTEGER,
//                           end_access INTEGER, time_reference INTEGER,
//                           warning_mode INTEGER, audit_level INTEGER,
//                           qop INTEGER,
//                           ipauth_count INTEGER,
//                           ipauth SEQUENCE OF ipv4 -- exactly ipauth_count
//                           attr_count INTEGER,
//                           attrs SEQUENCE OF attr }  -- exactly attr_count
//   ipv4     ::= SEQUENCE { network INTEGER, netmask INTEGER, auth_level INTEGER }
//   attr     ::= SEQUENCE { name OCTET STRING, value_type INTEGER,
//                           reserved INTEGER, value OCTET STRING }
//   ipauth2  ::= SEQUENCE { count INTEGER, entries SEQUENCE OF entry } -- exactly count
//   entry    ::= SEQUENCE { auth_level INTEGER, network addr, netmask addr }
//   addr     ::= SEQUENCE { family INTEGER (0, 2 or 10),
//                           text OCTET STRING (at most 45 bytes, no NUL),
//                           bytes OCTET STRING (exactly 16) }
#pragma once

#include <cstdint>

#include "outside/attrlist.h"
#include "outside/gxobj.h"
#include "outside/ip_addr.h"

// One entry of the IPv4 list. Addresses are 32-bit values whose most
// significant byte is the first octet.
struct gxpop_ipauth_s_t {
  uint32_t network;
  uint32_t netmask;
  uint32_t auth_level;
};

// The database form of a POP. The access-window, audit and quality of
// protection words are carried without interpretation.
struct gxpop_s_t {
  char* description;            // owned text, or null
  uint32_t day_access;
  int32_t start_access;
  int32_t end_access;
  uint32_t time_reference;
  uint32_t warning_mode;        // holds an unsigned char; nonzero: warning mode on
  uint32_t audit_level;
  uint32_t qop;
  uint32_t ipauth_count;        // entries of the IPv4 list
  gxpop_ipauth_s_t* ipauth;     // ipauth_count entries; null when there are none
  attrlist_s_t attrlist;        // owned
};

// One entry of the IP-authentication list: a network of either family and
// the authentication level required from callers in it.
struct gxpop_ipauth2_s_t {
  uint32_t auth_level;
  ip_addr_s_t network;
  ip_addr_s_t netmask;
};

struct gxpop_ipauth2_list_s_t {
  uint32_t count;
  gxpop_ipauth2_s_t* entries;   // count entries; null when there are none
};

// Encode into a new buffer (out is overwritten, not freed first). Returns 0
// or hx_asn_s_encode_failed (out empty): a count without its array, an
// attribute entry without a name, or an encoding over the size limit.
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxpop_s_t const& in);
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxpop_ipauth2_list_s_t const& in);
// Fill out from the bytes of in (out is overwritten, not freed first).
// Return 0, or hx_asn_s_decode_failed with out zeroed and nothing
// allocated. Every declared count is checked against the bytes left before
// its array is allocated; address families other than 0, 2 and 10, texts
// over 45 bytes and address fields other than 16 bytes are refused.
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxpop_s_t& out);
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxpop_ipauth2_list_s_t& out);
// Free the description, the arrays and the attribute list, and zero s.
void hxAsnFreeObj(gxpop_s_t& s);
void hxAsnFreeObj(gxpop_ipauth2_list_s_t& s);
