// One-call decisions on generated estates of realistic shape
// (/org/dN/sN/appN/resN/LEAF, ACLs on about 5% of the objects, 200 users in
// 20 groups), on a read-only replica opened as a server opens it:
//   BM_DecideWarm        a decision on an object decided before, from a
//                        working set of up to 50,000 objects; 1 and 2 threads
//   BM_ControlLoop       a private pointer chase per thread, 1 and 2 threads:
//                        when its 2-thread rate is not about twice the
//                        1-thread rate, the second core (or its cache) was
//                        busy and 2-thread figures mean little
//   BM_MemoryAccess      one dependent access to memory: a pointer chase
//                        through 256 MiB (huge pages where granted), far
//                        beyond the caches, ns per step: what a decision on
//                        an object the caches cannot hold must pay at least
//   BM_AccessWindow      an access window's check alone, UTC and a named zone
//   BM_DecideConditions  warm decisions with no condition, with an access
//                        window and a level check, and with a rule besides
//   BM_FirstDecision     the first decision after the replica was opened, the
//                        file already mapped in the process (another store has it open),
//                        timed around the call (mean; counters: its median, 90th
//                        and 99th percentiles, us);
//                        replacing 1: the replica replaces one that served
//                        before it (whose memo table it reuses), 0: the first
//                        replica of its size in the process
//   BM_OpenReplica       openPolicy of the replica (read-only, quick map built)
//   BM_Preparation       a large replica's background preparation: until its
//                        attachment index is ready, and until the index's
//                        policies are preloaded (ms, resident MiB added)
//   BM_Import            gxpolicy import of a 100,000-object document
//   BM_ColdDecisions     100,000 decisions on random objects of a fresh
//                        store; counters: resident memory growth, file size
//   BM_WorkingSet        100,000 random distinct questions (random leaves,
//                        callers and action strings) on a fresh replica with
//                        default settings, in one run: the first pass (every
//                        object new), warm passes on 1 and 2 threads, a fresh
//                        thread's first 1,000 decisions on objects others
//                        decided (the best of five runs for these three),
//                        the total rate of 8 threads (and the resident memory
//                        they add), and the control loop on 1 and 2 threads. Counters:
//                        ns per decision, wall time over all threads (for
//                        the control loop per 16-step chase: its 2-thread
//                        figure is half its 1-thread one when a second core
//                        is free), the first pass's CPU time per decision
//                        (first_1t_cpu_ns: on a busy machine, what it cost
//                        without the time other processes had the core),
//                        the memo misses of the warm passes and fresh
//                        threads, the resident memory the first pass added,
//                        and one memory access (memory_access_ns, as
//                        BM_MemoryAccess) measured in the same run.
//                        The file is warm: another store keeps it mapped.
// Arguments: objects, naming (0 unique leaves, 1 web-like repeated leaves),
// cache (0 default size, 1 the largest).
//
// GXCORE_BENCH_MEMO sets the decision memo's slots (default: sized to the
// file); GXCORE_BENCH_FIRST_ITERATIONS the first decisions measured (200).
//
// Estates are generated once and kept in $GXCORE_BENCH_ESTATES (default
// /tmp/gxcore-bench-estates), with a list of their objects and users beside
// them, so later runs start at once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "GxCore/GxAction.h"
#include "GxCore/GxPop.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daRule.h"
#include "GxCore/db/daAccessWindow.h"
#include "GxCore/db/daLocalPolicy.h"
#include "outside/hxdb.h"
#include "tools/common/estate.h"
#include "tools/common/policy_export.h"
#include "tools/common/policy_import.h"

