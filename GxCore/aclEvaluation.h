// The ACL evaluation algorithm over any layout of entries (internal: not
// installed). acleval.cpp runs it on an ACL's own form (acl_ext_s_t); the
// decisions' memo runs it on a compact copy of the entries, laid out for one
// warm decision to read as few cache lines as it can. One algorithm, so the
// two cannot drift apart: see acleval.h for its precedence rules.
//
// Entries is a view with:
//   uint32_t size() const;
//   uint32_t type(uint32_t i) const;                 // acl_e_*
//   bool holds(uint32_t i, hx_uuid_t const& u, unsigned long* status) const;
//                                                    // entry i's id is u
//   acl_permset_s_t perms(uint32_t i) const;         // or a const reference
// Pure functions over caller-owned data: no locks, and no allocation beyond
// growing out when it is smaller than the winning entry's set.
#pragma once

#include <cstdint>
#include <cstring>

#include "GxCore/acleval.h"
#include "GxCore/perm.h"

namespace gxacl {

// out becomes the entry's set through mask (perm_mask_entry).
inline void maskEntry(std::uint32_t type, acl_permset_s_t const& perms, acl_permset_s_t const* mask,
                      acl_permset_s_t* out) {
  if (mask == nullptr) {
    perm_copy(out, &perms);
    return;
  }
  acl_entry_s_t const e{perms, type, {}, nullptr};
  perm_mask_entry(&e, mask, out);
}

// out |= the entry's permissions through mask, without a work set: out
// grows to the entry's count.
inline void orEntry(acl_permset_s_t const& perms, acl_permset_s_t const* mask, acl_permset_s_t* out) {
  if (mask == nullptr) {
    perm_or_equal(out, &perms);
    return;
  }
  std::uint32_t const n = perms.count;
  if (out->count < n) {
    void* grown = perm_realloc(out->groups, std::size_t{n} * sizeof(std::uint32_t));
    if (grown == nullptr) return;
    out->groups = static_cast<std::uint32_t*>(grown);
    std::memset(out->groups + out->count, 0, std::size_t{n - out->count} * sizeof(std::uint32_t));
    out->count = n;
  }
  // Group entries are the only ones united here: masked word by word.
  for (std::uint32_t i = 0; i < n && i < mask->count; ++i) out->groups[i] |= perms.groups[i] & mask->groups[i];
}

// The authenticated evaluation: which kind of entry applied (out holds its
// permissions), or acl_applied_none with every mask of out cleared.
// entries may be null (no ACL, or one without entries).
template <class Entries>
acl_applied_entry_t evaluateAuthenticated(sec_id_pa_t const* pa, Entries const* entries,
                                          acl_permset_s_t const* mask, acl_permset_s_t* out,
                                          unsigned long* status) {
  perm_set_minpermissions(out);
  if (pa == nullptr || entries == nullptr) return acl_applied_none;
  std::uint32_t const n = entries->size();
  constexpr std::uint32_t kNone = ~0u;
  std::uint32_t user = kNone, anyOther = kNone;
  bool hasGroups = false;
  for (std::uint32_t i = 0; i < n; ++i) {
    switch (entries->type(i)) {
      case acl_e_user:
        if (entries->holds(i, pa->principal.uuid, status)) user = i;
        break;
      case acl_e_group: hasGroups = true; break;
      case acl_e_any_other: anyOther = i; break;
      default: break;
    }
  }
  if (user != kNone) {
    maskEntry(acl_e_user, entries->perms(user), mask, out);
    return acl_applied_user;
  }
  if (hasGroups && pa->groups != nullptr) {
    sec_id_t const* const groups = pa->groups;
    std::uint32_t const ng = pa->num_groups;
    bool matched = false;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (entries->type(i) != acl_e_group) continue;
      for (std::uint32_t g = 0; g < ng; ++g) {
        if (!entries->holds(i, groups[g].uuid, status)) continue;
        // A group listed twice would only add the same bits again.
        if (!matched) maskEntry(acl_e_group, entries->perms(i), mask, out);  // the union starts as this set
        else orEntry(entries->perms(i), mask, out);
        matched = true;
        break;
      }
    }
    if (matched) return acl_applied_group;
  }
  if (anyOther != kNone) {
    maskEntry(acl_e_any_other, entries->perms(anyOther), mask, out);
    return acl_applied_any_other;
  }
  return acl_applied_none;  // out was cleared above and not touched since
}

// The unauthenticated evaluation; acl_applied_unauthenticated when both
// entries exist (out may still be all zeros when it could not grow).
template <class Entries>
acl_applied_entry_t evaluateUnauthenticated(Entries const* entries, acl_permset_s_t* out) {
  if (out == nullptr) return acl_applied_none;
  perm_set_minpermissions(out);
  if (entries == nullptr) return acl_applied_none;
  constexpr std::uint32_t kNone = ~0u;
  std::uint32_t unauth = kNone, anyOther = kNone;
  for (std::uint32_t i = 0, n = entries->size(); i < n; ++i) {
    std::uint32_t const type = entries->type(i);
    if (type == acl_e_unauthenticated) unauth = i;
    else if (type == acl_e_any_other) anyOther = i;
  }
  if (unauth == kNone || anyOther == kNone) return acl_applied_none;
  auto const& other = entries->perms(anyOther);
  perm_copy(out, &other);
  if (out->count != other.count) {  // could not grow: grant nothing
    perm_set_minpermissions(out);
    return acl_applied_unauthenticated;
  }
  auto const& u = entries->perms(unauth);
  perm_and_equal(out, &u);
  return acl_applied_unauthenticated;
}

}  // namespace gxacl
