// daFileReplicatedClient: a replication client whose master is another
// policy database file on this machine (a master server's database, or a
// copy shipped to the host). Hosts can use it as it is; it also shows what
// a networked client must guarantee: the copy it hands over is a complete,
// consistent database that has been checked to open and decode, so a
// damaged master is never swapped in.
//
// The master may be written to (in this or another process) while it is
// copied: the copy is a consistent snapshot. A master older than the
// replica (a master file put back from an old copy) is refused unless
// rollbacks are allowed. The master's user registry (masterPath +
// ".registry.json") travels with it: afterReplication installs a valid one
// beside the replica. A master path that names a FIFO, device or other
// non-regular file is refused without blocking (hx_db_s_open_failed). Calls
// are made by one thread at a time (the replica's owner).
#pragma once

#include "GxCore/dastatus.h"
#include "GxCore/db/daAbstractReplicatedClient.h"
#include "outside/ZString.h"
#include "outside/hxdb_verify.h"

class daFileReplicatedClient : public daAbstractReplicatedClient {
 public:
  // masterPath: the master database file. domain names the inter-process
  // lock taken while the master is opened (null: "Default"), as for any
  // store on that file.
  explicit daFileReplicatedClient(char const* masterPath, char const* domain = nullptr);
  daFileReplicatedClient(daFileReplicatedClient const&) = delete;
  daFileReplicatedClient& operator=(daFileReplicatedClient const&) = delete;
  ~daFileReplicatedClient() override = default;

  // The master's sequence number (its "dbobject" record), read by opening
  // the master read-only. status: 0, or the open's status (seq is then
  // invalidSeqnum). Like replicateTo, it first verifies the master file's
  // structure (hx_db_verify_file; hx_db_s_corrupt, logged, when damaged)
  // unless no write was committed to it since it was last verified.
  void getMasterSeqNum(unsigned long& seq, unsigned long& status) override;
  // 0x13279262 when seq is the master's number; 0x13279431
  // (s_replica_rollback) when the master's is older than seq and rollbacks
  // are not allowed. Otherwise writes a hot,
  // compacted copy of the master to path (mode 0600; path must not exist)
  // and verifies it (verifyCopy). status 0: the copy is at path; any other
  // status: the master could not be opened or copied, or the copy failed
  // the check, and nothing is left at path.
  void replicateTo(unsigned long& seq, char const* path, unsigned long& status) override;
  // Copies the master's registry file, when it has one, beside the replica
  // at replicaPath (daInstallRegistry: atomic, 0600). status 0 (copied,
  // already equal, or the master has none: the replica's is then left as
  // it is); da_s_snapshot_bad_registry when the master's registry is not a
  // valid one or is larger than daMaxRegistryBytes (the replica's is kept);
  // hx_db_s_io_error.
  void afterReplication(char const* replicaPath, unsigned long& status) override;
  // Whether a master older than the replica is accepted (default false):
  // for restoring a master from an older copy on purpose.
  void setAllowRollback(bool allow) { allowRollback_ = allow; }
  // Checks that the file at path is a usable policy database: it opens as
  // one (not of the old format), its sequence number reads, it records a
  // version of 0x600 or later, and every record other than the bookkeeping
  // records that is of a type some class decodes does decode. status: 0,
  // the open's status, 0x1005B1C7 (no version information), 0x1005B1C5
  // (older version), or the first failing record's decode status (message
  // 0x1327925B logged with the key). A record of a type no class decodes
  // (0x132792F2) passes with a warning (0x1327925B): a replica carries it
  // as it is, and its readers get that status. With sequence given,
  // it receives the copy's sequence number when the open succeeds. The
  // file is left closed and in place.
  static void verifyCopy(char const* path, char const* domain, unsigned long& status,
                         unsigned long* sequence = nullptr);

  char const* getMasterPath() const { return masterPath_.getChars(); }

 private:
  // The domain given at construction, or null (the default) when none was.
  char const* domainOrNull() const { return hasDomain_ ? domain_.getChars() : nullptr; }

  // Verifies the master before it is mapped (its stamp saves reading an
  // unchanged master again): 0, hx_db_s_corrupt or hx_db_s_open_failed.
  void verifyMaster(unsigned long& status);

  ZUTF8String_6_0 masterPath_;
  hx_db_file_stamp verified_;
  bool haveVerified_ = false;
  ZUTF8String_6_0 domain_;
  bool hasDomain_;
  bool allowRollback_ = false;
};
