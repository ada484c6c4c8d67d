// One authorization decision in one call: daCachedStore::decide answers
// "may this caller do these actions to this object, in this context?" with
// a daDecision that also says why: the ACL in force and where it is
// attached, which kind of ACL entry applied, the permissions granted, the
// POP in force with the authentication level it requires from the caller's
// address, the rule in force, and the condition that denied (the cause, in
// words the reason) or that the POP's warning mode waived.
//
// The POP's access window is resolved with the policy in force (its zone
// looked up once per epoch: daAccessWindow), and the rule is compiled then
// (daRuleProgram), so a warm decision converts no zone and compiles
// nothing.
//
// The policy in force at an object (ACL, POP and rule, each with the object
// it is attached to) is remembered in a memo the store's threads share, one
// table per policy epoch, sized to the store's file by default
// (setDecisionMemoSize). The first thread to resolve an object publishes it;
// any thread, including one that has never decided before, then finds it
// with a lookup that takes no lock and writes nothing shared, so a repeated
// decision costs one memo lookup, the action-string conversion (remembered
// per thread) and the ACL evaluation, and allocates nothing once the
// caller's daDecision has been used once. A warm lookup reads the memo's
// slot, which names the object by a keyed hash of its path (no copy of the
// path is kept; see daKeyedHash.h) and holds the policy record's address and
// a summary of it: a caller the ACL in force does not name is answered from
// the summary (under a POP, one whose window does not limit the time, for a
// request without an address; never under a rule), any other from the
// record, which holds the ACL's entries right after it. An object not yet
// remembered is resolved by walking up from it, no further than its nearest
// remembered ancestor (or the root, or a level above which the attachment
// index shows nothing still unmet), reading of each kind only the nearest
// policy. On a read-only store the memo of each epoch also gets an
// attachment index (the paths that have an ACL, POP or rule map, built from
// a scan of the maps' keys: during the open for a small file, else by a
// background thread the store's close joins; or, at the open, the one
// another store of this process built from the same version of the file);
// once it is there only the indexed objects' maps are read, straight from
// the file. The memo is dropped whenever the store's policy epoch moves (a
// committed transaction that changes an ACL, POP, rule or an object's map of
// one, a file replacement, a close): the next decision makes the new epoch's
// table, and the old one goes once no thread holds it (a thread gives it up
// at its next decision on the store, or when it ends): its memory is kept
// for the process's next table of its size (daDecisionKeptTableBytes), which
// reuses it uncleared (each slot carries the generation of the table's use
// that wrote it), else freed. A cache clear keeps the memo: it holds its own
// copies of the policies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "GxCore/GxAcl.h"
#include "GxCore/GxPop.h"
#include "GxCore/acleval.h"
#include "GxCore/db/daAccessWindow.h"
#include "GxCore/db/daDecisionContext.h"
#include "GxCore/db/daRuleEngine.h"
#include "GxCore/perm.h"
#include "outside/ZString.h"

// The policy in force at one object, shared by the decisions that use it.
// Immutable once published; the ACL and POP are the store's objects as they
// were when the policy was resolved, copied so that they outlive cache
// clears and file replacements. Records are made in a memo's storage
// (daDecision.cpp), which also holds the ACL's entries right after the
// record's last member.
struct daPolicyInForce {
  std::shared_ptr<GxACL const> acl;
  std::string aclName, aclLocation;
  std::shared_ptr<GxPop const> pop;
  std::string popName, popLocation;
  // The POP's access window, its zone resolved with the POP (none without
  // a POP).
  daAccessWindow window;
  std::string ruleName, ruleLocation;
  // The rule compiled when the policy was resolved (null: no rule in force).
  std::shared_ptr<daRuleProgram const> rule;

  // What a warm decision reads, last in the record, at the start of a
  // cache line, and followed by the ACL's entries in a compact form (one
  // line for three entries) when every entry's permissions fit one word, as
  // nearly always: a run of adjacent lines, where the ACL's own form is
  // three allocations deep. Filled when the memo makes the record from the
  // fields above.
  struct Hot {
    bool aclInForce = false, popInForce = false, ruleInForce = false;
    bool windowLimited = false;   // the POP's window limits the time (policy's window)
    bool warning = false;         // the POP is in warning mode
    std::uint32_t entries = 0;    // how many compact entries follow
    unsigned long qop = 0;        // the POP's quality of protection
    unsigned long popLevel = 0;   // the POP's level for a request without an address
    acl_ext_s_t const* acl = nullptr;  // acl's own form, when its entries are not compact (null: they are)
  } hot;
};

