// Plain structures of permission sets and ACLs, shared by the permission-set
// functions (GxCore/perm.h), the ACL object (GxCore/GxAcl.h), ACL evaluation
// (GxCore/acleval.h) and the BER codec, and the codec of an ACL's database
// form. Everything a structure points to is allocated with malloc/calloc/
// realloc/strdup and released with free, because the codec fills and frees
// the same structures that the library code builds.
//
// Codec (see outside/hxasn.h for the common rules):
//   acl      ::= SEQUENCE { description OCTET STRING | NULL,
//                           reserved1 INTEGER, reserved2 INTEGER,
//                           count INTEGER,
//                           entries SEQUENCE OF entry }   -- exactly count
//   entry    ::= SEQUENCE { entry_type INTEGER,
//                           id OCTET STRING (16 bytes, network order),
//                           perms OCTET STRING (4 bytes per group mask,
//                                               big-endian, group 0 first) }
// An entry's aux block is not encoded; a decoded entry has aux null.
#pragma once

#include <cstdint>

#include "outside/gxobj.h"
#include "outside/hxutil.h"

// One mask of 32 actions per action group: word g of groups is the mask of
// group g for g < count. An initialised empty set has count 0 and groups
// null; the array may be longer than count words.
struct acl_permset_s_t {
  uint32_t count;
  uint32_t* groups;
};

// Stored ACL entry types.
enum : uint32_t {
  acl_e_user = 3,            // id is a principal uuid
  acl_e_group = 4,           // id is a group uuid
  acl_e_unauthenticated = 9, // callers that did not authenticate
  acl_e_any_other = 11,      // every authenticated caller
};

struct acl_entry_s_t {
  acl_permset_s_t perms;  // the actions granted
  uint32_t entry_type;    // one of the acl_e_* values
  hx_uuid_t id;           // meaningful for user and group entries only
  void* aux;              // owned block of a user or group entry, or null
};

struct acl_ext_s_t {
  char* description;       // owned text or null
  uint32_t num_entries;
  acl_entry_s_t* entries;  // num_entries entries; null when there are none
  uint32_t reserved1;      // carried by the codec; zero in every ACL object
  uint32_t reserved2;
};

// Encodes in into a new buffer (out is overwritten, not freed first).
// Returns 0 or hx_asn_s_encode_failed (out empty).
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, acl_ext_s_t const& in);
// Fills out from the bytes of in (out is overwritten, not freed first).
// Returns 0, or hx_asn_s_decode_failed with out zeroed and nothing allocated.
// The declared entry count is checked against the bytes left before the
// entry array is allocated.
// Records the in-place reader takes (outside/hxasn_view.h: nearly all, and
// every record this library writes) are read without the general reader,
// several times faster; the rest go to hxAsnDecodeObjGeneral.
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, acl_ext_s_t& out);
// The same with the general reader alone: the same result for every input
// (the codec's tests and fuzz target compare the two).
unsigned long hxAsnDecodeObjGeneral(hx_asn_buffer_t const& in, acl_ext_s_t& out);
// Frees the description, every entry's mask array and aux block and the
// entry array, and zeroes s.
void hxAsnFreeObj(acl_ext_s_t& s);

// The answer of an ACL's database form to one caller (hxAsnAclAnswer).
enum hx_acl_answer : int {
  hx_acl_denied = 0,      // the ACL does not grant every requested action
  hx_acl_granted = 1,     // it grants all of them
  hx_acl_unreadable = 2,  // the bytes are not an encoding this reader takes: decode them instead
};

// A caller as hxAsnAclAnswer takes it: principal null for an unauthenticated
// caller; else the principal's uuid and its groups' (groups may be null when
// groupCount is 0).
struct hx_acl_caller {
  hx_uuid_t const* principal;
  hx_uuid_t const* groups;
  uint32_t groupCount;
};

// Whether the ACL encoded in bytes (its database form, layout above) grants
// caller every action of requested, read in place: nothing is allocated and
// nothing decoded into structures. The answer is the one evaluating the
// decoded ACL gives (GxCore/acleval.h: the caller's last user entry alone;
// else the union of its groups' entries; else the last any-other entry; an
// unauthenticated caller the any-other AND the unauthenticated entry), for
// every encoding this reader takes. It takes a subset of what
// hxAsnDecodeObj takes (outside/hxasn_view.h) and answers hx_acl_unreadable
// for the rest, for a requested set of more than 64 words, and for a null
// requested.groups with a non-zero count: the caller then decodes the
// bytes, which gives the record's real status. No locks; pure.
hx_acl_answer hxAsnAclAnswer(void const* bytes, uint32_t length, hx_acl_caller const& caller,
                             acl_permset_s_t const& requested);
