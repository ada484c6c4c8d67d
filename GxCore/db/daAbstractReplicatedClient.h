// daAbstractReplicatedClient: how a local policy replica (daLocalPolicy)
// reaches its master database. The host implements it over whatever
// transport it has; daFileReplicatedClient is a ready one whose master is
// another database file, daHttpReplicatedClient one whose master publishes
// snapshots over HTTP(S). The replica calls it from the thread that opens or
// rebuilds it, never concurrently with itself.
#pragma once

class daAbstractReplicatedClient {
 public:
  // Status of replicateTo when the replica already matches the master.
  static constexpr unsigned long s_replica_current = 0x13279262;
  // Status of replicateTo when the master's copy is older than the replica
  // (a stale or replayed master) and the client does not allow rollbacks.
  static constexpr unsigned long s_replica_rollback = 0x13279431;

  // Whether sequence number candidate is older than current. Numbers are
  // 32-bit and wrap (the number after 0xFFFFFFFE is 0; 0xFFFFFFFF is the
  // invalid number and is older or newer than nothing): candidate is older
  // when current is less than half the number space ahead of it.
  static constexpr bool isOlderSequence(unsigned long candidate, unsigned long current) {
    constexpr unsigned long invalid = 0xFFFFFFFFul;
    if (candidate == invalid || current == invalid) return false;
    unsigned long ahead = (current - candidate) & 0xFFFFFFFFul;
    return ahead != 0 && ahead < 0x80000000ul;
  }

  daAbstractReplicatedClient() = default;
  daAbstractReplicatedClient(daAbstractReplicatedClient const&) = delete;
  daAbstractReplicatedClient& operator=(daAbstractReplicatedClient const&) = delete;
  virtual ~daAbstractReplicatedClient() = default;

  // The master's sequence number in seq and status 0; any other status
  // means it could not be had (seq is then not to be used).
  virtual void getMasterSeqNum(unsigned long& seq, unsigned long& status) = 0;
  // Given the replica's sequence number seq (invalid when the replica has
  // no file), writes a complete, current copy of the master database as a
  // new file at path (which must not exist). Status 0: the file is written;
  // 0x13279262: the replica is current and nothing was written; anything
  // else: a failure (0x13279431 for a master older than seq that the client
  // was not told to accept), and no file is left at path.
  virtual void replicateTo(unsigned long& seq, char const* path, unsigned long& status) = 0;
  // Called by the replica once its file at replicaPath is the master's
  // current copy (after a rebuild swapped one in, or when it was found
  // current). A client that carries files beside the database (the user
  // registry, replicaPath + ".registry.json") brings them up to date here.
  // status 0, or the client's own failure, which the replica does not turn
  // into a failure of its own (the database is current either way). The
  // default does nothing.
  virtual void afterReplication(char const* replicaPath, unsigned long& status) {
    (void)replicaPath;
    status = 0;
  }
};
