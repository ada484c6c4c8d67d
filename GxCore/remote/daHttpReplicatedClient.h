// daHttpReplicatedClient: a replication client whose master is published
// as snapshots (daSnapshot.h) under a base URL served by any plain web
// server or CDN over http:// or https://, in S3-compatible object storage
// (s3://, daS3.h) or as an artifact in an OCI registry (oci://, daOci.h).
// The three differ only in how a published file is addressed and how a
// request is authenticated (urlOf, getOnce); everything below holds for
// each. The master host runs "gxpolicy publish"; nothing else runs on the
// server.
//
// It gives the replica the same guarantee as daFileReplicatedClient: the
// file it hands over is complete, matches the manifest (sizes and both
// SHA-256 digests), is structurally sound (hx_db_verify_file) and decodes
// (daFileReplicatedClient::verifyCopy). Anything less is removed and
// reported with a status, so a bad or partial download is never swapped in
// and the replica keeps serving its previous copy.
//
// A replica a few changes behind need not take a whole snapshot:
// daCatchUpByDeltas (daDelta.h) applies the deltas the manifest lists,
// fetched through fetchPublished; replicateTo is its fallback.
//
// The manifest is fetched with a conditional request (If-None-Match with
// the ETag of the last one); a 304 answer is served from the manifest kept
// in memory. Proxies are taken from the environment (http_proxy,
// https_proxy, no_proxy) as libcurl does.
//
// Rollbacks are refused: a manifest naming an older sequence number than the
// replica's (or than the newest this client has handed over), a stale CDN
// edge or a replayed answer, gives da_s_replica_rollback unless
// options.allowRollback; a snapshot whose database records another sequence
// number than its manifest is refused always (da_s_snapshot_wrong_sequence).
// An https base URL is never left for plain http, redirects included.
//
// Signed manifests (daSignature.h): with options.trustedKeys the client
// requires a signature. Each manifest fetched (not a 304) must have its
// signature file, and a signature in it by a trusted key must verify over
// the manifest's exact bytes; otherwise the manifest is refused
// (da_s_snapshot_unsigned, da_s_snapshot_unknown_key,
// da_s_snapshot_bad_signature, with lastError() saying why), the manifest
// kept from before stays, and the replica keeps serving what it has. The
// snapshot, deltas and registry are then covered by the manifest's digests.
// Without trusted keys signatures are not looked at.
//
// Time: options.totalTimeoutMs bounds each call (getMasterSeqNum,
// replicateTo, afterReplication) as a whole, retries and their waits
// included; the manifest request is bounded by the shorter
// manifestTimeoutMs. setDeadline bounds every call from then on by a point
// in time as well (a tool's whole run). cancel() ends a request in flight
// within about a second (libcurl's progress callback) and every later one at
// once, until resume().
//
// The user registry: when the manifest names one, afterReplication (called
// by the replica once its database is current) fetches it (at most
// daMaxRegistryBytes), checks its size and SHA-256 against the manifest and
// that it is a valid registry, and installs it beside the replica
// (daRegistryPathOf, daInstallRegistry). It is fetched only when the file
// beside the replica differs from the manifest's digest, so a change of the
// registry alone (the master's sequence number unchanged) arrives too. A
// registry that fails a check is refused (da_s_snapshot_bad_registry) and
// the one beside the replica is kept: the registry fails closed on its own,
// the database replicates regardless.
//
// Threads: the client owns one libcurl handle (reused, so connections are
// kept alive between requests) and must be used by one thread at a time,
// as a replica uses its client (from the thread that opens or rebuilds it);
// only cancel() and resume() may be called from any thread at any time.
// It takes no lock of its own; checking a fresh copy opens it as a store of
// options.domain, under that domain's inter-process lock, like any store.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "GxCore/db/daAbstractReplicatedClient.h"
#include "GxCore/remote/daOci.h"
#include "GxCore/remote/daS3.h"
#include "GxCore/remote/daSignature.h"
#include "GxCore/remote/daSnapshot.h"

