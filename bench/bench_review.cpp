// Access review on a generated 1M-object estate (gxpolicy generate's shape,
// unique leaf names): who-can for one object, what-can for one user under
// the root as prefixes, and the diff of two 1M-object databases that
// differ in 100 ACLs and attachments, each with the resident memory it
// added beside the attachment points it read: anon_growth_mib is memory
// the process allocated (still resident after the last call), file_growth_mib
// the database files' pages it mapped, peak_growth_mib the growth of the
// peak of both.
//
//   build-rel/bench/bench_review [--benchmark_filter=BM_Diff]
//
// The estate is generated once and kept in $GXCORE_BENCH_ESTATES (default
// /tmp/gxcore-bench-estates) under the name bench_decision gives it, with
// the list of its objects and users beside it, so either program reuses
// the other's; the changed copy for the diff is kept there too.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "GxCore/GxAcl.h"
#include "GxCore/GxAction.h"
#include "GxCore/GxPObj.h"
#include "GxCore/db/daAccessReview.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daDecision.h"
#include "GxCore/db/daPolicyDiff.h"
#include "GxCore/db/daReviewSupport.h"
#include "outside/hxdb.h"
#include "tools/common/estate.h"
#include "tools/common/policy_write.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned long kObjects = 1000000;

fs::path estateDir() {
  char const* d = std::getenv("GXCORE_BENCH_ESTATES");
  fs::path p = d && *d ? fs::path(d) : fs::temp_directory_path() / "gxcore-bench-estates";
  fs::create_directories(p);
  return p;
}

// A size in /proc/self/status (VmHWM: peak resident, RssAnon: resident
// allocated memory, RssFile: resident file pages), in bytes.
long long statusBytes(char const* field);

// Resident memory now, to report what a benchmark added.
struct Resident {
  long long peak = statusBytes("VmHWM:"), anon = statusBytes("RssAnon:"), file = statusBytes("RssFile:");
  // RssAnon above the start while the answer is being handed over (every
  // point resolved, the stores still open): call from the first callback.
  mutable long long during = 0;
  void sample() const {
    if (during == 0) during = statusBytes("RssAnon:") - anon;
  }
  void report(benchmark::State& state) const {
    if (during != 0) state.counters["anon_during_mib"] = double(during) / (1 << 20);
    state.counters["anon_growth_mib"] = double(statusBytes("RssAnon:") - anon) / (1 << 20);
    state.counters["file_growth_mib"] = double(statusBytes("RssFile:") - file) / (1 << 20);
    state.counters["peak_growth_mib"] = double(statusBytes("VmHWM:") - peak) / (1 << 20);
  }
};

long long statusBytes(char const* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + std::strlen(field)) * 1024;
  return 0;
}

void fail(char const* what, unsigned long st) {
  std::fprintf(stderr, "bench_review: %s failed: 0x%lx\n", what, st);
  std::abort();
}

struct Estate {
  std::string db, changed;
  std::vector<std::string> objects;
  std::vector<gxpolicy::CallerAttributes> callers;
  unsigned long acls = 0;
};

// The objects and users the estate's list holds ("o PATH", "u UUID GROUP...").
bool load(fs::path const& list, Estate& e) {
  std::ifstream in(list);
  std::string kind, line;
  while (in >> kind && std::getline(in >> std::ws, line)) {
    if (kind == "o") {
      e.objects.push_back(line);
      continue;
    }
    std::istringstream words(line);
    std::string id;
    hx_uuid_t user{};
    std::vector<hx_uuid_t> groups;
    unsigned long st = 0;
    words >> id;
    hx_uuid_from_string(id.c_str(), user, st);
    while (words >> id) hx_uuid_from_string(id.c_str(), groups.emplace_back(), st);
    e.callers.emplace_back(user, groups);
  }
  return !e.objects.empty() && !e.callers.empty();
}

void save(gxestate::Estate const& g, fs::path const& list) {
  std::ofstream out(list);
  char text[37];
  unsigned long st;
  for (auto const& o : g.objects) out << "o " << o << "\n";
  for (auto const& u : g.users) {
    hx_uuid_to_string(u.uuid, text, st);
    out << "u " << text;
    for (auto const& gr : u.groups) {
      hx_uuid_to_string(gr, text, st);
      out << " " << text;
    }
    out << "\n";
  }
}

// The ACLs of the estate: acl-root and acl0 .. acl(n-1), counted from the file.
unsigned long countAcls(daCachedStore& store) {
  unsigned long n = 0;
  for (;; ++n) {
    Handle<daStoreObject> h;
    unsigned long st = 0;
    store.getObject(daAclName(("acl" + std::to_string(n)).c_str()), h, st);
    if (st != 0) return n;
  }
}

