// replica_reader: how a server answers "may this caller perform these
// actions on this object?" from its local replica of the policy database.
//
//   replica_reader MASTER REPLICA OBJECT ACTIONS [--user UUID] [--group UUID]...
//
// Prints "granted" or "denied", then the actions the caller holds at OBJECT.
// Exit status: 0 granted, 2 denied, 1 error. Without --user the caller is
// unauthenticated. A real server opens the replica once, shares it between
// its request threads (each runs decide() below) and calls openPolicy again
// when it learns that the master has changed; here one request runs from
// start to end.
#include <cstdio>
#include <cstring>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/acleval.h"
#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/db/daLocalPolicy.h"
#include "outside/hxsvc.h"

namespace {

int fail(char const* what, unsigned long status) {
  std::fprintf(stderr, "replica_reader: %s: status 0x%8.8lx (%s)\n", what, status, hx_svc_status_text(status));
  return 1;
}

// The caller's privilege attributes: a principal and its groups, as an
// authentication service would hand them over. Evaluation takes a null
// sec_id_pa_t* for an unauthenticated caller.
struct Caller {
  bool authenticated = false;
  std::vector<sec_id_t> groups;
  sec_id_pa_t pa{};

  sec_id_pa_t* get() {
    pa.num_groups = static_cast<uint16_t>(groups.size());
    pa.groups = groups.empty() ? nullptr : groups.data();
    return authenticated ? &pa : nullptr;
  }
};

// Reads "--user UUID" and "--group UUID" pairs; false on anything else.
bool parseCaller(int argc, char** argv, Caller& caller) {
  for (int i = 0; i < argc; i += 2) {
    bool user = std::strcmp(argv[i], "--user") == 0;
    if ((!user && std::strcmp(argv[i], "--group") != 0) || i + 1 == argc) return false;
    sec_id_t id{};
    unsigned long st = 0;
    hx_uuid_from_string(argv[i + 1], id.uuid, st);
    if (st != 0) {
      fail(argv[i + 1], st);
      return false;
    }
    if (user) {
      caller.pa.principal = id;
      caller.authenticated = true;
    } else {
      caller.groups.push_back(id);
    }
  }
  return caller.groups.empty() || caller.authenticated;  // groups belong to a user
}

// The ACL in force at object. ACLs are inherited: the object's own ACL
// decides, else its parent's, and so on up to the root. fetchACL looks at
// one object only (that is what makes its answer cacheable), so the walk
// is the caller's. acl stays empty when nothing is attached anywhere.
unsigned long findAclInForce(daCachedStore& store, daPObjName object, Handle<daStoreObject>& acl) {
  Handle<daStoreObject> extAttr;
  for (;;) {
    unsigned long st = 0;
    store.fetchACL(object, acl, extAttr, st);
    if (st != 0 || !acl.isEmpty() || object.isRoot()) return st;
    object.walkUp();
  }
}

// One request on the open replica: 0 granted, 2 denied, 1 error.
int decide(daLocalPolicy& store, char const* path, char const* actions, Caller& caller) {
  daPObjName object(path);
  unsigned long st = object.validateAndFix();
  if (st != 0) return fail("bad object name", st);
  // Handles point into the shared cache. A rebuild of the replica and the
  // monitor clearing a full cache take this lock exclusively, so holding it
  // shared keeps every object we hold a handle to in place. It is declared
  // before the handles: they are released first, then the lock.
  daCacheStateLock stateLock(store, daCachedStore::open);
  // The quick map turns "Tr" into bits with no database read and, on a
  // read-only store, no lock: it is built when the policy opens.
  GxACLPermset wanted;
  store.mapAction(actions, wanted, st);
  if (st != 0) return fail("bad action string", st);
  Handle<daStoreObject> aclHandle;
  st = findAclInForce(store, object, aclHandle);
  if (st != 0) return fail("cannot read the ACL in force", st);
  GxACLPermset held;  // stays empty (nothing granted) when no ACL applies
  if (auto const* acl = dynamic_cast<GxACL const*>(aclHandle.get()))
    acl_inq_permset_for_pa(caller.get(), const_cast<acl_ext_s_t*>(&acl->value()), &held.value(), &st);
  ZUTF8String_6_0 heldText;
  store.mapBitmap(held, heldText, st);
  if (st != 0) return fail("cannot print the actions held", st);
  bool granted = held.isActionSet(wanted);
  std::printf("%s\nactions held: \"%s\"\n", granted ? "granted" : "denied", heldText.getChars());
  return granted ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  Caller caller;
  if (argc < 5 || !parseCaller(argc - 5, argv + 5, caller)) {
    std::fprintf(stderr, "usage: replica_reader MASTER REPLICA OBJECT ACTIONS [--user UUID] [--group UUID]...\n");
    return 1;
  }
  // The client fetches verified copies of the master; the store is the
  // server's replica (cache on, default size).
  daFileReplicatedClient master(argv[1]);
  daLocalPolicy store("Default", argv[2], 1, 0);
  store.setReplicatedClient(&master);
  unsigned long st = 0;
  // Read-only: a server never writes its replica. A replica that is missing,
  // too old or behind the master is rebuilt from a fresh copy first; when
  // the master cannot be had, the replica we have stays in use.
  store.openPolicy(1, st);
  if (st != 0) return fail("cannot open the replica", st);
  int result = decide(store, argv[3], argv[4], caller);
  store.closePolicy(st);
  if (st != 0 && result != 1) return fail("cannot close the replica", st);
  return result;
}