namespace {

namespace fs = std::filesystem;

fs::path estateDir() {
  char const* d = std::getenv("GXCORE_BENCH_ESTATES");
  fs::path p = d && *d ? fs::path(d) : fs::temp_directory_path() / "gxcore-bench-estates";
  fs::create_directories(p);
  return p;
}

// The description of a generated estate, written beside its database.
void saveEstate(gxestate::Estate const& e, fs::path const& file) {
  std::ofstream out(file);
  char text[37];
  unsigned long st;
  for (auto const& o : e.objects) out << "o " << o << "\n";
  for (auto const& u : e.users) {
    hx_uuid_to_string(u.uuid, text, st);
    out << "u " << text;
    for (auto const& g : u.groups) {
      hx_uuid_to_string(g, text, st);
      out << " " << text;
    }
    out << "\n";
  }
}

bool loadEstate(fs::path const& file, gxestate::Estate& e) {
  std::ifstream in(file);
  std::string kind;
  while (in >> kind) {
    if (kind == "o") {
      std::string path;
      std::getline(in >> std::ws, path);
      e.objects.push_back(path);
    } else {
      std::string line, id;
      std::getline(in >> std::ws, line);
      std::istringstream words(line);
      gxestate::User u;
      unsigned long st;
      words >> id;
      hx_uuid_from_string(id.c_str(), u.uuid, st);
      while (words >> id) {
        hx_uuid_t g;
        hx_uuid_from_string(id.c_str(), g, st);
        u.groups.push_back(g);
      }
      e.users.push_back(std::move(u));
    }
  }
  return !e.objects.empty() && !e.users.empty();
}

struct GeneratedEstate {
  std::string db;
  gxestate::Estate estate;
  std::vector<gxpolicy::CallerAttributes> callers;
};

// The estate of objects objects and naming, generated on first use.
GeneratedEstate& estate(unsigned long objects, int naming) {
  static std::map<std::pair<unsigned long, int>, std::unique_ptr<GeneratedEstate>> made;
  auto& slot = made[{objects, naming}];
  if (slot) return *slot;
  slot = std::make_unique<GeneratedEstate>();
  std::string stem = "estate-" + std::to_string(objects) + (naming ? "-repeated" : "-unique") + "-v1";
  fs::path db = estateDir() / (stem + ".db"), list = estateDir() / (stem + ".txt");
  slot->db = db.string();
  if (!fs::exists(db) || !fs::exists(list) || !loadEstate(list, slot->estate)) {
    fs::remove(db);
    fs::remove(db.string() + "-lock");
    slot->estate = {};
    daLocalPolicy store("bench", db.c_str(), 1, 0);
    unsigned long st;
    store.createStore(st);
    if (st == 0) store.openStore(0, st);
    if (st == 0) st = gxStoreDefaultActionCatalogue(store);
    gxestate::Options o;
    o.objects = objects;
    o.naming = naming ? gxestate::Naming::repeated : gxestate::Naming::unique;
    if (st == 0) gxestate::generate(store, o, slot->estate, st);
    if (st != 0) {
      std::fprintf(stderr, "generating %s failed: 0x%lx\n", db.c_str(), st);
      std::abort();
    }
    saveEstate(slot->estate, list);
  }
  slot->callers.clear();
  for (gxestate::User const& u : slot->estate.users) slot->callers.push_back(gxestate::callerOf(u));
  return *slot;
}

unsigned int cacheSize(int largest) { return largest ? daCachedStore::maxCacheSize : 0; }

std::unique_ptr<daLocalPolicy> openReplica(GeneratedEstate const& e, int largestCache) {
  auto store = std::make_unique<daLocalPolicy>("bench", e.db.c_str(), 1, cacheSize(largestCache));
  if (char const* memo = std::getenv("GXCORE_BENCH_MEMO")) store->setDecisionMemoSize(std::atoi(memo));
  unsigned long st;
  store->openPolicy(1, st);
  if (st != 0) return nullptr;
  return store;
}

char const* const kActions[] = {"r", "Tr", "x", "rx", "T"};

// One replica per (estate, cache) shared by the threads of BM_DecideWarm,
// with its working set of object indexes.
struct SharedReplica {
  std::unique_ptr<daLocalPolicy> store;
  std::vector<size_t> working;
};
SharedReplica& sharedReplica(GeneratedEstate& e, benchmark::State const& state) {
  static std::mutex m;
  static std::map<std::vector<long>, SharedReplica> open;
  std::lock_guard<std::mutex> g(m);
  SharedReplica& r = open[{long(state.range(0)), long(state.range(1)), long(state.range(2))}];
  if (!r.store) {
    r.store = openReplica(e, state.range(2));
    std::mt19937_64 rng(7);
    r.working.resize(std::min<size_t>(e.estate.objects.size(), 50000));
    for (auto& i : r.working) i = rng() % e.estate.objects.size();
  }
  return r;
}

void BM_DecideWarm(benchmark::State& state) {
  static std::mutex generating;
  GeneratedEstate* ep;
  {
    std::lock_guard<std::mutex> g(generating);
    ep = &estate(state.range(0), state.range(1));
  }
  GeneratedEstate& e = *ep;
  SharedReplica& r = sharedReplica(e, state);
  daDecision d;
  unsigned long st = 0;
  // Warm this thread's memo on the whole working set (untimed: the timing
  // starts when every thread has reached the loop).
  for (size_t i : r.working) r.store->decide(e.estate.objects[i].c_str(), nullptr, "r", nullptr, d, st);
  // The requests, in a ring read in order: a server decides on a path it has
  // just read, so the path's text is at hand, not fetched from a far table.
  struct Request {
    char path[112];
    sec_id_pa_t* caller;
    char const* actions;
  };
  std::mt19937_64 rng(state.thread_index() + 1);
  std::vector<Request> ring(1 << 15);
  for (size_t i = 0; i < ring.size(); ++i) {
    std::string const& p = e.estate.objects[r.working[rng() % r.working.size()]];
    std::snprintf(ring[i].path, sizeof ring[i].path, "%s", p.c_str());
    ring[i].caller = e.callers[rng() % e.callers.size()].pa();
    ring[i].actions = kActions[i % 5];
  }
  size_t k = 0;
  for (auto _ : state) {
    Request const& q = ring[k++ & (ring.size() - 1)];
    r.store->decide(q.path, q.caller, q.actions, nullptr, d, st);
    benchmark::DoNotOptimize(d.granted());
  }
  if (st != 0) state.SkipWithError("decide failed");
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) state.counters["objects"] = double(e.estate.objects.size());
}

