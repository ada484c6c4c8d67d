// The change log: a page from the middle of a long log, against reading the
// whole log (what every page of GET /admin/v1/log cost when a page read the
// log from its start).
//   BM_ChangeLogPage  entries: the log's entries, one change each (about
//                     0.5 KiB of JSON); whole 0: a page of 100 from the
//                     middle (since the middle entry's sequence number, 101
//                     read to know whether a page follows), 1: every entry
// The log is written once per process in a temporary directory, removed at
// exit.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/db/daLocalStore.h"
#include "tools/common/change_log.h"

namespace {

struct Log {
  std::filesystem::path dir;
  std::unique_ptr<daLocalStore> store;
  std::vector<unsigned long> produced;  // each entry's sequence number
  ~Log() {
    unsigned long st = 0;
    if (store) store->closeStore(st);
    store.reset();
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
  }
};

[[noreturn]] void fail(char const* what, unsigned long st) {
  std::fprintf(stderr, "bench_changelog: %s failed: 0x%lx\n", what, st);
  std::exit(1);
}

// A log of entries entries, written in write groups of 1,000.
Log& logOf(size_t entries) {
  static std::map<size_t, Log> logs;
  auto [it, made] = logs.try_emplace(entries);
  Log& log = it->second;
  if (!made) return log;
  char dir[] = "/tmp/gxcore-bench-changelog.XXXXXX";
  if (::mkdtemp(dir) == nullptr) fail("mkdtemp", 0);
  log.dir = dir;
  std::string const db = (log.dir / "log.db").string();
  log.store = std::make_unique<daLocalStore>("bench", db.c_str());
  unsigned long st = 0;
  log.store->createStore(st);
  if (st == 0) log.store->openStore(0, st);
  if (st != 0) fail("create", st);
  nlohmann::json const value = {{"description", std::string(400, 'x')}};
  for (size_t i = 0; i < entries;) {
    log.store->beginWriteGroup(size_t{16} << 20, st);
    if (st != 0) fail("begin", st);
    for (size_t k = 0; k < 1000 && i < entries; ++k, ++i) {
      unsigned long from = 0, produced = 0;
      log.store->getLocalSeqNum(from);
      gxpolicy::ChangeLogWriter writer(*log.store, from);
      if ((st = writer.add("object", "/org/o" + std::to_string(i), nullptr, value)) != 0) fail("add", st);
      if ((st = writer.finish({"bench"}, "bench", produced)) != 0) fail("finish", st);
      log.produced.push_back(produced);
    }
    log.store->endWriteGroup(true, st);
    if (st != 0) fail("commit", st);
  }
  return log;
}

void BM_ChangeLogPage(benchmark::State& state) {
  Log& log = logOf(static_cast<size_t>(state.range(0)));
  gxpolicy::ChangeLogQuery query;
  if (state.range(1) == 0) {
    query.since = log.produced[log.produced.size() / 2];
    query.limit = 101;
  }
  std::vector<nlohmann::json> out;
  for (auto _ : state)
    if (unsigned long st = gxpolicy::readChangeLog(*log.store, query, {}, out); st != 0) fail("read", st);
  state.counters["entries_read"] = static_cast<double>(out.size());
}
BENCHMARK(BM_ChangeLogPage)
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->ArgNames({"entries", "whole"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
