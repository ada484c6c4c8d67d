// gxpolicy bench: how fast a database answers decisions. Random decisions
// (daCachedStore::decide) over the protected objects of the database, by
// random callers, for a given time on a given number of threads, reporting
// decisions per second and the latency percentiles.
//
//   gxpolicy bench DB [--seconds S] [--threads T] [--actions A]... [--warmup S] [--json]
//
// The objects are those with a record or an attached policy. The callers
// are the registry's users with their groups when a registry is found;
// otherwise the users named by the ACL entries, each given a few of the
// groups the entries name, one new user per group named, a user in no group
// and an unauthenticated caller. Each thread keeps one daDecision and picks
// object, caller and action string at random; the first --warmup seconds
// are not counted. Every decision is timed on its own, so each latency
// includes two clock reads.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/GxAcl.h"
#include "GxCore/acleval.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/file_registry.h"
#include "outside/hxsvc.h"
#include "tools/common/caller.h"
#include "tools/common/decide.h"
#include "tools/common/policy_document.h"
#include "tools/common/status_text.h"
#include "tools/gxpolicy/gxpolicy.h"

namespace gxpolicy {
namespace {

constexpr std::size_t kMaxAcls = 20000;    // ACLs read for their subjects
constexpr std::size_t kMaxCallers = 20000;

struct BenchArgs {
  std::string db;
  std::string domain = "Default";
  std::string registry;
  double seconds = 3;
  double warmup = 0.5;
  unsigned threads = 1;
  std::vector<std::string> actions{"T", "r", "Tr", "m", "Trl"};
  std::uint64_t seed = 1;
  bool json = false;
};

[[noreturn]] void error(Problem const& p) {
  std::fprintf(stderr, "gxpolicy: %s\n", describe(p).c_str());
  throw CLI::RuntimeError(kExitError);
}

// Latencies in nanoseconds: exact below 64 ns, then 32 buckets per power
// of two (each at most 3% wide). Merged after the run; not synchronised.
class LatencyHistogram {
 public:
  void add(std::uint64_t ns) {
    ++counts_[index(ns)];
    max_ = std::max(max_, ns);
  }
  void merge(LatencyHistogram const& o) {
    for (std::size_t i = 0; i < counts_.size(); ++i) counts_[i] += o.counts_[i];
    max_ = std::max(max_, o.max_);
  }
  // The latency below which a fraction q of the samples lie (the middle of
  // its bucket); 0 with no samples.
  std::uint64_t quantile(double q) const {
    std::uint64_t total = 0;
    for (auto c : counts_) total += c;
    if (total == 0) return 0;
    auto const rank = static_cast<std::uint64_t>(q * double(total - 1));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < counts_.size(); ++i) {
      seen += counts_[i];
      if (seen > rank) return std::min(middle(i), max_);
    }
    return max_;
  }
  std::uint64_t max() const { return max_; }

