// The audit trail of decisions. A POP's audit level selects which decisions
// at the objects it governs become audit records; objects without a POP in
// force use the store's default level. The library hands each selected
// decision to the sink the host set on the store (daCachedStore::
// setAuditSink), on the deciding thread, before decide returns.
//
// Caveats:
// - A sink is called concurrently by every thread that decides on the
//   store: it must be thread-safe.
// - A record and everything it points to are valid only for the call: a
//   sink that keeps a record copies what it needs.
// - A sink may block (a full queue, a strict sink that waits for its write);
//   the decision waits with it. It must not call back into the store.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "GxCore/db/daDecisionContext.h"

class daDecision;

// Bits of an audit level: which decisions are recorded.
enum daAuditBits : std::uint32_t {
  daAuditPermit = 1u << 0,  // granted decisions (warning-mode grants included)
  daAuditDeny = 1u << 1,    // denied decisions
  daAuditError = 1u << 2,   // decisions that failed with a status
  daAuditAdmin = 1u << 3,   // changes to the policy (recorded by the administration tools)
  daAuditWarning = 1u << 4, // warning-mode grants that would have been denials (also with daAuditPermit)
};
// The level for objects without a POP in force, unless the host sets
// another (daCachedStore::setDefaultAuditLevel).
constexpr std::uint32_t daDefaultAuditLevel = daAuditDeny | daAuditError | daAuditWarning;

// One decision, as handed to the sink.
struct daAuditRecord {
  std::int64_t timeSeconds = 0;  // the request's time (seconds since 1970, UTC)
  std::string_view userUuid, userName;  // "" when unauthenticated / unknown
  std::vector<std::string_view> const* groups = nullptr;  // group uuids; null: none
  std::string_view address;  // "" when not given
  std::string_view object, actions;
  int authLevel = 0;
  daProtection protection = daProtection::none;
  unsigned long status = 0;          // nonzero: the decision failed (decision then says nothing)
  daDecision const* decision = nullptr;  // the answer (granted, cause, warning, policy in force); null on failure
  std::uint32_t sequence = 0;        // the store's policy sequence number
};

// Where audit records go; set by the host.
class daAuditSink {
 public:
  virtual ~daAuditSink() = default;
  // Takes one record. Must not throw; a sink that cannot write counts the
  // loss itself (the decision stands).
  virtual void record(daAuditRecord const& r) noexcept = 0;
};
