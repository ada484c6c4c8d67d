// Decisions as gxpolicy check, explain and test present them: who asks (a
// registry user by name, a uuid with groups, or an unauthenticated caller),
// the answer of daCachedStore::decide, and the why of it in words -- the
// objects from the one asked about up to the root with what is attached to
// each, every entry of the ACL in force with whether it is for this caller
// and whether it applied, the permissions granted and those missing, the
// POP with the level it requires from the caller's address, the rule, and
// each condition beyond the ACL (window, level, protection, rule, warning
// mode) as it bore on the answer. The question carries the request's
// context (time, authentication level, protection, attributes for rules),
// read from command lines, cases and request bodies by the readers below.
// Also the cases files of gxpolicy test: a list of questions with the
// answers expected, read, checked and run.
//
// The answer always comes from decide; the per-entry account is worked out
// from the ACL decide used and the entry kind it reports, following the
// evaluation order of GxCore/acleval.h, so the two never disagree.
//
// Nothing here prints or exits: results and problems are values, so the
// commands (tools/gxpolicy/cmd_decide.cpp) and the tests share one code path. Not
// synchronised: one thread per Caller, Explanation and daDecision.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "GxCore/acleval.h"
#include "GxCore/db/daDecision.h"
#include "GxCore/db/daDecisionContext.h"
#include "tools/common/caller.h"
#include "tools/common/problem.h"

class daCachedStore;
namespace gxreg {
class Registry;
}

namespace gxpolicy {

// Who asks, as a command line or a case gives it. Exactly one form.
struct CallerSpec {
  enum class Form { none, user, uuid, unauthenticated };
  Form form = Form::none;
  std::string user;                 // Form::user: a user name in the registry
  std::string uuid;                 // Form::uuid: the user's uuid
  std::vector<std::string> groups;  // Form::uuid: group names (through the registry) or uuids
};

// A caller ready for decide: the privilege attributes over storage it owns,
// and the names the registry has for the user and groups ("" when unknown).
class Caller {
 public:
  bool authenticated() const { return authenticated_; }
  // The attributes for decide: null for an unauthenticated caller. Valid
  // until this Caller is assigned to or destroyed; safe to use on several
  // threads at once.
  sec_id_pa_t* pa() const { return attributes_.pa(); }
  CallerAttributes const& attributes() const { return attributes_; }
  hx_uuid_t const& user() const { return user_; }
  std::string const& userName() const { return userName_; }
  std::vector<hx_uuid_t> const& groups() const { return groups_; }
  std::vector<std::string> const& groupNames() const { return groupNames_; }
  // The caller in a sentence: "alice", "user 6f1c…" or "an unauthenticated
  // caller".
  std::string describe() const;
  // True when the caller belongs to the group.
  bool inGroup(hx_uuid_t const& group) const;

