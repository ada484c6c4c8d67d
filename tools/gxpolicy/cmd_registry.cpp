// gxpolicy user / group: the file user registry kept beside a database
// (users and groups by name, and memberships), and the registry lookup the
// other commands share: --registry names a JSON registry file, or a stanza
// file whose [ldap] stanza describes a directory server (read only here).
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "outside/file_registry.h"
#include "outside/ldap_registry.h"
#include "outside/stanza.h"
#include "tools/gxpolicy/gxpolicy.h"
#include "tools/common/registry_open.h"
#include "tools/common/review_json.h"

namespace gxpolicy {

std::unique_ptr<gxreg::Registry> openRegistry(std::string const& db, std::string const& option) {
  gxreg::LdapServerLogger down = [](int state, std::string const& server) {
    if (state == 0) std::fprintf(stderr, "gxpolicy: the LDAP server %s does not answer; trying the next\n", server.c_str());
  };
  unsigned long st = 0;
  std::string message;
  std::unique_ptr<gxreg::Registry> reg = openRegistryFor(db, option, down, st, message);
  if (st == 0) return reg;
  if (!message.empty()) std::fprintf(stderr, "gxpolicy: %s\n", message.c_str());
  std::string path = option.empty() ? gxreg::defaultRegistryPath(db) : option;
  if (config_has_stanza(path.c_str(), "ldap"))
    throw CLI::RuntimeError(fail("cannot use the LDAP user registry configured in " + path +
                                     " (fix its [ldap] stanza, or check that the directory server is up)",
                                 st));
  throw CLI::RuntimeError(
      fail("cannot use the user registry " + path + " (fix the file, or name another with --registry)", st));
}

namespace {

struct RegistryArgs {
  std::string db;
  std::string registry;  // --registry; empty: beside db
  std::string name;
  std::string uuid;                  // --uuid; empty: a new one
  std::vector<std::string> groups;   // --member, or the groups of "user member"
  bool remove = false;               // user member --remove
  bool force = false;                // group rm --force
  bool json = false;                 // ls --json
};

std::string pathOf(RegistryArgs const& a) { return a.registry.empty() ? gxreg::defaultRegistryPath(a.db) : a.registry; }

// The registry file for editing or listing; a missing file is an empty
// registry unless mustExist.
std::unique_ptr<gxreg::FileRegistry> loadOrFail(RegistryArgs const& a, bool mustExist) {
  std::unique_ptr<gxreg::FileRegistry> reg;
  std::string message;
  std::string path = pathOf(a);
  if (unsigned long st = refuseIrregularFile(path, message)) {
    std::fprintf(stderr, "gxpolicy: %s\n", message.c_str());
    throw CLI::RuntimeError(fail("cannot read the user registry " + path + " (name a regular file with --registry)", st));
  }
  if (config_has_stanza(path.c_str(), "ldap"))
    throw CLI::RuntimeError(fail(path + " configures an LDAP directory: gxpolicy edits only registry files; "
                                        "change users and groups with the directory's own tools",
                                 reg_s_unavailable));
  unsigned long st = gxreg::FileRegistry::load(path, mustExist, reg, message);
  if (st != 0) {
    std::fprintf(stderr, "gxpolicy: %s\n", message.c_str());
    throw CLI::RuntimeError(fail("cannot read the user registry " + path + " (fix the file, or name another with --registry)", st));
  }
  return reg;
}

void saveOrFail(gxreg::FileRegistry const& reg) {
  std::string message;
  unsigned long st = reg.save(message);
  if (st != 0) {
    std::fprintf(stderr, "gxpolicy: %s\n", message.c_str());
    throw CLI::RuntimeError(fail("cannot save the user registry " + reg.path() + " (nothing was changed)", st));
  }
}

// What to do about a failed edit.
std::string hint(unsigned long st) {
  switch (st) {
    case reg_s_no_such_user: return "list the users with gxpolicy user ls";
    case reg_s_no_such_group: return "add the group first with gxpolicy group add (gxpolicy group ls lists them)";
    case reg_s_exists: return "choose another name or uuid (gxpolicy user ls / group ls show those in use)";
    case reg_s_bad_name:
      return "a name must be non-empty UTF-8 text without NUL, and not a uuid (a uuid always means a uuid; "
             "give the uuid with --uuid)";
    case reg_s_group_in_use: return "take the members out first (gxpolicy user member --remove) or give --force to drop them";
    default: return "";
  }
}

void editOrFail(unsigned long st, std::string const& what) {
  if (st == 0) return;
  int code = fail(what, st);
  if (!hint(st).empty()) std::fprintf(stderr, "gxpolicy: %s\n", hint(st).c_str());
  throw CLI::RuntimeError(code);
}

// The first of groups that reg does not have, for messages; empty if none.
std::string missingGroup(gxreg::FileRegistry& reg, std::vector<std::string> const& groups) {
  hx_uuid_t ignored;
  for (auto const& g : groups)
    if (reg.groupUuid(g, ignored) != 0) return g;
  return "";
}

// The --uuid option: null when not given.
hx_uuid_t const* uuidOption(RegistryArgs const& a, hx_uuid_t& storage) {
  if (a.uuid.empty()) return nullptr;
  unsigned long st = 0;
  hx_uuid_from_string(a.uuid.c_str(), storage, st);
  if (st == 0 && hx_uuid_is_nil(storage, st)) st = hx_uuid_s_invalid_string;
  if (st != 0)
    throw CLI::RuntimeError(fail("bad --uuid " + a.uuid + " (give a non-nil uuid like 0b5e3f4c-7d21-4a9e-9c1b-2f6d8e0a4b17)", st));
  return &storage;
}


std::string joined(std::vector<std::string> const& names) {
  std::string s;
  for (auto const& n : names) s += (s.empty() ? "" : ",") + n;
  return s;
}

void userAdd(RegistryArgs const& a) {
  auto reg = loadOrFail(a, false);
  hx_uuid_t given;
  hx_uuid_t const* uuid = uuidOption(a, given);
  unsigned long st = reg->addUser(a.name, uuid, a.groups);
  std::string what = "cannot add user " + a.name + " to " + reg->path();
  if (st == reg_s_no_such_group) what += ": there is no group " + missingGroup(*reg, a.groups);
  if (st == reg_s_exists) what += " (to change an existing user's groups use gxpolicy user member)";
  editOrFail(st, what);
  saveOrFail(*reg);
  hx_uuid_t made{};
  reg->userUuid(a.name, made);
  std::printf("added user %s %s\n", a.name.c_str(), uuidText(made).c_str());
}

void userRemove(RegistryArgs const& a) {
  auto reg = loadOrFail(a, false);
  editOrFail(reg->removeUser(a.name), "cannot remove user " + a.name + " from " + reg->path());
  saveOrFail(*reg);
  std::printf("removed user %s\n", a.name.c_str());
}

void userMember(RegistryArgs const& a) {
  auto reg = loadOrFail(a, false);
  // All or nothing: the file is saved only when every change applies.
  for (auto const& g : a.groups) {
    unsigned long st = a.remove ? reg->removeMember(a.name, g) : reg->addMember(a.name, g);
    editOrFail(st, std::string(a.remove ? "cannot remove user " : "cannot add user ") + a.name +
                       (a.remove ? " from group " : " to group ") + g + " in " + reg->path());
  }
  saveOrFail(*reg);
  for (auto const& u : reg->users())
    if (u.name == a.name) std::printf("%s: %s\n", u.name.c_str(), joined(u.groups).c_str());
}

void userList(RegistryArgs const& a) {
  auto reg = loadOrFail(a, !a.registry.empty());
  if (a.json) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (auto const& u : reg->users()) out.push_back({{"name", u.name}, {"uuid", uuidText(u.uuid)}, {"groups", u.groups}});
    std::printf("%s\n", out.dump(2).c_str());
    return;
  }
  for (auto const& u : reg->users())
    std::printf("%s\t%s\t%s\n", u.name.c_str(), uuidText(u.uuid).c_str(), joined(u.groups).c_str());
}

void groupAdd(RegistryArgs const& a) {
  auto reg = loadOrFail(a, false);
  hx_uuid_t given;
  hx_uuid_t const* uuid = uuidOption(a, given);
  editOrFail(reg->addGroup(a.name, uuid), "cannot add group " + a.name + " to " + reg->path());
  saveOrFail(*reg);
  hx_uuid_t made{};
  reg->groupUuid(a.name, made);
  std::printf("added group %s %s\n", a.name.c_str(), uuidText(made).c_str());
}

void groupRemove(RegistryArgs const& a) {
  auto reg = loadOrFail(a, false);
  size_t dropped = reg->members(a.name).size();
  editOrFail(reg->removeGroup(a.name, a.force), "cannot remove group " + a.name + " from " + reg->path());
  saveOrFail(*reg);
  if (dropped) std::printf("removed group %s and %zu memberships\n", a.name.c_str(), dropped);
  else std::printf("removed group %s\n", a.name.c_str());
}

void groupList(RegistryArgs const& a) {
  auto reg = loadOrFail(a, !a.registry.empty());
  if (a.json) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (auto const& g : reg->groups())
      out.push_back({{"name", g.name}, {"uuid", uuidText(g.uuid)}, {"members", reg->members(g.name)}});
    std::printf("%s\n", out.dump(2).c_str());
    return;
  }
  for (auto const& g : reg->groups())
    std::printf("%s\t%s\t%s\n", g.name.c_str(), uuidText(g.uuid).c_str(), joined(reg->members(g.name)).c_str());
}

