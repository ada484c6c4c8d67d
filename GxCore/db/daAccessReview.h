// Access review: the reverse questions of daCachedStore::decide. whoCan says
// who may do some actions to one object (from the ACL in force there and
// the registry); whatCan says where one caller may do them, as subtrees
// with their exceptions, worked out from the attachment points (the objects
// that have an ACL, POP or rule map of their own) and never by visiting
// every object. Both ask decide for the policy in force and evaluate the
// ACL exactly as it does (GxCore/acleval.h): the caller's own user entry
// (the last that matches) decides alone; else the union of the entries of
// the caller's groups; else the any-other entry (the last); an
// unauthenticated caller gets what both the any-other and the
// unauthenticated entry grant. decide applies no mask, so neither do these.
//
// On a read-only store whatCan does not decide at each point: it reads the
// three maps with their keys, works out what is in force at each point from
// the nearest point above it, answers each ACL in force once for the
// caller from its stored bytes (hxAsnAclAnswer), and reads each POP and
// rule in force as decide would. A record it cannot take as it is (a map
// naming no policy or several, a missing or unreadable policy) makes it
// decide at every point instead, so the answer and status are decide's
// either way. What it reads of the points does not depend on the caller:
// the store keeps it (daCachedStore::keepReview, the last under asked
// about) for the next call in the same policy epoch, from any thread.
//
// The POP and the rule in force are not evaluated (they depend on the
// request's time, address, protection and attributes): they are reported
// as conditions (daReviewConditions), and an answer that has any is
// conditional rather than granted or dropped.
//
// Locks: each call takes what decide takes (see daCachedStore::decide), and
// whatCan also holds the store's state lock shared (daCacheStateLock(open))
// while it reads the maps and policies from the file, as whoCan does while it reads
// the ADI list of the rule in force: the calling thread must hold
// neither this store's state lock nor its database lock. Each answer comes
// from several decisions: a commit that lands during a call may show in
// part of it. Not synchronised otherwise: the result objects belong to the
// calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "GxCore/acleval.h"
#include "outside/hxutil.h"

class daCachedStore;
class daDecision;
namespace gxreg {
class Registry;
}

// Statuses of the review calls beyond decide's.
// Group members asked for with no registry, or with one that cannot list a
// group's members (a directory); the registry's "unavailable" code.
constexpr unsigned long da_s_review_no_members = 0x14C01433;

// What the POP and the rule in force at an object still require of a
// request the ACL grants. Plain data for the tools to print.
struct daReviewConditions {
  struct Level {
    std::string network, netmask;  // text; entry 0 (everyone else) is defaultLevel
    unsigned long level = 0;
  };
  bool hasPop = false;
  std::string popName, popLocation;
  unsigned long defaultLevel = 0;  // level required from an address no network of the POP holds
  std::vector<Level> levels;       // the POP's networks after its default entry, in its order
  bool window = false;             // the POP limits access to a window (days and hours)
  std::string windowText;          // e.g. "days 0x3e 09:00-17:00 Europe/Berlin"; the reason when broken
  bool windowBroken = false;       // the window cannot be applied: every request is denied
  unsigned long protection = 0;    // 0 none, 1 integrity, 2 privacy, above: none suffices
  bool warningMode = false;        // a failing window, level or protection is waived
  std::string ruleName, ruleLocation;  // "" when no rule is in force
  std::vector<std::string> ruleAttributes;  // the request attributes the rule says it reads
  std::string ruleText;                     // the rule's program text

  // True when a request the ACL grants can still be denied (or, in warning
  // mode, waived with a warning) by one of these for a caller whose default
  // authentication level is callerLevel (1 authenticated, 0 not): a window,
  // a required level above callerLevel from any network, a protection, or
  // a rule.
  bool any(int callerLevel) const;
  // The conditions in one line for people, e.g. "level 2 (level 1 from
  // 10.0.0.0/255.0.0.0); access window days 0x3e 09:00-17:00; rule r1";
  // "" when any(callerLevel) is false.
  std::string describe(int callerLevel) const;
};

// One subject named by an ACL entry.
struct daReviewSubject {
  hx_uuid_t uuid{};
  std::string name;         // the registry's name; "" without a registry or when it has none
  std::string permissions;  // the entry's action string
  bool granted = false;     // the entry alone grants every action asked for
};

// A user granted through group entries (whoCan with expand).
struct daReviewMember {
  hx_uuid_t uuid{};
  std::string name;
  std::vector<std::string> viaGroups;  // the ACL's groups the user is in (names, else uuids)
};

