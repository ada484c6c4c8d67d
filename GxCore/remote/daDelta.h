// Deltas between published snapshots, and the content digest that proves a
// replica holds exactly what the master published.
//
// Content digest: the sum, modulo 2^256, of SHA-256(key length as 8 bytes
// little-endian, key, stored value) over every replicated record of a
// database (the stored value is the record as the file keeps it:
// hx_db_stored_value). A sum is independent of order, and a change of one
// record moves it by the difference of that record's two terms: a delta
// updates a replica's digest in time proportional to the delta, never to
// the database. Records that are not replicated: the master's change log
// (keys under daChangeLogPrefix) and the replica's own digest record
// (daDigestKey). The digest covers the sequence number (its bookkeeping
// record is replicated like any other).
//
// Delta: the records added, changed and removed between two published
// sequence numbers, with the content digests before and after. Encoded as
//   "GXDELTA1", from (4 bytes), to (4 bytes), from digest (32), to digest
//   (32), change count (8), then per change: kind (1: put, 2: remove), key
//   length (4), key, and for a put the stored value's length (4) and bytes
// (integers little-endian), and published compressed with zstd as
// snapshots/<from>-<to>.delta.zst.
//
// A replica keeps its digest in its own file, as the record daDigestKey
// whose value word is the sequence number the digest was taken at and
// whose 32 bytes are the digest. A replica without that record, or with
// one for another sequence number (something wrote to the file), takes no
// delta: it is rebuilt from the full snapshot, which records it anew.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "GxCore/db/daLocalStore.h"
#include "GxCore/remote/daSnapshot.h"  // the statuses shared with snapshots
#include "outside/hxdb.h"

class daLocalPolicy;
class daHttpReplicatedClient;

// The master's change log: kept on the master only, never published.
constexpr char daChangeLogPrefix[] = "/auth/changelog/";
// The replica's record of its content digest.
constexpr char daDigestKey[] = "dbdigest";
static_assert(std::string_view(daDigestKey) == daLocalStore::dbDigestName);

// A delta cannot bring this replica to the manifest's sequence number: no
// digest record, no chain of deltas from its number, or a chain larger than
// the full snapshot. Not a failure: the replica is rebuilt instead.
constexpr unsigned long da_s_delta_unusable = 0x1460102D;

// Whether key is carried by snapshots, deltas and the digest.
bool daIsReplicatedKey(std::string_view key);

// A content digest (see above); zero for an empty database.
class daContentDigest {
 public:
  // Adds (remove: takes away) the term of one record.
  void add(std::string_view key, std::string_view stored);
  void remove(std::string_view key, std::string_view stored);
  // 64 lower-case hex digits.
  std::string hex() const;
  // Parses 64 hex digits; false (and d unchanged) for anything else.
  static bool fromHex(std::string_view text, daContentDigest& d);
  std::array<uint8_t, 32> const& bytes() const { return sum_; }
  static daContentDigest fromBytes(std::string_view raw);  // raw: 32 bytes (shorter input is zero-padded)
  bool operator==(daContentDigest const& o) const { return sum_ == o.sum_; }
  bool operator!=(daContentDigest const& o) const { return sum_ != o.sum_; }

 private:
  std::array<uint8_t, 32> sum_{};  // big-endian
};

// The content digest of the whole open database (one read transaction,
// every record read once). status 0 or the scan's status (hx_db_scan_records).
void daDigestOfDatabase(hx_db_handle* h, daContentDigest& digest, unsigned long& status);

// The digest record of the file (see above): true with the sequence number
// it was taken at and the digest; false when there is none or it is not
// one (wrong length).
bool daReadDigestRecord(hx_db_handle* h, unsigned long& sequence, daContentDigest& digest);
// Writes the digest record: one write transaction. status 0 or the
// engine's status (hx_db_raw_write).
void daWriteDigestRecord(hx_db_handle* h, unsigned long sequence, daContentDigest const& digest,
                         unsigned long& status);

// One change of a delta: value is the stored value of a put, empty for a
// remove.
struct daDeltaChange {
  bool remove = false;
  std::string key;
  std::string value;
};

struct daDelta {
  unsigned long from = 0, to = 0;
  daContentDigest fromDigest, toDigest;
  std::vector<daDeltaChange> changes;
};

// The encoded (uncompressed) delta. Throws std::bad_alloc.
std::string daDeltaEncode(daDelta const& d);
// Parses an encoded delta; false (d unchanged) when the text is not one:
// wrong magic, a length running past the end, bytes left over, a kind that
// is neither, an empty key, a put whose value is not a stored value.
bool daDeltaDecode(std::string_view text, daDelta& d);