// The cost of the conditions, in one run: warm decisions on the objects of
// the 10,000-object estate that have neither a POP nor a rule in force,
// on a copy of the estate where "/" gets, by variant,
//   0  nothing (the ACL alone decides: the warm decision as before)
//   1  a POP with an access window read in Europe/Berlin (every day,
//      08:00-24:00 local) and an address-level check (default level 1)
//   2  that POP and a rule comparing two of the host's attributes
// Each variant's own copy; the decisions ask the same questions at the
// same time (a Monday 10:00 UTC, inside the window).
std::string conditionsCopy(GeneratedEstate const& e, int variant) {
  fs::path copy = estateDir() / ("conditions-" + std::to_string(variant) + ".db");
  fs::remove(copy);
  fs::remove(copy.string() + "-lock");
  fs::copy_file(e.db, copy);
  daLocalPolicy store("bench", copy.c_str(), 0, 0);
  unsigned long st;
  store.openPolicy(0, st);
  auto put = [&](daStoreObjectName const& name, daStoreObject* o) {
    if (st == 0) store.setObject(name, o, st);
    else delete o;
  };
  if (variant >= 1) {
    auto* pop = new GxPop;
    pop->setDayAccess(0x7F);
    pop->setStartAccess(8 * 60);
    pop->setEndAccess(24 * 60);
    pop->setTimeReferenceAccess(2);
    pop->appendIPAuth(GxAddress("0.0.0.0"), GxAddress("0.0.0.0"), 1);
    pop->setAttrlist();
    pop->setZone("Europe/Berlin");
    put(daPopName("bench-window"), pop);
    auto* map = new GxMapObjToPop;
    map->add("bench-window");
    put(daPObjName("/").getPObjToPopMapName(), map);
  }
  if (variant >= 2) {
    auto* rule = new daRule;
    rule->setText("attr.department == 'sales' and attr.clearance >= 2");
    rule->setReason("sales staff with clearance only");
    put(daRuleName("bench-rule"), rule);
    auto* map = new daMapObjToRule;
    map->add("bench-rule");
    put(daPObjName("/").getPObjToRuleMapName(), map);
  }
  unsigned long closed = 0;
  store.closePolicy(closed);
  if (st != 0 || closed != 0) {
    std::fprintf(stderr, "preparing %s failed: 0x%lx\n", copy.c_str(), st);
    std::abort();
  }
  return copy.string();
}

void BM_DecideConditions(benchmark::State& state) {
  GeneratedEstate& e = estate(10000, 0);
  int const variant = static_cast<int>(state.range(0));
  GeneratedEstate copy{conditionsCopy(e, variant), e.estate, e.callers};
  auto store = openReplica(copy, 0);
  daAttributes attributes;
  attributes.set("department", std::string("sales"));
  attributes.set("clearance", 3.0);
  daDecisionContext ctx;
  ctx.timeSeconds = 1796637600;  // 2026-12-07 10:00 UTC, a Monday
  ctx.attributes = &attributes;
  GxAddress address("192.0.2.10");
  // Objects with no POP or rule of the estate's in force (on the plain
  // estate), each asked with the caller and action of the ring below.
  static std::vector<std::string> plain;
  if (plain.empty()) {
    auto original = openReplica(e, 0);
    daDecision d;
    unsigned long st;
    for (auto const& o : e.estate.objects) {
      original->decide(o.c_str(), nullptr, "r", nullptr, d, st);
      if (st == 0 && !d.hasPop() && !d.hasRule()) plain.push_back(o);
    }
  }
  struct Request {
    char path[112];
    sec_id_pa_t* caller;
    char const* actions;
  };
  std::mt19937_64 rng(1);
  std::vector<Request> ring(1 << 15);
  for (size_t i = 0; i < ring.size(); ++i) {
    std::snprintf(ring[i].path, sizeof ring[i].path, "%s", plain[rng() % plain.size()].c_str());
    ring[i].caller = e.callers[rng() % e.callers.size()].pa();
    ring[i].actions = kActions[i % 5];
  }
  daDecision d;
  unsigned long st = 0;
  for (auto const& q : ring) store->decide(q.path, q.caller, q.actions, &address, ctx, d, st);
  size_t k = 0, granted = 0;
  for (auto _ : state) {
    Request const& q = ring[k++ & (ring.size() - 1)];
    store->decide(q.path, q.caller, q.actions, &address, ctx, d, st);
    granted += d.granted();
  }
  if (st != 0) state.SkipWithError("decide failed");
  if (variant >= 1 && (!d.hasPop() || d.cause() == daDecisionCause::outsideWindow)) state.SkipWithError("window not in force");
  state.SetItemsProcessed(state.iterations());
  state.counters["granted"] = benchmark::Counter(double(granted) / double(state.iterations()));
  state.counters["objects"] = double(plain.size());
}

