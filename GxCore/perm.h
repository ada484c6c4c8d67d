// Permission sets: which actions are granted. Actions live in at most 32
// action groups of at most 32 actions each, so a set (acl_permset_s_t, in
// outside/hxasn_acl.h) holds one 32-bit mask per group; bit b of word g
// grants the action with bit 1 << b in group g. A group at or beyond the
// set's count reads as mask 0.
//
// Two layers: the perm_* functions on the plain structure, exported under
// their bare names with C linkage so that code outside the class hierarchy
// (hosts, the codec structures) can use them, and GxACLPermset, a value
// class that owns one set and forwards to them.
//
// Memory: a set's word array is malloc'ed, grown with realloc and released
// with free (perm_free), never shrunk except by perm_free. A set must be
// initialised (perm_init) before any other call. When the heap cannot
// satisfy a growth the operation leaves the set exactly as it was (message
// 0x10652065 is logged through bas_svc_handle); no operation reports a status.
//
// Not synchronised: a set is guarded by whoever owns it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "outside/hxasn_acl.h"

extern "C" {

// count 0, groups null; frees nothing.
void perm_init(acl_permset_s_t* p);
// Heap primitive: size 0 frees ptr (when not null) and returns null;
// otherwise realloc(ptr, size), or malloc(size) for a null ptr. Null when the
// heap is exhausted (ptr is then untouched).
void* perm_realloc(void* ptr, size_t size);
// Frees the word array and leaves the set initialised.
void perm_free(acl_permset_s_t* p);
// Grows the set to 32 groups if it has fewer and sets words 0..31 to all
// ones; words from 32 on of a larger set are left alone.
void perm_set_maxpermissions(acl_permset_s_t* p);
// Sets every word below count to 0; the count stays.
void perm_set_minpermissions(acl_permset_s_t* p);
// dst becomes a copy of src (count and words); dst grows when needed.
void perm_copy(acl_permset_s_t* dst, acl_permset_s_t const* src);
// out = a AND b over min(a.count, b.count) groups; out's count becomes that
// minimum. out may be a or b.
void perm_and(acl_permset_s_t const* a, acl_permset_s_t const* b, acl_permset_s_t* out);
// a &= b; groups of a beyond b.count become 0; a's count never changes.
void perm_and_equal(acl_permset_s_t* a, acl_permset_s_t const* b);
// a |= b; a grows to b's count (new words start at 0).
void perm_or_equal(acl_permset_s_t* a, acl_permset_s_t const* b);
// Removes from p every bit of m (over min(p.count, m.count) groups).
void perm_mask(acl_permset_s_t* p, acl_permset_s_t const* m);
// Removes bits from group g of p; nothing when g >= p.count.
void perm_mask_group(acl_permset_s_t* p, uint32_t g, uint32_t bits);
// Adds bits to group g, growing the set to g + 1 groups (new words 0) when
// g >= p.count.
void perm_set_action_in_group(acl_permset_s_t* p, uint32_t g, uint32_t bits);
// Non-zero when g < p.count and every bit of bits is set in group g (so
// bits 0 tests only that the group exists).
int perm_is_action_set_in_group(acl_permset_s_t const* p, uint32_t g, uint32_t bits);
// Non-zero when have grants every bit of want; groups of want beyond
// have.count must be 0. An empty want is always granted.
int perm_is_action_set(acl_permset_s_t const* have, acl_permset_s_t const* want);
// The permissions an ACL entry grants through an optional mask, into out:
// with a null mask, or for an unauthenticated entry, an exact copy of the
// entry's set; otherwise out gets the entry's count, and for user, group and
// any-other entries the entry's words AND the mask (0 beyond mask.count),
// for any other entry type all zeros.
void perm_mask_entry(acl_entry_s_t const* entry, acl_permset_s_t const* mask, acl_permset_s_t* out);

}  // extern "C"