// A copy of the estate with 100 changes: 50 ACLs get a user entry, 25
// objects get an ACL attached, 25 lose theirs.
void makeChangedCopy(Estate& e) {
  fs::remove(e.changed);
  fs::remove(e.changed + "-lock");
  unsigned long st = 0;
  {
    daCachedStore source("bench", e.db.c_str(), 1, 0);
    source.openStore(1, st);
    if (st != 0) fail("open", st);
    hx_db_copy(source.getDBHandle(), e.changed.c_str(), st);
    if (st != 0) fail("copy", st);
  }
  daCachedStore store("bench", e.changed.c_str(), 0, 0);
  store.openStore(0, st);
  if (st != 0) fail("open the copy", st);
  std::mt19937_64 rng(24);
  gxpolicy::PolicyWriter writer(store);
  GxACLPermset perms;
  store.mapAction("Trl", perms, st);
  for (int i = 0; i < 50; ++i) {
    std::string name = "acl" + std::to_string(rng() % e.acls);
    Handle<daStoreObject> h;
    store.getObject(daAclName(name.c_str()), h, st);
    if (st != 0) fail("read an ACL", st);
    auto acl = std::make_unique<GxACL>(dynamic_cast<GxACL const&>(*h.get()));
    acl->addPrincipalEntry(e.callers[rng() % e.callers.size()].pa()->principal.uuid, perms);
    gxpolicy::PolicyItem item;
    item.name = gxpolicy::kKinds[gxpolicy::kAcl].name(name.c_str());
    item.object = std::move(acl);
    if (writer.policy(item) != 0) fail("write an ACL", 1);
  }
  // Attach to objects with no ACL of their own; detach from objects with one.
  int attached = 0, detached = 0;
  daDecision d;
  while (attached < 25 || detached < 25) {
    std::string const& object = e.objects[1 + rng() % (e.objects.size() - 1)];
    store.decide(object.c_str(), nullptr, "r", nullptr, d, st);
    if (st != 0) fail("decide", st);
    bool const own = object == d.aclLocation();
    if (own ? detached == 25 : attached == 25) continue;
    gxpolicy::ObjectItem item;
    item.name = daPObjName(object.c_str());
    item.pobj = std::make_unique<GxPObj>();
    item.pobj->policyAttachable(true);
    if (!own) item.policy[gxpolicy::kAcl] = "acl" + std::to_string(rng() % e.acls);
    if (object == d.popLocation()) item.policy[gxpolicy::kPop] = d.popName();
    if (object == d.ruleLocation()) item.policy[gxpolicy::kRule] = d.ruleName();
    if (writer.object(item) != 0) fail("write an object", 1);
    (own ? detached : attached) += 1;
  }
  if (writer.finish() != 0) fail("commit the changes", 1);
}

Estate& estate() {
  static std::unique_ptr<Estate> made;
  if (made) return *made;
  made = std::make_unique<Estate>();
  Estate& e = *made;
  std::string const stem = "estate-" + std::to_string(kObjects) + "-unique-v1";
  fs::path const db = estateDir() / (stem + ".db"), list = estateDir() / (stem + ".txt");
  e.db = db.string();
  e.changed = (estateDir() / "review-diff-100-changes-v1.db").string();
  if (!fs::exists(db) || !load(list, e)) {
    fs::remove(db);
    fs::remove(db.string() + "-lock");
    fs::remove(e.changed);
    daLocalStore creator("bench", db.c_str());
    unsigned long st = 0;
    creator.createStore(st);
    if (st != 0) fail("create", st);
    creator.openStore(0, st);
    if (st == 0) st = gxStoreDefaultActionCatalogue(creator);
    if (st != 0) fail("catalogue", st);
    creator.closeStore(st);
    daCachedStore store("bench", db.c_str(), 1, 0);
    store.openStore(0, st);
    gxestate::Options o;
    o.objects = kObjects;
    gxestate::Estate g;
    if (st == 0) gxestate::generate(store, o, g, st);
    if (st != 0) fail("generate", st);
    save(g, list);
    e = Estate{e.db, e.changed};
    if (!load(list, e)) fail("read the estate's list", 1);
  }
  {
    daCachedStore store("bench", e.db.c_str(), 1, 0);
    unsigned long st = 0;
    store.openStore(1, st);
    if (st != 0) fail("open", st);
    e.acls = countAcls(store);
  }
  if (!fs::exists(e.changed)) makeChangedCopy(e);
  return e;
}

