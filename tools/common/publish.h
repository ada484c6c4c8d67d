// Publishing a master policy database for replicas on other machines: the
// work behind `gxpolicy publish`, shared with every program that publishes
// (the administration service publishes after each commit). The snapshot,
// its deltas, the registry and the manifest are written by
// daPublishSnapshot (GxCore/remote/daSnapshot.h describes the layout); this
// layer turns its statuses into the tools' Problem and its result into the
// lines a person reads.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "GxCore/remote/daSnapshot.h"
#include "tools/common/problem.h"

namespace gxpolicy {

// What to publish and where.
struct PublishRequest {
  std::string master;            // the master policy database file
  std::string destination;       // the folder served to replicas (created when missing)
  std::string domain = "Default";  // policy domain (names the inter-process lock)
  daPublishOptions options;      // snapshots kept, deltas listed, full-snapshot cadence
};

// What a publish did.
struct PublishOutcome {
  // True when the master had not changed since the current manifest:
  // nothing was written and result.manifest is the current one.
  bool unchanged = false;
  // The manifest now current (the new one, or the unchanged one) and how
  // many older snapshots were removed.
  daSnapshotPublishResult result;
  // The sequence number now published (result.manifest.sequence).
  unsigned long sequence() const { return result.manifest.sequence; }
};

// Publishes request.master into request.destination (daPublishSnapshot,
// under the advisory lock of the destination: a second publisher to the
// same folder waits; blocks for the copy and compression).
// Returns the outcome, with outcome.unchanged when there was nothing new
// (not a failure). On failure returns nothing and fills problem: message
// "cannot publish <master> into <destination>", status the library's
// (hx_db_s_corrupt, hx_db_s_open_failed, hx_db_s_io_error,
// da_s_snapshot_bad_registry, hx_db_s_bad_argument, ...), hint what to do
// (empty when there is nothing to add); the previous manifest and
// snapshots are then untouched. Throws std::bad_alloc only.
std::optional<PublishOutcome> publishSnapshot(PublishRequest const& request, Problem& problem);

// The lines reporting outcome to a person (no trailing newlines): the
// sequence, the file written (snapshot or delta) with its size and digest,
// the delta and registry that travel with it, the snapshots removed; one
// line "<master>: unchanged since snapshot N; nothing published" when
// nothing was written.
std::vector<std::string> describePublish(PublishRequest const& request, PublishOutcome const& outcome);

}  // namespace gxpolicy