struct daWhoCanOptions {
  // List the members of the ACL's groups the group entries grant: needs a
  // registry that can list members (the file registry).
  bool expand = false;
};

struct daWhoCanResult {
  std::string object;   // normalised
  std::string actions;  // as asked
  bool hasAcl = false;
  std::string aclName, aclLocation;
  // Every user entry (the last one of each user, the one decide uses),
  // granted or not: a user whose entry does not grant is denied whatever
  // its groups or any-other grant.
  std::vector<daReviewSubject> users;
  // Every group entry, merged per group (a group named twice unites its
  // entries). granted: the group's entries alone grant; a caller in several
  // groups gets the union of their entries (see members).
  std::vector<daReviewSubject> groups;
  // With expand: every member of the ACL's groups with no user entry of its
  // own whom the union of its groups' entries grants.
  std::vector<daReviewMember> members;
  // The any-other entry (the last): an authenticated caller with no user
  // entry and in none of the ACL's groups.
  bool hasAnyOther = false, anyOtherGranted = false;
  std::string anyOtherPermissions;
  // Unauthenticated callers: any-other AND unauthenticated grant.
  bool hasUnauthenticated = false, unauthenticatedGranted = false;
  std::string unauthenticatedPermissions;
  daReviewConditions conditions;  // in force at the object
};

// Who may do actions (an action string, as decide takes) to object?
// registry (may be null) names the users and groups; expand needs it.
// On status 0 result is filled; on failure it is left cleared. Statuses:
// decide's for the object name, the action string and the policy in force
// (0x1005B1C9 bad name, 0x1005B2F1 empty or unknown action, ...);
// da_s_no_such_object (0x132792F1) when the store has no protected object
// at object (the root always answers);
// da_s_review_no_members when expand is asked without a registry or with
// one that cannot list members; the registry's status when a membership
// lookup fails. An object with no ACL in force is status 0 with hasAcl
// false (nobody is granted). Throws std::bad_alloc.
void daWhoCan(daCachedStore& store, char const* object, char const* actions, gxreg::Registry* registry,
              daWhoCanOptions const& options, daWhoCanResult& result, unsigned long& status);

// One subtree where the caller holds the actions: prefix and every object
// below it, except the objects in exceptions and below them (each the top
// of a subtree with another answer; those that are granted are regions of
// their own).
struct daWhatCanRegion {
  std::string prefix;
  bool conditional = false;        // conditions.any(): the ACL grants, the POP or rule may not
  daReviewConditions conditions;   // in force at prefix, the same everywhere in the region
  std::string aclName, aclLocation;
  std::vector<std::string> exceptions;  // in path order, a parent before its subtree
};

// Where may caller (null: unauthenticated) do actions, at under (a path;
// null or "" the root) and below? each is called with every region, in
// path order (a region's exceptions before the regions inside them), and
// stops the listing by returning false. Computed from the attachment
// points under under and the policy in force at under: memory grows with
// their number, not with the objects'. Statuses: 0 (also when each
// stopped it); 0x1005B1C9 for a bad under; da_s_no_such_object when the
// store has no protected object at under (the root always answers);
// decide's for the action string
// and for a policy in force that cannot be read (the first such, in path
// order); hx_db_scan_prefix's when the map keys cannot be read;
// 0x132792F4 when the store is closed. Throws std::bad_alloc and whatever
// each throws.
void daWhatCan(daCachedStore& store, sec_id_pa_t* caller, char const* actions, char const* under,
               std::function<bool(daWhatCanRegion const&)> const& each, unsigned long& status);

// The protected objects (those with a record in the store) at under and
// below where caller holds actions, one by one in key order, each with
// whether conditions apply; after (may be null or "") resumes a listing
// after that object (a cursor: the last object a previous call gave).
// each returns false to stop. The objects are read in one pass over the
// file's keys (none is kept); the answers come from daWhatCan's regions.
// each is called while the store's state lock is held shared: it must not
// write to the store nor take that lock exclusively (a cache clear or a
// file replacement), and should not block for long.
// Statuses as daWhatCan. Throws std::bad_alloc and whatever each throws.
void daWhatCanObjects(daCachedStore& store, sec_id_pa_t* caller, char const* actions, char const* under,
                      char const* after, std::function<bool(char const* object, bool conditional)> const& each,
                      unsigned long& status);
