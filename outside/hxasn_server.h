// Plain structures of authorization-server records and of the authorization
// database information record, shared by AznLocalSvr (GxCore/AznLocalSvr.h),
// GxAuthznDBInfo (GxCore/GxAuthznDBInfo.h) and the BER codec, and the codec
// of their database forms. What the codec decodes is malloc'ed and released
// by hxAsnFreeObj; the structures a server object builds for encoding point
// at the object's own texts instead (AznLocalSvr::convert / freeConvert), so
// they must never be passed to hxAsnFreeObj.
//
// Codec (see outside/hxasn.h for the common rules):
//   server ::= SEQUENCE { id, description, user, host  -- OCTET STRING | NULL
//                         port INTEGER, mode INTEGER, version INTEGER,
//                         listen INTEGER, reserved1 INTEGER, reserved2 INTEGER,
//                         count INTEGER,
//                         services SEQUENCE OF service }  -- exactly count
//   service ::= SEQUENCE { name OCTET STRING | NULL, count INTEGER,
//                          values SEQUENCE OF OCTET STRING }  -- exactly count
//   dbinfo ::= SEQUENCE { five INTEGERs, in field order }
// A service value is never null: a NULL element among the values does not
// decode, and a service holding a null value does not encode.
#pragma once

#include <cstdint>

#include "outside/gxobj.h"

// Service mode of an authorization server; stored and transferred only.
using azn_service_mode_t = uint32_t;

struct aznadmsvc_s_t {
  char* name;      // service name, or null
  uint32_t count;  // number of values
  char** values;   // count values; null when there are none
};

struct aznlocal_svr_s_t {
  char* id;                 // server identifier (its name), or null
  char* description;
  char* user;               // user the server runs as
  char* host;
  uint32_t port;
  azn_service_mode_t mode;
  uint32_t version;
  int32_t listen;           // nonzero when the server listens
  uint32_t admsvc_count;
  aznadmsvc_s_t* admsvcs;   // admsvc_count services; null when there are none
  uint32_t reserved1;       // carried by the codec; zero in every record built
  uint32_t reserved2;
};

// Database-wide values; owns no memory. version is the database version.
struct gxauthzn_db_s_t {
  uint32_t version;
  uint32_t word1;  // the other four words are stored and transferred only
  uint32_t word2;
  uint32_t word3;
  uint32_t word4;
};

// Encode: the structure into a new buffer (out is overwritten, not freed
// first). Returns 0 or hx_asn_s_encode_failed (out empty).
// Decode: out is overwritten, not freed first. Returns 0, or
// hx_asn_s_decode_failed with out zeroed and nothing allocated. Declared
// service and value counts are checked against the bytes left before their
// arrays are allocated.
// Free: releases what a decoded structure points to and zeroes it.
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, aznlocal_svr_s_t const& in);
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, aznlocal_svr_s_t& out);
void hxAsnFreeObj(aznlocal_svr_s_t& s);

// The database information owns no memory: its hxAsnFreeObj does nothing.
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxauthzn_db_s_t const& in);
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxauthzn_db_s_t& out);
void hxAsnFreeObj(gxauthzn_db_s_t& s);
