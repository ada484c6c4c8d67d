// What gxpolicyd counts, and its /metrics page in the Prometheus text
// format: requests by handler and status code, decisions by result, the
// time a decision request takes inside the service, the audit trail's
// records (when one is kept), and (read when the page is made) the
// replica's state and the store's cache and memo counts.
//
// Counters are relaxed atomics: any thread may count, a reading taken while
// requests are served is a consistent-enough snapshot for monitoring.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "GxCore/db/daDecision.h"

namespace gxpolicyd {

// The handlers requests are counted under.
enum class Handler : int { check, batch, auth, review, authzen, healthz, readyz, metrics, other, count };
char const* handlerText(Handler h);

// The decisions counted: a check that answered, by its answer, and one
// that could not be answered (bad input or an unreadable policy).
enum class Outcome : int { granted, denied, error, count };

// Values read from elsewhere when the page is made.
struct Gauges {
  bool replicaOpen = false;
  unsigned long sequence = 0;
  double ageSeconds = -1;  // since the replica was last known current; < 0: unknown
  std::uint64_t rebuilds = 0, rebuildFailures = 0;
  std::uint64_t cacheHits = 0, cacheMisses = 0, memoHits = 0, memoMisses = 0;
  std::uint64_t policyReads = 0;  // policies decisions read from the file (daCachedStore::Counts)
  std::uint64_t callerHits = 0, callerMisses = 0;  // the service's caller cache
  unsigned inFlight = 0;
  std::uint64_t connectionsRefused = 0;  // closed at accept: the connection cap was reached
  // The replica's doorbell (on the page only when it has one).
  bool doorbell = false, doorbellUp = false;
  std::uint64_t doorbellRings = 0, doorbellRequests = 0;
};

// What the audit trail counts (tools/gxpolicyd/audit.h); on the page only
// when a trail is kept (enabled).
struct AuditCounters {
  std::atomic<bool> enabled{false};
  std::atomic<std::uint64_t> written{0};   // records handed to the file or syslog
  std::atomic<std::uint64_t> dropped{0};   // records not queued: the queue was full (--audit-full drop)
  std::atomic<std::uint64_t> lost{0};      // records queued but not written: the file could not be written
  std::atomic<std::uint64_t> batches{0};   // writes (one per batch of records)
  std::atomic<std::uint64_t> rotations{0}; // files rotated
  std::atomic<std::uint64_t> queued{0};    // records waiting to be written now
};

class Metrics {
 public:
  // Latency buckets (upper bounds, seconds) of the decision histogram.
  static constexpr std::array<double, 12> kBuckets{0.00001, 0.000025, 0.00005, 0.0001, 0.00025, 0.0005,
                                                   0.001,   0.0025,   0.005,   0.01,   0.05,    0.25};

  Metrics() = default;
  Metrics(Metrics const&) = delete;
  Metrics& operator=(Metrics const&) = delete;

  // Counts a request answered with code (codes the service does not send
  // are counted as "other").
  void request(Handler h, int code);
  void decision(Outcome o) { decisions_[static_cast<int>(o)].fetch_add(1, std::memory_order_relaxed); }
  void latency(std::uint64_t nanoseconds);
  // Counts an answered decision by its cause ("granted" for a grant) and,
  // when the POP's warning mode waived a condition, by the cause it would
  // have had.
  void cause(daDecision const& d) {
    causes_[slot(d.cause())].fetch_add(1, std::memory_order_relaxed);
    if (d.warning()) warnings_[slot(d.wouldCause())].fetch_add(1, std::memory_order_relaxed);
  }
  std::uint64_t causes(daDecisionCause c) const { return causes_[slot(c)].load(std::memory_order_relaxed); }
  std::uint64_t warnings(daDecisionCause c) const { return warnings_[slot(c)].load(std::memory_order_relaxed); }

  std::uint64_t requests(Handler h, int code) const;
  std::uint64_t decisions(Outcome o) const { return decisions_[static_cast<int>(o)].load(std::memory_order_relaxed); }

  // The audit trail's counters, counted by the trail itself.
  AuditCounters& audit() { return audit_; }
  AuditCounters const& audit() const { return audit_; }

  // The whole page.
  std::string render(Gauges const& g) const;

 private:
  static constexpr std::array<int, 9> kCodes{200, 400, 401, 403, 404, 405, 413, 500, 503};
  static constexpr int kCodeSlots = static_cast<int>(kCodes.size()) + 1;  // the codes above, then "other"
  static int codeSlot(int code);
  static constexpr int kCauses = static_cast<int>(daDecisionCause::ruleNotCompiled) + 1;
  static int slot(daDecisionCause c) { return static_cast<int>(c) < kCauses ? static_cast<int>(c) : 0; }

  std::atomic<std::uint64_t> requests_[static_cast<int>(Handler::count)][kCodeSlots]{};
  std::atomic<std::uint64_t> decisions_[static_cast<int>(Outcome::count)]{};
  std::atomic<std::uint64_t> causes_[kCauses]{};
  std::atomic<std::uint64_t> warnings_[kCauses]{};
  std::atomic<std::uint64_t> buckets_[kBuckets.size() + 1]{};  // the last is +Inf
  std::atomic<std::uint64_t> latencySumNs_{0};
  AuditCounters audit_;
};

}  // namespace gxpolicyd
