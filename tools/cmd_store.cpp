// gxpolicy create / stat / ls: the database file and its records.
#include <cstdio>
#include <memory>
#include <string>

#include "GxCore/db/daLocalStore.h"
#include "outside/HXObject.h"
#include "tools/gxpolicy.h"

namespace gxpolicy {
namespace {

struct StoreArgs {
  std::string db;
  std::string domain = "Default";
  std::string prefix = "/";
  bool recursive = false;
  std::string key;
  std::string description;
  unsigned int type = 1286;
};

// Opens the store or throws the exit code after printing the failure.
std::unique_ptr<daLocalStore> openLocalStore(StoreArgs const& a, int readOnly) {
  auto store = std::make_unique<daLocalStore>(a.domain.c_str(), a.db.c_str());
  openOrFail(*store, a.db, readOnly);
  return store;
}

void create(StoreArgs const& a) {
  createOrFail(a.db, a.domain);
  auto open = openLocalStore(a, 1);
  unsigned long seq, st;
  open->getSeqNum(seq, st);
  std::printf("created %s (sequence number %lu)\n", a.db.c_str(), seq);
}

void stat(StoreArgs const& a) {
  auto store = openLocalStore(a, 1);
  unsigned long seq, count, st;
  store->getSeqNum(seq, st);
  store->getObjectCount(count, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot count records", st));
  std::printf("sequence number: %lu\nrecords: %lu\n", seq, count);
}

void list(StoreArgs const& a) {
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

// Stores an attribute record (name = key, description) under key.
void put(StoreArgs const& a) {
  auto store = openLocalStore(a, 0);
  HXObject obj(a.key.c_str());
  obj.setStringValue("description", a.description.c_str(), 0, nullptr);
  gxobj_holder record;
  HXObject::init_gxobj(record.rec, a.type);
  unsigned long st, seq;
  obj.encode(record.rec, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot encode " + a.key, st));
  store->setObject(GxObjectName(a.key.c_str()), record.rec, seq, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot store " + a.key, st));
  std::printf("stored %s (sequence number %lu)\n", a.key.c_str(), seq);
}

void remove(StoreArgs const& a) {
  auto store = openLocalStore(a, 0);
  unsigned long st, seq;
  store->deleteObject(GxObjectName(a.key.c_str()), a.recursive, seq, st);
  if (st != 0) throw CLI::RuntimeError(fail("cannot delete " + a.key, st));
  std::printf("deleted %s (sequence number %lu)\n", a.key.c_str(), seq);
}

}  // namespace

void registerStoreCommands(CLI::App& app) {
  auto args = std::make_shared<StoreArgs>();
  auto addDb = [&](CLI::App* sub) { addDatabaseOptions(sub, args->db, args->domain); };
  auto* c = app.add_subcommand("create", "create a new policy database file");
  addDb(c);
  c->callback([args] { create(*args); });
  auto* s = app.add_subcommand("stat", "print the sequence number and record count");
  addDb(s);
  s->callback([args] { stat(*args); });
  auto* l = app.add_subcommand("ls", "list the records under a key prefix");
  addDb(l);
  l->add_option("PREFIX", args->prefix, "key prefix (default /)");
  l->add_flag("-r,--recursive", args->recursive, "list the whole subtree");
  l->callback([args] { list(*args); });
  auto* p = app.add_subcommand("put", "store a record with a description under a key");
  addDb(p);
  p->add_option("KEY", args->key, "full key, e.g. /auth/pobject/a")->required();
  p->add_option("DESCRIPTION", args->description, "description text");
  p->add_option("--type", args->type, "object type id of the record");
  p->callback([args] { put(*args); });
  auto* r = app.add_subcommand("rm", "delete the record under a key");
  addDb(r);
  r->add_option("KEY", args->key, "full key")->required();
  r->add_flag("-r,--recursive", args->recursive, "delete the whole subtree");
  r->callback([args] { remove(*args); });
}

}  // namespace gxpolicy