// The changes that turn the database at from into the one at to (both
// open; only replicated keys); d.from and d.to are the files' sequence
// numbers. With digests, also both content digests (each record hashed);
// without, they are left zero for a caller that knows them already. Stops
// with da_s_snapshot_too_large when the encoded changes would exceed
// maxBytes (a full snapshot then serves better). status 0, that, or a
// scan's status.
void daDiffDatabases(hx_db_handle* from, hx_db_handle* to, uint64_t maxBytes, bool digests, daDelta& d,
                     unsigned long& status);

// Applies chain (consecutive deltas: each one's from is the previous one's
// to) to the open database h in ONE write transaction (hx_db_raw_write):
// the file's digest record must name chain[0].from and its digest; each
// remove must find its key; the digest, updated change by change, must
// equal each delta's toDigest; the sequence number record must end at the
// last delta's to. Then the digest record is written and the transaction
// committed; on any refusal nothing is written. status 0;
// da_s_delta_unusable (no digest record, or one for another sequence
// number or digest than chain[0]'s from: the file is not the delta's
// base); da_s_snapshot_mismatch (a link does not follow the previous one,
// a remove of an absent key, a digest or sequence number other than the
// delta says); hx_db_s_bad_argument (empty chain, a bad key or value);
// the engine's status.
void daApplyDeltas(hx_db_handle* h, std::vector<daDelta> const& chain, unsigned long& status);

// What daCatchUpByDeltas did.
struct daCatchUpReport {
  unsigned long from = 0, to = 0;  // sequence numbers before and after
  unsigned links = 0;              // deltas applied
  uint64_t bytesFetched = 0;       // compressed delta bytes downloaded
  std::string problem;             // why a chain was refused ("" when none)
};

// Downloads and decodes the chain of deltas m lists from sequence number
// from (with content digest fromDigest, hex) to m.sequence, each link
// checked against m as daCatchUpByDeltas describes; report counts the
// bytes and says what was wrong. smallerThanSnapshot: refuse a chain whose
// files add up to the full snapshot's size or more. status 0 (chain
// filled, in order), da_s_delta_unusable (no such chain, or too large), a
// transfer status, da_s_snapshot_mismatch or
// da_s_snapshot_bad_compression.
void daFetchChain(daHttpReplicatedClient& client, daSnapshotManifest const& m, unsigned long from,
                  std::string const& fromDigest, bool smallerThanSnapshot, std::vector<daDelta>& chain,
                  daCatchUpReport& report, unsigned long& status);

// Brings replica (open, with client as its replication client) up to the
// manifest client fetched last (call client.getMasterSeqNum first) by the
// manifest's deltas instead of a rebuild: finds the chain from the
// replica's sequence number to the manifest's, downloads every link
// (checked against the manifest's size and SHA-256, decompressed within
// the manifest's size, decoded, its numbers and digests matched with the
// manifest's) while the replica serves on, then, holding the replica's
// state lock exclusively (no reader in this process sees the file between
// the old and the new policy), closes the store, applies the chain in one
// write transaction (daApplyDeltas: readers in other processes see all of
// it or none, and a crash leaves the old or the new sequence number),
// reopens the store (new policy epoch: the cache, the decision memo and the
// quick map start afresh) and removes the file's whole-file digest record
// (daLocalPolicy::digestSuffix), which the change made stale; then brings
// the registry along (client.afterReplication).
// status: 0 (report says what was applied); s_replica_current (nothing to
// do); da_s_delta_unusable (no digest record, no chain from the replica's
// number, a chain larger than the snapshot, a link larger than the
// client's maxSnapshotBytes or 1 GiB, a manifest older than the replica:
// rebuild instead); a transfer status (da_s_snapshot_unreachable,
// da_s_snapshot_http_error, ...); da_s_snapshot_mismatch or
// da_s_snapshot_bad_compression for a link that is missing, cut short,
// tampered with or out of order, or whose result is not what the manifest
// says; the apply's or the reopen's status. On every failure the replica
// holds its previous sequence number and serves it; the caller falls back
// to rebuildDatabase. Called by the thread that owns the replica and the
// client (as rebuildDatabase).
void daCatchUpByDeltas(daHttpReplicatedClient& client, daLocalPolicy& replica, daCatchUpReport& report,
                       unsigned long& status);
