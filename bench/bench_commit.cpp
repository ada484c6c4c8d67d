// Committing 1,000 changes: one update transaction (its records written in
// one durable file transaction) against the same changes made as 1,000
// one-call writes (one durable file transaction each).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench_support.h"
#include "GxCore/GxAcl.h"
#include "GxCore/db/daCachedStore.h"

namespace {

constexpr int kChanges = 1000;

struct Fixture {
  gxbench::ScratchDir dir{"commit"};
  std::string path;
  std::unique_ptr<daCachedStore> store;
  int round = 0;
  Fixture() {
    path = dir.file("commit.db");
    unsigned long st;
    daLocalStore("bench", path.c_str()).createStore(st);
    store = std::make_unique<daCachedStore>("bench", path.c_str(), 1, 0);
    store->openStore(0, st);
  }
  // A fresh name for every change of every round, so each commit adds.
  daAclName next(int i) {
    char name[40];
    std::snprintf(name, sizeof name, "commit-%05d-%06d", round, i);
    return daAclName(name);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// Staging is outside the timing: the figure is the commit (swap pass,
// encoding, the one file transaction, observers).
void BM_CommitOneTransactionOf1000(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    state.PauseTiming();
    daTransaction t;
    unsigned long st;
    f.store->beginTransaction(t, daTransactionMode::update, st);
    for (int i = 0; i < kChanges; ++i) f.store->setObject(t, f.next(i), new GxACL(), st);
    ++f.round;
    state.ResumeTiming();
    f.store->commitTransaction(t, st);
    if (st != 0) state.SkipWithError("commit failed");
  }
  state.SetItemsProcessed(state.iterations() * kChanges);
}
BENCHMARK(BM_CommitOneTransactionOf1000)->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_OneCallWritesOf1000(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    for (int i = 0; i < kChanges; ++i) {
      unsigned long st;
      f.store->setObject(f.next(i), new GxACL(), st);
      if (st != 0) state.SkipWithError("write failed");
    }
    ++f.round;
  }
  state.SetItemsProcessed(state.iterations() * kChanges);
}
BENCHMARK(BM_OneCallWritesOf1000)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