 private:
  friend bool resolveCaller(CallerSpec const&, gxreg::Registry*, Caller&, Problem&);
  bool authenticated_ = false;
  hx_uuid_t user_{};
  std::string userName_;
  std::vector<hx_uuid_t> groups_;
  std::vector<std::string> groupNames_;
  CallerAttributes attributes_;
};

// Builds out from spec: a user name is looked up in registry with its
// groups; group names are looked up there too (uuids are taken as they
// are); with a registry, uuids are given their names when it has them.
// registry may be null (then only uuids and the unauthenticated form
// work). True on success. False with problem set -- no form or several,
// --group with a user name, no registry for a name, an unknown user or
// group (the registry's status), a uuid that does not parse -- and out
// unchanged.
bool resolveCaller(CallerSpec const& spec, gxreg::Registry* registry, Caller& out, Problem& problem);

// What a question says about the request beside who asks, what and where
// from: each left unset takes the library's default (the time now; level 1
// for an authenticated caller, 0 otherwise; no protection; no attributes).
struct QuestionContext {
  std::optional<std::int64_t> time;  // seconds since 1970-01-01T00:00:00Z
  std::optional<int> authLevel;      // 0 and up
  daProtection protection = daProtection::none;
  daAttributes attributes;
  // The library's form of this context; points into this object's
  // attributes (keep it alive and unchanged while deciding).
  daDecisionContext forDecide() const;
};

// One question: may the caller do actions to object (from address, "" for
// none), in context?
struct Question {
  std::string object;
  std::string actions;
  std::string address;
  QuestionContext context;
};

// Reads a request time: seconds since 1970 ("1796176800"), RFC 3339
// ("2026-12-07T03:00:00Z", "2026-12-07T04:00:00+01:00", fractions of a
// second dropped), or a wall-clock time in a named zone ("2026-12-07 03:00
// Europe/Berlin", seconds optional; "UTC" names UTC). A wall-clock time the
// zone skips (clocks go forward) or repeats (clocks go back) is refused:
// say which with an offset. True with out set; false with why saying what
// was wrong, out unchanged.
bool parseRequestTime(std::string_view text, std::int64_t& out, std::string& why);
// "none", "integrity" or "privacy". False for anything else.
bool parseProtection(std::string_view text, daProtection& out);
char const* protectionText(daProtection p);
// An attribute for rules given as NAME=VALUE (--attr, a header). The value
// is typed: true and false are booleans, a decimal number ("3", "-2.5") a
// number, a value in square brackets a list of strings ("[sales,hr]", "[]"
// the empty list; items are split at commas, spaces around them dropped),
// anything else a string; a leading '=' keeps the rest a string as written
// ("==true" is the string "true"). True with name and value set; false with
// why for an empty name or no '='.
bool parseAttributeValue(std::string_view text, daAttributes::Value& out);
bool parseAttribute(std::string_view nameValue, std::string& name, daAttributes::Value& value, std::string& why);

// Bounds on the attributes a document gives one question.
inline constexpr std::size_t kMaxAttributes = 256;       // names
inline constexpr std::size_t kMaxAttributeItems = 1024;  // strings in one list
// Reads a context object {"time": TIME, "auth_level": N, "protection":
// "none" | "integrity" | "privacy", "attributes": {"NAME": "text" | number |
// true | ["a", "b"]}} (every field optional; TIME a number of seconds or
// text parseRequestTime reads) into out. where names object in messages.
// False with problem (status 0, where the field) for another field, a bad
// value or more than the bounds above; out then unchanged. Throws only
// std::bad_alloc.
bool readQuestionContext(nlohmann::json const& object, std::string const& where, QuestionContext& out,
                         Problem& problem);

// One ACL entry as it bears on the caller.
struct EntryExplained {
  std::string type;     // "user", "group", "any-other", "unauthenticated", "unsupported"
  std::string uuid;     // user and group entries
  std::string name;     // the registry's name for uuid, "" when unknown
  std::string actions;  // the entry's permissions as an action string
  bool matches = false;  // the entry is for this caller
  bool applied = false;  // its permissions are (part of) the answer
  std::string why;
};

// One object on the way from the object asked about to the root, with the
// names of the policies attached to it ("" for none).
struct WalkStep {
  std::string object;
  std::string acl, pop, rule;
};

// A decision with its reasons.
struct Explanation {
  Question question;
  std::string object;  // normalised
  std::string caller;  // Caller::describe()
  // The caller's identity: user uuid and name, and its groups (uuid, name);
  // names "" when the registry has none.
  bool authenticated = false;
  std::string userUuid, userName;
  std::vector<std::pair<std::string, std::string>> groups;
  bool granted = false;
  daDecisionEntry applied = daDecisionEntry::none;
  std::string requested, permissions, missing;  // action strings
  std::string acl, aclAt, pop, popAt, rule, ruleAt;  // "" when none is in force
  bool levelAsked = false;  // an address was given and a POP is in force
  unsigned long level = 0;  // the level that POP requires from the address
  std::string reason;       // one line: why granted or denied
  // The library's account: the cause (daDecisionCauseText) and, when the
  // ACL did not decide, its reason; in warning mode the cause and reason it
  // would have answered.
  std::string cause;
  bool warning = false;
  std::string wouldCause, wouldReason;
  // The POP's conditions and the rule, each as it bore on this question:
  // name ("window", "level", "protection", "rule", "warning mode"), outcome
  // ("pass", "fail", "waived", "not checked", "none") and why.
  struct Condition {
    std::string name, outcome, why;
  };
  std::vector<Condition> conditions;
  std::vector<EntryExplained> entries;  // of the ACL in force
  std::vector<WalkStep> walk;           // with detail only
};

// Asks store (open, with an action catalogue) the question for caller
// through decide in the question's context (d is the caller's reusable
// record) and fills out, the cause, reason, warning and conditions
// included; with
// detail also the walk and the entries (one more decide per ancestor, all
// answered from the decision memo once resolved). registry (may be null)
// names the subjects of the entries. True on success. False with problem
// set -- an address that does not parse (gx_s_invalid_address), or a
// status of decide: an invalid object name, an unknown action letter, a
// policy that cannot be read -- and out unspecified. Takes what decide
// takes (the store's state lock shared while it resolves).
bool explainDecision(daCachedStore& store, Question const& question, Caller& caller, gxreg::Registry* registry,
                     bool detail, daDecision& d, Explanation& out, Problem& problem);

// The answer as gxpolicy check prints it: "granted", or "denied (<cause>):
// <reason>"; in warning mode a line "warning mode (<would-cause>):
// <would-reason>"; then, when an address was given and a POP is in force,
// a line with the level it requires. Ends with a newline.
std::string renderCheck(Explanation const& e);
// The whole explanation for a terminal (from explainDecision with detail).
std::string renderExplain(Explanation const& e);
// The explanation as JSON (keys in a fixed, readable order): the answer
// with its cause, reason and warning (would_cause and would_reason in
// warning mode), the caller and the policies in force, and with detail the
// conditions, the walk and the entries.
nlohmann::ordered_json toJson(Explanation const& e, bool detail);

// ---- cases files ----------------------------------------------------------------

// A question with the answer expected.
struct DecisionCase {
  std::string name;  // as given, else "case N" (N from 1)
  std::string where;  // cases[N-1] and the name, for messages
  Question question;
  CallerSpec caller;
  bool expectGranted = false;
  std::optional<unsigned long> expectLevel;  // "level": the level required from "ip"
  std::optional<std::string> expectCause;    // "cause": daDecisionCauseText of the answer
};

// Reads a cases file: {"cases": [CASE, ...]} or a bare array of cases, each
//   {"name": "text", "object": "/a/b", "actions": "Tr",
//    "user": "NAME" | "uuid": "UUID", "groups": ["NAME or UUID", ...] | "unauthenticated": true,
//    "ip": "ADDRESS", "expect": "granted" | "denied", "level": N, "cause": "outside-window",
//    "time": TIME, "auth_level": N, "protection": "none" | "integrity" | "privacy",
//    "attributes": {"NAME": "text" | number | true | ["a", "b"], ...}}
// (name, ip, level, cause and the context optional; exactly one caller
// form; level needs ip; TIME as parseRequestTime reads it, or a number of
// seconds).
// True with out filled. False with problem naming the case and the field
// (status 0: a shape error) and out unspecified.
bool readCases(std::string const& text, std::vector<DecisionCase>& out, Problem& problem);

// The outcome of one case.
struct CaseResult {
  enum class Outcome { passed, failed, error };
  Outcome outcome = Outcome::error;
  std::string failure;  // failed: what differs from the expectation
  Explanation got;      // passed and failed: the decision, with detail
  Problem problem;  // error: why the case could not be asked
};

// Runs one case against store with registry (may be null): resolves the
// caller, explains the decision and compares it with the expectation.
// Never throws; the outcome says what happened.
CaseResult runCase(daCachedStore& store, gxreg::Registry* registry, DecisionCase const& c, daDecision& d);

}  // namespace gxpolicy
