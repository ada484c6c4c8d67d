// Decisions with their reasons, and cases files (see tools/common/decide.h).
#include "tools/common/decide.h"

#include <date/date.h>
#include <date/tz.h>

#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <unordered_set>
#include <utility>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAddress.h"
#include "GxCore/GxPop.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/hxsvc.h"
#include "outside/registry.h"
#include "tools/common/json_error.h"
#include "tools/common/json_fields.h"
#include "tools/common/pop_access.h"
#include "tools/common/review_json.h"

namespace gxpolicy {
namespace {

using json = nlohmann::json;


bool sameUuid(hx_uuid_t const& a, hx_uuid_t const& b) {
  unsigned long st;
  return hx_uuid_equal(a, b, st) != 0;
}

bool parseUuid(std::string const& text, hx_uuid_t& out) {
  unsigned long st = 0;
  hx_uuid_t u{};
  hx_uuid_from_string(text.c_str(), u, st);
  if (st != 0) return false;
  out = u;
  return true;
}

std::string inQuotes(std::string const& s) { return json(s).dump(-1, ' ', false, json::error_handler_t::replace); }

bool fails(Problem& problem, std::string message, unsigned long status, std::string hint) {
  problem = Problem{std::move(message), status, std::move(hint)};
  return false;
}

constexpr char const* kUuidHint = "a uuid reads like 6f1c0a56-8b1e-4c1e-9d7e-1f2a3b4c5d6e";
constexpr char const* kNoRegistryHint =
    "keep the user registry beside the database (DB.registry.json) or name it with --registry FILE; or give uuids";

// The action string for perms, or fallback when the bits cannot be named.
std::string actionText(daCachedStore& store, GxACLPermset const& perms, std::string const& fallback) {
  ZUTF8String_6_0 out;
  unsigned long st = 0;
  try {
    store.mapBitmapShared(perms, out, st);
  } catch (...) {
    st = gx_s_no_action_group;
  }
  return st == 0 ? std::string(out.getChars()) : fallback;
}

// True when some "[" of an action string has no "]" after it.
bool hasUnclosedGroup(std::string const& actions) {
  std::size_t const open = actions.rfind('[');
  return open != std::string::npos && actions.find(']', open) == std::string::npos;
}

// An action string the catalogue cannot read, and what to write instead.
Problem badActions(Question const& q, unsigned long st) {
  return {"bad action string " + inQuotes(q.actions), st,
          "use the letters and [group] names that \"gxpolicy actions DB\" lists, e.g. \"Tr\""};
}

// The problem behind a status of decide.
Problem decideProblem(Question const& q, unsigned long st) {
  switch (st) {
    case gx_s_bad_pobj_name:
      return {"not a valid protected object name: " + inQuotes(q.object), st,
              "object names are paths from the root, such as /web/docs/index.html"};
    case gx_s_bad_action:
      if (q.actions.empty())
        return {"no actions asked for: the action string is empty", st,
                "name the actions to decide, e.g. \"r\"; \"gxpolicy actions DB\" lists them"};
      return badActions(q, st);
    case gx_s_no_action_group:
      // Also the answer when the quick map cannot be built; a string whose
      // every "[" is closed can only mean that.
      if (!hasUnclosedGroup(q.actions))
        return {"the database's action catalogue has no \"primary\" group with actions", st,
                "make the database with \"gxpolicy create\", which stores the default catalogue, or add an "
                "action to \"primary\""};
      return badActions(q, st);
    case gx_s_group_at_end:
      return badActions(q, st);
    case da_s_store_unavailable:
      return {"the policy database is not open", st, "open it again"};
    default:
      return {"cannot decide at " + q.object + ": a policy in force there cannot be read", st,
              "the database may be damaged: check it, rebuild it from its master or restore a backup"};
  }
}

// A subject of an ACL entry or the caller, by name when the registry has
// one, else by uuid.
std::string label(std::string const& name, std::string const& uuid) { return name.empty() ? uuid : name; }

// The entries of acl as they bear on caller, given the kind of entry that
// decide reports as applied. Follows the order of acleval: for an
// authenticated caller the last user entry for it alone, else the union of
// the entries for its groups, else the last any-other entry; for an
// unauthenticated caller the last any-other entry AND the last
// unauthenticated one, or nothing without both.
std::vector<EntryExplained> explainEntries(daCachedStore& store, GxACL const& acl, Caller const& caller,
                                           daDecisionEntry applied, gxreg::Registry* registry) {
  unsigned long const n = acl.numEntries();
  long lastUser = -1, lastAny = -1, lastUnauth = -1;
  for (unsigned long i = 0; i < n; ++i) {
    acl_entry_s_t const& e = acl.entry(i);
    if (e.entry_type == acl_e_user && caller.authenticated() && sameUuid(e.id, caller.user())) lastUser = long(i);
    if (e.entry_type == acl_e_any_other) lastAny = long(i);
    if (e.entry_type == acl_e_unauthenticated) lastUnauth = long(i);
  }
  std::string const who = caller.describe();
  std::vector<EntryExplained> out;
  for (unsigned long i = 0; i < n; ++i) {
    acl_entry_s_t const& e = acl.entry(i);
    EntryExplained x;
    x.actions = actionText(store, GxACLPermset(e.perms), "?");
    bool const last = long(i) == (e.entry_type == acl_e_user        ? lastUser
                                  : e.entry_type == acl_e_any_other ? lastAny
                                                                    : lastUnauth);
    switch (e.entry_type) {
      case acl_e_user:
      case acl_e_group: {
        bool const user = e.entry_type == acl_e_user;
        x.type = user ? "user" : "group";
        x.uuid = uuidText(e.id);
        if (registry != nullptr && user) registry->userName(e.id, x.name);
        if (registry != nullptr && !user) registry->groupName(e.id, x.name);
        std::string const subject = label(x.name, x.uuid);
        if (!caller.authenticated()) {
          x.why = "for authenticated callers only";
        } else if (user) {
          x.matches = sameUuid(e.id, caller.user());
          x.applied = x.matches && last && applied == daDecisionEntry::user;
          if (!x.matches) x.why = "a user entry for another user (" + subject + ")";
          else if (!last) x.why = "for " + who + ", but a later user entry for " + who + " takes its place";
          else x.why = "the user entry for " + who + ": it decides alone, before group and any-other entries";
        } else {
          x.matches = caller.inGroup(e.id);
          x.applied = x.matches && applied == daDecisionEntry::group;
          if (!x.matches) x.why = who + " is not in group " + subject;
          else if (x.applied) x.why = who + " is in group " + subject + " (the entries of all the caller's groups unite)";
          else if (applied == daDecisionEntry::user)
            x.why = who + " is in group " + subject + ", but the user entry for " + who + " decides";
          else x.why = who + " is in group " + subject;
        }
        break;
      }
      case acl_e_any_other:
        x.type = "any-other";
        x.matches = last;
        if (!last) {
          x.why = "a later any-other entry takes its place";
        } else if (caller.authenticated()) {
          x.applied = applied == daDecisionEntry::anyOther;
          if (x.applied) x.why = "no user or group entry is for " + who + ", so the any-other entry decides";
          else if (applied == daDecisionEntry::user) x.why = "the user entry for " + who + " decides instead";
          else if (applied == daDecisionEntry::group) x.why = "the entries for the caller's groups decide instead";
          else x.why = "for every authenticated caller";
        } else {
          x.applied = applied == daDecisionEntry::unauthenticated;
          x.why = lastUnauth < 0 ? "an unauthenticated caller gets nothing without an unauthenticated entry"
                                 : "an unauthenticated caller gets what this AND the unauthenticated entry grant";
        }
        break;
      case acl_e_unauthenticated:
        x.type = "unauthenticated";
        if (caller.authenticated()) {
          x.why = "for unauthenticated callers only";
          break;
        }
        x.matches = last;
        x.applied = last && applied == daDecisionEntry::unauthenticated;
        if (!last) x.why = "a later unauthenticated entry takes its place";
        else if (lastAny < 0) x.why = "an unauthenticated caller gets nothing without an any-other entry";
        else x.why = "an unauthenticated caller gets what this AND the any-other entry grant";
        break;
      default:
        x.type = "unsupported";
        x.why = "an entry of a kind the evaluation ignores";
        break;
    }
    out.push_back(std::move(x));
  }
  return out;
}

// How the applied kind of entry reads after "by".
std::string byWhat(Explanation const& e) {
  switch (e.applied) {
    case daDecisionEntry::user: return "its user entry for " + e.caller;
    case daDecisionEntry::group: {
      std::string groups;
      for (auto const& x : e.entries)
        if (x.applied) groups += (groups.empty() ? "" : ", ") + label(x.name, x.uuid);
      return std::string(groups.find(',') == std::string::npos ? "its entry for group " : "its entries for groups ") + groups;
    }
    case daDecisionEntry::anyOther: return "its any-other entry";
    case daDecisionEntry::unauthenticated: return "its any-other and unauthenticated entries together";
    default: return "no entry";
  }
}

std::string reasonFor(Explanation const& e, bool authenticated) {
  if (e.question.actions.empty()) return "nothing was asked for, and an empty request is always granted";
  if (e.acl.empty())
    return "no ACL is in force at " + e.object + " (none is attached to it or above it), and without one nothing is granted";
  std::string const acl = "ACL " + e.acl + " (attached at " + e.aclAt + ")";
  if (e.applied == daDecisionEntry::none) {
    if (authenticated)
      return acl + " has no entry for " + e.caller + ": no user entry, no entry for its groups, no any-other entry";
    bool any = false, unauth = false;
    for (auto const& x : e.entries) {
      any = any || x.type == "any-other";
      unauth = unauth || x.type == "unauthenticated";
    }
    std::string lacking = !any && !unauth ? "any-other or unauthenticated entry" : !any ? "any-other entry" : "unauthenticated entry";
    return acl + " grants unauthenticated callers nothing: it has no " + lacking;
  }
  std::string grants = e.permissions.empty() ? "nothing" : inQuotes(e.permissions);
  std::string text = acl + " grants " + e.caller + " " + grants + " by " + byWhat(e);
  if (!e.granted) text += "; " + (e.missing.empty() ? inQuotes(e.requested) : inQuotes(e.missing)) + " is not granted";
  return text;
}

std::string kindText(daDecisionEntry k) { return daDecisionEntryText(k); }

using ojson = nlohmann::ordered_json;

ojson subjectJson(std::string const& uuid, std::string const& name) {
  ojson j = {{"uuid", uuid}};
  if (!name.empty()) j["name"] = name;
  return j;
}

// The context a question gave, in a line: "time 2026-12-07T03:00:00Z,
// level 2, protection privacy, attributes department=sales".
std::string contextText(QuestionContext const& c) {
  std::string t;
  auto add = [&](std::string part) { t += (t.empty() ? "" : ", ") + part; };
  if (c.time) add("time " + date::format("%FT%TZ", date::sys_seconds(std::chrono::seconds(*c.time))));
  if (c.authLevel) add("level " + std::to_string(*c.authLevel));
  if (c.protection != daProtection::none) add(std::string("protection ") + protectionText(c.protection));
  for (auto const& [name, value] : c.attributes.items()) {
    std::string v;
    if (auto const* s = std::get_if<std::string>(&value)) v = inQuotes(*s);
    else if (auto const* b = std::get_if<bool>(&value)) v = *b ? "true" : "false";
    else if (auto const* d = std::get_if<double>(&value)) v = json(*d).dump();
    else for (auto const& item : std::get<daAttributes::List>(value)) v += (v.empty() ? "" : ",") + item;
    if (std::holds_alternative<daAttributes::List>(value)) v = "[" + v + "]";
    add("attribute " + name + "=" + v);
  }
  return t;
}

// Columns of the entry table: the widest subject, then the widest actions.
std::string pad(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

}  // namespace

// ---- callers ------------------------------------------------------------------------


std::string Caller::describe() const {
  if (!authenticated_) return "an unauthenticated caller";
  return userName_.empty() ? "user " + uuidText(user_) : userName_;
}

bool Caller::inGroup(hx_uuid_t const& group) const {
  for (hx_uuid_t const& g : groups_)
    if (sameUuid(g, group)) return true;
  return false;
}

namespace {

// A uuid's 16 bytes as two words, for hashing.
struct UuidBytes {
  std::uint64_t hi, lo;
  bool operator==(UuidBytes const&) const = default;
};
struct UuidBytesHash {
  std::size_t operator()(UuidBytes const& u) const { return std::hash<std::uint64_t>()(u.hi * 0x9E3779B97F4A7C15ull ^ u.lo); }
};
using UuidSet = std::unordered_set<UuidBytes, UuidBytesHash>;

UuidBytes bytesOf(hx_uuid_t const& u) {
  static_assert(sizeof(hx_uuid_t) == sizeof(UuidBytes));
  UuidBytes b;
  std::memcpy(&b, &u, sizeof b);
  return b;
}

}  // namespace

// Why looking up a user or group name failed, in words: an unknown name,
// a name several directory entries hold (never guessed between), or a
// registry that did not answer.
static std::string lookupFailure(char const* kind, std::string const& name, unsigned long status) {
  if (status == reg_s_ambiguous) return std::string(kind) + " name " + inQuotes(name) + " is held by several registry entries";
  if (status == reg_s_no_such_user || status == reg_s_no_such_group) return std::string("unknown ") + kind + " " + inQuotes(name);
  return std::string("cannot look up ") + kind + " " + inQuotes(name);
}

bool resolveCaller(CallerSpec const& spec, gxreg::Registry* registry, Caller& out, Problem& problem) {
  using Form = CallerSpec::Form;
  Caller c;
  switch (spec.form) {
    case Form::none:
      return fails(problem, "no caller given", 0,
                   "say who asks: a user name (--user), a uuid with its groups (--uuid, --group) or --unauthenticated");
    case Form::unauthenticated:
      if (!spec.groups.empty())
        return fails(problem, "groups given for an unauthenticated caller", 0, "leave out the groups");
      out = std::move(c);
      return true;
    case Form::user: {
      if (!spec.groups.empty())
        return fails(problem, "groups given with a user name", 0,
                     "a named user's groups come from the registry: leave them out, or give the user's uuid with groups");
      if (registry == nullptr)
        return fails(problem, "no user registry to look up user " + inQuotes(spec.user), reg_s_unavailable, kNoRegistryHint);
      if (unsigned long st = registry->userUuid(spec.user, c.user_); st != 0)
        return fails(problem, lookupFailure("user", spec.user, st), st, "\"gxpolicy user ls DB\" lists the users");
      if (unsigned long st = registry->userGroups(c.user_, c.groups_); st != 0)
        return fails(problem, "cannot read the groups of user " + inQuotes(spec.user), st, "check the registry file");
      c.userName_ = spec.user;
      break;
    }
    case Form::uuid: {
      if (!parseUuid(spec.uuid, c.user_)) return fails(problem, "not a uuid: " + inQuotes(spec.uuid), hx_uuid_s_invalid_string, kUuidHint);
      if (registry != nullptr) registry->userName(c.user_, c.userName_);
      // Groups named twice count once; a set keeps that linear in the groups.
      UuidSet seen;
      seen.reserve(spec.groups.size());
      c.groups_.reserve(spec.groups.size());
      for (std::string const& g : spec.groups) {
        hx_uuid_t id{};
        if (!parseUuid(g, id)) {
          if (registry == nullptr)
            return fails(problem, "group " + inQuotes(g) + " is not a uuid and there is no user registry to look it up",
                         reg_s_unavailable, kNoRegistryHint);
          if (unsigned long st = registry->groupUuid(g, id); st != 0)
            return fails(problem, lookupFailure("group", g, st), st,
                         "give a group uuid, or a name that \"gxpolicy group ls DB\" lists");
        }
        if (seen.insert(bytesOf(id)).second) c.groups_.push_back(id);
      }
      break;
    }
  }
  if (c.groups_.size() > CallerAttributes::kMaxGroups)
    return fails(problem, "the caller has more than 65535 groups", 0, "a caller's groups must fit the evaluation");
  for (hx_uuid_t const& g : c.groups_) {
    std::string name;
    if (registry != nullptr) registry->groupName(g, name);
    c.groupNames_.push_back(name);
  }
  c.authenticated_ = true;
  c.attributes_ = CallerAttributes(c.user_, c.groups_, c.userName_);
  out = std::move(c);
  return true;
}

// ---- the request's context -----------------------------------------------------------

daDecisionContext QuestionContext::forDecide() const {
  daDecisionContext ctx;
  if (time) ctx.timeSeconds = *time;
  if (authLevel) ctx.authLevel = *authLevel;
  ctx.protection = protection;
  if (!attributes.empty()) ctx.attributes = &attributes;
  return ctx;
}

namespace {

// Reads exactly n digits at text[at...] into out; false when they are not
// all digits.
bool digits(std::string_view text, std::size_t at, std::size_t n, int& out) {
  if (at + n > text.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

// "YYYY-MM-DD?HH:MM[:SS]" at the start of text, sep being the character
// between date and time. Sets the wall-clock time and how many characters
// it took.
bool wallClock(std::string_view text, char sep, date::local_seconds& out, std::size_t& used, std::string& why) {
  int y, mo, d, h, mi, s = 0;
  if (!digits(text, 0, 4, y) || text.size() < 16 || text[4] != '-' || !digits(text, 5, 2, mo) || text[7] != '-' ||
      !digits(text, 8, 2, d) || text[10] != sep || !digits(text, 11, 2, h) || text[13] != ':' || !digits(text, 14, 2, mi)) {
    why = "expected seconds since 1970, 2026-12-07T03:00:00Z (RFC 3339) or \"2026-12-07 03:00 Europe/Berlin\"";
    return false;
  }
  used = 16;
  if (text.size() >= 19 && text[16] == ':') {
    if (!digits(text, 17, 2, s)) {
      why = "the seconds are not two digits";
      return false;
    }
    used = 19;
  }
  date::year_month_day ymd{date::year(y), date::month(unsigned(mo)), date::day(unsigned(d))};
  if (!ymd.ok() || h > 23 || mi > 59 || s > 59) {
    why = "no such date or time of day";
    return false;
  }
  out = date::local_days(ymd) + std::chrono::hours(h) + std::chrono::minutes(mi) + std::chrono::seconds(s);
  return true;
}

}  // namespace

bool parseRequestTime(std::string_view text, std::int64_t& out, std::string& why) {
  if (text.empty()) {
    why = "empty";
    return false;
  }
  bool const number = text.find_first_not_of("-0123456789") == std::string_view::npos;
  if (number) {
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    // The years 0001..9999, as the other forms.
    if (ec != std::errc() || end != text.data() + text.size() || v < -62135596800 || v > 253402300799) {
      why = "seconds since 1970 out of range";
      return false;
    }
    out = v;
    return true;
  }
  date::local_seconds wall;
  std::size_t used = 0;
  bool const rfc = text.size() > 10 && (text[10] == 'T' || text[10] == 't');
  if (!wallClock(text, rfc ? text[10] : ' ', wall, used, why)) return false;
  std::string_view rest = text.substr(used);
  if (rfc) {
    if (!rest.empty() && rest.front() == '.') {  // a fraction of a second: dropped
      std::size_t n = 1;
      while (n < rest.size() && std::isdigit(static_cast<unsigned char>(rest[n]))) ++n;
      if (n == 1) {
        why = "a '.' without the fraction of a second";
        return false;
      }
      rest.remove_prefix(n);
    }
    long offset = 0;
    int oh, om;
    if (rest == "Z" || rest == "z") {
      offset = 0;
    } else if (rest.size() == 6 && (rest[0] == '+' || rest[0] == '-') && digits(rest, 1, 2, oh) && rest[3] == ':' &&
               digits(rest, 4, 2, om) && oh < 24 && om < 60) {
      offset = (rest[0] == '-' ? -1 : 1) * (oh * 3600L + om * 60L);
    } else {
      why = "an RFC 3339 time ends with Z or an offset such as +01:00";
      return false;
    }
    out = wall.time_since_epoch().count() - offset;
    return true;
  }
  if (rest.size() < 2 || rest.front() != ' ') {
    why = "a wall-clock time needs its zone: \"2026-12-07 03:00 Europe/Berlin\" (or UTC)";
    return false;
  }
  std::string const zoneName(rest.substr(1));
  if (zoneName == "UTC") {
    out = wall.time_since_epoch().count();
    return true;
  }
  date::time_zone const* zone = nullptr;
  try {
    zone = date::locate_zone(zoneName);
  } catch (std::exception const&) {
    why = "unknown time zone " + inQuotes(zoneName);
    return false;
  }
  date::local_info const info = zone->get_info(wall);
  if (info.result == date::local_info::nonexistent) {
    why = "that time does not exist in " + zoneName + " (the clocks skip it): give an RFC 3339 time with its offset";
    return false;
  }
  if (info.result == date::local_info::ambiguous) {
    why = "that time happens twice in " + zoneName + " (the clocks go back): give an RFC 3339 time with its offset";
    return false;
  }
  out = (wall - info.first.offset).time_since_epoch().count();
  return true;
}

bool parseProtection(std::string_view text, daProtection& out) {
  if (text == "none") out = daProtection::none;
  else if (text == "integrity") out = daProtection::integrity;
  else if (text == "privacy") out = daProtection::privacy;
  else return false;
  return true;
}

char const* protectionText(daProtection p) {
  switch (p) {
    case daProtection::integrity: return "integrity";
    case daProtection::privacy: return "privacy";
    default: return "none";
  }
}

bool parseAttributeValue(std::string_view v, daAttributes::Value& out) {
  auto trim = [](std::string_view x) {
    while (!x.empty() && x.front() == ' ') x.remove_prefix(1);
    while (!x.empty() && x.back() == ' ') x.remove_suffix(1);
    return x;
  };
  if (!v.empty() && v.front() == '=') {
    out = std::string(v.substr(1));
  } else if (v == "true" || v == "false") {
    out = v == "true";
  } else if (v.size() >= 2 && v.front() == '[' && v.back() == ']') {
    daAttributes::List list;
    std::string_view inner = trim(v.substr(1, v.size() - 2));
    while (!inner.empty()) {
      std::size_t comma = inner.find(',');
      list.emplace_back(trim(inner.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      inner.remove_prefix(comma + 1);
    }
    out = std::move(list);
  } else {
    double d = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), d, std::chars_format::fixed);
    if (!v.empty() && ec == std::errc() && end == v.data() + v.size()) out = d;
    else out = std::string(v);
  }
  return true;
}

bool parseAttribute(std::string_view nameValue, std::string& name, daAttributes::Value& value, std::string& why) {
  std::size_t const eq = nameValue.find('=');
  if (eq == std::string_view::npos || eq == 0) {
    why = "expected NAME=VALUE, e.g. department=sales";
    return false;
  }
  name.assign(nameValue.substr(0, eq));
  return parseAttributeValue(nameValue.substr(eq + 1), value);
}

// ---- decisions ------------------------------------------------------------------------

namespace {

// Where a cause stands among the POP's conditions and the rule, in the
// order the library checks them: 0 window, 1 level, 2 protection, 3 rule;
// -1 for the ACL's causes.
int conditionIndex(daDecisionCause c) {
  switch (c) {
    case daDecisionCause::outsideWindow: return 0;
    case daDecisionCause::authLevel: return 1;
    case daDecisionCause::protection: return 2;
    case daDecisionCause::ruleDenied:
    case daDecisionCause::ruleMissingAttribute:
    case daDecisionCause::ruleError:
    case daDecisionCause::ruleLimit:
    case daDecisionCause::ruleNotCompiled: return 3;
    default: return -1;
  }
}

// Each condition as it bore on the decision d, whose ACL granted unless
// the cause says otherwise.
std::vector<Explanation::Condition> explainConditions(daDecision const& d, QuestionContext const& ctx) {
  std::vector<Explanation::Condition> out;
  GxPop const* pop = d.hasPop() ? d.pop() : nullptr;
  int const denied = d.granted() ? -1 : conditionIndex(d.cause());
  int const waived = d.warning() ? conditionIndex(d.wouldCause()) : -1;
  bool const aclDecided = !d.granted() && denied < 0;
  std::string const has = ctx.authLevel ? std::to_string(*ctx.authLevel) : std::string("the default");
  std::string const what[4] = {
      pop == nullptr ? "" : pop->dayAccess() == 0 && pop->startAccess() == pop->endAccess() ? "the POP sets no access window"
                                                                                            : "the POP's access window",
      pop == nullptr ? "" : "the POP requires level " + std::to_string(d.requiredAuthLevel()) + "; the caller has " + has,
      pop == nullptr ? ""
                     : "the POP requires " +
                           std::string(pop->qualityOfProtection() == 0   ? "no protection"
                                       : pop->qualityOfProtection() == 1 ? "integrity"
                                       : pop->qualityOfProtection() == 2 ? "privacy"
                                                                         : "a protection no connection has") +
                           "; the connection has " + protectionText(ctx.protection),
      d.hasRule() ? "rule " + std::string(d.ruleName()) : ""};
  char const* const names[4] = {"window", "level", "protection", "rule"};
  for (int i = 0; i < 4; ++i) {
    Explanation::Condition c{names[i], "", what[i]};
    if ((i < 3 && pop == nullptr) || (i == 3 && !d.hasRule())) {
      c.outcome = "none";
      c.why = i < 3 ? "no POP in force" : "no rule in force";
    } else if (aclDecided || (denied >= 0 && i > denied)) {
      c.outcome = "not checked";
      c.why += aclDecided ? " (the ACL decided first)" : " (an earlier condition decided)";
    } else if (i == denied) {
      c.outcome = "fail";
      c.why += std::string(": ") + d.reason();
    } else if (i == waived) {
      c.outcome = "waived";
      c.why += std::string(": ") + d.wouldReason();
    } else {
      c.outcome = "pass";
    }
    out.push_back(std::move(c));
  }
  Explanation::Condition warning{"warning mode", "none", "no POP in force"};
  if (pop != nullptr) {
    warning.outcome = pop->warningMode() != 0 ? "on" : "off";
    warning.why = pop->warningMode() == 0 ? "the POP's conditions deny"
                  : d.warning()           ? std::string("a condition failed and was waived (") + d.wouldReason() + ")"
                                          : "a failing window, level, protection or rule would grant, and say so";
  }
  out.push_back(std::move(warning));
  return out;
}

}  // namespace

bool explainDecision(daCachedStore& store, Question const& question, Caller& caller, gxreg::Registry* registry,
                     bool detail, daDecision& d, Explanation& out, Problem& problem) {
  out = Explanation{};
  out.question = question;
  out.caller = caller.describe();
  out.authenticated = caller.authenticated();
  if (caller.authenticated()) {
    out.userUuid = uuidText(caller.user());
    out.userName = caller.userName();
    for (std::size_t i = 0; i < caller.groups().size(); ++i)
      out.groups.emplace_back(uuidText(caller.groups()[i]), caller.groupNames()[i]);
  }
  GxAddress address;
  if (!question.address.empty()) {
    address = GxAddress(question.address.c_str());
    if (!address.addressIsValid())
      return fails(problem, "not an IPv4 or IPv6 address: " + inQuotes(question.address), gx_s_invalid_address,
                   "give an address such as 10.1.2.3 or fd00::1");
  }
  unsigned long st = 0;
  daDecisionContext const ctx = question.context.forDecide();
  store.decide(question.object.c_str(), caller.pa(), question.actions.c_str(),
               question.address.empty() ? nullptr : &address, ctx, d, st);
  if (st != 0) {
    problem = decideProblem(question, st);
    return false;
  }
  ZUTF8String_6_0 normal(question.object.c_str());
  daPObjName::validateAndFix(normal);  // decide accepted the name
  out.object = normal.getChars();
  out.granted = d.granted();
  out.applied = d.appliedEntry();
  out.requested = actionText(store, d.requested(), question.actions);
  out.permissions = d.permissionsText();
  GxACLPermset missing(d.requested());
  d.permissions().maskPermset(missing.value());
  out.missing = actionText(store, missing, "");
  if (d.hasAcl()) {
    out.acl = d.aclName();
    out.aclAt = d.aclLocation();
    out.entries = explainEntries(store, *d.acl(), caller, out.applied, registry);
  }
  if (d.hasPop()) {
    out.pop = d.popName();
    out.popAt = d.popLocation();
    out.levelAsked = !question.address.empty();
    out.level = d.requiredAuthLevel();
  }
  if (d.hasRule()) {
    out.rule = d.ruleName();
    out.ruleAt = d.ruleLocation();
  }
  out.cause = daDecisionCauseText(d.cause());
  // The ACL's causes are told from its entries; the conditions' in the
  // library's words.
  out.reason = conditionIndex(d.cause()) >= 0 ? std::string(d.reason()) : reasonFor(out, caller.authenticated());
  out.warning = d.warning();
  if (d.warning()) {
    out.wouldCause = daDecisionCauseText(d.wouldCause());
    out.wouldReason = d.wouldReason();
  }
  out.conditions = explainConditions(d, question.context);
  if (!detail) return true;

  // What is attached where: an object has a policy attached when the policy
  // in force there is attached at that very object.
  daDecision w;
  daPObjName at(out.object.c_str());
  for (;;) {
    // The same actions: decide accepted them, and only the policy in force
    // at each step is looked at.
    store.decide(at.getPathName(), nullptr, question.actions.c_str(), nullptr, w, st);
    if (st != 0) {
      problem = decideProblem(Question{at.getPathName(), question.actions, "", {}}, st);
      return false;
    }
    WalkStep step{at.getPathName(), "", "", ""};
    if (w.hasAcl() && step.object == w.aclLocation()) step.acl = w.aclName();
    if (w.hasPop() && step.object == w.popLocation()) step.pop = w.popName();
    if (w.hasRule() && step.object == w.ruleLocation()) step.rule = w.ruleName();
    out.walk.push_back(std::move(step));
    if (at.isRoot()) break;
    at.walkUp();
  }
  return true;
}

std::string renderCheck(Explanation const& e) {
  std::string text = e.granted ? "granted\n" : "denied (" + e.cause + "): " + e.reason + "\n";
  if (e.warning) text += "warning mode (" + e.wouldCause + "): " + e.wouldReason + "\n";
  if (e.levelAsked) {
    text += "POP " + e.pop + " (attached at " + e.popAt + ") requires authentication level " +
            std::to_string(e.level) + " from " + e.question.address + "\n";
  }
  return text;
}

std::string renderExplain(Explanation const& e) {
  std::string t;
  t += "question: may " + e.caller + " do " + inQuotes(e.question.actions) + " to " + e.object;
  if (!e.question.address.empty()) t += " from " + e.question.address;
  t += "?\n";
  if (e.authenticated) {
    t += "caller:   " + (e.userName.empty() ? "user " + e.userUuid : e.userName + " (" + e.userUuid + ")");
    std::string groups;
    for (auto const& [uuid, name] : e.groups) groups += (groups.empty() ? "" : ", ") + label(name, uuid);
    if (e.groups.empty()) t += ", in no group\n";
    else t += (e.groups.size() == 1 ? ", in group " : ", in groups ") + groups + "\n";
  }
  if (e.question.context.time || e.question.context.authLevel || e.question.context.protection != daProtection::none ||
      !e.question.context.attributes.empty())
    t += "context:  " + contextText(e.question.context) + "\n";
  t += std::string("answer:   ") + (e.granted ? "granted" : "denied (" + e.cause + ")") + "\n";
  t += "because:  " + e.reason + "\n";
  if (e.warning) t += "warning:  the POP is in warning mode (" + e.wouldCause + "): " + e.wouldReason + "\n";

  t += "\nfrom the object up to the root, what is attached:\n";
  std::size_t width = 0;
  for (auto const& s : e.walk) width = std::max(width, s.object.size());
  for (auto const& s : e.walk) {
    std::string what;
    if (!s.acl.empty()) what += "ACL " + s.acl;
    if (!s.pop.empty()) what += (what.empty() ? "" : ", ") + std::string("POP ") + s.pop;
    if (!s.rule.empty()) what += (what.empty() ? "" : ", ") + std::string("rule ") + s.rule;
    t += "  " + pad(s.object, width) + "  " + (what.empty() ? "-" : what) + "\n";
  }

  t += "\n";
  if (e.acl.empty()) {
    t += "ACL in force: none\n";
  } else {
    t += "ACL in force: " + e.acl + ", attached at " + e.aclAt +
         (e.aclAt == e.object ? " (the object itself)" : ", inherited by " + e.object) + "\n";
    t += "  a user entry for the caller decides alone; else the entries for its groups unite; else any-other.\n";
    t += "  an unauthenticated caller gets what any-other AND unauthenticated both grant.\n";
    std::size_t subjectWidth = 0, actionWidth = 2;
    std::vector<std::string> subjects;
    for (auto const& x : e.entries) {
      subjects.push_back(x.type + (x.uuid.empty() ? "" : " " + label(x.name, x.uuid)));
      subjectWidth = std::max(subjectWidth, subjects.back().size());
      actionWidth = std::max(actionWidth, x.actions.size());
    }
    for (std::size_t i = 0; i < e.entries.size(); ++i) {
      auto const& x = e.entries[i];
      char const* mark = x.applied ? "applied " : x.matches ? "matches " : "no      ";
      t += std::string("  ") + mark + pad(subjects[i], subjectWidth) + "  " +
           pad(x.actions.empty() ? "-" : x.actions, actionWidth) + "  " + x.why + "\n";
    }
    t += "  applied: " + kindText(e.applied) + " entry; permissions " + (e.permissions.empty() ? "none" : inQuotes(e.permissions)) +
         ", asked " + inQuotes(e.question.actions);
    if (!e.granted) t += ", missing " + inQuotes(e.missing);
    t += "\n";
  }
  if (e.pop.empty()) {
    t += "POP in force: none";
    if (!e.question.address.empty()) t += " (no authentication level required from " + e.question.address + ")";
    t += "\n";
  } else {
    t += "POP in force: " + e.pop + ", attached at " + e.popAt + "\n";
    if (e.levelAsked)
      t += "  requires authentication level " + std::to_string(e.level) + " from " + e.question.address + "\n";
    else t += "  (give --ip ADDRESS for the authentication level it requires)\n";
  }
  t += e.rule.empty() ? std::string("rule in force: none\n") : "rule in force: " + e.rule + ", attached at " + e.ruleAt + "\n";
  t += "\nconditions, in the order they are checked once the ACL grants:\n";
  for (auto const& c : e.conditions) t += "  " + pad(c.name, 12) + "  " + pad(c.outcome, 11) + "  " + c.why + "\n";
  return t;
}

ojson toJson(Explanation const& e, bool detail) {
  ojson j;
  j["decision"] = e.granted ? "granted" : "denied";
  j["granted"] = e.granted;
  j["cause"] = e.cause;
  j["reason"] = e.reason;
  j["warning"] = e.warning;
  if (e.warning) {
    j["would_cause"] = e.wouldCause;
    j["would_reason"] = e.wouldReason;
  }
  j["object"] = e.object;
  j["actions"] = e.question.actions;
  if (!e.question.address.empty()) j["address"] = e.question.address;
  ojson caller = {{"text", e.caller}, {"authenticated", e.authenticated}};
  if (e.authenticated) {
    caller["user"] = subjectJson(e.userUuid, e.userName);
    ojson groups = ojson::array();
    for (auto const& [uuid, name] : e.groups) groups.push_back(subjectJson(uuid, name));
    caller["groups"] = std::move(groups);
  }
  j["caller"] = std::move(caller);
  j["applied_entry"] = kindText(e.applied);
  j["permissions"] = e.permissions;
  j["missing"] = e.missing;
  j["acl"] = e.acl.empty() ? ojson(nullptr) : ojson{{"name", e.acl}, {"attached_at", e.aclAt}};
  if (e.pop.empty()) {
    j["pop"] = nullptr;
  } else {
    j["pop"] = {{"name", e.pop}, {"attached_at", e.popAt}};
    if (e.levelAsked) j["pop"]["required_level"] = e.level;
  }
  j["rule"] = e.rule.empty() ? ojson(nullptr) : ojson{{"name", e.rule}, {"attached_at", e.ruleAt}};
  if (!detail) return j;
  ojson conditions = ojson::array();
  for (auto const& c : e.conditions) conditions.push_back({{"name", c.name}, {"outcome", c.outcome}, {"why", c.why}});
  j["conditions"] = std::move(conditions);
  ojson walk = ojson::array();
  for (auto const& s : e.walk) {
    ojson step = {{"object", s.object}};
    if (!s.acl.empty()) step["acl"] = s.acl;
    if (!s.pop.empty()) step["pop"] = s.pop;
    if (!s.rule.empty()) step["rule"] = s.rule;
    walk.push_back(std::move(step));
  }
  j["walk"] = std::move(walk);
  ojson entries = ojson::array();
  for (auto const& x : e.entries) {
    ojson entry = {{"type", x.type}};
    if (!x.uuid.empty()) {
      entry["uuid"] = x.uuid;
      if (!x.name.empty()) entry["name"] = x.name;
    }
    entry["actions"] = x.actions;
    entry["matches"] = x.matches;
    entry["applied"] = x.applied;
    entry["why"] = x.why;
    entries.push_back(std::move(entry));
  }
  j["entries"] = std::move(entries);
  return j;
}

// ---- cases files -----------------------------------------------------------------------

namespace {

// The context fields of a case (time, auth_level, protection, attributes)
// into out. Throws Problem naming the field.
void readCaseContext(json const& c, JsonFields const& fields, QuestionContext& out) {
  if (auto it = c.find("time"); it != c.end()) {
    std::string why;
    std::int64_t t = 0;
    bool ok = it->is_number_integer() ? parseRequestTime(std::to_string(it->get<std::int64_t>()), t, why)
              : it->is_string()       ? parseRequestTime(it->get_ref<std::string const&>(), t, why)
                                      : (why = "expected a time as text or seconds since 1970", false);
    if (!ok) throw Problem{"bad time: " + why, 0, "", fields.placeOf("time")};
    out.time = t;
  }
  if (std::optional<std::uint64_t> level = fields.number("auth_level", 1000)) out.authLevel = int(*level);
  if (fields.has("protection")) {
    std::string p = fields.string("protection", true);
    if (!parseProtection(p, out.protection))
      throw Problem{"expected \"none\", \"integrity\" or \"privacy\", not " + inQuotes(p), 0, "",
                    fields.placeOf("protection")};
  }
  if (auto it = c.find("attributes"); it != c.end()) {
    if (!it->is_object()) throw Problem{"expected an object of attributes", 0, "", fields.placeOf("attributes")};
    if (it->size() > kMaxAttributes)
      throw Problem{"more than " + std::to_string(kMaxAttributes) + " attributes", 0, "", fields.placeOf("attributes")};
    for (auto const& [name, v] : it->items()) {
      std::string const place = fields.placeOf("attributes") + "." + name;
      if (v.is_string()) {
        out.attributes.set(name, v.get<std::string>());
      } else if (v.is_boolean()) {
        out.attributes.set(name, v.get<bool>());
      } else if (v.is_number()) {
        out.attributes.set(name, v.get<double>());
      } else if (v.is_array()) {
        daAttributes::List list;
        if (v.size() > kMaxAttributeItems)
          throw Problem{"more than " + std::to_string(kMaxAttributeItems) + " items", 0, "", place};
        for (auto const& item : v) {
          if (!item.is_string()) throw Problem{"a list attribute holds strings only", 0, "", place};
          list.push_back(item.get<std::string>());
        }
        out.attributes.set(name, std::move(list));
      } else {
        throw Problem{"expected a string, number, boolean or list of strings", 0, "", place};
      }
    }
  }
}

}  // namespace

bool readQuestionContext(json const& object, std::string const& where, QuestionContext& out, Problem& problem) {
  try {
    if (!object.is_object()) throw Problem{"the context must be a JSON object", 0, "", where};
    JsonFields fields(object, where);
    fields.onlyKnown({"time", "auth_level", "protection", "attributes"});
    QuestionContext ctx;
    readCaseContext(object, fields, ctx);
    out = std::move(ctx);
    return true;
  } catch (Problem const& p) {
    problem = p;
    return false;
  }
}

namespace {

// One case: the place of its fields is "cases[N]" and its name. Throws
// Problem for a case that is not as readCases says.
DecisionCase readCase(json const& c, std::size_t index) {
  DecisionCase out;
  out.where = "cases[" + std::to_string(index) + "]";
  JsonFields(c, out.where).requireObject("a case");
  out.name = JsonFields(c, out.where).string("name", false);
  if (!out.name.empty()) out.where += " (" + inQuotes(out.name) + ")";
  else out.name = "case " + std::to_string(index + 1);
  JsonFields fields(c, out.where);
  fields.onlyKnown({"name", "object", "actions", "user", "uuid", "groups", "unauthenticated", "ip", "expect", "level",
                    "cause", "time", "auth_level", "protection", "attributes"});
  out.question.object = fields.string("object", true);
  out.question.actions = fields.string("actions", true);
  out.question.address = fields.string("ip", false);

  using Form = CallerSpec::Form;
  int forms = 0;
  if (fields.has("user")) {
    out.caller.form = Form::user;
    out.caller.user = fields.string("user", true);
    ++forms;
  }
  if (fields.has("uuid")) {
    out.caller.form = Form::uuid;
    out.caller.uuid = fields.string("uuid", true);
    ++forms;
  }
  if (auto it = c.find("unauthenticated"); it != c.end()) {
    if (!it->is_boolean() || !it->get<bool>())
      throw Problem{"\"unauthenticated\" must be true", 0, "", fields.placeOf("unauthenticated")};
    out.caller.form = Form::unauthenticated;
    ++forms;
  }
  if (forms != 1)
    throw Problem{forms == 0 ? "no caller: give \"user\", \"uuid\" (with \"groups\") or \"unauthenticated\": true"
                             : "more than one caller: give only one of \"user\", \"uuid\", \"unauthenticated\"",
                  0, "", out.where};
  if (fields.has("groups")) {
    if (out.caller.form != Form::uuid)
      throw Problem{"groups go with \"uuid\" (a named user's groups come from the registry)", 0, "",
                    fields.placeOf("groups")};
    out.caller.groups = fields.strings("groups", CallerAttributes::kMaxGroups);
  }
  std::string expect = fields.string("expect", true);
  if (expect != "granted" && expect != "denied")
    throw Problem{"expected \"granted\" or \"denied\", not " + inQuotes(expect), 0, "", fields.placeOf("expect")};
  out.expectGranted = expect == "granted";
  if (std::optional<std::uint64_t> level = fields.number("level", UINT32_MAX)) {
    if (out.question.address.empty())
      throw Problem{"a level is required from an address: give \"ip\" too", 0, "", fields.placeOf("level")};
    out.expectLevel = static_cast<unsigned long>(*level);
  }
  if (fields.has("cause")) out.expectCause = fields.string("cause", true);
  readCaseContext(c, fields, out.question.context);
  return out;
}

}  // namespace

bool readCases(std::string const& text, std::vector<DecisionCase>& out, Problem& problem) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (json::exception const& e) {
    return fails(problem, "not valid JSON at " + jsonErrorIn(text, e), 0, "fix the file");
  }
  json const* list = &doc;
  if (doc.is_object()) {
    for (auto const& item : doc.items())
      if (item.key() != "cases")
        return fails(problem, item.key() + ": unknown field", 0, "a cases file is {\"cases\": [...]} or an array of cases");
    if (!doc.contains("cases")) return fails(problem, "cases: missing", 0, "a cases file is {\"cases\": [...]}");
    list = &doc["cases"];
  }
  if (!list->is_array())
    return fails(problem, "expected an array of cases", 0, "a cases file is {\"cases\": [...]} or an array of cases");
  if (list->empty()) return fails(problem, "no cases in the file", 0, "add at least one case");
  std::vector<DecisionCase> cases;
  try {
    for (std::size_t i = 0; i < list->size(); ++i) cases.push_back(readCase((*list)[i], i));
  } catch (Problem const& bad) {
    problem = bad;
    problem.hint = "fix the case";
    return false;
  }
  out = std::move(cases);
  return true;
}

CaseResult runCase(daCachedStore& store, gxreg::Registry* registry, DecisionCase const& c, daDecision& d) {
  CaseResult r;
  Caller caller;
  if (!resolveCaller(c.caller, registry, caller, r.problem) ||
      !explainDecision(store, c.question, caller, registry, true, d, r.got, r.problem)) {
    r.outcome = CaseResult::Outcome::error;
    r.problem.message = c.where + ": " + r.problem.message;
    return r;
  }
  std::string failure;
  if (r.got.granted != c.expectGranted)
    failure = std::string("expected ") + (c.expectGranted ? "granted" : "denied") + ", got " +
              (r.got.granted ? "granted" : "denied");
  if (c.expectLevel) {
    std::string level;
    if (!r.got.levelAsked)
      level = "expected level " + std::to_string(*c.expectLevel) + " from " + c.question.address +
              ", but no POP is in force";
    else if (r.got.level != *c.expectLevel)
      level = "expected level " + std::to_string(*c.expectLevel) + " from " + c.question.address + ", got " +
              std::to_string(r.got.level);
    if (!level.empty()) failure += (failure.empty() ? "" : "; ") + level;
  }
  if (c.expectCause && *c.expectCause != r.got.cause)
    failure += (failure.empty() ? "" : "; ") + std::string("expected cause ") + *c.expectCause + ", got " + r.got.cause;
  r.failure = failure;
  r.outcome = failure.empty() ? CaseResult::Outcome::passed : CaseResult::Outcome::failed;
  return r;
}

}  // namespace gxpolicy