// How the client talks to the server. The defaults suit a snapshot of a few
// hundred MiB on an ordinary network.
struct daHttpReplicaOptions {
  long connectTimeoutMs = 10000;     // to establish a connection
  long totalTimeoutMs = 600000;      // for one whole call, every request, retry and wait included
  long manifestTimeoutMs = 20000;    // for fetching the manifest, retries included (within the above)
  uint64_t maxSnapshotBytes = uint64_t{4} << 30;  // cap on the compressed file and on the database
  unsigned retries = 2;              // further tries after a failure that may pass (no answer, 5xx, 408, 429)
  long retryBackoffMs = 500;         // wait before the first retry; doubled for each further one
  bool verifyTls = true;             // check the server's certificate and name (https)
  std::string caFile;                // CA bundle to verify against ("" = the system's)
  std::string bearerToken;           // sent as "Authorization: Bearer ..." when not empty
  std::string clientCert;            // PEM client certificate for mutual TLS ("" = none)
  std::string clientKey;             // its PEM private key ("" = in clientCert)
  std::string domain;                // the lock domain used to check a copy ("" = "Default")
  bool allowRollback = false;        // accept a snapshot older than the replica (restoring an older master)
  // For an s3:// base URL (daS3.h): the server ("" = from the environment,
  // else AWS's regional endpoint), the signing region ("" = from the
  // environment, else us-east-1), and the bound on finding credentials
  // through instance metadata.
  std::string s3Endpoint;
  std::string s3Region;
  // For an oci:// base URL (daOci.h): plain http instead of https (a
  // registry on loopback), and the credentials ("" = GXCORE_OCI_USERNAME,
  // GXCORE_OCI_PASSWORD).
  bool ociPlainHttp = false;
  std::string ociUsername, ociPassword;
  long metadataTimeoutMs = 2000;
  // Public keys a manifest must be signed by (one of them); empty: no
  // signature required.
  std::vector<std::shared_ptr<daSigningKey const>> trustedKeys;
};

class daHttpReplicatedClient : public daAbstractReplicatedClient {
 public:
  // baseUrl: the folder the publisher wrote (manifest.json is under it);
  // a trailing slash is optional. http://, https://, or s3://bucket/prefix
  // (objects in S3-compatible storage, fetched path-style from
  // options.s3Endpoint with signed requests and the credentials daS3.h
  // finds; no credentials: da_s_s3_no_credentials), or
  // oci://registry/repository:tag (an artifact in an OCI registry: the
  // image manifest by tag, conditionally, then each file as a blob by its
  // digest; the registry's 401 answered as daOci.h says, refused
  // credentials: da_s_oci_unauthorized; an image manifest of another kind:
  // da_s_snapshot_bad_manifest). The handle is made on
  // first use; another URL is refused then (da_s_snapshot_bad_url).
  daHttpReplicatedClient(std::string baseUrl, daHttpReplicaOptions options = {});
  daHttpReplicatedClient(daHttpReplicatedClient const&) = delete;
  daHttpReplicatedClient& operator=(daHttpReplicatedClient const&) = delete;
  // Releases the libcurl handle.
  ~daHttpReplicatedClient() override;