// The access window's check alone, in UTC (arg 0) and in a named zone
// (arg 1), at times a minute apart: what the window adds to a decision.
void BM_AccessWindow(benchmark::State& state) {
  GxPop pop;
  pop.setDayAccess(0x3E);
  pop.setStartAccess(8 * 60);
  pop.setEndAccess(18 * 60);
  pop.setTimeReferenceAccess(state.range(0) ? 2 : 0);
  pop.setZone("Europe/Berlin");
  daAccessWindow const window(pop);
  std::int64_t t = 1796637600;
  size_t inside = 0;
  for (auto _ : state) inside += window.allows(t += 60);
  benchmark::DoNotOptimize(inside);
  state.SetItemsProcessed(state.iterations());
}

// Each thread chases pointers through a private random cycle of 768 KiB:
// no lock, no shared line, but it needs a core and most of its L2 cache.
// Two threads reach twice the rate of one only when they have a core and a
// cache each, which is what the 2-thread decision figures need too.
void BM_ControlLoop(benchmark::State& state) {
  std::vector<std::uint32_t> next(768 * 1024 / sizeof(std::uint32_t));
  std::vector<std::uint32_t> order(next.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin() + 1, order.end(), std::mt19937(state.thread_index() + 1));
  for (size_t i = 0; i < order.size(); ++i) next[order[i]] = order[(i + 1) % order.size()];
  std::uint32_t at = 0;
  for (auto _ : state) {
    for (int i = 0; i < 16; ++i) at = next[at];
    benchmark::DoNotOptimize(at);
  }
  state.SetItemsProcessed(state.iterations());
}

// ns per step of a pointer chase through one random cycle over 256 MiB of
// 64-byte lines: each step one dependent access that misses every cache
// (and, without huge pages, the TLB). The best of a few rounds. The cycle
// is made once and kept for the process: memory given back to this virtual
// machine's host is slow to take again, and would slow the benchmarks run
// after it.
double memoryAccessNs() {
  constexpr size_t kBytes = size_t{256} << 20, kLine = 64, kHuge = size_t{2} << 20;
  static char* const base = [] {
    size_t const lines = kBytes / kLine;
    void* mapped = ::mmap(nullptr, kBytes + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return static_cast<char*>(nullptr);
    auto* b = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(mapped) + kHuge - 1) & ~(kHuge - 1));
    ::madvise(b, kBytes, MADV_HUGEPAGE);
    std::vector<std::uint32_t> order(lines);
    for (std::uint32_t i = 0; i < lines; ++i) order[i] = i;
    std::shuffle(order.begin() + 1, order.end(), std::mt19937(5));
    for (size_t i = 0; i < lines; ++i)
      *reinterpret_cast<char**>(b + kLine * order[i]) = b + kLine * order[(i + 1) % lines];
    return b;
  }();
  if (base == nullptr) return 0;
  char* at = base;
  double best = 1e300;
  constexpr int kSteps = 1 << 20;
  for (int round = 0; round < 4; ++round) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kSteps; ++i) at = *reinterpret_cast<char**>(at);
    best = std::min(best, std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kSteps);
  }
  benchmark::DoNotOptimize(at);
  return best;
}

void BM_MemoryAccess(benchmark::State& state) {
  double ns = 0;
  for (auto _ : state) ns = memoryAccessNs();
  state.counters["ns_per_access"] = ns;
}

// The calling thread's page faults and context switches so far: where a
// first pass waits beyond its CPU time.
struct ThreadWaits {
  double minorFaults = 0, majorFaults = 0, voluntary = 0, involuntary = 0;
  static ThreadWaits now() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return {double(u.ru_minflt), double(u.ru_majflt), double(u.ru_nvcsw), double(u.ru_nivcsw)};
  }
};

// A first decision is one call: comparing two builds takes more of them
// than a figure for README.
int firstDecisionIterations() {
  char const* n = std::getenv("GXCORE_BENCH_FIRST_ITERATIONS");
  return n != nullptr && std::atoi(n) > 0 ? std::atoi(n) : 200;
}

