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

#include "GxCore/remote/daPublishTarget.h"
#include "GxCore/remote/daSnapshot.h"
#include "tools/common/problem.h"

namespace gxpolicy {

// What to publish and where.
struct PublishRequest {
  std::string master;            // the master policy database file
  // The folder served to replicas (created when missing),
  // s3://bucket/prefix (object storage, GxCore/remote/daS3.h) or
  // oci://registry/repository:tag (GxCore/remote/daOci.h; credentials from
  // GXCORE_OCI_USERNAME and GXCORE_OCI_PASSWORD), the last two written
  // through the staging folder below.
  std::string destination;
  std::string domain = "Default";  // policy domain (names the inter-process lock)
  daPublishOptions options;      // snapshots kept, deltas listed, full-snapshot cadence
  // Private key files the manifest is signed with (several while keys are
  // rotated; none: unsigned). Loaded at each publish, added to
  // options.signers.
  std::vector<std::string> signKeyFiles;
  // For an s3:// or oci:// destination: the local folder the publish is written to
  // before it is uploaded ("" = "<master>.publish-<12 hex digits naming the
  // destination>" beside the master; it keeps the delta base and the record
  // of what was uploaded), the server ("" = from the environment, else
  // AWS's), the signing region, and a CA bundle for an https server.
  std::string stage;
  std::string s3Endpoint, s3Region, caFile;
  bool ociPlainHttp = false;  // oci:// over plain http (a registry on loopback)
  // oci://: a file larger than this goes up in parts of this many bytes (a
  // proxy before the registry may limit a request's body); 0: one request.
  std::uint64_t ociPartBytes = daObjectStoreOptions{}.ociChunkBytes;
};

// What a publish did.
struct PublishOutcome {
  // True when the master had not changed since the current manifest:
  // nothing was written and result.manifest is the current one.
  bool unchanged = false;
  // The manifest now current (the new one, or the unchanged one) and how
  // many older snapshots were removed.
  daSnapshotPublishResult result;
  // The ids of the keys the manifest is signed by, ", "-separated ("" unsigned).
  std::string signedBy;
  // For an s3:// destination: what was uploaded and removed.
  daUploadReport upload;
  // The sequence number now published (result.manifest.sequence).
  unsigned long sequence() const { return result.manifest.sequence; }
};

// Publishes request.master into request.destination (daPublishSnapshot,
// under the advisory lock of the destination: a second publisher to the
// same folder waits; blocks for the copy and compression).
// Returns the outcome, with outcome.unchanged when there was nothing new
// (not a failure). With an s3:// or oci:// destination the publish is made in the
// staging folder and then uploaded (daUploadPublished; also when nothing
// changed, so that an upload cut short is completed); an upload failure is
// a failure (status da_s_snapshot_unreachable, da_s_snapshot_http_error,
// da_s_snapshot_tls, da_s_s3_no_credentials, da_s_s3_bad_location,
// da_s_oci_bad_location, da_s_oci_unauthorized), the
// objects already at the target untouched but for new immutable files. A
// signing key that cannot be used fails first, before
// anything is written (problem as loadKeyFiles gives it: da_s_key_exposed,
// da_s_key_bad). On failure returns nothing and fills problem: message
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
// nothing was written; a line naming the signing key ids when signed.
std::vector<std::string> describePublish(PublishRequest const& request, PublishOutcome const& outcome);

// Rings the replicas' doorbell: tells the NATS broker at url
// ("nats://HOST:PORT/SUBJECT", outside/nats_bell.h) that sequence is
// published, waiting at most timeoutMs for the broker to take it. True when
// it did; false with problem set (message "cannot announce sequence N on
// URL", the client's words as hint) when the URL is bad or the broker does
// not answer. A failure costs the replicas only freshness: they still poll.
// Throws std::bad_alloc only.
bool announcePublished(std::string const& url, unsigned long sequence, int timeoutMs, Problem& problem);

}  // namespace gxpolicy
