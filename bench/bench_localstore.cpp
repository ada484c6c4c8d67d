// Local store costs: a fetch of a random key from a 100,000-record file, and
// store throughput.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "GxCore/db/daLocalStore.h"

namespace {

constexpr int kRecords = 100000;

std::string keyOf(int i) { return "/auth/pobject/dir" + std::to_string(i % 100) + "/obj" + std::to_string(i); }

// One populated file shared by the fetch benchmarks, made on first use.
struct Fixture {
  gxbench::ScratchDir dir{"store"};
  std::unique_ptr<daLocalStore> store;
  Fixture() {
    std::string path = dir.file("bench.db");
    unsigned long st, seq;
    daLocalStore creator("bench", path.c_str());
    creator.createStore(st);
    // Bulk-load through the database file directly: one write transaction
    // per record through the store would spend minutes in fsync.
    store = std::make_unique<daLocalStore>("bench", path.c_str());
    store->openStore(0, st);
    unsigned char payload[96];
    std::memset(payload, 0x5a, sizeof payload);
    gxobj_t rec{nullptr, 0, 1287, sizeof payload, payload};
    for (int i = 0; i < kRecords; ++i) hx_db_store(store->getDBHandle(), keyOf(i).c_str(), rec, st);
    store->getSeqNum(seq, st);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_GetObjectRandom(benchmark::State& state) {
  Fixture& f = fixture();
  std::vector<GxObjectName> keys;
  std::mt19937 rng(42);
  for (int i = 0; i < 4096; ++i) keys.emplace_back(keyOf(static_cast<int>(rng() % kRecords)).c_str());
  size_t i = 0;
  for (auto _ : state) {
    gxobj_t rec{};
    unsigned long seq, st;
    f.store->getObject(keys[i++ & 4095], rec, seq, st);
    if (st != 0) state.SkipWithError("fetch failed");
    hxAsnFreeObj(rec);
  }
}
BENCHMARK(BM_GetObjectRandom);

void BM_SetObject(benchmark::State& state) {
  Fixture& f = fixture();
  unsigned char payload[96] = {};
  gxobj_t rec{nullptr, 0, 1287, sizeof payload, payload};
  int i = 0;
  for (auto _ : state) {
    unsigned long seq, st;
    f.store->setObject(GxObjectName(("/auth/pop/bench" + std::to_string(i++ % 1000)).c_str()), rec, seq, st);
    if (st != 0) state.SkipWithError("store failed");
  }
}
BENCHMARK(BM_SetObject)->Iterations(300);

}  // namespace