void BM_FirstDecision(benchmark::State& state) {
  GeneratedEstate& e = estate(state.range(0), state.range(1));
  bool const replacing = state.range(3) != 0;
  std::mt19937_64 rng(11);
  daDecision d;
  unsigned long st = 0;
  // No memo table of a store that has gone is reused by a first replica.
  size_t const kept = daDecisionKeptTableBytes(replacing ? SIZE_MAX : 0);
  // A store kept open keeps the file mapped in the process, as a server's
  // replica does while it opens the next one; its pages are mapped ahead
  // in the background, waited for here. A replica replacing another has
  // one that served (its memo ready) close before it opens.
  auto mapped = openReplica(e, state.range(2));
  auto served = replacing ? openReplica(e, state.range(2)) : nullptr;
  if (served) served->decide(e.estate.objects[0].c_str(), e.callers[0].pa(), "r", nullptr, d, st);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  served.reset();
  ThreadWaits waits;
  double policyReads = 0;
  std::vector<double> took;  // ns per first decision
  took.reserve(static_cast<size_t>(state.max_iterations));
  // Timed around the call alone (manual time): pausing and resuming the
  // benchmark's own timer around it would add about 3 us to each.
  for (auto _ : state) {
    auto store = openReplica(e, state.range(2));
    size_t object = rng() % e.estate.objects.size();
    sec_id_pa_t* const caller = e.callers[rng() % e.callers.size()].pa();
    ThreadWaits const w0 = ThreadWaits::now();
    auto const start = std::chrono::steady_clock::now();
    store->decide(e.estate.objects[object].c_str(), caller, "r", nullptr, d, st);
    auto const end = std::chrono::steady_clock::now();
    ThreadWaits const w1 = ThreadWaits::now();
    took.push_back(std::chrono::duration<double, std::nano>(end - start).count());
    state.SetIterationTime(took.back() / 1e9);
    waits.voluntary += w1.voluntary - w0.voluntary;
    waits.minorFaults += w1.minorFaults - w0.minorFaults;
    waits.majorFaults += w1.majorFaults - w0.majorFaults;
    waits.involuntary += w1.involuntary - w0.involuntary;
    policyReads += double(store->counts().policyReads);
    store.reset();
  }
  daDecisionKeptTableBytes(kept);
  if (st != 0) state.SkipWithError("decide failed");
  // The distribution besides the mean (the run's time): a slow host makes
  // a few first decisions many times slower than the rest.
  std::sort(took.begin(), took.end());
  auto quantile = [&took](double q) { return took.empty() ? 0.0 : took[size_t(q * double(took.size() - 1))] / 1e3; };
  state.counters["p50_us"] = quantile(0.5);
  state.counters["p90_us"] = quantile(0.9);
  state.counters["p99_us"] = quantile(0.99);
  state.counters["vcsw"] = benchmark::Counter(waits.voluntary, benchmark::Counter::kAvgIterations);
  state.counters["minflt"] = benchmark::Counter(waits.minorFaults, benchmark::Counter::kAvgIterations);
  state.counters["majflt"] = benchmark::Counter(waits.majorFaults, benchmark::Counter::kAvgIterations);
  state.counters["policy_reads"] = benchmark::Counter(policyReads, benchmark::Counter::kAvgIterations);
  state.counters["ivcsw"] = benchmark::Counter(waits.involuntary, benchmark::Counter::kAvgIterations);
}

void BM_OpenReplica(benchmark::State& state) {
  GeneratedEstate& e = estate(state.range(0), state.range(1));
  for (auto _ : state) {
    auto store = openReplica(e, 0);
    if (!store) state.SkipWithError("open failed");
    state.PauseTiming();
    store.reset();
    state.ResumeTiming();
  }
}

// Anonymous resident memory (the file's mapped pages left out), KiB.
long anonymousKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("RssAnon:", 0) == 0) return std::atol(line.c_str() + 8);
  return 0;
}