  // The sequence number of the current snapshot, from the manifest
  // (fetched conditionally; 304 answers from the one kept). status 0;
  // da_s_snapshot_unreachable (also when the time ran out),
  // da_s_snapshot_tls, da_s_snapshot_http_error, da_s_snapshot_bad_manifest,
  // da_s_snapshot_bad_url, da_s_snapshot_insecure_redirect,
  // da_s_snapshot_unsigned, da_s_snapshot_unknown_key,
  // da_s_snapshot_bad_signature (with trusted keys),
  // da_s_snapshot_cancelled (seq is then invalidSeqnum and the kept
  // manifest is not replaced; lastError() says more).
  void getMasterSeqNum(unsigned long& seq, unsigned long& status) override;
  // 0x13279262 when seq is the current snapshot's number;
  // da_s_replica_rollback when it is older than seq (or than the newest
  // snapshot this client handed over) and rollbacks are not allowed.
  // Otherwise downloads the snapshot beside path (path + ".download", mode 0600,
  // O_NOFOLLOW|O_EXCL), checks its size and SHA-256, decompresses it to
  // path (mode 0600, must not exist) checking the database's size and
  // SHA-256, verifies the database as the file client does and checks that
  // it records the manifest's sequence number, then takes the database's
  // content digest (daDelta.h), which must be the manifest's when it names
  // one, and writes it into the file as its digest record, so that later
  // changes can arrive as deltas. A manifest between two full snapshots
  // (daPublishOptions::fullEvery) names an older snapshot: the same checks
  // hold for its number and digest, and the deltas after it are applied to
  // the copy (da_s_snapshot_mismatch when they are missing or wrong). status 0: the database is at
  // path. Any other status (those of getMasterSeqNum,
  // da_s_snapshot_too_large, da_s_snapshot_mismatch,
  // da_s_snapshot_wrong_sequence, da_s_snapshot_bad_compression, hx_db_s_corrupt, hx_db_s_io_error, the
  // copy check's status): nothing is left at path or beside it.
  void replicateTo(unsigned long& seq, char const* path, unsigned long& status) override;
  // Brings the registry beside replicaPath up to date with the manifest
  // last fetched (see above). status 0 (installed, already current, or the
  // manifest names no registry: the file beside the replica is then left
  // as it is); da_s_snapshot_bad_registry (refused, the old file kept); a
  // transfer status; hx_db_s_io_error.
  void afterReplication(char const* replicaPath, unsigned long& status) override;