 private:
  static constexpr int kExact = 64, kSub = 32, kTopBit = 63;
  static std::size_t index(std::uint64_t ns) {
    if (ns < kExact) return ns;
    int const e = kTopBit - __builtin_clzll(ns);  // 6 or more
    return kExact + std::size_t(e - 6) * kSub + ((ns >> (e - 5)) & (kSub - 1));
  }
  static std::uint64_t middle(std::size_t i) {
    if (i < std::size_t(kExact)) return i;
    std::size_t const k = i - kExact;
    int const e = 6 + int(k / kSub);
    std::uint64_t const width = std::uint64_t(1) << (e - 5);
    return (std::uint64_t(1) << e) + (k % kSub) * width + width / 2;
  }
  std::array<std::uint64_t, kExact + (kTopBit - 5) * kSub> counts_{};
  std::uint64_t max_ = 0;
};

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The protected objects; a listing that fails ends the command.
std::vector<std::string> objectsOf(daCachedStore& store) {
  std::set<std::string> paths;
  if (unsigned long st = gxpolicy::objectPaths(store, paths); st != 0)
    error({"cannot list the protected objects", st, "check the database"});
  return {paths.begin(), paths.end()};
}

// keysUnder for the benchmark: a listing that fails ends the command.
std::vector<std::string> keysUnder(daCachedStore& store, char const* base) {
  std::vector<std::string> out;
  if (unsigned long st = gxpolicy::keysUnder(store, base, out); st != 0)
    error({std::string("cannot list ") + base, st, "check the database"});
  return out;
}

struct UuidLess {
  bool operator()(hx_uuid_t const& a, hx_uuid_t const& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};

// Callers from the registry's users, else from the subjects of the ACLs,
// and an unauthenticated one.
std::vector<gxpolicy::CallerAttributes> callersOf(daCachedStore& store, gxreg::Registry* registry, std::uint64_t seed,
                                                  std::string& source) {
  std::vector<gxpolicy::CallerAttributes> callers;
  auto* file = dynamic_cast<gxreg::FileRegistry*>(registry);
  if (file != nullptr && !file->users().empty()) {
    for (auto const& u : file->users()) {
      if (callers.size() >= kMaxCallers) break;
      std::vector<hx_uuid_t> groups;
      if (file->userGroups(u.uuid, groups) != 0) groups.clear();
      if (groups.size() <= gxpolicy::CallerAttributes::kMaxGroups) callers.emplace_back(u.uuid, groups);
    }
    source = "the registry's users";
  } else {
    std::set<hx_uuid_t, UuidLess> users, groupSet;
    std::vector<std::string> acls = keysUnder(store, daAclName::aclbasename_);
    std::size_t read = 0;
    for (std::string const& suffix : acls) {
      if (suffix.size() < 2 || read++ >= kMaxAcls) continue;
      Handle<daStoreObject> h;
      unsigned long st = 0;
      store.getObject(daAclName(suffix.substr(1).c_str()), h, st);
      auto const* acl = st == 0 ? dynamic_cast<GxACL const*>(h.get()) : nullptr;
      if (acl == nullptr) continue;
      for (unsigned long i = 0; i < acl->numEntries(); ++i) {
        acl_entry_s_t const& e = acl->entry(i);
        if (e.entry_type == acl_e_user) users.insert(e.id);
        if (e.entry_type == acl_e_group) groupSet.insert(e.id);
      }
    }
    std::vector<hx_uuid_t> const groups(groupSet.begin(), groupSet.end());
    std::uint64_t state = seed;
    auto someGroups = [&] {
      std::vector<hx_uuid_t> some;
      if (!groups.empty())
        for (std::uint64_t n = splitmix(state) % 4; n > 0; --n) some.push_back(groups[splitmix(state) % groups.size()]);
      return some;
    };
    auto someoneNew = [] {  // a user the ACLs do not name
      hx_uuid_t u{};
      unsigned long st = 0;
      hx_uuid_create(u, st);
      return u;
    };
    for (auto const& u : users) {
      if (callers.size() >= kMaxCallers) break;
      callers.emplace_back(u, someGroups());
    }
    for (auto const& g : groups) {  // in one group
      if (callers.size() >= kMaxCallers) break;
      callers.emplace_back(someoneNew(), std::vector<hx_uuid_t>{g});
    }
    callers.emplace_back(someoneNew(), std::vector<hx_uuid_t>{});  // in no group
    source = "the subjects of the ACL entries";
  }
  callers.emplace_back();  // unauthenticated
  return callers;
}

struct ThreadResult {
  LatencyHistogram latency;
  std::uint64_t decisions = 0, granted = 0, errors = 0;
  unsigned long firstError = 0;
};

void run(BenchArgs const& a) {
  if (!(a.seconds > 0 && a.seconds <= 86400)) error({"--seconds must be above 0 and at most 86400", 0, "e.g. --seconds 5"});
  if (!(a.warmup >= 0 && a.warmup <= 3600)) error({"--warmup must be from 0 to 3600 seconds", 0, "e.g. --warmup 1"});
  if (a.threads < 1 || a.threads > 256) error({"--threads must be from 1 to 256", 0, "e.g. --threads 2"});
  if (a.actions.empty()) error({"no action strings", 0, "give --actions, e.g. --actions Tr"});
  std::unique_ptr<gxreg::Registry> registry;
  daCachedStore store(a.domain.c_str(), a.db.c_str(), 1, 0);
  try {
    registry = openRegistry(a.db, a.registry);
    openOrFail(store, a.db, 1);
  } catch (CLI::RuntimeError const&) {
    throw CLI::RuntimeError(kExitError);
  }
  for (std::string const& text : a.actions) {
    GxACLPermset p;
    unsigned long st = 0;
    try {
      store.mapAction(text.c_str(), p, st);
    } catch (...) {
      st = gx_s_no_action_group;
    }
    if (st != 0)
      error({"bad action string \"" + text + "\"", st, "use the letters that \"gxpolicy actions DB\" lists, e.g. Tr"});
  }
  std::vector<std::string> const objects = objectsOf(store);
  if (objects.empty())
    error({"the database holds no protected objects", 0, "import a policy or generate an estate first"});
  std::string source;
  std::vector<gxpolicy::CallerAttributes> const callers = callersOf(store, registry.get(), a.seed, source);

  using Clock = std::chrono::steady_clock;
  std::vector<ThreadResult> results(a.threads);
  std::atomic<bool> go{false};
  auto const warm = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(a.warmup));
  auto const length = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(a.seconds));
  Clock::time_point measureFrom, measureTo;
  auto work = [&](unsigned t) {
    ThreadResult& r = results[t];
    std::uint64_t state = a.seed * 1000003 + t;
    daDecision d;
    while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
    for (bool counting : {false, true}) {
      Clock::time_point const until = counting ? measureTo : measureFrom;
      for (Clock::time_point now = Clock::now(); now < until;) {
        std::uint64_t const pick = splitmix(state);
        std::string const& object = objects[pick % objects.size()];
        gxpolicy::CallerAttributes const& caller = callers[(pick >> 20) % callers.size()];
        std::string const& actions = a.actions[(pick >> 44) % a.actions.size()];
        unsigned long st = 0;
        Clock::time_point const start = now;
        store.decide(object.c_str(), caller.pa(), actions.c_str(), nullptr, d, st);
        now = Clock::now();
        if (!counting) continue;
        r.latency.add(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count()));
        ++r.decisions;
        if (st != 0) {
          if (r.errors++ == 0) r.firstError = st;
        } else if (d.granted()) {
          ++r.granted;
        }
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < a.threads; ++t) threads.emplace_back(work, t);
  measureFrom = Clock::now() + warm;
  measureTo = measureFrom + length;
  go.store(true, std::memory_order_release);
  for (auto& th : threads) th.join();
  double const elapsed = std::chrono::duration<double>(std::max(Clock::now(), measureTo) - measureFrom).count();

  ThreadResult total;
  for (ThreadResult const& r : results) {
    total.latency.merge(r.latency);
    total.decisions += r.decisions;
    total.granted += r.granted;
    if (r.errors != 0 && total.errors == 0) total.firstError = r.firstError;
    total.errors += r.errors;
  }
  double const perSecond = double(total.decisions) / a.seconds;
  double const grantedShare = total.decisions ? 100.0 * double(total.granted) / double(total.decisions) : 0;
  auto const p50 = total.latency.quantile(0.5), p99 = total.latency.quantile(0.99),
             p999 = total.latency.quantile(0.999);
  if (a.json) {
    nlohmann::ordered_json j = {{"objects", objects.size()},
                        {"callers", callers.size()},
                        {"callers_from", source},
                        {"actions", a.actions},
                        {"threads", a.threads},
                        {"seconds", a.seconds},
                        {"decisions", total.decisions},
                        {"decisions_per_second", perSecond},
                        {"granted_percent", grantedShare},
                        {"errors", total.errors},
                        {"latency_ns", {{"p50", p50}, {"p99", p99}, {"p999", p999}, {"max", total.latency.max()}}}};
    std::printf("%s\n", j.dump(2).c_str());
  } else {
    auto time = [](std::uint64_t ns) {
      char text[32];
      if (ns < 10000) std::snprintf(text, sizeof text, "%llu ns", static_cast<unsigned long long>(ns));
      else if (ns < 1000000) std::snprintf(text, sizeof text, "%.1f us", double(ns) / 1e3);
      else std::snprintf(text, sizeof text, "%.1f ms", double(ns) / 1e6);
      return std::string(text);
    };
    std::printf("bench: %zu objects, %zu callers (from %s, and an unauthenticated one), %zu action strings, "
                "%u thread%s, %.1f s after %.1f s of warm-up\n",
                objects.size(), callers.size(), source.c_str(), a.actions.size(), a.threads, a.threads == 1 ? "" : "s",
                a.seconds, a.warmup);
    std::printf("decisions: %llu, %.0f per second (%.0f per thread), %.1f%% granted\n",
                static_cast<unsigned long long>(total.decisions), perSecond, perSecond / a.threads, grantedShare);
    std::printf("latency: p50 %s, p99 %s, p99.9 %s, max %s (each includes two clock reads)\n", time(p50).c_str(),
                time(p99).c_str(), time(p999).c_str(), time(total.latency.max()).c_str());
    if (elapsed > a.seconds * 1.05)
      std::printf("note: the threads ran %.2f s instead of %.2f s (a slow decision at the end)\n", elapsed, a.seconds);
  }
  std::fflush(stdout);
  if (total.errors != 0) {
    std::fprintf(stderr, "gxpolicy: %llu decisions failed, the first with %s; check the database\n",
                 static_cast<unsigned long long>(total.errors), statusText(total.firstError).c_str());
    throw CLI::RuntimeError(kExitError);
  }
}

}  // namespace

