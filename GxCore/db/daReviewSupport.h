// What the access-review calls share (daAccessReview.cpp, daPolicyDiff.cpp):
// paths in tree order, the keys of the object-to-policy maps, and the
// conditions of a decision's policy in force. Internal to GxCore/db: the
// public calls are in daAccessReview.h and daPolicyDiff.h.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "GxCore/db/daAccessReview.h"

class daCachedStore;
class daDecision;
class GxACLPermset;

namespace dareview {

// Paths ordered as a tree is walked: a parent right before its subtree
// ("/a", "/a/b", "/a-b"), so '/' sorts below every other byte.
bool treeLess(std::string_view a, std::string_view b);
// path is at or below under (both normalised).
bool within(std::string_view path, std::string_view under);
// a is a proper ancestor of b.
bool isAncestor(std::string_view a, std::string_view b);

// Calls each with the paths of base's keys (a map base name) at and below
// under, in key order, holding the store's state lock shared; each returns
// false to stop. Statuses: hx_db_scan_prefix's; da_s_store_unavailable when
// the store is closed. Rethrows what each throws.
void scanKeys(daCachedStore& store, char const* base, std::string const& under,
              std::function<bool(std::string_view)> const& each, unsigned long& status);
// Calls each with every path that has an ACL, POP or rule map of its own,
// at and below under (the three bases one after the other: not sorted, a
// path may come up to three times). Statuses as scanKeys.
void scanAttachmentPoints(daCachedStore& store, std::string const& under,
                          std::function<bool(std::string_view)> const& each, unsigned long& status);

// The attachment points at and below a path, of one store or several, in
// tree order and each once, with the path itself first. The paths are kept
// in one buffer of this object (no allocation per path).
class PointPaths {
 public:
  explicit PointPaths(std::string const& under) : under_(under) {}
  // Adds store's points; statuses as scanAttachmentPoints.
  void add(daCachedStore& store, unsigned long& status);
  // The paths, under first; valid while this object lives and add is not
  // called again.
  std::vector<std::string_view> const& sorted();

 private:
  std::string under_;
  std::string text_;
  std::vector<std::pair<size_t, size_t>> spans_;  // offset and length in text_
  std::vector<std::string_view> sorted_;
};

// 0 when the store has a protected object at path (normalised), or path is
// the root; da_s_no_such_object when not; the read's status otherwise.
unsigned long checkExists(daCachedStore& store, std::string const& path);

// The conditions of the POP and rule in force that d carries. Reads the
// rule's attributes and text from store (takes its state lock shared).
daReviewConditions conditionsOf(daCachedStore& store, daDecision const& d);

// perms as an action string of store's catalogue ("" when it cannot be named).
std::string actionText(daCachedStore& store, GxACLPermset const& perms);
// uuid as text ("" when it cannot be converted).
std::string uuidText(hx_uuid_t const& uuid);

}  // namespace dareview
