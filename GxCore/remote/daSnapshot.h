// Published snapshots: how a master policy database reaches replicas on
// other machines through any plain web server, CDN or object store. The
// master host publishes immutable, compressed snapshots into a folder
//
//   DIR/manifest.json                 which snapshot is current
//   DIR/snapshots/<sequence>.gxdb.zst one compacted, verified copy each
//   DIR/snapshots/<from>-<to>.delta.zst the changes between two published
//                                     sequence numbers (daDelta.h)
//
// and serves DIR as static files; replicas fetch the manifest and then the
// snapshot it names (daHttpReplicatedClient). The manifest is replaced by a
// rename, so a reader sees the old one or the new one, never half of one,
// and it is written only after the snapshot it names is complete. Old
// snapshots are removed only after the new manifest is in place, so a
// replica that read the previous manifest a moment ago still finds its file
// (unless more than keep publishes happened meanwhile).
//
// Every publish (or, with daPublishOptions::fullEvery, every Nth) writes a
// full snapshot, and each a delta from the previously published sequence
// number when the previous state is at hand (the publisher keeps it as
// DIR/.delta-base.gxdb, a private file). The manifest
// lists the newest deltas (a chain ending at its own sequence number, at
// most options.deltas long) with their numbers, sizes, SHA-256 and the
// content digests before and after each, and the content digest of the
// snapshot; a replica a few changes behind fetches the chain instead of
// the snapshot. A manifest of a publish that wrote a full snapshot stays
// readable by clients that know no deltas: its other fields are as before
// and name the full snapshot of the same sequence number.
//
// The statuses below are shared by the publisher and the HTTP client
// (da_s_snapshot_bad_registry, for the registry that travels with the
// database, is in GxCore/db/daReplicaRegistry.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "GxCore/db/daReplicaRegistry.h"  // the registry published beside a snapshot

// Publishing: the master has the sequence number of the current snapshot;
// nothing was written (not a failure).
constexpr unsigned long da_s_snapshot_unchanged = 0x14601020;
// Fetching: the server could not be reached, or did not answer within the
// time-out.
constexpr unsigned long da_s_snapshot_unreachable = 0x14601021;
// Fetching: the server answered with an HTTP error status (404 and the like).
constexpr unsigned long da_s_snapshot_http_error = 0x14601022;
// The manifest is not JSON, lacks a field or names an unsafe file.
constexpr unsigned long da_s_snapshot_bad_manifest = 0x14601023;
// The snapshot (compressed or not) is larger than the client's cap.
constexpr unsigned long da_s_snapshot_too_large = 0x14601024;
// The snapshot's size or SHA-256 differs from the manifest's.
constexpr unsigned long da_s_snapshot_mismatch = 0x14601025;
// The snapshot is not a valid zstd stream.
constexpr unsigned long da_s_snapshot_bad_compression = 0x14601026;
// The server's TLS certificate could not be verified (or the client's own
// certificate was refused).
constexpr unsigned long da_s_snapshot_tls = 0x14601027;
// The URL is not http:// or https://, or the client could not be set up.
constexpr unsigned long da_s_snapshot_bad_url = 0x14601028;
// The snapshot's database records another sequence number than the
// manifest that names it.
constexpr unsigned long da_s_snapshot_wrong_sequence = 0x14601029;
// The request was abandoned: the client's cancel() was called.
constexpr unsigned long da_s_snapshot_cancelled = 0x1460102A;
// An https server redirected to a URL that is not https.
constexpr unsigned long da_s_snapshot_insecure_redirect = 0x1460102B;

// An incremental SHA-256 (OpenSSL), for bytes that stream past: add them
// with update, then finish once for 64 lower-case hex digits. ok() is false
// when the digest could not be set up or a step failed; finish then
// returns "". Not copyable; one thread at a time.
class daSha256 {
 public:
  daSha256();
  ~daSha256();
  daSha256(daSha256 const&) = delete;
  daSha256& operator=(daSha256 const&) = delete;
  void update(void const* data, size_t n);
  std::string finish();
  bool ok() const { return ok_; }

