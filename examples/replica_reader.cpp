// replica_reader: how a server answers "may this caller perform these
// actions on this object?" from its local replica of the policy database.
//
//   replica_reader MASTER REPLICA OBJECT ACTIONS [--user UUID] [--group UUID]...
//
// Prints "granted" or "denied", then the actions the caller holds at OBJECT.
// Exit status: 0 granted, 2 denied, 1 error. Without --user the caller is
// unauthenticated. A real server opens the replica once, shares it between
// its request threads (each calls decide() on it) and calls openPolicy again
// when it learns that the master has changed; here one request runs from
// start to end.
#include <cstdio>
#include <cstring>
#include <vector>

#include "GxCore/acleval.h"
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

// One request on the open replica: 0 granted, 2 denied, 1 error. decide()
// walks up to the ACL, POP and rule in force (the nearest ancestor's,
// remembered per thread so that the next request on the object is one
// lookup), turns the action string into bits and evaluates the ACL for the
// caller. It is safe on any thread, takes no lock once the object is
// remembered, and allocates nothing once the record has been used.
int decide(daLocalPolicy& store, char const* path, char const* actions, Caller& caller) {
  daDecision d;  // a server keeps one per request thread
  unsigned long st = 0;
  store.decide(path, caller.get(), actions, nullptr, d, st);
  if (st != 0) return fail("cannot decide", st);
  std::printf("%s\nactions held: \"%s\"\n", d.granted() ? "granted" : "denied", d.permissionsText());
  if (d.hasAcl()) std::printf("ACL %s attached at %s (%s entry)\n", d.aclName(), d.aclLocation(),
                              daDecisionEntryText(d.appliedEntry()));
  return d.granted() ? 0 : 2;
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
