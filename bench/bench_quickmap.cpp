// Action-string conversions on a read-only store (the replica's lock-free
// path), 1 and 2 threads: a string with a group, three primary letters, and
// a permission set back to its string.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bench_support.h"
#include "GxCore/GxAction.h"
#include "GxCore/db/daCachedStore.h"

namespace {

struct Fixture {
  gxbench::ScratchDir dir{"quickmap"};
  std::unique_ptr<daCachedStore> readOnly;
  Fixture() {
    std::string const path = dir.file("quickmap.db");
    unsigned long st, slot;
    {
      daCachedStore creator("bench", path.c_str(), 1, 0);
      creator.createStore(st);
      creator.openStore(0, st);
      auto* c = new GxActionGroups();
      for (char const* g : {"primary", "one", "two", "mygroup"}) c->newGroup(g, slot, st);
      for (char const* a : {"T", "c", "r", "m", "d", "x", "l"}) c->createAction("primary", a, nullptr, nullptr, 0, 0, 0, st);
      for (char const* a : {"a", "b"}) c->createAction("mygroup", a, nullptr, nullptr, 0, 0, 0, st);
      creator.setObject(daActionGroupName(), c, st);
    }
    readOnly = std::make_unique<daCachedStore>("bench", path.c_str(), 1, 0);
    readOnly->openStore(1, st);
    GxACLPermset warm;
    readOnly->mapAction("T", warm, st);  // builds the map once, outside the timings
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void mapAction(benchmark::State& state, char const* actions) {
  daCachedStore& store = *fixture().readOnly;
  GxACLPermset perms;
  unsigned long st = 0;
  for (auto _ : state) {
    store.mapAction(actions, perms, st);
    benchmark::DoNotOptimize(perms.value().groups);
  }
  if (st != 0) state.SkipWithError("mapAction failed");
}

void BM_MapActionWithGroup(benchmark::State& state) { mapAction(state, "Tr[mygroup]a"); }
void BM_MapActionThreePrimaryLetters(benchmark::State& state) { mapAction(state, "Trm"); }
BENCHMARK(BM_MapActionWithGroup)->Threads(1)->Threads(2);
BENCHMARK(BM_MapActionThreePrimaryLetters)->Threads(1)->Threads(2);

void BM_MapBitmap(benchmark::State& state) {
  daCachedStore& store = *fixture().readOnly;
  GxACLPermset perms(0, 0x7);
  perms.setBitMaskInGroup(3, 0x1);
  ZUTF8String_6_0 out;
  unsigned long st = 0;
  for (auto _ : state) {
    out.clear();
    store.mapBitmap(perms, out, st);
    benchmark::DoNotOptimize(out.getChars());
  }
  if (st != 0 || out.str() != "Tcr[mygroup]a") state.SkipWithError("mapBitmap gave the wrong string");
}
BENCHMARK(BM_MapBitmap)->Threads(1)->Threads(2);

}  // namespace