// A large file's background preparation, once per iteration on a replica
// nothing else of the process has indexed: the milliseconds until its
// attachment index is ready and until the index's policies are preloaded,
// and the anonymous resident memory each added. The replica's memo is the
// smallest, so that backing its slot table neither takes time between the
// two nor adds memory.
void BM_Preparation(benchmark::State& state) {
  GeneratedEstate& e = estate(state.range(0), 0);
  double indexMs = 0, preloadMs = 0, indexMiB = 0, preloadMiB = 0;
  for (auto _ : state) {
    long const rss = anonymousKiB();
    auto const start = std::chrono::steady_clock::now();
    auto store = std::make_unique<daLocalPolicy>("bench", e.db.c_str(), 1, cacheSize(0));
    store->setDecisionMemoSize(1024);
    unsigned long st;
    store->openPolicy(1, st);
    if (st != 0) {
      state.SkipWithError("open failed");
      return;
    }
    auto msSince = [&start] {
      return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    while (!store->attachmentIndexReady()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    indexMs += msSince();
    indexMiB += double(anonymousKiB() - rss) / 1024;
    while (!store->attachmentPoliciesPreloaded()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    preloadMs += msSince();
    preloadMiB += double(anonymousKiB() - rss) / 1024;
  }
  double const n = double(state.iterations());
  state.counters["index_ms"] = indexMs / n;
  state.counters["preloaded_ms"] = preloadMs / n;
  state.counters["index_MiB"] = indexMiB / n;
  state.counters["preloaded_MiB"] = preloadMiB / n;
}

long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void BM_ColdDecisions(benchmark::State& state) {
  GeneratedEstate& e = estate(state.range(0), state.range(1));
  std::mt19937_64 rng(13);
  daDecision d;
  unsigned long st = 0;
  long grown = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto store = openReplica(e, state.range(2));
    long before = residentKiB();
    state.ResumeTiming();
    for (int i = 0; i < 100000; ++i)
      store->decide(e.estate.objects[rng() % e.estate.objects.size()].c_str(),
                    e.callers[rng() % e.callers.size()].pa(), "r", nullptr, d, st);
    state.PauseTiming();
    grown = residentKiB() - before;
    store.reset();
    state.ResumeTiming();
  }
  if (st != 0) state.SkipWithError("decide failed");
  state.SetItemsProcessed(state.iterations() * 100000);
  state.counters["rss_growth_MiB"] = double(grown) / 1024;
  state.counters["file_MiB"] = double(fs::file_size(e.db)) / (1 << 20);
}

// gxpolicy import of the document of a generated estate (exported once,
// untimed) into a new database; writes the estate in transactions of
// 20,000 changes, each one database transaction.
void BM_Import(benchmark::State& state) {
  GeneratedEstate& e = estate(state.range(0), 0);
  static std::map<long, std::string> documents;
  std::string& text = documents[state.range(0)];
  gxpolicy::Problem problem;
  if (text.empty()) {
    daCachedStore source("bench", e.db.c_str(), 0, 0);
    unsigned long st;
    source.openStore(1, st);
    nlohmann::json doc;
    if (st != 0 || !gxpolicy::exportPolicyDocument(source, doc, problem)) {
      state.SkipWithError("export failed");
      return;
    }
    text = doc.dump();
  }
  std::string target = (estateDir() / "import-target.db").string();
  for (auto _ : state) {
    state.PauseTiming();
    hx_db_remove_file(target.c_str());
    unsigned long st;
    {
      daLocalStore creator("bench", target.c_str());
      creator.createStore(st);
      if (st == 0) creator.openStore(0, st);
      if (st == 0) st = gxStoreDefaultActionCatalogue(creator);
    }
    auto store = std::make_unique<daCachedStore>("bench", target.c_str(), 0, 0);
    if (st == 0) store->openStore(0, st);
    state.ResumeTiming();
    gxpolicy::ImportCounts counts;
    if (st != 0 || !gxpolicy::importPolicyText(*store, text, counts, problem)) state.SkipWithError("import failed");
    state.PauseTiming();
    store.reset();
    state.ResumeTiming();
  }
  hx_db_remove_file(target.c_str());
  state.counters["objects"] = double(e.estate.objects.size());
  state.counters["document_MiB"] = double(text.size()) / (1 << 20);
}

// ---- working set ------------------------------------------------------------

// A question with its path inline: a server decides on a path it has just
// read, so the path's text is at hand, not fetched from a far table.
struct Question {
  char path[112];
  sec_id_pa_t* caller;
  char const* actions;
};

// count random distinct leaves (the deepest objects) of e, each with a random
// caller and action string.
std::vector<Question> distinctQuestions(GeneratedEstate& e, size_t count) {
  std::vector<size_t> leaves;
  for (size_t i = 0; i < e.estate.objects.size(); ++i)
    if (std::count(e.estate.objects[i].begin(), e.estate.objects[i].end(), '/') == 6) leaves.push_back(i);
  std::mt19937_64 rng(17);
  std::shuffle(leaves.begin(), leaves.end(), rng);
  leaves.resize(std::min(count, leaves.size()));
  std::vector<Question> q(leaves.size());
  for (size_t k = 0; k < leaves.size(); ++k) {
    std::snprintf(q[k].path, sizeof q[k].path, "%s", e.estate.objects[leaves[k]].c_str());
    q[k].caller = e.callers[rng() % e.callers.size()].pa();
    q[k].actions = kActions[rng() % 5];
  }
  return q;
}

using Clock = std::chrono::steady_clock;
double nsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// The calling thread's CPU time: on a busy machine, what a phase cost
// without the time other processes had the core.
double threadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// Runs body(t) on threads threads at once.
template <class Body>
void onThreads(int threads, Body body) {
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(body, t);
  for (auto& th : pool) th.join();
}

// Decides questions[from, to) from from + rotate on; the ns taken. The
// answers (granted, or 2 for a failed decision) go to answers when record,
// else are compared with them: ok becomes false on a difference.
double decideRange(daCachedStore& store, std::vector<Question> const& questions, size_t from, size_t to,
                   size_t rotate, std::vector<char>& answers, bool record, std::atomic<bool>& ok) {
  daDecision d;
  unsigned long st = 0;
  bool same = true;
  size_t n = to - from;
  auto start = Clock::now();
  for (size_t k = 0; k < n; ++k) {
    size_t i = from + (k + rotate) % n;
    Question const& q = questions[i];
    store.decide(q.path, q.caller, q.actions, nullptr, d, st);
    char a = st != 0 ? 2 : char(d.granted());
    if (record) answers[i] = a;
    else same = same && a == answers[i];
  }
  double ns = nsSince(start);
  if (!same) ok = false;
  return ns;
}

// ns per 16-step private pointer chase, on threads threads at once (the
// slowest thread's time over all their chases).
double controlLoop(int threads) {
  constexpr int kChases = 400000;
  std::atomic<std::uint32_t> sink{0};
  std::vector<double> ns(threads);
  onThreads(threads, [&](int t) {
    std::vector<std::uint32_t> next(768 * 1024 / sizeof(std::uint32_t)), order(next.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin() + 1, order.end(), std::mt19937(t + 1));
    for (size_t i = 0; i < order.size(); ++i) next[order[i]] = order[(i + 1) % order.size()];
    std::uint32_t at = 0;
    auto start = Clock::now();
    for (int i = 0; i < kChases; ++i)
      for (int j = 0; j < 16; ++j) at = next[at];
    ns[t] = nsSince(start);
    sink += at;
  });
  benchmark::DoNotOptimize(sink.load());
  return *std::max_element(ns.begin(), ns.end()) / (double(kChases) * threads);
}

// Runs of the short phases, the fastest kept: a time slice lost to another
// process on a shared machine then does not count.
constexpr int kRuns = 5;

void BM_WorkingSet(benchmark::State& state) {
  GeneratedEstate& e = estate(state.range(0), 0);
  std::vector<Question> questions = distinctQuestions(e, 100000);
  size_t const n = questions.size(), freshCount = std::min<size_t>(n, 1000);
  std::vector<char> answers(n);
  std::atomic<bool> ok{true};
  // The file warm: mapped in the process by a store kept open, its pages
  // mapped ahead in the background (waited for), as a server's file is
  // when it opens a new replica of it.
  auto mapped = openReplica(e, 0);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  for (auto _ : state) {
    // One thread: the first pass on a fresh replica (its attachment index
    // built in the background meanwhile), then warm passes on the same
    // thread.
    auto store = openReplica(e, 0);
    auto misses = [&store] { return double(store->counts().memoMisses); };
    long rss = residentKiB();
    double first1 = 0, first1Cpu = 0, warm1 = 1e300, warmMisses = 0;
    onThreads(1, [&](int) {
      double const cpu = threadCpuNs();
      ThreadWaits const w0 = ThreadWaits::now();
      first1 = decideRange(*store, questions, 0, n, 0, answers, true, ok);
      first1Cpu = threadCpuNs() - cpu;
      ThreadWaits const w1 = ThreadWaits::now();
      state.counters["first_minflt"] = w1.minorFaults - w0.minorFaults;
      state.counters["first_majflt"] = w1.majorFaults - w0.majorFaults;
      state.counters["first_vcsw"] = w1.voluntary - w0.voluntary;
      state.counters["first_ivcsw"] = w1.involuntary - w0.involuntary;
      double before = misses();
      for (int r = 0; r < kRuns; ++r)
        warm1 = std::min(warm1, decideRange(*store, questions, 0, n, (r + 1) * n / 7, answers, false, ok));
      warmMisses = misses() - before;
    });
    state.counters["first_rss_MiB"] = double(residentKiB() - rss) / 1024;
    // Two threads, each over all the questions from its own start: one
    // untimed pass each, then runs the two make at once (wall time).
    // warmOn(k): k threads at once, each over all the questions from its
    // own start; the best of kRuns after one untimed run (wall time of the
    // slowest thread).
    auto warmOn = [&](int k) {
      double best = 1e300;
      for (int r = 0; r <= kRuns; ++r) {
        std::vector<double> took(k);
        onThreads(k, [&](int t) { took[t] = decideRange(*store, questions, 0, n, (k * r + t) * n / 13, answers, false, ok); });
        if (r > 0) best = std::min(best, *std::max_element(took.begin(), took.end()));
      }
      return best;
    };
    long const rssBefore2 = residentKiB();
    double const warm2 = warmOn(2);
    long const rssAfter2 = residentKiB();
    // Eight threads on the machine's cores: the total rate, and what the
    // six more threads added to resident memory (the memo is the store's,
    // not the threads').
    double const warm8 = warmOn(8);
    state.counters["warm_8t_ns"] = warm8 / double(8 * n);
    state.counters["rss_2t_MiB"] = double(rssAfter2 - rssBefore2) / 1024;
    state.counters["rss_8t_more_MiB"] = double(residentKiB() - rssAfter2) / 1024;
    // Threads that have never decided, on objects the others decided.
    double before = misses(), fresh = 1e300;
    for (int r = 0; r < kRuns; ++r)
      onThreads(1, [&](int) { fresh = std::min(fresh, decideRange(*store, questions, 0, freshCount, 0, answers, false, ok)); });
    double freshMisses = misses() - before;
    // Two threads' first pass, each on half of the questions, on another fresh replica.
    auto store2 = openReplica(e, 0);
    std::vector<double> took(2);
    onThreads(2, [&](int t) { took[t] = decideRange(*store2, questions, t * n / 2, (t + 1) * n / 2, 0, answers, false, ok); });
    double first2 = std::max(took[0], took[1]);
    auto best = [](auto run) {
      double b = 1e300;
      for (int i = 0; i < kRuns; ++i) b = std::min(b, run());
      return b;
    };
    state.counters["first_1t_ns"] = first1 / double(n);
    state.counters["first_1t_cpu_ns"] = first1Cpu / double(n);
    state.counters["first_2t_ns"] = first2 / double(n);
    state.counters["warm_1t_ns"] = warm1 / double(n);
    state.counters["warm_2t_ns"] = warm2 / double(2 * n);
    state.counters["warm_1t_misses"] = warmMisses;
    state.counters["fresh_thread_ns"] = fresh / double(freshCount);
    state.counters["fresh_misses"] = freshMisses;
    state.counters["control_1t_ns"] = best([] { return controlLoop(1); });
    state.counters["control_2t_ns"] = best([] { return controlLoop(2); });
    state.counters["memory_access_ns"] = memoryAccessNs();
    state.counters["questions"] = double(n);
  }
  if (!ok) state.SkipWithError("an answer differed between passes, or a decision failed");
}

void estates(benchmark::internal::Benchmark* b) {
  for (long objects : {10000L, 100000L, 1000000L})
    for (long naming : {0L, 1L}) b->Args({objects, naming, 0});
  b->Args({100000, 1, 1});
  b->Args({1000000, 0, 1});
}

BENCHMARK(BM_ControlLoop)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_DecideWarm)->Apply(estates)->ArgNames({"objects", "naming", "cache"})->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_ControlLoop)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_AccessWindow)->Arg(0)->Arg(1)->ArgNames({"zone"});
BENCHMARK(BM_DecideConditions)->DenseRange(0, 2)->ArgNames({"variant"})->Repetitions(3)->UseRealTime();
// Every estate as a replacing replica; the two ends of the unique ones also as
// a first; two with the cache on.
void firstDecisions(benchmark::internal::Benchmark* b) {
  for (long objects : {10000L, 100000L, 1000000L})
    for (long naming : {0L, 1L}) b->Args({objects, naming, 0, 1});
  b->Args({10000, 0, 0, 0});
  b->Args({1000000, 0, 0, 0});
  b->Args({100000, 1, 1, 1});
  b->Args({1000000, 0, 1, 1});
}
BENCHMARK(BM_FirstDecision)
    ->Apply(firstDecisions)
    ->ArgNames({"objects", "naming", "cache", "replacing"})
    ->Iterations(firstDecisionIterations())
    ->UseManualTime();
BENCHMARK(BM_OpenReplica)->Args({10000, 0, 0})->Args({1000000, 0, 0})->ArgNames({"objects", "naming", "cache"})
    ->Iterations(50)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Preparation)->Arg(1000000)->ArgNames({"objects"})->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Import)->Arg(100000)->ArgNames({"objects"})->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColdDecisions)->Args({100000, 1, 0})->Args({1000000, 0, 0})->ArgNames({"objects", "naming", "cache"})
    ->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WorkingSet)->Arg(10000)->Arg(1000000)->ArgNames({"objects"})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryAccess)->Iterations(1);

}  // namespace
