// daAbstractReplicatedClient: how a local policy replica (daLocalPolicy)
// reaches its master database. The host implements it over whatever
// transport it has; daFileReplicatedClient is a ready one whose master is
// another database file. The replica calls it from the thread that opens or
// rebuilds it, never concurrently with itself.
#pragma once

class daAbstractReplicatedClient {
 public:
  // Status of replicateTo when the replica already matches the master.
  static constexpr unsigned long s_replica_current = 0x13279262;

  daAbstractReplicatedClient() = default;
  daAbstractReplicatedClient(daAbstractReplicatedClient const&) = delete;
  daAbstractReplicatedClient& operator=(daAbstractReplicatedClient const&) = delete;
  virtual ~daAbstractReplicatedClient() = default;

  // The master's sequence number in seq and status 0; any other status
  // means it could not be had (seq is then not to be used).
  virtual void getMasterSeqNum(unsigned long& seq, unsigned long& status) = 0;
  // Given the replica's sequence number seq, writes a complete, current
  // copy of the master database as a new file at path (which must not
  // exist). Status 0: the file is written; 0x13279262: the replica is
  // current and nothing was written; anything else: a failure, and no file
  // is left at path.
  virtual void replicateTo(unsigned long& seq, char const* path, unsigned long& status) = 0;
};