// Store-side state of the decisions (daDecision.cpp): the shared memo and
// the copies of the ACLs and POPs that remembered decisions share.
struct daDecisionPolicies;
std::shared_ptr<daDecisionPolicies> daMakeDecisionPolicies();
// The store's file was opened: background preparation of the decisions may
// start (see daCachedStore::openStore).
void daDecisionFileOpened(daDecisionPolicies& policies);
// The store's file is about to close: stops and joins that preparation, so
// that nothing reads the file once it is closed. Takes no store lock.
void daDecisionFileClosing(daDecisionPolicies& policies);
// The calling thread drops what it kept for deciding on the store numbered
// storeId (its action strings and its hold on the store's memo), so that a
// store's memo is freed when the store goes rather than at the thread's
// next decision on another store. Other threads give theirs up when they
// next decide on four other stores, or end.
void daDecisionForgetStore(std::uint64_t storeId);
// Read-only files of fewer than records records (0: the default, 65,536)
// get their attachment index during the open; larger ones in the
// background. For all stores of the process opened from now on; returns
// the previous number. Tests use it to reach the background path with small
// files.
unsigned long daDecisionIndexAtOpen(unsigned long records);
// The memo tables of stores that are gone (closed, or past their policy
// epoch) are kept by the process, up to bytes in all (the default, 256 MiB,
// when bytes is SIZE_MAX; 0 keeps none), for its next store of the same
// size: a replica that replaces another then decides at once on memory
// already backed (at 1M objects 96 MiB of address space, of which the 64
// MiB of slots are resident). A program done with its stores may free them
// with 0. Returns the previous bound. Thread-safe; frees what is beyond the
// new bound at once.
size_t daDecisionKeptTableBytes(size_t bytes);
// A number no other store of this process has had.
std::uint64_t daNextStoreId();

// Which kind of ACL entry decided.
enum class daDecisionEntry : int {
  none = acl_applied_none,                        // no ACL in force, or no entry applied
  user = acl_applied_user,                        // the caller's own user entry
  group = acl_applied_group,                      // the union of the caller's group entries
  anyOther = acl_applied_any_other,               // the any-other entry
  unauthenticated = acl_applied_unauthenticated,  // any-other AND unauthenticated entries
};

// Why a decision answered as it did: granted, or the first condition of the
// policy in force that failed, checked in this order: the ACL, the POP's
// access window, its authentication level for the caller's address, its
// quality of protection, then the rule.
enum class daDecisionCause : unsigned char {
  granted = 0,
  noAcl,             // no ACL in force: nothing is granted
  aclDenied,         // the ACL does not grant every requested action
  outsideWindow,     // the POP's access window excludes the request's time
  authLevel,         // the caller logged in below the level its address requires (step-up)
  protection,        // the connection is less protected than the POP requires
  ruleDenied,        // the rule returned false
  ruleMissingAttribute,  // the rule needs an attribute the context lacks
  ruleError,         // the rule raised an error or returned a non-boolean
  ruleLimit,         // the rule hit its instruction or memory limit
  ruleNotCompiled,   // the rule's text does not compile
};

// Text of a cause: "granted", "no-acl", "acl-denied", "outside-window",
// "auth-level", "protection", "rule-denied", "rule-missing-attribute",
// "rule-error", "rule-limit", "rule-not-compiled".
char const* daDecisionCauseText(daDecisionCause c);

class daCachedStore;

// Text of an entry kind: "none", "user", "group", "any-other", "unauthenticated".
char const* daDecisionEntryText(daDecisionEntry e);

// The answer of daCachedStore::decide. Reuse one record per thread across
// calls: its permission sets and text keep their storage, so a warm
// decision allocates nothing. Not synchronised: one thread at a time.
class daDecision {
 public:
  daDecision() = default;
  daDecision(daDecision const&) = delete;
  daDecision& operator=(daDecision const&) = delete;

  // The final answer: true when the ACL in force grants every requested
  // action (decide refuses an empty request) and every condition of the
  // policy in force holds (see cause()), or when the POP's warning mode
  // turned a condition's denial into a grant (warning()). An object with no
  // ACL in force grants nothing.
  bool granted() const { return granted_; }
  daDecisionEntry appliedEntry() const { return entry_; }

  // Why: granted, or the first condition that denied, checked in the order
  // of daDecisionCause (the ACL first; the conditions only once it grants).
  // reason() says it in words, e.g. "outside the access window", "step-up to
  // level 2 required", "connection protection integrity required", the
  // rule's own reason text, "rule needs attribute department"; "" when
  // granted. Valid until the next decide into this daDecision.
  daDecisionCause cause() const { return cause_; }
  char const* reason() const { return reason_.empty() ? fixedReason_ : reason_.c_str(); }
  // Warning mode: true when the POP in force is in warning mode and a
  // condition would have denied; granted() is then true and wouldCause() /
  // wouldReason() say what the answer would have been ("would deny: outside
  // the access window"). The ACL is never waived, and neither is a policy
  // that cannot be applied (a broken access window, a rule that does not
  // compile, fails or hits its limits): those deny in warning mode too.
  bool warning() const { return warning_; }
  daDecisionCause wouldCause() const { return wouldCause_; }
  char const* wouldReason() const { return wouldReason_.c_str(); }

  // The request's time the decision used (seconds since 1970, UTC), and the
  // caller's authentication level and connection protection it compared
  // (the context's, with the defaults filled in).
  // When the context said now and no condition needed the time, the clock
  // is read on the first call.
  std::int64_t timeSeconds() const;
  int callerAuthLevel() const { return callerLevel_; }
  daProtection protection() const { return protection_; }

