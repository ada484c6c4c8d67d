// Cached reads: a hit plus release on a read-only and on a writable store
// (1 and 2 threads), and the miss path (file read + ACL decode).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "GxCore/GxAcl.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daCacheStateLock.h"

namespace {

constexpr int kAcls = 1000;

struct Fixture {
  gxbench::ScratchDir dir{"cache"};
  std::string path;
  std::unique_ptr<daCachedStore> readOnly, writable;
  std::vector<daAclName> names;
  Fixture() {
    path = dir.file("cache.db");
    unsigned long st;
    daLocalStore creator("bench", path.c_str());
    creator.createStore(st);
    creator.openStore(0, st);
    GxACL acl;
    gxobj_t rec{};
    acl.encode(rec, st);
    for (int i = 0; i < kAcls; ++i) {
      // Names hash on their last quarter: give them distinct tails, as real
      // policy names of some length have.
      char name[32];
      std::snprintf(name, sizeof name, "policy-acl-%06d", i);
      names.emplace_back(name);
      hx_db_store(creator.getDBHandle(), names.back().getFullName().getChars(), rec, st);
    }
    hxAsnFreeObj(rec);
    readOnly = open(1);
    writable = open(0);
  }
  std::unique_ptr<daCachedStore> open(int ro) {
    auto s = std::make_unique<daCachedStore>("bench", path.c_str(), 1, 0);
    unsigned long st;
    s->openStore(ro, st);
    for (auto const& n : names) {
      Handle<daStoreObject> h;
      s->getObject(n, h, st);
    }
    return s;
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void hits(benchmark::State& state, daCachedStore& store) {
  auto const& names = fixture().names;
  size_t i = static_cast<size_t>(state.thread_index()) * 37;
  for (auto _ : state) {
    unsigned long st;
    Handle<daStoreObject> h;
    store.getObject(names[i++ % kAcls], h, st);
    benchmark::DoNotOptimize(h.object);
  }
}

void BM_HitReadOnly(benchmark::State& state) { hits(state, *fixture().readOnly); }
void BM_HitWritable(benchmark::State& state) { hits(state, *fixture().writable); }
BENCHMARK(BM_HitReadOnly)->Threads(1)->Threads(2);
BENCHMARK(BM_HitWritable)->Threads(1)->Threads(2);

void BM_MissReadAndDecode(benchmark::State& state) {
  Fixture& f = fixture();
  daCachedStore uncached("bench", f.path.c_str(), 0, 0);
  unsigned long st;
  uncached.openStore(1, st);
  size_t i = 0;
  for (auto _ : state) {
    Handle<daStoreObject> h;
    uncached.getObject(f.names[i++ % kAcls], h, st);
    benchmark::DoNotOptimize(h.object);
  }
}
BENCHMARK(BM_MissReadAndDecode);

// One update transaction setting 100 ACLs (all records in one durable file
// transaction; bench_commit has the 1,000-change case).
void BM_Commit100(benchmark::State& state) {
  Fixture& f = fixture();
  int round = 0;
  for (auto _ : state) {
    daTransaction t;
    unsigned long st;
    f.writable->beginTransaction(t, daTransactionMode::update, st);
    for (int i = 0; i < 100; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "commit-%03d-%06d", round, i);
      f.writable->setObject(t, daAclName(name), new GxACL(), st);
    }
    f.writable->commitTransaction(t, st);
    if (st != 0) state.SkipWithError("commit failed");
    ++round;
  }
}
BENCHMARK(BM_Commit100)->Iterations(5)->Unit(benchmark::kMillisecond);

// The cache table alone: find among 100,000 names. With arg 1 every name
// ends in "/index.html", so all of them share one name hash and one chain;
// with arg 0 their tails differ. Lookups cost the same either way.
void BM_TableFind100k(benchmark::State& state) {
  constexpr int kNames = 100000;
  bool sharedTail = state.range(0) != 0;
  std::vector<daPObjName> names;
  names.reserve(kNames);
  for (int i = 0; i < kNames; ++i) {
    char text[40];
    if (sharedTail) std::snprintf(text, sizeof text, "/d%06d/index.html", i);
    else std::snprintf(text, sizeof text, "/index.html/d%06d", i);
    names.emplace_back(text);
  }
  daCacheTable table(0, 32768 / 2);  // the default cache's bucket count
  daCachedStoreEntry entry;
  for (auto const& n : names) table.put(n, &entry);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.find(names[i]));
    i = (i + 7919) % kNames;  // stride over the whole table
  }
}
BENCHMARK(BM_TableFind100k)->Arg(0)->Arg(1);

}  // namespace