  // Every call from now on also ends by deadline (a steady-clock time
  // point); time_point::max() (the default) removes the bound. A call made
  // after the deadline fails at once with da_s_snapshot_unreachable.
  // Called by the thread that uses the client, like the calls it bounds.
  void setDeadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }
  // Thread-safe, from any thread (not from a signal handler: it takes a
  // mutex): the request in flight ends within about a
  // second with da_s_snapshot_cancelled, a retry wait ends at once, and
  // every later call fails with da_s_snapshot_cancelled until resume().
  void cancel();
  // Thread-safe: calls work again after a cancel().
  void resume();
  bool cancelled() const { return cancelled_.load(); }
  // The manifest last fetched successfully (empty before the first).
  daSnapshotManifest const& lastManifest() const { return manifest_; }
  bool haveManifest() const { return haveManifest_; }
  // The key id that signed the manifest last fetched ("" when none was required).
  std::string const& manifestSignedBy() const { return signedBy_; }
  // Fetches the published file named relative to the base URL (a file a
  // manifest lists) into body: at most size bytes, which must be exactly
  // size bytes with that SHA-256. status 0; da_s_snapshot_mismatch (more or
  // fewer bytes, another digest); the transfer statuses of getMasterSeqNum.
  // Bounded like any call (totalTimeoutMs, the deadline, cancel).
  void fetchPublished(std::string const& relative, uint64_t size, std::string const& sha256, std::string& body,
                      unsigned long& status);
  // Body bytes received from the server since the client was made (every
  // request: manifests, snapshots, deltas, registries).
  uint64_t bytesFetched() const { return bytesFetched_; }
  // The libcurl error text of the last failed request ("" when none).
  std::string const& lastError() const { return lastError_; }
  std::string const& baseUrl() const { return baseUrl_; }
  // The URL as given (s3://... for object storage).
  std::string const& givenUrl() const { return givenUrl_; }
  daHttpReplicaOptions const& options() const { return options_; }

 private:
  struct Response {
    long httpStatus = 0;
    std::string body;   // for small answers (the manifest)
    std::string etag;
    std::string challenge;  // WWW-Authenticate of a 401
  };
  using Clock = std::chrono::steady_clock;
  // The URL of the published file name: under the base URL, or for an
  // oci:// source the blob the artifact names it by ("" when it names none).
  std::string urlOf(std::string const& name) const;
  // For an oci:// source: fetches the image manifest (conditionally) and
  // the manifest.json blob it names into response (body, etag of the image
  // manifest; 304 when unchanged). 0 or a status.
  unsigned long fetchOciManifest(Clock::time_point until, Response& response);
  // Answers a registry's 401 challenge (header: its WWW-Authenticate): Basic
  // with the credentials, Bearer with a token from its realm. 0 or a status.
  unsigned long answerChallenge(std::string const& header, Clock::time_point until);
  // Fetches the manifest (conditionally) into manifest_, by until at the
  // latest; 0 or a status.
  unsigned long fetchManifest(Clock::time_point until);
  // Fetches and checks the signature file of the manifest bytes text
  // against the trusted keys; 0 (signedBy filled) or a signature status.
  unsigned long checkSignature(std::string const& text, Clock::time_point until, std::string& signedBy);
  // One GET with retries, all of it by until; the body goes to fd when
  // fd >= 0 (with a size cap and a running SHA-256), else into
  // response.body. 0 or a status.
  unsigned long get(std::string const& url, std::string const& ifNoneMatch, int fd, uint64_t cap,
                    Clock::time_point until, Response& response, std::string* sha256, uint64_t* size);
  unsigned long getOnce(std::string const& url, std::string const& ifNoneMatch, int fd, uint64_t cap,
                        long timeoutMs, Response& response, std::string* sha256, uint64_t* size, bool& retryable);
  // The end of a call started now: totalTimeoutMs from now, or the
  // deadline when that comes first.
  Clock::time_point callEnd() const;
  // The end of a manifest request within a call ending at callEnd.
  Clock::time_point manifestEnd(Clock::time_point callEnd) const;
  // Waits ms, or less when cancel() is called; false when cancelled.
  bool pause(long ms);
  // Downloads, decompresses and checks the snapshot wanted names into path;
  // 0 or a status (nothing left at path on failure).
  unsigned long fetchSnapshot(daSnapshotManifest const& wanted, std::string const& path, Clock::time_point until,
                              bool& vanished);
  // Takes the content digest of the checked copy at path, compares it with
  // the manifest's (when it names one) and writes it into the copy as its
  // digest record. 0 or a status (da_s_snapshot_mismatch).
  unsigned long recordContentDigest(daSnapshotManifest const& wanted, std::string const& path);
  // Brings the copy at path, which holds the manifest's full snapshot, to
  // the manifest's sequence number by the deltas after it. 0 or a status
  // (da_s_snapshot_mismatch when the chain is missing or wrong).
  unsigned long applyChainToCopy(daSnapshotManifest const& wanted, std::string const& path);
  // Makes the handle when there is none; 0 or da_s_snapshot_bad_url.
  unsigned long ensureHandle();

  std::string baseUrl_;        // http(s)://: for an s3:// URL, the endpoint's path-style URL of the folder
  std::string givenUrl_;       // as the caller gave it, for messages
  daHttpReplicaOptions options_;
  bool s3_ = false;            // the objects are in S3-compatible storage
  daS3Location s3Where_;
  std::string s3Problem_;      // why the s3:// URL cannot be used ("" when it can)
  daAwsCredentials s3Credentials_;
  bool oci_ = false;
  daOciLocation ociWhere_;
  std::string ociProblem_;
  daOciCredentials ociCredentials_;
  bool ociBasic_ = false;       // the registry asked for Basic: send the credentials
  std::string ociToken_;        // the registry asked for a Bearer token: this one
  std::map<std::string, daOciLayer> ociLayers_;  // the files of the artifact last fetched
  void* curl_ = nullptr;  // CURL*, kept opaque so that users need no libcurl headers
  daSnapshotManifest manifest_;
  bool haveManifest_ = false;
  std::string etag_;
  std::string signedBy_;
  std::string lastError_;
  uint64_t bytesFetched_ = 0;
  unsigned long newestHandedOver_ = 0xFFFFFFFFul;  // invalid until a copy was handed over
  Clock::time_point deadline_ = Clock::time_point::max();
  std::atomic<bool> cancelled_{false};
  std::mutex pauseMutex_;
  std::condition_variable pauseWake_;
};
