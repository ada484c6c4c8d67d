// ACL evaluation. Runs on every authorization request, so it makes one or
// two passes over the entries, allocates nothing of its own and writes the
// result straight into the caller's set. Whenever the output cannot be grown
// (heap exhausted) it is left with every mask 0 or a subset of the answer,
// never with permissions from an earlier request.
#include "GxCore/acleval.h"

#include <cstring>

#include "GxCore/perm.h"

namespace {

// uuid equality through hx_uuid_equal. The call crosses into another unit,
// and entries of other subjects almost always differ already in the first
// word, so that word is compared inline first; only candidates are passed on.
inline bool sameUuid(hx_uuid_t const& a, hx_uuid_t const& b, unsigned long* status) {
  if (a.time_low != b.time_low) return false;
  return hx_uuid_equal(a, b, *status) != 0;
}

// out |= the entry's permissions through mask (perm_mask_entry of the entry,
// then perm_or_equal), without a work set: out grows to the entry's count.
void orEntry(acl_entry_s_t const& e, acl_permset_s_t const* mask, acl_permset_s_t* out) {
  if (mask == nullptr) {
    perm_or_equal(out, &e.perms);
    return;
  }
  uint32_t const n = e.perms.count;
  if (out->count < n) {
    void* grown = perm_realloc(out->groups, size_t{n} * sizeof(uint32_t));
    if (grown == nullptr) return;
    out->groups = static_cast<uint32_t*>(grown);
    std::memset(out->groups + out->count, 0, size_t{n - out->count} * sizeof(uint32_t));
    out->count = n;
  }
  // Group entries are the only ones united here: masked word by word.
  for (uint32_t i = 0; i < n && i < mask->count; ++i) out->groups[i] |= e.perms.groups[i] & mask->groups[i];
}

// The authenticated evaluation: which kind of entry applied (out holds its
// permissions), or acl_applied_none with every mask of out cleared.
acl_applied_entry_t evaluateAuthenticated(sec_id_pa_t const* pa, acl_ext_s_t const* acl,
                                          acl_permset_s_t const* mask, acl_permset_s_t* out,
                                          unsigned long* status) {
  perm_set_minpermissions(out);
  if (pa == nullptr || acl == nullptr || acl->entries == nullptr) return acl_applied_none;

  acl_entry_s_t const* const entries = acl->entries;
  uint32_t const n = acl->num_entries;
  acl_entry_s_t const* user = nullptr;
  acl_entry_s_t const* anyOther = nullptr;
  bool hasGroups = false;
  for (uint32_t i = 0; i < n; ++i) {
    acl_entry_s_t const& e = entries[i];
    switch (e.entry_type) {
      case acl_e_user:
        if (sameUuid(e.id, pa->principal.uuid, status)) user = &e;
        break;
      case acl_e_group: hasGroups = true; break;
      case acl_e_any_other: anyOther = &e; break;
      default: break;
    }
  }
  if (user != nullptr) {
    perm_mask_entry(user, mask, out);
    return acl_applied_user;
  }

  if (hasGroups && pa->groups != nullptr) {
    sec_id_t const* const groups = pa->groups;
    uint32_t const ng = pa->num_groups;
    bool matched = false;
    for (uint32_t i = 0; i < n; ++i) {
      acl_entry_s_t const& e = entries[i];
      if (e.entry_type != acl_e_group) continue;
      for (uint32_t g = 0; g < ng; ++g) {
        if (!sameUuid(e.id, groups[g].uuid, status)) continue;
        // A group listed twice would only add the same bits again.
        if (!matched) perm_mask_entry(&e, mask, out);  // the union starts as this entry's set
        else orEntry(e, mask, out);
        matched = true;
        break;
      }
    }
    if (matched) return acl_applied_group;
  }

  if (anyOther != nullptr) {
    perm_mask_entry(anyOther, mask, out);
    return acl_applied_any_other;
  }
  return acl_applied_none;  // out was cleared above and not touched since
}

// The unauthenticated evaluation; acl_applied_unauthenticated when both
// entries exist (out may still be all zeros when it could not grow).
acl_applied_entry_t evaluateUnauthenticated(acl_ext_s_t const* acl, acl_permset_s_t* out) {
  if (out == nullptr) return acl_applied_none;
  perm_set_minpermissions(out);
  if (acl == nullptr || acl->entries == nullptr) return acl_applied_none;
  acl_entry_s_t const* unauth = nullptr;
  acl_entry_s_t const* anyOther = nullptr;
  for (uint32_t i = 0; i < acl->num_entries; ++i) {
    acl_entry_s_t const& e = acl->entries[i];
    if (e.entry_type == acl_e_unauthenticated) unauth = &e;
    else if (e.entry_type == acl_e_any_other) anyOther = &e;
  }
  if (unauth == nullptr || anyOther == nullptr) return acl_applied_none;
  perm_copy(out, &anyOther->perms);
  if (out->count != anyOther->perms.count) {  // could not grow: grant nothing
    perm_set_minpermissions(out);
    return acl_applied_unauthenticated;
  }
  perm_and_equal(out, &unauth->perms);
  return acl_applied_unauthenticated;
}

}  // namespace

extern "C" {

uint32_t dce_acl__permset_alg(unsigned char, unsigned char, sec_id_pa_t* pa, acl_ext_s_t* acl, hx_uuid_t*,
                              hx_uuid_t*, acl_permset_s_t* mask, acl_permset_s_t*, acl_permset_s_t* out,
                              unsigned long* status) {
  unsigned long ignored = 0;
  if (status == nullptr) status = &ignored;
  *status = 0;
  if (out == nullptr) return 1;
  return evaluateAuthenticated(pa, acl, mask, out, status) == acl_applied_none ? 1 : 0;
}

void dce_acl__inq_unauthen_perms(acl_ext_s_t const* acl, acl_permset_s_t* out) {
  (void)evaluateUnauthenticated(acl, out);
}

void acl_inq_permset_for_pa_applied(sec_id_pa_t* pa, acl_ext_s_t const* acl, acl_permset_s_t* out,
                                    acl_applied_entry_t* applied, unsigned long* status) {
  unsigned long ignored = 0;
  if (status == nullptr) status = &ignored;
  *status = 0;
  acl_applied_entry_t kind = acl_applied_none;
  if (pa == nullptr) kind = evaluateUnauthenticated(acl, out);
  else if (out != nullptr) kind = evaluateAuthenticated(pa, acl, nullptr, out, status);
  if (applied != nullptr) *applied = kind;
}

void acl_inq_permset_for_pa(sec_id_pa_t* pa, acl_ext_s_t* acl, acl_permset_s_t* out, unsigned long* status) {
  acl_inq_permset_for_pa_applied(pa, acl, out, nullptr, status);
}

}  // extern "C"