 private:
  struct evp_md_ctx_st* ctx_;
  bool ok_;
};

// One delta a manifest lists.
struct daSnapshotDelta {
  unsigned long from = 0, to = 0;  // the sequence numbers it leads from and to
  std::string file;                // "snapshots/<from>-<to>.delta.zst"
  uint64_t size = 0;               // bytes of the compressed file
  std::string sha256;              // of the compressed file
  uint64_t rawSize = 0;            // bytes of the encoded delta
  std::string fromDigest;          // content digest at from (64 hex digits)
  std::string digest;              // content digest at to
};

// What a manifest says about the current snapshot.
struct daSnapshotManifest {
  unsigned long sequence = 0;  // the master's sequence number in the snapshot
  std::string file;            // path relative to DIR: "snapshots/<sequence>.gxdb.zst"
  uint64_t size = 0;           // bytes of the compressed file
  std::string sha256;          // of the compressed file, 64 lower-case hex digits
  uint64_t rawSize = 0;        // bytes of the database file
  std::string rawSha256;       // of the database file
  uint32_t dbVersion = 0;      // the database version the snapshot records
  std::string time;            // when it was published, UTC, ISO 8601
  // The master's user registry, published beside the snapshot ("" when
  // the master has none): "snapshots/registry-<first 16 hex digits of its
  // SHA-256>.json", its size and SHA-256.
  std::string registryFile;
  uint64_t registrySize = 0;
  std::string registrySha256;
  // The snapshot's content digest (daDelta.h; "" in a manifest of an older
  // publisher) and the deltas leading to this sequence number, oldest
  // first (empty when there are none).
  std::string digest;
  std::vector<daSnapshotDelta> deltas;
  // Between two full snapshots (daPublishOptions::fullEvery) file holds an
  // older sequence number than sequence: fileSequence, with the content
  // digest fileDigest, and the deltas lead from there to sequence. When
  // fileDigest is "" the file holds sequence itself (fileSequence is then
  // not used): daSnapshotFileSequence and daSnapshotFileDigest say which.
  unsigned long fileSequence = 0;
  std::string fileDigest;
};
// The sequence number and content digest of the database in m.file.
inline unsigned long daSnapshotFileSequence(daSnapshotManifest const& m) {
  return m.fileDigest.empty() ? m.sequence : m.fileSequence;
}
inline std::string const& daSnapshotFileDigest(daSnapshotManifest const& m) {
  return m.fileDigest.empty() ? m.digest : m.fileDigest;
}

// The manifest as JSON text (one object, ending in a newline).
std::string daSnapshotManifestToJson(daSnapshotManifest const& m);
// Parses JSON text into m. status 0; da_s_snapshot_bad_manifest when the
// text is not a JSON object, a field is missing or of the wrong type, a
// digest is not 64 hex digits, or the file (or the registry file, when the
// manifest names one, or a delta's file) is not "snapshots/" followed by a
// plain file name (no further slash, no leading dot). m is left as it was
// on failure.
void daSnapshotManifestParse(std::string const& text, daSnapshotManifest& m, unsigned long& status);

// The outcome of a publish.
struct daSnapshotPublishResult {
  daSnapshotManifest manifest;  // the current manifest (the new one, or the unchanged one)
  unsigned removed = 0;         // older snapshots removed
};

