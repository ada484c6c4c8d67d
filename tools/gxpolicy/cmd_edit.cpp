// gxpolicy acl / pop / rule / object: edits of the policy by name, each one
// change (tools/common/policy_changes.h: one database write group with its
// change-log entry), refused with nothing written when it would leave the
// policy inconsistent.
//
//   gxpolicy acl create DB NAME [--description TEXT]
//   gxpolicy acl show DB NAME              (a path, /a/b: the ACL attached there)
//   gxpolicy acl delete DB NAME
//   gxpolicy acl set-entry DB NAME (--user U | --group G | --any-other | --unauthenticated) ACTIONS
//   gxpolicy acl remove-entry DB NAME (--user U | --group G | --any-other | --unauthenticated)
//   gxpolicy acl attach|detach DB NAME OBJECT
//   gxpolicy pop create|set DB NAME [--description T] [--warning on|off] [--audit N]
//                [--default-level N] [--days mon,tue,...] [--from HH:MM --to HH:MM] [--zone Z]
//   gxpolicy pop show DB NAME             (a path: the POP in force there)
//   gxpolicy pop set-level DB NAME NETWORK/MASK LEVEL     (MASK: a netmask or a prefix length)
//   gxpolicy pop remove-level DB NAME NETWORK/MASK
//   gxpolicy pop delete|attach|detach ...
//   gxpolicy rule create|set DB NAME [--text T] [--reason R] [--description D] [--adi NAME]...
//   gxpolicy rule show|delete|attach|detach ...
//   gxpolicy object create DB PATH [--description T] [--type N] [--not-attachable]
//   gxpolicy object delete DB PATH [--recursive]
//   gxpolicy object ls DB [PATH] [--recursive]
//
// Every command that changes something takes --as NAME (the administrator
// the change log records; default: the user running the command),
// --if-sequence N (refused, exit status 3, when the database is no longer
// at N), --dry-run (say what would change, write nothing) and --registry R.
// A user or group is given by registry name or by uuid.
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/GxAddress.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/registry.h"
#include "tools/common/policy_changes.h"
#include "tools/common/policy_document.h"
#include "tools/common/policy_edit.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {

std::string osUserName() {
  if (struct passwd const* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_name != nullptr) return pw->pw_name;
  if (char const* user = std::getenv("USER"); user != nullptr && *user != '\0') return user;
  return "uid " + std::to_string(geteuid());
}

void addChangeOptions(CLI::App* sub, ChangeArgs& a) {
  sub->add_option("--as", a.as, "the administrator the change log records (default: the user running this)");
  sub->add_option("--if-sequence", a.ifSequence,
                  "refuse (exit status 3) unless the database is still at this sequence number");
  sub->add_flag("--dry-run", a.dryRun, "say what would change and write nothing");
}

ChangeOptions changeOptions(ChangeArgs const& a, std::string command, gxreg::Registry* registry) {
  ChangeOptions o;
  o.ifSequence = a.ifSequence;
  o.dryRun = a.dryRun;
  o.actor = Actor{a.as.empty() ? osUserName() : a.as, "local"};
  o.command = std::move(command);
  o.registry = registry;
  return o;
}

void reportChange(ChangeResult const& r, std::string const& db) {
  switch (r.outcome) {
    case ChangeOutcome::applied:
      std::fputs(describeChanges(r.changes).c_str(), stdout);
      std::printf("%s: sequence number %lu\n", db.c_str(), r.sequence);
      return;
    case ChangeOutcome::unchanged:
      std::printf("%s: nothing to change (sequence number %lu)\n", db.c_str(), r.sequence);
      return;
    case ChangeOutcome::dryRun: {
      std::string text = describeChanges(r.changes);
      for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        std::printf("would %s\n", text.substr(at, end - at).c_str());
      }
      std::printf("%s: dry run, nothing written (sequence number %lu)\n", db.c_str(), r.sequence);
      return;
    }
    case ChangeOutcome::conflict:
      std::fprintf(stderr, "gxpolicy: %s: %s; nothing was written\n", db.c_str(), describe(r.problem).c_str());
      throw CLI::RuntimeError(kExitConflict);
    default:
      std::fprintf(stderr, "gxpolicy: %s: %s; nothing was written\n", db.c_str(), describe(r.problem).c_str());
      throw CLI::RuntimeError(kExitError);
  }
}