void registerBenchCommands(CLI::App& app) {
  auto a = std::make_shared<BenchArgs>();
  auto* sub = app.add_subcommand("bench", "measure random decisions on a database: decisions per second and latency");
  addDatabaseOptions(sub, a->db, a->domain);
  sub->add_option("--seconds", a->seconds, "measured time (default 3)");
  sub->add_option("--warmup", a->warmup, "time before measuring, not counted (default 0.5)");
  sub->add_option("--threads", a->threads, "deciding threads (default 1)");
  sub->add_option("--actions", a->actions, "action strings to ask for, picked at random (default T r Tr m Trl)");
  sub->add_option("--seed", a->seed, "seed of the random choices (default 1)");
  sub->add_option("--registry", a->registry, "user registry file (default: DB.registry.json when it exists)");
  sub->add_flag("--json", a->json, "print JSON");
  sub->footer(
      "Decides on random objects of DB (those with a record or an attached policy) for random callers: the\n"
      "registry's users with their groups, else the users and groups the ACL entries name, and an\n"
      "unauthenticated caller. Exit status: 0, or 2 when the database cannot be used or a decision fails.\n"
      "Example:\n"
      "  gxpolicy generate estate.db --objects 100000 && gxpolicy bench estate.db --seconds 5 --threads 2\n");
  sub->callback([a] { run(*a); });
}

}  // namespace gxpolicy
