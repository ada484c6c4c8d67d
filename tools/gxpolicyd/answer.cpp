// The /v1/check answer from the decision record (see answer.h).
#include "tools/gxpolicyd/answer.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "GxCore/GxAcl.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/hxutil.h"

namespace gxpolicyd {
namespace {

std::string uuidText(hx_uuid_t const& u) {
  char text[37];
  unsigned long st = 0;
  hx_uuid_to_string(u, text, st);
  return st == 0 ? std::string(text) : std::string("?");
}

bool sameUuid(hx_uuid_t const& a, hx_uuid_t const& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Action strings of permission sets, per thread, for one store's policy
// epoch (a change of the action catalogue moves it too). A set is named
// through the store's quick map, under its state lock, the first time this
// thread meets it in an epoch; afterwards from here, without a lock.
class ActionNames {
 public:
  // The action string of perms on store, or fallback when its bits cannot
  // be named.
  std::string_view name(daCachedStore& store, GxACLPermset const& perms, std::string_view fallback) {
    acl_permset_s_t const& set = perms.value();
    std::size_t words = set.count;
    while (words > 0 && set.groups[words - 1] == 0) --words;  // trailing empty groups name nothing
    std::string_view key(reinterpret_cast<char const*>(set.groups), words * sizeof set.groups[0]);
    std::uint64_t const epoch = store.policyEpoch();  // read first: a later change is not remembered as current
    std::uint64_t hash = 1469598103934665603ull;
    for (char c : key) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    Slot& slot = slots_[hash % slots_.size()];
    if (slot.epoch != epoch || slot.store != store.storeId() || slot.key != key) {
      ZUTF8String_6_0 text;
      unsigned long st = 0;
      try {
        store.mapBitmapShared(perms, text, st);
      } catch (...) {
        st = 1;
      }
      slot.epoch = epoch;
      slot.store = store.storeId();
      slot.key.assign(key);
      slot.named = st == 0;
      slot.text = st == 0 ? text.getChars() : "";
    }
    return slot.named ? std::string_view(slot.text) : fallback;
  }

 private:
  struct Slot {
    std::uint64_t epoch = 0;  // 0: empty
    std::uint64_t store = 0;
    std::string key;  // the set's words
    bool named = false;
    std::string text;
  };
  std::array<Slot, 64> slots_;
};
thread_local ActionNames tlsNames;

// Appends to out the caller's groups that have entries in the ACL, in the
// order of the entries, by name when the caller's resolution found one,
// else by uuid, separated by ", ".
void appendAppliedGroups(std::string& out, GxACL const& acl, gxpolicy::Caller const& caller) {
  std::size_t const start = out.size();
  for (unsigned long i = 0; i < acl.numEntries(); ++i) {
    acl_entry_s_t const& e = acl.entry(i);
    if (e.entry_type != acl_e_group) continue;
    for (std::size_t g = 0; g < caller.groups().size(); ++g) {
      if (!sameUuid(caller.groups()[g], e.id)) continue;
      if (out.size() > start) out += ", ";
      std::string const& name = caller.groupNames()[g];
      out += name.empty() ? uuidText(e.id) : name;
      break;
    }
  }
}

// Appends how the applied kind of entry reads after "by".
void appendByWhat(std::string& out, daDecision const& d, gxpolicy::Caller const& caller, std::string const& who) {
  switch (d.appliedEntry()) {
    case daDecisionEntry::user:
      out += "its user entry for ";
      out += who;
      return;
    case daDecisionEntry::group: {
      thread_local std::string groups;
      groups.clear();
      appendAppliedGroups(groups, *d.acl(), caller);
      out += groups.find(',') == std::string::npos ? "its entry for group " : "its entries for groups ";
      out += groups;
      return;
    }
    case daDecisionEntry::anyOther: out += "its any-other entry"; return;
    case daDecisionEntry::unauthenticated: out += "its any-other and unauthenticated entries together"; return;
    default: out += "no entry"; return;
  }
}

// Why the decision answered as it did, in one line, into out (cleared
// first; a buffer kept by the caller, so that a warm answer allocates
// nothing here).
void reasonOf(std::string& out, daDecision const& d, gxpolicy::Question const& q, gxpolicy::Caller const& caller,
              std::string const& who, std::string_view requested, std::string_view permissions,
              std::string_view missing) {
  out.clear();
  // A condition's denial (window, level, protection, rule) in the library's
  // words: the ACL granted, and its account would not say why.
  if (!d.granted() && d.cause() != daDecisionCause::noAcl && d.cause() != daDecisionCause::aclDenied) {
    out += d.reason();
    return;
  }
  if (!d.hasAcl()) {
    out += "no ACL is in force at ";
    out += q.object;
    out += " (none is attached to it or above it), and without one nothing is granted";
    return;
  }
  out += "ACL ";
  out += d.aclName();
  out += " (attached at ";
  out += d.aclLocation();
  out += ")";
  if (d.appliedEntry() == daDecisionEntry::none) {
    if (caller.authenticated()) {
      out += " has no entry for ";
      out += who;
      out += ": no user entry, no entry for its groups, no any-other entry";
      return;
    }
    bool any = false, unauth = false;
    for (unsigned long i = 0; i < d.acl()->numEntries(); ++i) {
      any = any || d.acl()->entry(i).entry_type == acl_e_any_other;
      unauth = unauth || d.acl()->entry(i).entry_type == acl_e_unauthenticated;
    }
    out += " grants unauthenticated callers nothing: it has no ";
    out += !any && !unauth ? "any-other or unauthenticated entry" : !any ? "any-other entry" : "unauthenticated entry";
    return;
  }
  out += " grants ";
  out += who;
  out += ' ';
  if (permissions.empty()) out += "nothing";
  else appendJsonString(out, permissions);
  out += " by ";
  appendByWhat(out, d, caller, who);
  if (!d.granted()) {
    out += "; ";
    appendJsonString(out, missing.empty() ? requested : missing);
    out += " is not granted";
  }
}

void appendKey(std::string& out, char const* key) {
  out += '"';
  out += key;
  out += "\":";
}

// "name": {"name": N, "attached_at": A[, "required_level": L]} or null.
void appendPolicy(std::string& out, char const* key, bool present, char const* name, char const* at,
                  unsigned long const* level = nullptr) {
  out += ',';
  appendKey(out, key);
  if (!present) {
    out += "null";
    return;
  }
  out += "{\"name\":";
  appendJsonString(out, name);
  out += ",\"attached_at\":";
  appendJsonString(out, at);
  if (level != nullptr) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, *level).ptr;
    out += ",\"required_level\":";
    out.append(digits, end);
  }
  out += '}';
}

}  // namespace