// A permission set as a value: owns one acl_permset_s_t; copying copies the
// masks. Group indexes and bit masks are taken as unsigned long for callers
// and stored as 32-bit words.
class GxACLPermset {
 public:
  GxACLPermset() { perm_init(&set_); }
  explicit GxACLPermset(acl_permset_s_t const& other) {
    perm_init(&set_);
    perm_copy(&set_, &other);
  }
  GxACLPermset(GxACLPermset const& other) : GxACLPermset(other.set_) {}
  // A set of group + 1 groups in which only group holds bits.
  GxACLPermset(unsigned long group, unsigned long bits) {
    perm_init(&set_);
    setBitMaskInGroup(group, bits);
  }
  GxACLPermset(GxACLPermset&& other) noexcept : set_(other.set_) { perm_init(&other.set_); }
  ~GxACLPermset() { perm_free(&set_); }

  GxACLPermset& operator=(GxACLPermset const& other) {
    // A set with room for the other's words (a decision's, every time but
    // the first) copies them here; growing goes through perm_copy.
    if (this == &other) return *this;
    if (set_.count >= other.set_.count) {
      for (uint32_t i = 0; i < other.set_.count; ++i) set_.groups[i] = other.set_.groups[i];
      set_.count = other.set_.count;
    } else {
      perm_copy(&set_, &other.set_);
    }
    return *this;
  }
  GxACLPermset& operator=(GxACLPermset&& other) noexcept {
    if (this != &other) {
      perm_free(&set_);
      set_ = other.set_;
      perm_init(&other.set_);
    }
    return *this;
  }
  // perm_and_equal / perm_or_equal with the other set; no effect on itself.
  GxACLPermset& operator&=(GxACLPermset const& other) {
    if (this != &other) perm_and_equal(&set_, &other.set_);
    return *this;
  }
  GxACLPermset& operator|=(GxACLPermset const& other) {
    if (this != &other) perm_or_equal(&set_, &other.set_);
    return *this;
  }

  // Clears every mask; the count stays.
  void setMinPermissions() { perm_set_minpermissions(&set_); }
  // The mask of group, 0 when group >= count.
  unsigned long actionGroup(unsigned long group) const {
    return group < set_.count ? set_.groups[group] : 0;
  }
  // Adds bits to group (perm_set_action_in_group); a group index past the
  // 32-bit range is ignored.
  void setBitMaskInGroup(unsigned long group, unsigned long bits) {
    if (group < UINT32_MAX) perm_set_action_in_group(&set_, static_cast<uint32_t>(group), static_cast<uint32_t>(bits));
  }
  bool isActionSetInGroup(unsigned long group, unsigned long bits) const {
    return group < UINT32_MAX &&
           perm_is_action_set_in_group(&set_, static_cast<uint32_t>(group), static_cast<uint32_t>(bits)) != 0;
  }
  // True when this set grants every bit of want.
  bool isActionSet(acl_permset_s_t const& want) const { return perm_is_action_set(&set_, &want) != 0; }
  bool isActionSet(GxACLPermset const& want) const { return isActionSet(want.set_); }
  // True when have grants every bit of this set.
  bool isActionSetInPermset(acl_permset_s_t const& have) const { return perm_is_action_set(&have, &set_) != 0; }
  // to becomes a copy of this set (to must be initialised).
  void copyToPermset(acl_permset_s_t& to) const { perm_copy(&to, &set_); }
  // Removes this set's bits from target.
  void maskPermset(acl_permset_s_t& target) const { perm_mask(&target, &set_); }
  unsigned long count() const { return set_.count; }

  acl_permset_s_t& value() { return set_; }
  acl_permset_s_t const& value() const { return set_; }

  static void initPermset(acl_permset_s_t& p) { perm_init(&p); }

  // Same count and same words.
  bool operator==(GxACLPermset const& o) const;

 private:
  acl_permset_s_t set_;
};
