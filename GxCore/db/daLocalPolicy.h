// daLocalPolicy: the policy store a server keeps as its local replica of
// the master policy database. It is a cached store that, given a
// replication client (daAbstractReplicatedClient), checks on opening that
// the database is recent enough (version 0x600 or later) and as current as
// the master, and otherwise rebuilds the file from a fresh copy: the copy is
// written beside the database (P.tmp), the current file becomes the backup
// (P.backup) and the copy takes its place, all while the store's state lock
// is held exclusively so that no reader holding it sees the swap. Without a
// client it is an ordinary cached store. With the cache enabled a monitor
// thread (monitorThread) wakes every monitorPeriod milliseconds and clears
// a cache that has reached its size.
//
// Database and backup files get mode 0600. copyFile and moveFile do the file
// work and are usable on their own.
//
// Threads: openPolicy, closePolicy, deletePolicy, rebuildDatabase and the
// monitor start/stop are called by the store's owner, one at a time.
// Readers on other threads hold daCacheStateLock (state open) around their
// reads; isStoreCurrent takes no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "GxCore/db/daAbstractReplicatedClient.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/ZThread.h"

// Copies the whole file from to to (replaced when it exists, else created
// with mode 0600) through memory maps. Status 0 on success; 0x1354A2EE
// when an existing to cannot be removed (logged, the copy goes on);
// 0x1065206B when either file cannot be mapped and 0x1065206C when one
// cannot be unmapped (both logged to the base services).
void copyFile(char const* from, char const* to, unsigned long& status);
// Renames from to to, replacing to. Status 0; 0x1354A2F6 (no message) when
// from does not exist; 0x1354A2EF (logged) when the rename fails otherwise;
// 0x1354A2EE (logged) when an existing to cannot be removed, the rename
// still being tried.
void moveFile(char const* from, char const* to, unsigned long& status);

class daLocalPolicy;

// The replica's monitor: a sleeper thread whose awake() lets the store trim
// its cache (checkCache). The period is in the sleeper's unit, milliseconds.
class monitorThread : public ZSleeperThread_6_0 {
 public:
  monitorThread(daLocalPolicy* store, unsigned long period);
  // Stops and joins the thread before the object goes.
  ~monitorThread() override;
  // Calls the store's checkCache(); nothing else.
  virtual void awake();
  daLocalPolicy* getStore() const { return store_; }

 protected:
  void run() override { awake(); }

 private:
  daLocalPolicy* store_;
};

class daLocalPolicy : public daCachedStore {
 public:
  // The monitor's period in milliseconds: a cache that fills up is cleared
  // within this time. The check is one shared lock and a count.
  static constexpr unsigned long monitorPeriod = 30;
  // The oldest database version a replica accepts.
  static constexpr uint32_t minimumDatabaseVersion = 0x600;
  static constexpr char const* tmpSuffix = ".tmp";
  static constexpr char const* backupSuffix = ".backup";
  // Beside a replica: the digest of the file as installed, and a damaged
  // file set aside for inspection.
  static constexpr char const* digestSuffix = ".digest";
  static constexpr char const* damagedSuffix = ".damaged";

  // The cached store built with the same arguments; no client, no monitor.
  daLocalPolicy(char const* domainName, char const* path, int cacheEnabled, unsigned int cacheSize);
  // The cached store of the domain with cache size 32768.
  explicit daLocalPolicy(char const* domainName);
  // A closed store on other's domain, path and cache switch with cache
  // size 32768; the client pointer is shared, the monitor is not.
  daLocalPolicy(daLocalPolicy const& other);
  daLocalPolicy& operator=(daLocalPolicy const&) = delete;
  // Stops a running monitor (it would otherwise call into a destroyed
  // store), then closes the store like the cached store's destructor.
  ~daLocalPolicy() override;

  // The client is the host's; it must outlive the store's use of it.
  void setReplicatedClient(daAbstractReplicatedClient* client) { client_ = client; }
  daAbstractReplicatedClient* getReplicatedClient() const { return client_; }
  bool isClientEnabled() const { return client_ != nullptr; }

  // Open the store (cached store's openStore). With a client, also checks
  // the database information: 0x1005B1C7 (logged) when it is missing, its
  // read status when it cannot be read, 0x1005B1C5 (logged with the version
  // and 1536) when the version is below 0x600. The store stays open
  // whatever this check finds; a failure of the cached store's open is
  // returned as it is.
  void openStore(int readOnly, unsigned long& status) override;
  hx_db_handle* getDBHandle() const override { return daLocalStore::getDBHandle(); }

  // The local store's database lock.
  virtual void lockFile() { lockDatabase(); }
  virtual void unlockFile() { unlockDatabase(); }
  // A new, empty database file at the path (the store's createStore).
  virtual void createPolicy(unsigned long& status) { createStore(status); }
  // Opens the store when it is not open; with a client, first proves the
  // file intact (checkReplicaFile: a damaged file is set aside as
  // P.damaged), then rebuilds the file when the open failed or the local
  // sequence number differs from the master's (or the master's cannot be
  // had); a replica found current has the client's afterReplication called. A failed rebuild is logged
  // (0x13279260 for 0x1460100A, else 0x13279261) and reported unless the
  // old database is open, which is then used (status 0). On status 0 a
  // read-only store's quick map is built (its read status returned, or
  // 0x1005B1D5 when the catalogue has no "primary" group). With the cache
  // enabled the monitor is started, whatever the status.
  virtual void openPolicy(int readOnly, unsigned long& status);
  // closeStore; then, with the cache enabled, stops the monitor.
  virtual void closePolicy(unsigned long& status);
  // closePolicy, then removes the database file (and LMDB's lock file
  // beside it); the removal's result is not reported.
  virtual void deletePolicy(unsigned long& status);
  virtual char const* getDatabasePath() const { return getPath(); }
  virtual void setDatabasePath(char const* path) { setPath(path); }

