// What a change of policy changes: daPolicyDiff compares the policy of two
// stores (a database as it is and as it would be after a change) and gives
// every subtree where some caller's answer differs, with who gains and who
// loses which actions there, and where the conditions (the POP's levels,
// window and protection, the rule) differ.
//
// It reads only the attachment points of the two stores (the objects with
// an ACL, POP or rule map of their own, from the file's keys) and asks
// decide for the policy in force at each, on both sides: an object without
// a map of its own has the policy of the nearest such point above it, in
// both stores, so the answers of a whole subtree change together. Time and
// memory grow with the attachment points, not with the objects. The ACLs
// are evaluated as decide evaluates them (GxCore/acleval.h); the POP and the
// rule are compared, not evaluated (they depend on the request).
//
// Locks: takes what decide and daWhatCan take on each store (the state
// lock shared while it reads the map keys): the calling thread must hold
// neither store's state lock nor its database lock. A commit that lands
// during the call may show in part of the answer. The result objects
// belong to the calling thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/db/daAccessReview.h"

class daCachedStore;
namespace gxreg {
class Registry;
}

// Whose answer a line of a region is about.
enum class daDiffSubject : int {
  user,             // a user a user entry names (in either ACL)
  group,            // a group a group entry names (in either ACL)
  anyOther,         // an authenticated caller no user or group entry names
  unauthenticated,  // a caller that did not authenticate
};
// "user", "group", "any-other", "unauthenticated".
char const* daDiffSubjectText(daDiffSubject s);

// One subject whose permissions differ between the two sides.
//  - user: what the ACL grants that user when it calls with the groups the
//    registry gives it (without a registry, or a user it does not know: no
//    groups), its own entry deciding alone when it has one: exact for it.
//  - group: what the group's entries grant (their union; nothing when it
//    has none). A member with no user entry gets the union of the entries
//    of its groups, or the any-other entry when none of them has one, so a
//    group entry added or removed (hadEntry / hasEntry) matters even when it
//    grants what any-other grants.
//  - anyOther: what the any-other entry grants (nothing without one).
//  - unauthenticated: what an unauthenticated caller gets (any-other AND
//    unauthenticated).
// Every caller whose answer differs is covered by a line: its user line
// (a user entry in either ACL), else the line of one of its groups or the
// any-other line.
struct daDiffLine {
  daDiffSubject subject = daDiffSubject::anyOther;
  hx_uuid_t uuid{};           // user and group
  std::string name;           // the registry's name; "" without one
  bool hadEntry = false;      // the subject had an entry of its kind before (user, group, any-other, unauthenticated)
  bool hasEntry = false;      // and has one after
  std::string before, after;  // the permissions on each side, as action strings
  std::string gained, lost;   // after but not before; before but not after ("" none)
};

// One subtree where answers differ: prefix and everything below it, except
// the exceptions and below them (each the top of a subtree with another
// change, or none; those with a change are regions of their own).
struct daPolicyDiffRegion {
  std::string prefix;
  std::vector<std::string> exceptions;  // in path order
  // The ACL in force on each side: name and where it is attached ("" none).
  std::string beforeAcl, beforeAclLocation, afterAcl, afterAclLocation;
  std::vector<daDiffLine> lines;  // users, then groups, any-other, unauthenticated
  // The POP or rule in force differs in what it requires (names and
  // places aside; a POP that requires nothing is as none): then the
  // conditions of both sides.
  bool conditionsChanged = false;
  daReviewConditions beforeConditions, afterConditions;
  // The ACLs in force (null: none), for asking about one caller.
  std::shared_ptr<GxACL const> beforeAclValue, afterAclValue;

  bool gains() const;   // some line gained an action
  bool losses() const;  // some line lost one
  // What caller (null: unauthenticated) gains and loses here, as the two
  // ACLs grant it (exact for any caller, whatever its groups). gained and
  // lost are replaced.
  void callerChange(sec_id_pa_t* caller, GxACLPermset& gained, GxACLPermset& lost) const;
};

struct daPolicyDiffOptions {
  // Only this object and below (a path; "" the root). It must be a
  // protected object of either store (the root always is).
  std::string under;
  // Names users and groups and gives a user's groups (may be null; not
  // owned, must outlive the call).
  gxreg::Registry* registry = nullptr;
};

// Calls each with every region where before and after answer differently
// at options.under and below, in path order (a region's exceptions before
// the regions inside them); each returns false to stop. Both stores open;
// they may be the same file's two versions or two files. Statuses: 0 (also
// when each stopped it); 0x1005B1C9 for a bad under; da_s_no_such_object
// when neither store has a protected object at under; 0x132792F4 when a
// store is closed; decide's when the policy in force at a point cannot be
// read (the first such, in path order), and 0x1005B2F1 when a store's
// catalogue names no action; hx_db_scan_prefix's when the map keys cannot
// be read. Throws std::bad_alloc and whatever each throws.
void daPolicyDiff(daCachedStore& before, daCachedStore& after, daPolicyDiffOptions const& options,
                  std::function<bool(daPolicyDiffRegion const&)> const& each, unsigned long& status);