namespace {

using json = nlohmann::json;
using document::kObjects;
using document::Path;
using document::root;
using document::exportItem;
using document::itemField;

struct EditArgs {
  std::string db, domain = "Default", registry;
  ChangeArgs change;
  std::string name, object, actions, description, network, level;
  std::string user, group;
  bool anyOther = false, unauthenticated = false;
  // POP fields
  std::optional<std::string> warning, days, from, to, zone;
  std::optional<unsigned long> audit, defaultLevel;
  // rule fields
  std::optional<std::string> text, reason;
  std::vector<std::string> adi;
  // object fields
  std::optional<unsigned long> type;
  bool notAttachable = false, recursive = false;
};

struct OpenedStore {
  explicit OpenedStore(EditArgs const& a, int readOnly)
      : store(a.domain.c_str(), a.db.c_str(), 1, 0) {
    openOrFail(store, a.db, readOnly);
    registry = openRegistry(a.db, a.registry);
  }
  daCachedStore store;
  std::unique_ptr<gxreg::Registry> registry;
};

// Runs one edit and reports it.
void change(EditArgs const& a, std::string const& command, std::function<void(PolicyEdit&)> const& edit) {
  OpenedStore s(a, 0);
  reportChange(runEdit(s.store, edit, changeOptions(a.change, command, s.registry.get())), a.db);
}

// The entry's subject from --user, --group, --any-other or
// --unauthenticated (exactly one): a uuid as "id", anything else as "name".
json entrySubject(EditArgs const& a) {
  int given = !a.user.empty() + !a.group.empty() + a.anyOther + a.unauthenticated;
  if (given != 1) {
    std::fprintf(stderr, "gxpolicy: give exactly one of --user, --group, --any-other, --unauthenticated\n");
    throw CLI::RuntimeError(kExitError);
  }
  if (a.anyOther) return {{"type", "any-other"}};
  if (a.unauthenticated) return {{"type", "unauthenticated"}};
  std::string const& who = a.user.empty() ? a.group : a.user;
  hx_uuid_t id{};
  unsigned long st = 0;
  hx_uuid_from_string(who.c_str(), id, st);
  return {{"type", a.user.empty() ? "group" : "user"}, {st == 0 ? "id" : "name", who}};
}

// NETWORK/MASK with MASK a netmask or a prefix length, as network and netmask texts.
std::pair<std::string, std::string> networkOf(std::string const& text) {
  std::size_t slash = text.find('/');
  if (slash == std::string::npos) {
    std::fprintf(stderr, "gxpolicy: %s: give NETWORK/MASK (10.0.0.0/8 or 10.0.0.0/255.0.0.0)\n", text.c_str());
    throw CLI::RuntimeError(kExitError);
  }
  std::string network = text.substr(0, slash), mask = text.substr(slash + 1);
  if (mask.find_first_not_of("0123456789") != std::string::npos || mask.empty()) return {network, mask};
  GxAddress n(network.c_str());
  int bits = n.addressFamily() == GxAddress::familyIPv4 ? 32 : 128;
  unsigned long prefix = std::stoul(mask.substr(0, 4));
  if (!n.addressIsValid() || prefix > static_cast<unsigned long>(bits)) {
    std::fprintf(stderr, "gxpolicy: %s: not a network and prefix length\n", text.c_str());
    throw CLI::RuntimeError(kExitError);
  }
  unsigned char bytes[16] = {};
  for (unsigned long i = 0; i < prefix; ++i) bytes[i / 8] |= static_cast<unsigned char>(0x80 >> (i % 8));
  ZUTF8String_6_0 out;
  GxAddress(n.addressFamily(), bits / 8, bytes).getStrAddress(out);
  return {network, out.getChars()};
}

// The POP fields the options give, as a document's POP.
json popFields(EditArgs const& a) {
  json f = json::object();
  if (!a.description.empty()) f["description"] = a.description;
  if (a.warning) {
    if (*a.warning != "on" && *a.warning != "off") {
      std::fprintf(stderr, "gxpolicy: --warning takes on or off\n");
      throw CLI::RuntimeError(kExitError);
    }
    f["warning"] = *a.warning == "on";
  }
  if (a.audit) f["audit"] = *a.audit;
  if (a.defaultLevel) f["default_level"] = *a.defaultLevel;
  if (a.days || a.from || a.to || a.zone) {
    json access = json::object();
    if (a.days) {
      json days = json::array();
      std::string list = *a.days;
      for (std::size_t at = 0, end; at <= list.size(); at = end + 1) {
        end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        if (end > at) days.push_back(list.substr(at, end - at));
      }
      access["days"] = days;
    }
    if (a.from) access["from"] = *a.from;
    if (a.to) access["to"] = *a.to;
    if (a.zone) access["zone"] = *a.zone;
    f["access"] = access;
  }
  return f;
}

json ruleFields(EditArgs const& a) {
  json f = json::object();
  if (!a.description.empty()) f["description"] = a.description;
  if (a.text) f["text"] = *a.text;
  if (a.reason) f["reason"] = *a.reason;
  if (!a.adi.empty()) f["adilist"] = a.adi;
  return f;
}

json objectFields(EditArgs const& a) {
  json f = json::object();
  if (!a.description.empty()) f["description"] = a.description;
  if (a.type) f["type"] = *a.type;
  if (a.notAttachable) f["attachable"] = false;
  return f;
}

// Problems of a command's edit are not tied to a place in a document.
Path placeOf(int) { return root(); }

// A name, or a path (/a/b): the policy of the kind attached there.
void show(EditArgs const& a, int section) {
  OpenedStore s(a, 1);
  json item;
  std::string name = a.name;
  try {
    if (!name.empty() && name[0] == '/') {
      std::string path = objectOrFail(name).getPathName();
      json object = exportItem(s.store, nullptr, kObjects, path);
      if (!object.is_object() || !object.contains(itemField(section))) {
        std::printf("%s: no %s attached\n", path.c_str(), kKinds[section].noun);
        return;
      }
      name = object[itemField(section)];
    }
    item = exportItem(s.store, s.registry.get(), section, name);
  } catch (document::BadItem const& bad) {
    throw CLI::RuntimeError(fail("cannot read " + a.name + ": " + bad.message, bad.status));
  }
  if (item.is_null()) {
    std::fprintf(stderr, "gxpolicy: %s: there is no %s %s\n", a.db.c_str(), kKinds[section].noun, name.c_str());
    throw CLI::RuntimeError(kExitError);
  }
  std::printf("%s\n", json({{itemField(section), name}, {"value", item}}).dump(2).c_str());
}

// True when path is prefix or lies below it (depth levels at most, 0: any).
bool below(std::string const& path, std::string const& prefix, bool recursive) {
  if (path == prefix) return true;
  std::string p = prefix == "/" ? "" : prefix;
  if (path.compare(0, p.size() + 1, p + "/") != 0) return false;
  return recursive || path.find('/', p.size() + 1) == std::string::npos;
}

void listObjects(EditArgs const& a) {
  std::string prefix = a.object.empty() ? "/" : objectOrFail(a.object).getPathName();
  OpenedStore s(a, 1);
  std::set<std::string> paths;
  if (unsigned long st = objectPaths(s.store, paths); st != 0) throw CLI::RuntimeError(fail("cannot list the objects", st));
  std::string shownBelow;  // the last child shown only as "CHILD/" (objects below it, none at it)
  for (std::string const& path : paths) {
    if (!below(path, prefix, a.recursive)) {
      std::string base = prefix == "/" ? "" : prefix;
      if (a.recursive || path.compare(0, base.size() + 1, base + "/") != 0) continue;
      std::string child = path.substr(0, path.find('/', base.size() + 1));
      if (child == shownBelow || paths.count(child)) continue;
      shownBelow = child;
      std::printf("%s/\n", child.c_str());
      continue;
    }
    json item = exportItem(s.store, nullptr, kObjects, path);
    std::string attached;
    for (int kind = 0; kind < kKindCount; ++kind)
      if (item.contains(kKinds[kind].field))
        attached += (attached.empty() ? "  " : ", ") + std::string(kKinds[kind].field) + " " +
                    item[kKinds[kind].field].get<std::string>();
    std::printf("%s%s\n", path.c_str(), attached.c_str());
  }
}

// The subcommands every policy family has: create, show, delete, attach, detach.
void policyFamily(CLI::App* family, int kind, std::shared_ptr<EditArgs> const& args,
                  std::function<json(EditArgs const&)> fields) {
  char const* noun = kKinds[kind].noun;
  auto db = [&](CLI::App* sub, bool changes) {
    addDatabaseOptions(sub, args->db, args->domain);
    sub->add_option("--registry", args->registry, "user registry (default: DB.registry.json if it exists)");
    if (changes) addChangeOptions(sub, args->change);
  };
  std::string const word = kKinds[kind].field;
  auto* create = family->add_subcommand("create", std::string("create a ") + noun);
  db(create, true);
  create->add_option("NAME", args->name, std::string("the ") + noun + "'s name")->required();
  auto* del = family->add_subcommand("delete", std::string("delete a ") + noun + " attached nowhere");
  db(del, true);
  del->add_option("NAME", args->name)->required();
  auto* attach = family->add_subcommand("attach", std::string("attach a ") + noun + " to a protected object");
  db(attach, true);
  attach->add_option("NAME", args->name)->required();
  attach->add_option("OBJECT", args->object)->required();
  auto* detach = family->add_subcommand("detach", std::string("detach a ") + noun + " from a protected object");
  db(detach, true);
  detach->add_option("NAME", args->name)->required();
  detach->add_option("OBJECT", args->object)->required();
  auto* showIt = family->add_subcommand("show", std::string("print a ") + noun + " by name, as export writes it");
  db(showIt, false);
  showIt->add_option("NAME", args->name)->required();

  create->callback([args, kind, word, fields] {
    change(*args, word + " create", [&](PolicyEdit& e) { e.create(kind, args->name, fields(*args), placeOf(kind)); });
  });
  del->callback([args, kind, word] {
    change(*args, word + " delete", [&](PolicyEdit& e) { e.remove(kind, args->name, false, placeOf(kind)); });
  });
  attach->callback([args, kind, word] {
    change(*args, word + " attach", [&](PolicyEdit& e) { e.attach(kind, args->name, args->object, placeOf(kind)); });
  });
  detach->callback([args, kind, word] {
    change(*args, word + " detach", [&](PolicyEdit& e) { e.detach(kind, args->name, args->object, placeOf(kind)); });
  });
  showIt->callback([args, kind] { show(*args, kind); });
}

void popOptions(CLI::App* sub, EditArgs& a) {
  sub->add_option("--description", a.description);
  sub->add_option("--warning", a.warning, "warning mode: on (grant and say what would be denied) or off");
  sub->add_option("--audit", a.audit, "audit level");
  sub->add_option("--default-level", a.defaultLevel, "authentication level for callers no network matches");
  sub->add_option("--days", a.days, "access window days, e.g. mon,tue,wed,thu,fri");
  sub->add_option("--from", a.from, "access window start, HH:MM");
  sub->add_option("--to", a.to, "access window end, HH:MM");
  sub->add_option("--zone", a.zone, "access window time zone (UTC, local or a zone name)");
}

void ruleOptions(CLI::App* sub, EditArgs& a) {
  sub->add_option("--description", a.description);
  sub->add_option("--text", a.text, "the rule's text");
  sub->add_option("--reason", a.reason, "the reason given when it denies");
  sub->add_option("--adi", a.adi, "an attribute the rule reads (repeat for more)");
}

}  // namespace