// One subcommand of "user" or "group" with DB, --registry and usually NAME.
CLI::App* leaf(CLI::App* parent, char const* name, char const* what, std::shared_ptr<RegistryArgs> const& a,
               bool withName, void (*run)(RegistryArgs const&), std::string const& footer) {
  CLI::App* sub = parent->add_subcommand(name, what);
  sub->add_option("DB", a->db, "policy database file; the registry is DB.registry.json beside it")->required();
  if (withName) sub->add_option("NAME", a->name, "user or group name")->required();
  sub->add_option("--registry", a->registry, "registry file to use instead of the one beside DB");
  sub->footer(footer);
  sub->callback([a, run] { run(*a); });
  return sub;
}

}  // namespace

void registerRegistryCommands(CLI::App& app) {
  auto a = std::make_shared<RegistryArgs>();
  CLI::App* user = app.add_subcommand("user", "add, remove and list users of the file user registry");
  user->require_subcommand(1);
  user->footer("The registry is a JSON file beside the database (DB.registry.json) unless --registry names one.\n"
               "Example: gxpolicy user add policy.db alice --member webteam");
  CLI::App* group = app.add_subcommand("group", "add, remove and list groups of the file user registry");
  group->require_subcommand(1);
  group->footer("The registry is a JSON file beside the database (DB.registry.json) unless --registry names one.\n"
                "Example: gxpolicy group add policy.db webteam");

  CLI::App* sub = leaf(user, "add", "add a user (a new uuid unless --uuid), optionally with group memberships", a, true,
                       userAdd,
                       "Fails if a user by that name or uuid exists; the groups must exist already.\n"
                       "Example: gxpolicy user add policy.db alice --member webteam --member ops");
  sub->add_option("--uuid", a->uuid, "the user's uuid (default: a new random one)");
  sub->add_option("--member", a->groups, "a group the user belongs to (repeatable)");
  leaf(user, "rm", "remove a user and its memberships", a, true, userRemove,
       "Example: gxpolicy user rm policy.db alice");
  sub = leaf(user, "member", "add an existing user to groups, or with --remove take it out of them", a, true, userMember,
             "Saves nothing unless every group exists. Prints the user's groups afterwards.\n"
             "Example: gxpolicy user member policy.db alice webteam ops\n"
             "         gxpolicy user member policy.db alice ops --remove");
  sub->add_option("GROUP", a->groups, "group names")->required();
  sub->add_flag("--remove", a->remove, "take the user out of the groups instead");
  sub = leaf(user, "ls", "list users: name, uuid and groups (tab-separated), or JSON", a, false, userList,
             "Example: gxpolicy user ls policy.db --json");
  sub->add_flag("--json", a->json, "print a JSON array of {name, uuid, groups}");

  sub = leaf(group, "add", "add a group (a new uuid unless --uuid)", a, true, groupAdd,
             "Example: gxpolicy group add policy.db webteam --uuid 0b5e3f4c-7d21-4a9e-9c1b-2f6d8e0a4b17");
  sub->add_option("--uuid", a->uuid, "the group's uuid (default: a new random one)");
  sub = leaf(group, "rm", "remove a group; refused while users belong to it unless --force", a, true, groupRemove,
             "Example: gxpolicy group rm policy.db webteam --force");
  sub->add_flag("--force", a->force, "remove the group even if users belong to it, dropping those memberships");
  sub = leaf(group, "ls", "list groups: name, uuid and members (tab-separated), or JSON", a, false, groupList,
             "Example: gxpolicy group ls policy.db");
  sub->add_flag("--json", a->json, "print a JSON array of {name, uuid, members}");
}

}  // namespace gxpolicy
