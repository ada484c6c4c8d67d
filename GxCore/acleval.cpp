// ACL evaluation. Runs on every authorization request, so it makes one or
// two passes over the entries, allocates nothing of its own and writes the
// result straight into the caller's set. Whenever the output cannot be grown
// (heap exhausted) it is left with every mask 0 or a subset of the answer,
// never with permissions from an earlier request. The algorithm itself is in
// aclEvaluation.h, which the decisions' memo runs on its compact copies too.
#include "GxCore/acleval.h"

#include <cstring>

#include "GxCore/aclEvaluation.h"
#include "GxCore/perm.h"

namespace {

// uuid equality through hx_uuid_equal. The call crosses into another unit,
// and entries of other subjects almost always differ already in the first
// word, so that word is compared inline first; only candidates are passed on.
inline bool sameUuid(hx_uuid_t const& a, hx_uuid_t const& b, unsigned long* status) {
  if (a.time_low != b.time_low) return false;
  return hx_uuid_equal(a, b, *status) != 0;
}

// An ACL's own entries, as the algorithm reads them.
struct OwnEntries {
  acl_entry_s_t const* entries;
  std::uint32_t n;
  std::uint32_t size() const { return n; }
  std::uint32_t type(std::uint32_t i) const { return entries[i].entry_type; }
  bool holds(std::uint32_t i, hx_uuid_t const& u, unsigned long* status) const {
    return sameUuid(entries[i].id, u, status);
  }
  acl_permset_s_t const& perms(std::uint32_t i) const { return entries[i].perms; }
};

// The view of acl's entries; null when there are none to read.
struct View {
  explicit View(acl_ext_s_t const* acl)
      : own{acl != nullptr ? acl->entries : nullptr, acl != nullptr ? acl->num_entries : 0u} {}
  OwnEntries const* get() const { return own.entries != nullptr ? &own : nullptr; }
  OwnEntries own;
};

}  // namespace

extern "C" {

uint32_t dce_acl__permset_alg(unsigned char, unsigned char, sec_id_pa_t* pa, acl_ext_s_t* acl, hx_uuid_t*,
                              hx_uuid_t*, acl_permset_s_t* mask, acl_permset_s_t*, acl_permset_s_t* out,
                              unsigned long* status) {
  unsigned long ignored = 0;
  if (status == nullptr) status = &ignored;
  *status = 0;
  if (out == nullptr) return 1;
  View const view(acl);
  return gxacl::evaluateAuthenticated(pa, view.get(), mask, out, status) == acl_applied_none ? 1 : 0;
}

void dce_acl__inq_unauthen_perms(acl_ext_s_t const* acl, acl_permset_s_t* out) {
  View const view(acl);
  (void)gxacl::evaluateUnauthenticated(view.get(), out);
}

void acl_inq_permset_for_pa_applied(sec_id_pa_t* pa, acl_ext_s_t const* acl, acl_permset_s_t* out,
                                    acl_applied_entry_t* applied, unsigned long* status) {
  unsigned long ignored = 0;
  if (status == nullptr) status = &ignored;
  *status = 0;
  acl_applied_entry_t kind = acl_applied_none;
  View const view(acl);
  if (pa == nullptr) kind = gxacl::evaluateUnauthenticated(view.get(), out);
  else if (out != nullptr) kind = gxacl::evaluateAuthenticated(pa, view.get(), nullptr, out, status);
  if (applied != nullptr) *applied = kind;
}

void acl_inq_permset_for_pa(sec_id_pa_t* pa, acl_ext_s_t* acl, acl_permset_s_t* out, unsigned long* status) {
  acl_inq_permset_for_pa_applied(pa, acl, out, nullptr, status);
}

}  // extern "C"