void registerEditCommands(CLI::App& app) {
  auto args = std::make_shared<EditArgs>();
  auto withDb = [&](CLI::App* sub) {
    addDatabaseOptions(sub, args->db, args->domain);
    sub->add_option("--registry", args->registry, "user registry (default: DB.registry.json if it exists)");
    addChangeOptions(sub, args->change);
  };

  CLI::App* acl = app.get_subcommand("acl");
  policyFamily(acl, kAcl, args, [](EditArgs const& a) {
    json f = json::object();
    if (!a.description.empty()) f["description"] = a.description;
    return f;
  });
  acl->get_subcommand("create")->add_option("--description", args->description);
  for (char const* name : {"set-entry", "remove-entry"}) {
    bool set = std::string(name) == "set-entry";
    auto* sub = acl->add_subcommand(name, set ? "give a subject actions in an ACL (replacing its entry)"
                                              : "remove a subject's entry from an ACL");
    withDb(sub);
    sub->add_option("NAME", args->name, "the ACL")->required();
    sub->add_option("--user", args->user, "a user, by registry name or uuid");
    sub->add_option("--group", args->group, "a group, by registry name or uuid");
    sub->add_flag("--any-other", args->anyOther, "any authenticated caller without a user or group entry");
    sub->add_flag("--unauthenticated", args->unauthenticated, "callers without credentials");
    if (set) sub->add_option("ACTIONS", args->actions, "action string, e.g. Tr")->required();
    sub->callback([args, set] {
      json entry = entrySubject(*args);
      if (set) entry["actions"] = args->actions;
      change(*args, set ? "acl set-entry" : "acl remove-entry", [&](PolicyEdit& e) {
        Path p = placeOf(kAcl);
        set ? e.setEntry(args->name, entry, p) : e.removeEntry(args->name, entry, p);
      });
    });
  }

  CLI::App* pop = app.get_subcommand("pop");
  policyFamily(pop, kPop, args, popFields);
  popOptions(pop->get_subcommand("create"), *args);
  auto* popSet = pop->add_subcommand("set", "change a POP's warning mode, audit level, default level or window");
  withDb(popSet);
  popSet->add_option("NAME", args->name)->required();
  popOptions(popSet, *args);
  popSet->callback([args] {
    change(*args, "pop set", [&](PolicyEdit& e) { e.modify(kPop, args->name, popFields(*args), placeOf(kPop)); });
  });
  for (char const* name : {"set-level", "remove-level"}) {
    bool set = std::string(name) == "set-level";
    auto* sub = pop->add_subcommand(name, set ? "the authentication level a POP requires from a network"
                                              : "remove a network's level from a POP");
    withDb(sub);
    sub->add_option("NAME", args->name, "the POP")->required();
    sub->add_option("NETWORK", args->network, "NETWORK/MASK: 10.0.0.0/8, 10.0.0.0/255.0.0.0, fd00::/8")->required();
    if (set) sub->add_option("LEVEL", args->level, "authentication level")->required();
    sub->callback([args, set] {
      auto [network, netmask] = networkOf(args->network);
      unsigned long level = 0;
      if (set && (args->level.empty() || args->level.find_first_not_of("0123456789") != std::string::npos ||
                  args->level.size() > 10 || (level = std::stoul(args->level)) > 0xFFFFFFFFul)) {
        std::fprintf(stderr, "gxpolicy: LEVEL must be a whole number from 0 to 4294967295\n");
        throw CLI::RuntimeError(kExitError);
      }
      change(*args, set ? "pop set-level" : "pop remove-level", [&](PolicyEdit& e) {
        Path p = placeOf(kPop);
        set ? e.setLevel(args->name, network, netmask, level, p) : e.removeLevel(args->name, network, netmask, p);
      });
    });
  }

  auto* rule = app.add_subcommand("rule", "create, change, delete, attach and detach authorization rules by name");
  rule->require_subcommand(1);
  policyFamily(rule, kRule, args, ruleFields);
  ruleOptions(rule->get_subcommand("create"), *args);
  auto* ruleSet = rule->add_subcommand("set", "change a rule's text, reason, description or attributes");
  withDb(ruleSet);
  ruleSet->add_option("NAME", args->name)->required();
  ruleOptions(ruleSet, *args);
  ruleSet->callback([args] {
    change(*args, "rule set", [&](PolicyEdit& e) { e.modify(kRule, args->name, ruleFields(*args), placeOf(kRule)); });
  });

  auto* object = app.add_subcommand("object", "create, delete and list protected objects");
  object->require_subcommand(1);
  auto* oc = object->add_subcommand("create", "create a protected object");
  withDb(oc);
  oc->add_option("PATH", args->object, "e.g. /projects/a")->required();
  oc->add_option("--description", args->description);
  oc->add_option("--type", args->type, "the object's type number");
  oc->add_flag("--not-attachable", args->notAttachable, "no policy may be attached to it");
  oc->callback([args] {
    change(*args, "object create",
           [&](PolicyEdit& e) { e.create(kObjects, args->object, objectFields(*args), placeOf(kObjects)); });
  });
  auto* od = object->add_subcommand("delete", "delete a protected object with its attachments");
  withDb(od);
  od->add_option("PATH", args->object)->required();
  od->add_flag("-r,--recursive", args->recursive, "with every object below it");
  od->callback([args] {
    change(*args, "object delete",
           [&](PolicyEdit& e) { e.remove(kObjects, args->object, args->recursive, placeOf(kObjects)); });
  });
  auto* ol = object->add_subcommand("ls", "list the protected objects at and below a path, with what is attached");
  addDatabaseOptions(ol, args->db, args->domain);
  ol->add_option("PATH", args->object, "default /");
  ol->add_flag("-r,--recursive", args->recursive, "the whole subtree (default: the path and its children)");
  ol->callback([args] { listObjects(*args); });
}

}  // namespace gxpolicy
