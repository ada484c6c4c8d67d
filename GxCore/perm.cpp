// Permission-set functions. Every loop walks the groups from 0 upward; a
// growth goes through perm_realloc and leaves the set untouched on failure.
#include "GxCore/perm.h"

#include <cstdlib>
#include <cstring>

#include "GxCore/dastatus.h"
#include "outside/hxsvc.h"

namespace {

// Makes room for words words in p's array (the count is the caller's
// business). False, with the array unchanged, when the heap is exhausted.
bool resize(acl_permset_s_t* p, size_t words) {
  void* grown = perm_realloc(p->groups, words * sizeof(uint32_t));
  if (grown == nullptr) {
    HX_LOG(bas_svc_handle, 0, hx_svc_attr_error, da_s_no_memory, "");
    return false;
  }
  p->groups = static_cast<uint32_t*>(grown);
  return true;
}

}  // namespace

extern "C" {

void perm_init(acl_permset_s_t* p) {
  p->count = 0;
  p->groups = nullptr;
}

void* perm_realloc(void* ptr, size_t size) {
  if (size == 0) {
    std::free(ptr);
    return nullptr;
  }
  return ptr != nullptr ? std::realloc(ptr, size) : std::malloc(size);
}

void perm_free(acl_permset_s_t* p) {
  if (p->groups != nullptr) {
    std::free(p->groups);
    p->count = 0;
    p->groups = nullptr;
  }
}

void perm_set_maxpermissions(acl_permset_s_t* p) {
  if (p->count < 32) {
    if (!resize(p, 32)) return;
    p->count = 32;
  }
  for (uint32_t i = 0; i < 32; ++i) p->groups[i] = 0xFFFFFFFFu;
}

void perm_set_minpermissions(acl_permset_s_t* p) {
  if (p->groups != nullptr && p->count != 0) std::memset(p->groups, 0, size_t{p->count} * sizeof(uint32_t));
}

void perm_copy(acl_permset_s_t* dst, acl_permset_s_t const* src) {
  if (dst == src) return;
  if (dst->count < src->count && !resize(dst, src->count)) return;
  dst->count = src->count;
  if (src->count != 0) std::memcpy(dst->groups, src->groups, size_t{src->count} * sizeof(uint32_t));
}

void perm_and(acl_permset_s_t const* a, acl_permset_s_t const* b, acl_permset_s_t* out) {
  uint32_t const n = a->count < b->count ? a->count : b->count;
  if (out->count < n && !resize(out, n)) return;
  // out may be a or b: word i of the inputs is read before word i is written.
  for (uint32_t i = 0; i < n; ++i) out->groups[i] = a->groups[i] & b->groups[i];
  out->count = n;
}

void perm_and_equal(acl_permset_s_t* a, acl_permset_s_t const* b) {
  for (uint32_t i = 0; i < a->count; ++i) a->groups[i] = i < b->count ? a->groups[i] & b->groups[i] : 0;
}

void perm_or_equal(acl_permset_s_t* a, acl_permset_s_t const* b) {
  if (a->count < b->count) {
    if (!resize(a, b->count)) return;
    std::memset(a->groups + a->count, 0, size_t{b->count - a->count} * sizeof(uint32_t));
    a->count = b->count;
  }
  for (uint32_t i = 0; i < b->count; ++i) a->groups[i] |= b->groups[i];
}

void perm_mask(acl_permset_s_t* p, acl_permset_s_t const* m) {
  uint32_t const n = p->count < m->count ? p->count : m->count;
  for (uint32_t i = 0; i < n; ++i) p->groups[i] &= ~m->groups[i];
}

void perm_mask_group(acl_permset_s_t* p, uint32_t g, uint32_t bits) {
  if (g < p->count) p->groups[g] &= ~bits;
}

void perm_set_action_in_group(acl_permset_s_t* p, uint32_t g, uint32_t bits) {
  if (g < p->count) {
    p->groups[g] |= bits;
    return;
  }
  if (g == UINT32_MAX) return;  // g + 1 groups cannot be counted
  if (!resize(p, size_t{g} + 1)) return;
  std::memset(p->groups + p->count, 0, size_t{g - p->count} * sizeof(uint32_t));
  p->count = g + 1;
  p->groups[g] = bits;
}

int perm_is_action_set_in_group(acl_permset_s_t const* p, uint32_t g, uint32_t bits) {
  return g < p->count && (p->groups[g] & bits) == bits;
}

int perm_is_action_set(acl_permset_s_t const* have, acl_permset_s_t const* want) {
  uint32_t const n = want->count;
  uint32_t const common = have->count < n ? have->count : n;
  uint32_t const* w = want->groups;
  uint32_t const* h = have->groups;
  for (uint32_t i = 0; i < common; ++i)
    if ((h[i] & w[i]) != w[i]) return 0;
  for (uint32_t i = common; i < n; ++i)
    if (w[i] != 0) return 0;
  return 1;
}

void perm_mask_entry(acl_entry_s_t const* entry, acl_permset_s_t const* mask, acl_permset_s_t* out) {
  acl_permset_s_t const& e = entry->perms;
  if (mask == nullptr || entry->entry_type == acl_e_unauthenticated) {
    perm_copy(out, &e);
    return;
  }
  if (out->count < e.count && !resize(out, e.count)) return;
  out->count = e.count;
  switch (entry->entry_type) {
    case acl_e_user:
    case acl_e_group:
    case acl_e_any_other:
      for (uint32_t i = 0; i < e.count; ++i) out->groups[i] = i < mask->count ? e.groups[i] & mask->groups[i] : 0;
      break;
    default:
      if (e.count != 0) std::memset(out->groups, 0, size_t{e.count} * sizeof(uint32_t));
      break;
  }
}

}  // extern "C"

bool GxACLPermset::operator==(GxACLPermset const& o) const {
  return set_.count == o.set_.count &&
         (set_.count == 0 || std::memcmp(set_.groups, o.set_.groups, size_t{set_.count} * sizeof(uint32_t)) == 0);
}