  // Makes fresh the database at current, keeping the previous file at
  // backup: closes the store if open (a close failure is logged as
  // 0x13279259 and ignored), moves current to backup (no current file is
  // not an error), moves fresh to current, gives it mode 0600 and opens the
  // store again (also when it was closed before). Returns the first
  // failing status: a failed move of fresh (logged 0x13279425 when the
  // store had been open) leaves the store closed and the previous file at
  // backup; a failed chmod (0x1354A2F5, logged) removes current. The
  // caller excludes readers (rebuildDatabase holds the state lock).
  void replaceDatabase(char const* current, char const* backup, char const* fresh, unsigned long& status);
  // Has the client write a fresh copy to P.tmp and swaps it in with
  // replaceDatabase under the exclusive cache state lock (state
  // replacing) of the current domain's local policy, or of this store when
  // there is no domain manager, no current domain or no policy for it;
  // then rebuilds the quick map (read-only stores). The old P.backup is
  // removed first; afterwards P.backup holds the replaced file. Status:
  // 0, the client's 0x13279262 (logged; nothing changed), the client's
  // failure (P stays in use and P.backup becomes a 0600 copy of it; among
  // them 0x13279431 for a master older than the replica), or
  // replaceDatabase's / the quick map's status. No client: 0x13279261. A
  // path naming something other than a regular file (a FIFO, a device, a
  // folder) is not replaced: hx_db_s_open_failed (message 0x13279258).
  // On 0 and 0x13279262 the client's afterReplication is called with P (its
  // failure is traced, not returned). The status is also kept for
  // lastRebuildStatus.
  void rebuildDatabase(unsigned long& status);
  // The status of the last rebuildDatabase (also the one openPolicy ran,
  // whose failure openPolicy does not report while the old replica serves);
  // 0 before the first.
  unsigned long lastRebuildStatus() const { return lastRebuildStatus_; }

  // With a client, proves the closed replica file at the store's path
  // intact before anything maps it. P.digest records the SHA-256 the file
  // had when it was installed with the file's identity (device, inode,
  // length, modification and change times): when the identity is the
  // file's, the digest must match. Without a record, or with one made for
  // another file (the replica was replaced outside the library, perhaps
  // under the same inode number) or an earlier state of it, the file's
  // structure is verified (hx_db_verify_file) and, when sound, its digest
  // recorded anew and the file used. A digest mismatch or structural damage
  // sets the file aside as P.damaged (replacing an older one; message
  // 0x13279430 with the path and what was wrong) and returns
  // hx_db_s_corrupt, so that the open fails and the replica is rebuilt. No
  // file, no client or an open store: 0 and nothing is done.
  void checkReplicaFile(unsigned long& status);
  // For a host that re-checks its replica on a schedule of its own, called
  // like rebuildDatabase by the owner: when the open replica file no longer
  // matches its digest (judged as checkReplicaFile does: a file whose
  // identity moved is verified, and re-recorded when sound), the store is
  // closed under the exclusive state lock, the file set aside as P.damaged
  // and the replica rebuilt from the master.
  // status: 0 (intact, or rebuilt), the rebuild's failure (the store then
  // stays closed: it answers da_s_store_unavailable rather than serve
  // damaged data), or hx_db_s_corrupt without a client. A closed store, or
  // an open file without a record: 0, nothing done.
  void checkReplica(unsigned long& status);

  // 1 without a client; with one, 1 exactly when the client reports the
  // master's sequence number with status 0 and it equals the local one.
  uint32_t isStoreCurrent();
  // Starts a monitor (period monitorPeriod) serving store and keeps it as
  // this store's monitor; a monitor already running is stopped first.
  void startMonitorThread(daLocalPolicy* store);
  // Stops and joins the monitor and drops it; nothing without one.
  void stopMonitorThread();
  bool isMonitorRunning() const { return monitor_ != nullptr; }

 private:
  // The store whose state lock guards a file swap (see rebuildDatabase).
  daCachedStore& replacementLockTarget();
  void restoreBackupAfterFailure(char const* path, char const* tmp, char const* backup);
  // rebuildDatabase without its bookkeeping: fetches and swaps.
  void swapInFreshCopy(unsigned long& status);
  // The client's afterReplication for the store's path; a failure is traced.
  void bringAlongFiles();
  // Records, as the replica's digest, the SHA-256 of file (the store's
  // path) with the file's identity (hx_file_identity); a failure, or a file
  // that changed while it was read, is traced and leaves no record.
  void recordDigest(char const* file);
  // How the file at the store's path compares with its digest record:
  // matches (also when the file is missing or unreadable: the open reports
  // that), unrecorded (no record), changed (the record was made for another
  // file or an earlier state of this one), damaged (the very file the record
  // names no longer has its digest; problem says what differs).
  enum class DigestCheck { matches, unrecorded, changed, damaged };
  DigestCheck compareWithDigest(std::string& problem);
  // Whether a file so compared may be used: matches, yes; damaged, no;
  // unrecorded or changed, when its structure verifies (hx_db_verify_file),
  // and its digest is then recorded. problem says what is wrong when not.
  bool soundOrRecorded(DigestCheck check, std::string& problem);
  // Moves the file at the store's path to P.damaged, with a message.
  void setAsideDamaged(std::string const& problem);

  daAbstractReplicatedClient* client_ = nullptr;
  std::unique_ptr<monitorThread> monitor_;
  unsigned long lastRebuildStatus_ = 0;
};