// Publishes the master database file at master into dir (created when
// missing, with dir/snapshots), with the master's user registry
// (daRegistryPathOf(master)) when it has one: verifies the master's structure
// (hx_db_verify_file), takes a consistent compacted copy (hx_db_copy, with
// the master open read-only under the domain's lock; null domain:
// "Default"), checks the copy as a replica would
// (daFileReplicatedClient::verifyCopy), compresses it with zstd to
// snapshots/<sequence>.gxdb.zst, writes the manifest (temporary file,
// synced, renamed) and then removes all but the keep newest snapshots
// (keep 0 counts as 1). The new manifest's modification time is made at
// least one second later than the previous one's, so that web servers that
// derive ETag and Last-Modified from time and size never give two
// manifests the same validator. One publish per dir at a time: an advisory lock on
// dir/.publish.lock is held throughout (a second publisher waits).
// The registry is checked (a damaged one is not published) and written as
// the file the manifest names; a registry changed while the database was
// not gives a new manifest naming the same snapshot. Registry files named
// by neither the new nor the previous manifest are removed.
// status 0: published, result filled. da_s_snapshot_unchanged: the current
// manifest already names the master's sequence number and registry, and
// its file exists; result holds that manifest, nothing was written.
// Otherwise the first failure (da_s_snapshot_bad_registry,
// hx_db_s_bad_argument, hx_db_s_corrupt, hx_db_s_open_failed,
// hx_db_s_io_error, the copy's or check's status), with every temporary
// file removed and the previous manifest and snapshots untouched.
// Also writes the delta (see above) with options.deltas > 0, and removes
// the delta files named by neither the new nor the previous manifest. A
// delta that cannot be made (no previous state, or it does not match the
// previous manifest's sequence number, or it would be larger than half the
// database) is left out and the chain starts again with the next publish;
// that is not a failure.
// With fullEvery N > 1 a full snapshot is written at every Nth publish
// only; the publishes between write the delta alone, and the manifest
// names the last full snapshot (its fileSequence and fileDigest) with the
// deltas after it (as long as deltas lists them all: otherwise, and when
// no delta could be made, the full snapshot is written). A manifest
// between two full snapshots cannot be used by clients that know no
// deltas: they refuse it (da_s_snapshot_wrong_sequence).
//
// With signers (private keys, daSignature.h) the manifest is signed by each:
// the signature file (daSignaturePathOf) is written before the manifest is
// renamed into place, rewritten for an unchanged manifest (so that adding a
// key during a rotation takes effect without a change to the master), and
// removed once neither the new nor the previous manifest names it. A key
// that cannot sign fails the publish with da_s_key_bad before anything is
// renamed.
class daSigningKey;
struct daPublishOptions {
  unsigned keep = 3;     // snapshots kept, the new one included
  unsigned deltas = 10;  // deltas listed in the manifest (0: none written; at most maxDeltas)
  unsigned fullEvery = 1;  // a full snapshot at every publish (1), or at every Nth
  std::vector<std::shared_ptr<daSigningKey const>> signers;  // keys the manifest is signed with (none: unsigned)
  // More would make the manifest outgrow what clients accept of one.
  static constexpr unsigned maxDeltas = 100;
};
void daPublishSnapshot(char const* master, char const* dir, char const* domain, daPublishOptions const& options,
                       daSnapshotPublishResult& result, unsigned long& status);
// The same with options {keep, 10}.
void daPublishSnapshot(char const* master, char const* dir, char const* domain, unsigned keep,
                       daSnapshotPublishResult& result, unsigned long& status);

// Decompresses the zstd file from into a new file to (created with mode
// 0600, O_EXCL|O_NOFOLLOW: it must not exist), streaming, and gives the
// SHA-256 and size of what was written. More than maxBytes of output stops
// it with da_s_snapshot_too_large. status 0; da_s_snapshot_bad_compression
// (not zstd, damaged or cut short), hx_db_s_open_failed, hx_db_s_io_error.
// On failure to is removed (when this call created it) and sha256/size are
// left as they were.
void daSnapshotDecompress(char const* from, char const* to, uint64_t maxBytes, std::string& sha256, uint64_t& size,
                          unsigned long& status);

// Compresses bytes with zstd (level 3, with a checksum). Throws
// std::bad_alloc; "" when zstd fails.
std::string daZstdCompress(std::string_view bytes);
// Decompresses one zstd stream held in memory into out, at most maxBytes
// of output. status 0; da_s_snapshot_too_large (more than maxBytes);
// da_s_snapshot_bad_compression (not zstd, damaged, cut short, or bytes
// after the stream). out is left as it was on failure.
void daZstdDecompress(std::string_view compressed, uint64_t maxBytes, std::string& out, unsigned long& status);