  // The permissions requested (the action string converted) and those the
  // ACL grants the caller, as bits and as an action string. The text is made
  // on first use, through the deciding store's action map: ask for it while
  // that store is open ("" when the bits cannot be named).
  GxACLPermset const& requested() const { return requested_; }
  GxACLPermset const& permissions() const { return permissions_; }
  char const* permissionsText() const;

  // The ACL in force: its name and the object it is attached to ("" when
  // none is in force). The ACL itself, or null.
  bool hasAcl() const { return (inForce_ & kAclInForce) != 0; }
  char const* aclName() const { return hasAcl() ? policy_->aclName.c_str() : ""; }
  char const* aclLocation() const { return hasAcl() ? policy_->aclLocation.c_str() : ""; }
  GxACL const* acl() const { return policy_ ? policy_->acl.get() : nullptr; }

  // The POP in force, as for the ACL, and the authentication level it
  // requires from the address given to decide: with no address given, the
  // level of its default entry (entry 0: the level for callers no network
  // of the POP holds); 0 when there is no POP in force.
  bool hasPop() const { return (inForce_ & kPopInForce) != 0; }
  char const* popName() const { return hasPop() ? policy_->popName.c_str() : ""; }
  char const* popLocation() const { return hasPop() ? policy_->popLocation.c_str() : ""; }
  GxPop const* pop() const { return policy_ ? policy_->pop.get() : nullptr; }
  unsigned long requiredAuthLevel() const { return authLevel_; }

  // The rule in force, as for the ACL, compiled once per policy epoch.
  bool hasRule() const { return (inForce_ & kRuleInForce) != 0; }
  char const* ruleName() const { return policy_ ? policy_->ruleName.c_str() : ""; }
  char const* ruleLocation() const { return policy_ ? policy_->ruleLocation.c_str() : ""; }

  // The store's sequence number as the deciding thread took up the policy
  // epoch it decided in (read once per epoch, under the store's lock):
  // commits that change no policy do not move the epoch, so it may be
  // lower than the store's number now, and a commit landing in the instant
  // the thread took up the epoch may be counted a moment before its policy
  // is in force. 0 when decide failed. (gxpolicyd answers with the number
  // of the replica as fully in place instead.)
  unsigned long sequence() const { return sequence_; }

 private:
  friend class daCachedStore;
  void reset() {
    granted_ = false;
    entry_ = daDecisionEntry::none;
    authLevel_ = 0;
    cause_ = wouldCause_ = daDecisionCause::noAcl;
    warning_ = false;
    reason_.clear();
    fixedReason_ = "";
    wouldReason_.clear();
    policy_ = nullptr;
    inForce_ = 0;
    popWarning_ = windowLimited_ = false;
    qop_ = 0;
    owner_.reset();
    store_ = nullptr;
    permissions_.setMinPermissions();
    permissionsText_.clear();
    textReady_ = true;
    sequence_ = 0;
  }

  // Applies the conditions of the policy in force after the ACL granted:
  // the POP's, then the rule (daDecision.cpp). Allocates nothing once the
  // reason strings have grown and when no rule is in force.
  void applyConditions(daDecisionContext const& ctx, char const* path, sec_id_pa_t const* caller,
                       char const* actions, GxAddress const* address);
  void applyRule(daDecisionContext const& ctx, char const* path, sec_id_pa_t const* caller, char const* actions,
                 GxAddress const* address);
  // Records a condition's failure: a denial, or in warning mode (unless
  // hard) the answer it would have been. Returns true when the decision is
  // settled (a denial).
  bool fail(daDecisionCause c, bool hard);

  bool granted_ = false;
  daDecisionEntry entry_ = daDecisionEntry::none;
  unsigned long authLevel_ = 0;
  daDecisionCause cause_ = daDecisionCause::noAcl, wouldCause_ = daDecisionCause::granted;
  bool warning_ = false;
  std::string reason_, wouldReason_;
  // The reason when reason_ is empty: a text that never changes (the ACL's
  // denials), pointed at rather than copied on every denial.
  char const* fixedReason_ = "";
  mutable std::int64_t time_ = 0;  // daDecisionContext::now until read
  int callerLevel_ = 0;
  daProtection protection_ = daProtection::none;
  GxACLPermset requested_;
  GxACLPermset permissions_;
  daCachedStore* store_ = nullptr;  // names the permissions
  mutable ZUTF8String_6_0 permissionsText_;
  mutable bool textReady_ = true;
  unsigned long sequence_ = 0;
  // The policy in force, kept alive by owner_: the memo table that holds it
  // (taken once per table, so that a warm decision writes no reference
  // count other threads' decisions also write).
  daPolicyInForce const* policy_ = nullptr;
  // Which of its parts are in force (k*InForce bits), kept here so that a
  // decision the memo's summary answered need not read the record.
  static constexpr std::uint8_t kAclInForce = 1, kPopInForce = 2, kRuleInForce = 4;
  std::uint8_t inForce_ = 0;
  // The POP's conditions beside its level, for the same reason: its
  // quality of protection, warning mode and whether its window limits.
  bool popWarning_ = false, windowLimited_ = false;
  unsigned long qop_ = 0;
  std::shared_ptr<void const> owner_;
};