std::unique_ptr<daCachedStore> openReadOnly(std::string const& path) {
  auto store = std::make_unique<daCachedStore>("bench", path.c_str(), 1, 0);
  unsigned long st = 0;
  store->openStore(1, st);
  if (st != 0) fail("open", st);
  return store;
}

// Attachment points of a store: the paths with an ACL, POP or rule map.
size_t points(daCachedStore& store) {
  std::set<std::string> paths;
  unsigned long st = 0;
  dareview::scanAttachmentPoints(store, "/", [&paths](std::string_view p) { return paths.emplace(p), true; }, st);
  if (st != 0) fail("scan", st);
  return paths.size();
}

// who-can for one random object, no group expansion: a fresh store, then
// objects drawn at random (most resolved for the first time).
void BM_WhoCan(benchmark::State& state) {
  Estate& e = estate();
  auto store = openReadOnly(e.db);
  std::mt19937_64 rng(1);
  daWhoCanResult r;
  Resident const before;
  for (auto _ : state) {
    unsigned long st = 0;
    daWhoCan(*store, e.objects[rng() % e.objects.size()].c_str(), "r", nullptr, {}, r, st);
    if (st != 0) fail("who-can", st);
    benchmark::DoNotOptimize(r.users.size());
  }
  before.report(state);
}
BENCHMARK(BM_WhoCan)->Unit(benchmark::kMicrosecond);

// what-can for one user under the root, as prefixes, a different user
// each time. Argument 0: on a store opened for the call (the CLI's case);
// 1: on a store kept open (a service's case), whose first call is not
// timed.
void BM_WhatCan(benchmark::State& state) {
  Estate& e = estate();
  size_t user = 0, regions = 0;
  Resident const before;
  std::unique_ptr<daCachedStore> kept;
  auto ask = [&](daCachedStore& store) {
    unsigned long st = 0;
    regions = 0;
    daWhatCan(store, e.callers[user++ % e.callers.size()].pa(), "r", "/",
              [&](daWhatCanRegion const&) { return before.sample(), ++regions, true; }, st);
    if (st != 0) fail("what-can", st);
  };
  if (state.range(0) == 1) {
    kept = openReadOnly(e.db);
    ask(*kept);
  }
  for (auto _ : state) {
    if (kept) {
      ask(*kept);
      continue;
    }
    auto store = openReadOnly(e.db);
    ask(*store);
  }
  state.counters["regions"] = double(regions);
  before.report(state);
}
BENCHMARK(BM_WhatCan)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WhatCan)->Name("BM_WhatCanWarmProfile")->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(40);

// What BM_WhatCan/0 pays for its store alone: the open, the decision at
// the root every what-can starts with, and the close.
void BM_OpenDecideClose(benchmark::State& state) {
  Estate& e = estate();
  for (auto _ : state) {
    auto store = openReadOnly(e.db);
    daDecision d;
    unsigned long st = 0;
    store->decide("/", e.callers[0].pa(), "r", nullptr, d, st);
    if (st != 0) fail("decide", st);
  }
}
BENCHMARK(BM_OpenDecideClose)->Unit(benchmark::kMillisecond)->Iterations(5);

// What every what-can and diff pays before it decides: the attachment
// points' keys read from the file and put in tree order.
void BM_ScanPoints(benchmark::State& state) {
  Estate& e = estate();
  auto store = openReadOnly(e.db);
  size_t n = 0;
  for (auto _ : state) {
    std::vector<std::string> paths;
    unsigned long st = 0;
    dareview::scanAttachmentPoints(*store, "/", [&paths](std::string_view p) { return paths.emplace_back(p), true; }, st);
    std::sort(paths.begin(), paths.end(), dareview::treeLess);
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    n = paths.size();
  }
  state.counters["points"] = double(n);
}
BENCHMARK(BM_ScanPoints)->Unit(benchmark::kMillisecond);

// The diff of the estate and its copy with 100 changes, both opened for
// the call, as gxpolicy diff does.
void BM_Diff(benchmark::State& state) {
  Estate& e = estate();
  size_t regions = 0;
  Resident const before;
  for (auto _ : state) {
    auto older = openReadOnly(e.db);
    auto newer = openReadOnly(e.changed);
    unsigned long st = 0;
    regions = 0;
    daPolicyDiff(*older, *newer, {}, [&](daPolicyDiffRegion const&) { return before.sample(), ++regions, true; }, st);
    if (st != 0) fail("diff", st);
  }
  auto store = openReadOnly(e.db);
  state.counters["regions"] = double(regions);
  state.counters["points"] = double(points(*store));
  before.report(state);
}
BENCHMARK(BM_Diff)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
