// gxpolicy create / stat / ls / put / rm: the database file and its records.
// create --admin NAME also makes the management object /management with an
// ACL "management" granting the registry user NAME Tcr: the control
// permission there lets an administrator of the administration service
// change policies attached nowhere and read the whole change log.
// ls names what the database holds as its users know it (ACLs, POPs, rules
// and protected objects); ls --keys, put and rm work on the internal key
// space the records are stored under.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "GxCore/daStoreObject.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daLocalStore.h"
#include "outside/HXObject.h"
#include "outside/hxsvc.h"
#include "outside/file_registry.h"
#include "outside/registry.h"
#include "tools/common/command_line.h"
#include "tools/common/policy_changes.h"
#include "tools/common/policy_document.h"
#include "tools/common/policy_export.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

struct StoreArgs {
  std::string db;
  std::string domain = "Default";
  std::string prefix = "/";
  bool recursive = false;
  bool keys = false;  // ls: the internal keys instead of names
  std::string key;
  std::string description;
  unsigned int type = gx_type_rule;  // the one kind stored as attributes
  std::string admin, registry;       // create --admin NAME [--registry R]
};

// Opens the store or throws the exit code after printing the failure.
std::unique_ptr<daLocalStore> openLocalStore(StoreArgs const& a, int readOnly) {
  auto store = std::make_unique<daLocalStore>(a.domain.c_str(), a.db.c_str());
  openOrFail(*store, a.db, readOnly);
  return store;
}

// The management object, its ACL granting admin; failures printed and thrown.
void createManagement(StoreArgs const& a) {
  nlohmann::json const doc = {
      {"changes",
       {{{"op", "create"}, {"object", "/management"}, {"value", {{"description", "administration of the policy"}}}},
        {{"op", "create"},
         {"acl", "management"},
         {"value", {{"entries", {{{"type", "user"}, {"name", a.admin}, {"actions", "Tcr"}}}}}}},
        {{"op", "attach"}, {"acl", "management"}, {"object", "/management"}}}}};
  daCachedStore store(a.domain.c_str(), a.db.c_str(), 1, 0);
  openOrFail(store, a.db, 0);
  std::unique_ptr<gxreg::Registry> registry = openRegistry(a.db, a.registry);
  ChangeOptions options;
  options.actor = Actor{a.admin, "local"};
  options.command = "create --admin " + a.admin;
  options.registry = registry.get();
  ChangeResult r = applyChanges(store, doc, options);
  if (r.outcome != ChangeOutcome::applied)
    throw CLI::RuntimeError(fail("cannot grant " + a.admin + " the management object: " + r.problem.message +
                                 " (the database is created; grant it with gxpolicy acl)",
                             r.problem.status));
  std::printf("created /management, its ACL management granting %s Tcr (sequence number %lu)\n", a.admin.c_str(),
              r.sequence);
}

void create(StoreArgs const& a) {
  if (!a.admin.empty()) {
    // The administrator is checked before anything is created.
    std::string const registryPath = a.registry.empty() ? gxreg::defaultRegistryPath(a.db) : a.registry;
    hx_uuid_t uuid{};
    std::unique_ptr<gxreg::Registry> registry;
    if (::access(registryPath.c_str(), R_OK) == 0) registry = openRegistry(a.db, a.registry);
    if (!registry || registry->userUuid(a.admin, uuid) != 0) {
      std::fprintf(stderr, "gxpolicy: --admin %s: no such user in the user registry %s; nothing was created\n",
                   a.admin.c_str(), registryPath.c_str());
      throw CLI::RuntimeError(kExitError);
    }
  }
  createOrFail(a.db, a.domain);
  {
    auto open = openLocalStore(a, 1);
    unsigned long seq, st;
    open->getSeqNum(seq, st);
    std::printf("created %s (sequence number %lu)\n", a.db.c_str(), seq);
  }
  if (!a.admin.empty()) createManagement(a);
}

