// ACL evaluation: the permissions an ACL grants a caller, who is either an
// authenticated principal (its uuid and the uuids of its groups) or an
// unauthenticated caller. Works on the plain structure acl_ext_s_t, so it
// serves ACLs from the store (GxACL::value()) and ACLs a host built itself.
// Exported under bare names with C linkage.
//
// Precedence for an authenticated caller: a matching user entry (the last
// one, if several match), else the union of every group entry matching one
// of the caller's groups, else the any-other entry (the last one), else
// nothing. An unauthenticated caller gets what both the any-other and the
// unauthenticated entry grant (their intersection), or nothing when either
// is missing. The unauthenticated entry never applies to an authenticated
// caller.
//
// Pure functions over caller-owned data: no locks, and no allocation beyond
// growing the output set when it is smaller than the winning entry's set (a
// caller that reuses one output set across requests allocates nothing).
// The caller keeps the ACL unchanged during a call.
#pragma once

#include <cstdint>

#include "outside/hxasn_acl.h"
#include "outside/hxutil.h"

// A principal or group: its uuid and its name (owned text or null). Only
// the uuids take part in evaluation.
struct sec_id_t {
  hx_uuid_t uuid;
  char* name;
};

// A caller's privilege attributes: the principal and its groups.
struct sec_id_pa_t {
  sec_id_t principal;
  uint16_t num_groups;
  sec_id_t* groups;  // num_groups entries (null when there are none)
};

extern "C" {

// The permissions acl grants pa into out, which must be initialised (its
// old masks are overwritten; its count follows the entry that applied and
// stays as it was, all masks 0, when none applied). A null pa is an
// unauthenticated caller. *status is set to 0 (uuid comparisons cannot
// fail), as it is on every path.
void acl_inq_permset_for_pa(sec_id_pa_t* pa, acl_ext_s_t* acl, acl_permset_s_t* out, unsigned long* status);

// Which kind of ACL entry decided an evaluation.
enum acl_applied_entry_t : uint32_t {
  acl_applied_none = 0,             // no entry applied: nothing is granted
  acl_applied_user = 1,             // the caller's own user entry
  acl_applied_group = 2,            // the union of the caller's group entries
  acl_applied_any_other = 3,        // the any-other entry
  acl_applied_unauthenticated = 4,  // any-other AND unauthenticated, for an unauthenticated caller
};

// acl_inq_permset_for_pa, also telling which kind of entry applied (*applied
// may be null). Same output, statuses and allocation behaviour.
void acl_inq_permset_for_pa_applied(sec_id_pa_t* pa, acl_ext_s_t const* acl, acl_permset_s_t* out,
                                    acl_applied_entry_t* applied, unsigned long* status);

// The authenticated evaluation behind acl_inq_permset_for_pa, with an
// optional mask every entry's permissions pass through (perm_mask_entry).
// The flag bytes, the two uuid pointers and the second set are accepted for
// callers of the older signature and not used. Returns 0 when an entry
// applied, 1 when none did (out then has every mask 0). *status ends as the
// last uuid comparison left it.
uint32_t dce_acl__permset_alg(unsigned char, unsigned char, sec_id_pa_t* pa, acl_ext_s_t* acl, hx_uuid_t*,
                              hx_uuid_t*, acl_permset_s_t* mask, acl_permset_s_t*, acl_permset_s_t* out,
                              unsigned long* status);

// The unauthenticated evaluation: the any-other entry's set AND the
// unauthenticated entry's set (the last of each), with the any-other
// entry's count; every mask of out cleared when either entry is missing.
void dce_acl__inq_unauthen_perms(acl_ext_s_t const* acl, acl_permset_s_t* out);

}  // extern "C"
