// gxpolicy pop / level: the protected object policy in force at an object
// (its own, else the nearest ancestor's), with its IP-authentication table,
// and the authentication level that policy requires from one address.
//
// The search is the one a long-running reader does on a read-only store:
// ask each object from the given one up to the root with a memoising
// fetchPop, and once the answer is known record it on every object passed
// on the way (setAttachedPop), so that the next question about any of them
// is answered from memory without a walk.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "GxCore/GxAddress.h"
#include "GxCore/GxPop.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daCacheStateLock.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

struct PopArgs {
  std::string db;
  std::string object;
  std::string address;
  std::string domain = "Default";
};

// The POP in force at an object; pop is empty when none is.
struct PopInForce {
  Handle<daStoreObject> pop;
  Handle<daStoreObject> extAttr;
  ZUTF8String_6_0 location;
};

// Records answer on every object whose memoising fetch left its map entry
// waiting for the caller.
void recordOnPassed(daCachedStore& store, std::vector<daPObjName> const& passed, PopInForce& answer) {
  for (daPObjName const& object : passed) {
    unsigned long st = 0;
    store.setAttachedPop(object, answer.pop, answer.extAttr, &answer.location, st);
  }
}

// Finds the POP in force at object, walking up. Returns 0 or the first
// failing fetch's status (answer then holds nothing). This tool closes the
// store right after a failure, which drops the entries still waiting for
// an answer; a long-running reader would retry instead.
unsigned long findPopInForce(daCachedStore& store, daPObjName object, PopInForce& answer) {
  std::vector<daPObjName> passed;
  for (;;) {
    unsigned long st = 0;
    int resolved = 1;
    store.fetchPop(object, answer.pop, answer.extAttr, resolved, &answer.location, st);
    if (st != 0) return st;
    if (!answer.pop.isEmpty() || resolved == 1) break;
    passed.push_back(object);
    if (object.isRoot()) break;  // nothing attached anywhere above
    object.walkUp();
  }
  recordOnPassed(store, passed, answer);
  return 0;
}

std::string text(GxAddress const& a) {
  ZUTF8String_6_0 out;
  return a.getStrAddress(out) == 0 ? std::string(out.getChars()) : std::string("?");
}

void printIPAuthTable(GxPop const& pop) {
  unsigned long const n = pop.get_auth_count();
  std::printf("ip-auth entries: %lu\n", n);
  for (unsigned long i = 0; i < n; ++i) {
    GxAddress network, netmask;
    pop.get_network_addr(static_cast<int>(i), network);
    pop.get_netmask_addr(static_cast<int>(i), netmask);
    unsigned long const level = pop.get_auth_level(static_cast<int>(i));
    if (i == 0) std::printf("  default            level %lu\n", level);
    else std::printf("  %s/%s level %lu\n", text(network).c_str(), text(netmask).c_str(), level);
  }
}

void printPop(daPObjName const& object, PopInForce const& answer, GxPop const& pop) {
  std::printf("%s: POP %s", object.getPathName(), pop.getShortName());
  if (ZUTF8String_6_0(object.getPathName()) == answer.location) std::printf(" (attached here)\n");
  else std::printf(" (inherited from %s)\n", answer.location.getChars());
  if (pop.description()) std::printf("description: %s\n", pop.description());
  std::printf("warning mode: %s\naudit level: %lu\nquality of protection: %lu\n", pop.warningMode() ? "on" : "off",
              pop.auditLevel(), pop.qualityOfProtection());
  std::printf("access: days 0x%lx, %ld..%ld, time reference %lu\n", pop.dayAccess(), pop.startAccess(),
              pop.endAccess(), pop.timeReferenceAccess());
  printIPAuthTable(pop);
}

// Opens db read-only with the cache on (the memoising fetch needs both),
// validates the object name and finds its POP. pop is null when none is in
// force.
struct PopQuery {
  explicit PopQuery(PopArgs const& a) : object(objectOrFail(a.object)), store(a.domain.c_str(), a.db.c_str(), 1, 0) {
    openOrFail(store, a.db, 1);
    reading = std::make_unique<daCacheStateLock>(store, daCachedStore::open);
    unsigned long st = findPopInForce(store, object, answer);
    if (st != 0) throw CLI::RuntimeError(fail("cannot read the POP in force at " + a.object, st));
    pop = dynamic_cast<GxPop*>(answer.pop.get());
    if (pop == nullptr) return;
    st = pop->getIPAuthList();
    if (st != 0 && st != gx_s_pop_no_ipauth_list)
      throw CLI::RuntimeError(fail("cannot read the IP-authentication list of " + std::string(pop->getShortName()), st));
  }

  daPObjName object;
  daCachedStore store;
  std::unique_ptr<daCacheStateLock> reading;  // the handles below stay valid while it is held
  PopInForce answer;
  GxPop* pop = nullptr;
};

void showPop(PopArgs const& a) {
  PopQuery q(a);
  if (q.pop == nullptr) {
    std::printf("%s: no POP in force\n", q.object.getPathName());
    return;
  }
  printPop(q.object, q.answer, *q.pop);
}

void showLevel(PopArgs const& a) {
  GxAddress address(a.address.c_str());
  if (!address.addressIsValid())
    throw CLI::RuntimeError(fail("not an IPv4 or IPv6 address: " + a.address, gx_s_invalid_address));
  PopQuery q(a);
  if (q.pop == nullptr) {
    std::printf("%s: no POP in force: no authentication level required from %s\n", q.object.getPathName(),
                a.address.c_str());
    return;
  }
  std::printf("%s: POP %s requires authentication level %lu from %s\n", q.object.getPathName(),
              q.pop->getShortName(), q.pop->get_auth_level(address), text(address).c_str());
}

}  // namespace

void registerPopCommands(CLI::App& app) {
  auto args = std::make_shared<PopArgs>();
  auto common = [&args](CLI::App* sub) {
    addDatabaseOptions(sub, args->db, args->domain);
    sub->add_option("OBJECT", args->object, "protected object, e.g. /a/b")->required();
  };
  // pop DB OBJECT prints; pop create|show|set|... (cmd_edit.cpp) edit POPs by name.
  auto* pop = app.add_subcommand("pop", "print the POP in force at a protected object and its IP-auth table (pop DB "
                                        "OBJECT), or edit POPs by name (pop create|show|set|set-level|...)");
  pop->require_subcommand(0, 1);
  common(pop);
  pop->get_option("DB")->required(false);
  pop->get_option("OBJECT")->required(false);
  pop->callback([args, pop] {
    if (!pop->get_subcommands().empty()) return;
    if (args->db.empty() || args->object.empty()) {
      std::fprintf(stderr, "gxpolicy: pop: give DB OBJECT, or one of create, show, set, set-level, remove-level, delete, attach, detach\n");
      throw CLI::RuntimeError(kExitError);
    }
    showPop(*args);
  });

  auto* level = app.add_subcommand("level", "print the authentication level required from an address at an object");
  common(level);
  level->add_option("ADDRESS", args->address, "caller's IPv4 or IPv6 address")->required();
  level->callback([args] { showLevel(*args); });
}

}  // namespace gxpolicy