void stat(StoreArgs const& a) {
  auto store = openLocalStore(a, 1);
  unsigned long seq, count, st;
  store->getSeqNum(seq, st);
  store->getObjectCount(count, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot count records", st));
  std::printf("sequence number: %lu\nrecords: %lu\n", seq, count);
}

// Lists the internal keys under a.prefix (the whole subtree with -r).
void listKeys(StoreArgs const& a) {
  auto store = openLocalStore(a, 1);
  gxobj_list_s_t objects{};
  gxobj_name_list_s_t names{};
  unsigned long seq, st;
  store->enumObjects(GxObjectName(a.prefix.c_str()), a.recursive, 1, &objects, 1, &names, seq, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot list " + a.prefix, st));
  for (unsigned long i = 0; i < names.count; ++i) {
    gxobj_t const& o = objects.objects[i];
    if (o.key) std::printf("%-48s type 0x%03x %6u bytes\n", names.names[i], o.type, o.length);
    else std::printf("%s/\n", names.names[i]);
  }
  freeObjectList(objects);
  freeNameList(names);
}

// True when object is prefix or lies below it.
bool under(std::string const& object, std::string const& prefix) {
  if (prefix == "/" || object == prefix) return true;
  return object.size() > prefix.size() && object.compare(0, prefix.size(), prefix) == 0 && object[prefix.size()] == '/';
}

// Lists by name: the ACLs, POPs and rules ("acl NAME"), then each protected
// object at a.prefix or below with what is attached to it ("/a/b  acl
// NAME, pop NAME"). Policies are listed only for the prefix "/".
void listNames(StoreArgs const& a) {
  std::string prefix = a.prefix == "/" ? a.prefix : objectOrFail(a.prefix).getChars();
  daCachedStore store(a.domain.c_str(), a.db.c_str(), 1, 0);
  openOrFail(store, a.db, 1);
  nlohmann::json doc;
  Problem problem;
  if (!exportPolicyDocument(store, doc, problem)) {
    std::fprintf(stderr, "gxpolicy: cannot list %s: %s\n", a.db.c_str(), describe(problem).c_str());
    throw CLI::RuntimeError(kExitError);
  }
  nlohmann::json const none = nlohmann::json::object();
  auto section = [&](std::string const& key) -> nlohmann::json const& {
    auto it = doc.find(key);
    return it == doc.end() ? none : *it;
  };
  if (prefix == "/") {
    for (char const* kind : {"acl", "pop", "rule"})
      for (auto const& [name, policy] : section(std::string(kind) + "s").items())
        std::printf("%s %s\n", kind, name.c_str());
  }
  for (auto const& [object, item] : section("objects").items()) {
    if (!under(object, prefix)) continue;
    std::string attached;
    for (char const* kind : {"acl", "pop", "rule"})
      if (item.contains(kind))
        attached += (attached.empty() ? "  " : ", ") + std::string(kind) + " " + item[kind].get<std::string>();
    std::printf("%s%s\n", object.c_str(), attached.c_str());
  }
}

void list(StoreArgs const& a) { a.keys ? listKeys(a) : listNames(a); }

// The record put writes under key: an attribute record holding the key as
// its name and the description, with the type id given. status: the
// encoder's.
void encodeRecord(std::string const& key, std::string const& description, unsigned int type, gxobj_holder& record,
                  unsigned long& status) {
  HXObject obj(key.c_str());
  obj.setStringValue("description", description.c_str(), 0, nullptr);
  HXObject::init_gxobj(record.rec, type);
  obj.encode(record.rec, status);
}

// Whether a reader of the database can decode the record (by its type id,
// as every reader does). Quiet: a record of the wrong kind is what is asked
// about, not a fault to log.
bool readable(gxobj_t const& record) {
  hx_svc_sink previous = hx_svc_set_sink([](hx_svc_record const&) {});
  daStoreObject* object = nullptr;
  unsigned long st = 0;
  daStoreObject::decode(record, &object, st);
  hx_svc_set_sink(previous);
  std::unique_ptr<daStoreObject> owned(object);
  return st == 0 && object != nullptr;
}

// The type ids whose records of this shape the library decodes, as
// "1295 (0x50f)", by trying each kind of stored object.
std::string readableTypes(std::string const& key) {
  std::vector<int> types;
  for (int type = gx_type_map_pobj_to_acl; type <= gx_type_map_rule_to_pobj; ++type) types.push_back(type);
  types.push_back(gx_type_azn_server);
  std::string list;
  for (int type : types) {
    gxobj_holder record;
    unsigned long st = 0;
    encodeRecord(key, "", static_cast<unsigned int>(type), record, st);
    if (st != 0 || !readable(record.rec)) continue;
    char text[32];
    std::snprintf(text, sizeof text, "%s%d (0x%x)", list.empty() ? "" : ", ", type, type);
    list += text;
  }
  return list;
}

// Stores an attribute record (name = key, description) under key, of a
// type the library can read back: any other would be stored and then fail
// every reader (and every replica) that comes to it.
void put(StoreArgs const& a) {
  gxobj_holder record;
  unsigned long st = 0, seq = 0;
  encodeRecord(a.key, a.description, a.type, record, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot encode " + a.key, st));
  if (!readable(record.rec)) {
    std::fprintf(stderr,
                 "gxpolicy: put %s: no kind of stored object is read from a record of type %u (0x%x) holding a "
                 "description, so readers of the database would fail on it; types put can write: %s\n",
                 a.key.c_str(), a.type, a.type, readableTypes(a.key).c_str());
    throw CLI::RuntimeError(kExitError);
  }
  auto store = openLocalStore(a, 0);
  store->setObject(GxObjectName(a.key.c_str()), record.rec, seq, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot store " + a.key, st));
  std::printf("stored %s (sequence number %lu)\n", a.key.c_str(), seq);
}

// Whether key, not stored as a key, is the path of a protected object.
bool namesObject(StoreArgs const& a, std::string const& key) {
  daPObjName name(key.c_str());
  if (name.validateAndFix() != 0) return false;
  daCachedStore store(a.domain.c_str(), a.db.c_str(), 0, 0);
  openOrFail(store, a.db, 1);
  std::set<std::string> paths;
  return objectPaths(store, paths) == 0 && paths.count(name.getPathName()) > 0;
}

void remove(StoreArgs const& a) {
  auto store = openLocalStore(a, 0);
  unsigned long st, seq;
  store->deleteObject(GxObjectName(a.key.c_str()), a.recursive, seq, st);
  if (st == da_s_delete_no_object && namesObject(a, a.key)) {
    std::fprintf(stderr,
                 "gxpolicy: rm works on the internal keys; %s is a protected object: delete it with "
                 "\"gxpolicy object delete %s %s\" (--recursive for the objects below it too)\n",
                 a.key.c_str(), a.db.c_str(), a.key.c_str());
    throw CLI::RuntimeError(kExitError);
  }
  if (st != 0) throw CLI::RuntimeError(fail("cannot delete " + a.key, st));
  std::printf("deleted %s (sequence number %lu)\n", a.key.c_str(), seq);
}

}  // namespace

void registerStoreCommands(CLI::App& app) {
  auto args = std::make_shared<StoreArgs>();
  auto addDb = [&](CLI::App* sub) { addDatabaseOptions(sub, args->db, args->domain); };
  auto* c = app.add_subcommand("create", "create a new policy database file");
  addDb(c);
  c->add_option("--admin", args->admin,
                "also create /management with an ACL granting this registry user Tcr (the control permission the "
                "administration service asks there)");
  c->add_option("--registry", args->registry, "with --admin: user registry (default: DB.registry.json)");
  c->callback([args] { create(*args); });
  auto* s = app.add_subcommand("stat", "print the sequence number and record count");
  addDb(s);
  s->callback([args] { stat(*args); });
  auto* l = app.add_subcommand("ls", "list the ACLs, POPs, rules and protected objects by name (--keys: the records)");
  addDb(l);
  l->add_option("PREFIX", args->prefix, "protected objects at and below this one (default /); with --keys a key prefix");
  l->add_flag("--keys", args->keys, "list the internal keys the records are stored under instead of names");
  l->add_flag("-r,--recursive", args->recursive, "with --keys: list the whole subtree");
  l->callback([args] { list(*args); });
  auto* p = app.add_subcommand("put", "store a record with a description under a key");
  addDb(p);
  p->add_option("KEY", args->key, "full key, e.g. /auth/pobject/a")->required();
  p->add_option("DESCRIPTION", args->description, "description text");
  p->add_option("--type", args->type,
                 "object type id of the record; only types whose records the library reads back are written "
                 "(default 1295 (0x50f), the attribute record of a rule)");
  p->callback([args] { put(*args); });
  auto* r = app.add_subcommand("rm", "delete the record under a key");
  addDb(r);
  r->add_option("KEY", args->key, "full key")->required();
  r->add_flag("-r,--recursive", args->recursive, "delete the whole subtree");
  r->callback([args] { remove(*args); });
}

}  // namespace gxpolicy