CallerText callerText(gxpolicy::Caller const& c) {
  CallerText t;
  t.describe = c.describe();
  std::string& j = t.json;
  j = "{\"text\":";
  appendJsonString(j, t.describe);
  j += c.authenticated() ? ",\"authenticated\":true" : ",\"authenticated\":false";
  if (c.authenticated()) {
    auto subject = [&j](hx_uuid_t const& id, std::string const& name) {
      j += "{\"uuid\":";
      appendJsonString(j, uuidText(id));
      if (!name.empty()) {
        j += ",\"name\":";
        appendJsonString(j, name);
      }
      j += '}';
    };
    j += ",\"user\":";
    subject(c.user(), c.userName());
    j += ",\"groups\":[";
    for (std::size_t i = 0; i < c.groups().size(); ++i) {
      if (i > 0) j += ',';
      subject(c.groups()[i], c.groupNames()[i]);
    }
    j += ']';
  }
  j += '}';
  return t;
}

char const* causeText(daDecision const& d) { return daDecisionCauseText(d.cause()); }

void appendCheckAnswer(std::string& out, daCachedStore& store, daDecision const& d, gxpolicy::Question const& q,
                       gxpolicy::Caller const& caller, CallerText const& text) {
  // This thread's buffers, reused: a warm answer allocates only as out grows.
  thread_local std::string requested, permissions, missing, reason;
  thread_local GxACLPermset lacking;
  ActionNames& names = tlsNames;
  // Each name is copied before the next lookup may reuse its slot.
  requested.assign(names.name(store, d.requested(), q.actions));
  permissions.assign(names.name(store, d.permissions(), ""));
  missing.clear();
  if (!d.granted()) {
    lacking = d.requested();
    d.permissions().maskPermset(lacking.value());
    missing.assign(names.name(store, lacking, ""));
  }
  out += d.granted() ? "{\"decision\":\"granted\",\"granted\":true,\"cause\":\""
                     : "{\"decision\":\"denied\",\"granted\":false,\"cause\":\"";
  out += daDecisionCauseText(d.cause());
  out += "\",\"reason\":";
  reasonOf(reason, d, q, caller, text.describe, requested, permissions, missing);
  appendJsonString(out, reason);
  if (d.warning()) {
    out += ",\"warning\":true,\"would_cause\":\"";
    out += daDecisionCauseText(d.wouldCause());
    out += "\",\"would_reason\":";
    appendJsonString(out, d.wouldReason());
  } else {
    out += ",\"warning\":false";
  }
  out += ",\"object\":";
  appendJsonString(out, q.object);
  out += ",\"actions\":";
  appendJsonString(out, q.actions);
  if (!q.address.empty()) {
    out += ",\"address\":";
    appendJsonString(out, q.address);
  }
  out += ",\"caller\":";
  out += text.json;
  out += ",\"applied_entry\":\"";
  out += daDecisionEntryText(d.appliedEntry());
  out += "\",\"permissions\":";
  appendJsonString(out, permissions);
  out += ",\"missing\":";
  appendJsonString(out, missing);
  appendPolicy(out, "acl", d.hasAcl(), d.aclName(), d.aclLocation());
  unsigned long const level = d.requiredAuthLevel();
  appendPolicy(out, "pop", d.hasPop(), d.popName(), d.popLocation(), q.address.empty() ? nullptr : &level);
  appendPolicy(out, "rule", d.hasRule(), d.ruleName(), d.ruleLocation());
  out += '}';
}

}  // namespace gxpolicyd
