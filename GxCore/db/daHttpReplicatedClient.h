// daHttpReplicatedClient: a replication client whose master is published
// as snapshots (daSnapshot.h) under a base URL served by any plain web
// server, CDN or S3-compatible store, over http:// or https://. The master
// host runs "gxpolicy publish"; nothing else runs on the server.
//
// It gives the replica the same guarantee as daFileReplicatedClient: the
// file it hands over is complete, matches the manifest (sizes and both
// SHA-256 digests), is structurally sound (hx_db_verify_file) and decodes
// (daFileReplicatedClient::verifyCopy). Anything less is removed and
// reported with a status, so a bad or partial download is never swapped in
// and the replica keeps serving its previous copy.
//
// The manifest is fetched with a conditional request (If-None-Match with
// the ETag of the last one); a 304 answer is served from the manifest kept
// in memory. Proxies are taken from the environment (http_proxy,
// https_proxy, no_proxy) as libcurl does.
//
// Threads: the client owns one libcurl handle (reused, so connections are
// kept alive between requests) and must be used by one thread at a time,
// as a replica uses its client (from the thread that opens or rebuilds it).
// It takes no lock of its own; checking a fresh copy opens it as a store of
// options.domain, under that domain's inter-process lock, like any store.
#pragma once

#include <cstdint>
#include <string>

#include "GxCore/db/daAbstractReplicatedClient.h"
#include "GxCore/db/daSnapshot.h"

// How the client talks to the server. The defaults suit a snapshot of a few
// hundred MiB on an ordinary network.
struct daHttpReplicaOptions {
  long connectTimeoutMs = 10000;     // to establish a connection
  long totalTimeoutMs = 600000;      // for one whole request, the download included
  uint64_t maxSnapshotBytes = uint64_t{4} << 30;  // cap on the compressed file and on the database
  unsigned retries = 2;              // further tries after a failure that may pass (no answer, 5xx, 408, 429)
  long retryBackoffMs = 500;         // wait before the first retry; doubled for each further one
  bool verifyTls = true;             // check the server's certificate and name (https)
  std::string caFile;                // CA bundle to verify against ("" = the system's)
  std::string bearerToken;           // sent as "Authorization: Bearer ..." when not empty
  std::string clientCert;            // PEM client certificate for mutual TLS ("" = none)
  std::string clientKey;             // its PEM private key ("" = in clientCert)
  std::string domain;                // the lock domain used to check a copy ("" = "Default")
};

class daHttpReplicatedClient : public daAbstractReplicatedClient {
 public:
  // baseUrl: the folder the publisher wrote (manifest.json is under it);
  // a trailing slash is optional. The handle is made on first use; a URL
  // that is not http:// or https:// is refused then (da_s_snapshot_bad_url).
  daHttpReplicatedClient(std::string baseUrl, daHttpReplicaOptions options = {});
  daHttpReplicatedClient(daHttpReplicatedClient const&) = delete;
  daHttpReplicatedClient& operator=(daHttpReplicatedClient const&) = delete;
  // Releases the libcurl handle.
  ~daHttpReplicatedClient() override;

  // The sequence number of the current snapshot, from the manifest
  // (fetched conditionally; 304 answers from the one kept). status 0;
  // da_s_snapshot_unreachable, da_s_snapshot_tls, da_s_snapshot_http_error,
  // da_s_snapshot_bad_manifest, da_s_snapshot_bad_url (seq is then
  // invalidSeqnum and the kept manifest is not replaced).
  void getMasterSeqNum(unsigned long& seq, unsigned long& status) override;
  // 0x13279262 when seq is the current snapshot's number. Otherwise
  // downloads the snapshot beside path (path + ".download", mode 0600,
  // O_NOFOLLOW|O_EXCL), checks its size and SHA-256, decompresses it to
  // path (mode 0600, must not exist) checking the database's size and
  // SHA-256, and verifies the database as the file client does. status 0:
  // the database is at path. Any other status (those of getMasterSeqNum,
  // da_s_snapshot_too_large, da_s_snapshot_mismatch,
  // da_s_snapshot_bad_compression, hx_db_s_corrupt, hx_db_s_io_error, the
  // copy check's status): nothing is left at path or beside it.
  void replicateTo(unsigned long& seq, char const* path, unsigned long& status) override;

  // The manifest last fetched successfully (empty before the first).
  daSnapshotManifest const& lastManifest() const { return manifest_; }
  bool haveManifest() const { return haveManifest_; }
  // The libcurl error text of the last failed request ("" when none).
  std::string const& lastError() const { return lastError_; }
  std::string const& baseUrl() const { return baseUrl_; }

 private:
  struct Response {
    long httpStatus = 0;
    std::string body;   // for small answers (the manifest)
    std::string etag;
  };
  // Fetches the manifest (conditionally) into manifest_; 0 or a status.
  unsigned long fetchManifest();
  // One GET with retries; the body goes to fd when fd >= 0 (with a size
  // cap and a running SHA-256), else into response.body. 0 or a status.
  unsigned long get(std::string const& url, std::string const& ifNoneMatch, int fd, uint64_t cap,
                    Response& response, std::string* sha256, uint64_t* size);
  unsigned long getOnce(std::string const& url, std::string const& ifNoneMatch, int fd, uint64_t cap,
                        Response& response, std::string* sha256, uint64_t* size, bool& retryable);
  // Makes the handle when there is none; 0 or da_s_snapshot_bad_url.
  unsigned long ensureHandle();

  std::string baseUrl_;
  daHttpReplicaOptions options_;
  void* curl_ = nullptr;  // CURL*, kept opaque so that users need no libcurl headers
  daSnapshotManifest manifest_;
  bool haveManifest_ = false;
  std::string etag_;
  std::string lastError_;
};
