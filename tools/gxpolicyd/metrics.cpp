#include "tools/gxpolicyd/metrics.h"

#include <cstdio>

namespace gxpolicyd {

char const* handlerText(Handler h) {
  switch (h) {
    case Handler::check: return "check";
    case Handler::batch: return "batch";
    case Handler::auth: return "auth";
    case Handler::review: return "review";
    case Handler::authzen: return "authzen";
    case Handler::healthz: return "healthz";
    case Handler::readyz: return "readyz";
    case Handler::metrics: return "metrics";
    default: return "other";
  }
}

int Metrics::codeSlot(int code) {
  for (int i = 0; i < kCodeSlots - 1; ++i)
    if (kCodes[i] == code) return i;
  return kCodeSlots - 1;
}

void Metrics::request(Handler h, int code) {
  requests_[static_cast<int>(h)][codeSlot(code)].fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t Metrics::requests(Handler h, int code) const {
  return requests_[static_cast<int>(h)][codeSlot(code)].load(std::memory_order_relaxed);
}

void Metrics::latency(std::uint64_t ns) {
  double seconds = static_cast<double>(ns) / 1e9;
  std::size_t i = 0;
  while (i < kBuckets.size() && seconds > kBuckets[i]) ++i;
  buckets_[i].fetch_add(1, std::memory_order_relaxed);
  latencySumNs_.fetch_add(ns, std::memory_order_relaxed);
}

namespace {

void line(std::string& out, char const* fmt, auto... args) {
  char buf[256];
  int n = std::snprintf(buf, sizeof buf, fmt, args...);
  if (n > 0) out.append(buf, static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n) : sizeof buf - 1);
}

void header(std::string& out, char const* name, char const* type, char const* help) {
  line(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

using u64 = unsigned long long;

// A counter with a hit and a miss sample.
void hitsAndMisses(std::string& out, char const* name, char const* help, std::uint64_t hits, std::uint64_t misses) {
  header(out, name, "counter", help);
  line(out, "%s{result=\"hit\"} %llu\n", name, static_cast<u64>(hits));
  line(out, "%s{result=\"miss\"} %llu\n", name, static_cast<u64>(misses));
}

void auditSection(std::string& out, AuditCounters const& a) {
  if (!a.enabled.load(std::memory_order_relaxed)) return;
  auto get = [](std::atomic<std::uint64_t> const& n) { return static_cast<u64>(n.load(std::memory_order_relaxed)); };
  header(out, "gxpolicyd_audit_records_total", "counter",
         "Audit records, by fate: written, dropped (queue full, --audit-full drop), lost (the write failed).");
  line(out, "gxpolicyd_audit_records_total{result=\"written\"} %llu\n", get(a.written));
  line(out, "gxpolicyd_audit_records_total{result=\"dropped\"} %llu\n", get(a.dropped));
  line(out, "gxpolicyd_audit_records_total{result=\"lost\"} %llu\n", get(a.lost));
  header(out, "gxpolicyd_audit_writes_total", "counter", "Writes of the audit trail (one per batch of records).");
  line(out, "gxpolicyd_audit_writes_total %llu\n", get(a.batches));
  header(out, "gxpolicyd_audit_rotations_total", "counter", "Audit files rotated.");
  line(out, "gxpolicyd_audit_rotations_total %llu\n", get(a.rotations));
  header(out, "gxpolicyd_audit_queue_records", "gauge", "Audit records waiting to be written.");
  line(out, "gxpolicyd_audit_queue_records %llu\n", get(a.queued));
}

}  // namespace

std::string Metrics::render(Gauges const& g) const {
  std::string out;
  out.reserve(4096);
  header(out, "gxpolicyd_requests_total", "counter", "HTTP requests answered, by handler and status code.");
  for (int h = 0; h < static_cast<int>(Handler::count); ++h)
    for (int c = 0; c < kCodeSlots; ++c) {
      u64 n = requests_[h][c].load(std::memory_order_relaxed);
      if (n == 0) continue;
      char code[8];
      if (c == kCodeSlots - 1) std::snprintf(code, sizeof code, "other");
      else std::snprintf(code, sizeof code, "%d", kCodes[c]);
      line(out, "gxpolicyd_requests_total{handler=\"%s\",code=\"%s\"} %llu\n", handlerText(static_cast<Handler>(h)),
           code, n);
    }
  header(out, "gxpolicyd_decisions_total", "counter", "Decisions, by result (error: the question could not be answered).");
  static char const* const results[] = {"granted", "denied", "error"};
  for (int o = 0; o < static_cast<int>(Outcome::count); ++o)
    line(out, "gxpolicyd_decisions_total{result=\"%s\"} %llu\n", results[o],
         static_cast<u64>(decisions_[o].load(std::memory_order_relaxed)));
  header(out, "gxpolicyd_decision_causes_total", "counter",
         "Answered decisions by cause: granted, or the condition that denied (acl-denied, outside-window, ...).");
  for (int c = 0; c < kCauses; ++c)
    line(out, "gxpolicyd_decision_causes_total{cause=\"%s\"} %llu\n", daDecisionCauseText(static_cast<daDecisionCause>(c)),
         static_cast<u64>(causes_[c].load(std::memory_order_relaxed)));
  header(out, "gxpolicyd_decision_warnings_total", "counter",
         "Decisions granted in a POP's warning mode, by the cause they would have had.");
  // The ACL's causes are never waived.
  for (int c = static_cast<int>(daDecisionCause::outsideWindow); c < kCauses; ++c)
    line(out, "gxpolicyd_decision_warnings_total{would_cause=\"%s\"} %llu\n",
         daDecisionCauseText(static_cast<daDecisionCause>(c)), static_cast<u64>(warnings_[c].load(std::memory_order_relaxed)));

  header(out, "gxpolicyd_decision_duration_seconds", "histogram",
         "Time a decision request takes inside the service, from parsed request to answer.");
  u64 cumulative = 0;
  for (std::size_t i = 0; i <= kBuckets.size(); ++i) {
    cumulative += buckets_[i].load(std::memory_order_relaxed);
    if (i < kBuckets.size())
      line(out, "gxpolicyd_decision_duration_seconds_bucket{le=\"%g\"} %llu\n", kBuckets[i], cumulative);
    else
      line(out, "gxpolicyd_decision_duration_seconds_bucket{le=\"+Inf\"} %llu\n", cumulative);
  }
  line(out, "gxpolicyd_decision_duration_seconds_sum %.9f\n",
       static_cast<double>(latencySumNs_.load(std::memory_order_relaxed)) / 1e9);
  line(out, "gxpolicyd_decision_duration_seconds_count %llu\n", cumulative);

  header(out, "gxpolicyd_replica_open", "gauge", "1 when the replica is open and answering.");
  line(out, "gxpolicyd_replica_open %d\n", g.replicaOpen ? 1 : 0);
  header(out, "gxpolicyd_replica_sequence", "gauge", "Sequence number of the replica's database.");
  line(out, "gxpolicyd_replica_sequence %lu\n", g.sequence);
  header(out, "gxpolicyd_replica_age_seconds", "gauge",
         "Seconds since the replica was last known to match its master (since it opened without a master).");
  line(out, "gxpolicyd_replica_age_seconds %.3f\n", g.ageSeconds);
  header(out, "gxpolicyd_replica_rebuilds_total", "counter", "Rebuilds of the replica from its master, by result.");
  line(out, "gxpolicyd_replica_rebuilds_total{result=\"ok\"} %llu\n", static_cast<u64>(g.rebuilds));
  line(out, "gxpolicyd_replica_rebuilds_total{result=\"failed\"} %llu\n", static_cast<u64>(g.rebuildFailures));
  hitsAndMisses(out, "gxpolicyd_cache_lookups_total", "Policy cache lookups, by result.", g.cacheHits, g.cacheMisses);
  hitsAndMisses(out, "gxpolicyd_memo_lookups_total", "Decision memo lookups, by result.", g.memoHits, g.memoMisses);
  header(out, "gxpolicyd_policy_reads_total", "counter",
         "Policies decisions read from the replica's file: neither preloaded with its index nor decoded before.");
  line(out, "gxpolicyd_policy_reads_total %llu\n", static_cast<u64>(g.policyReads));
  hitsAndMisses(out, "gxpolicyd_caller_lookups_total", "Callers resolved through the registry, by cache result.",
                g.callerHits, g.callerMisses);
  header(out, "gxpolicyd_requests_in_flight", "gauge", "Requests being answered.");
  line(out, "gxpolicyd_requests_in_flight %u\n", g.inFlight);
  header(out, "gxpolicyd_connections_refused_total", "counter",
         "Connections closed as they were accepted: the connection cap was reached.");
  line(out, "gxpolicyd_connections_refused_total %llu\n", static_cast<u64>(g.connectionsRefused));
  if (g.doorbell) {
    header(out, "gxpolicyd_doorbell_up", "gauge",
           "1 while the doorbell hears its source: its last long-poll was answered, or it is connected to the broker.");
    line(out, "gxpolicyd_doorbell_up %d\n", g.doorbellUp ? 1 : 0);
    header(out, "gxpolicyd_doorbell_rings_total", "counter",
           "Rings heard (each one for a number the replica lacks makes it ask its master).");
    line(out, "gxpolicyd_doorbell_rings_total %llu\n", static_cast<u64>(g.doorbellRings));
    header(out, "gxpolicyd_doorbell_requests_total", "counter",
           "Long-poll requests made to the master, or messages received from the broker.");
    line(out, "gxpolicyd_doorbell_requests_total %llu\n", static_cast<u64>(g.doorbellRequests));
  }
  auditSection(out, audit_);
  return out;
}

}  // namespace gxpolicyd
