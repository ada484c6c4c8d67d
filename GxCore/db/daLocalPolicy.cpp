#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/db/daCacheStateLock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "GxCore/GxAuthznDBInfo.h"
#include "GxCore/MrDomainMan.h"
#include "GxCore/coretrace.h"
#include "GxCore/db/dbtrace.h"
#include "outside/ZFileMap.h"
#include "outside/hxdb_verify.h"
#include "outside/hxdigest.h"
#include "outside/hxfd.h"

namespace {

constexpr mode_t kOwnerOnly = 0600;
// The database-file service's status for a file it cannot write.
constexpr unsigned long kDbWriteFailed = 0x1460100A;

void logFileError(unsigned long id, char const* file, int err) {
  HX_LOG(gxcore_svc_handle, 0, hx_svc_attr_error, id, "%s%d", file, err);
}

void logMapError(char const* file, int err) {
  HX_LOG(bas_svc_handle, 0, hx_svc_attr_error, bas_s_map_failed, "%s%d", file, err);
}

void logStoreStatus(unsigned long id, unsigned long status) {
  HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_warning, id, "%lx", status);
}

// Removes path; a file that is not there is fine. Logs and reports
// 0x1354A2EE otherwise.
void removeTarget(char const* path, unsigned long& status) {
  if (::unlink(path) == 0 || errno == ENOENT) return;
  int err = errno;
  logFileError(gx_s_file_remove_failed, path, err);
  status = gx_s_file_remove_failed;
}


using Fd = hx_internal::FileDescriptor;
using Mapping = ZUnixFileMap_6_0;

// Builds a read-only store's quick map; a catalogue without the "primary"
// group is reported as a status instead of escaping as an exception.
unsigned long populateQuickMap(daCachedStore& store) {
  try {
    return store.quickMap().populateQuickMapWithoutLock(store);
  } catch (ZInvalidParameterException_6_0 const&) {
    return gx_s_no_action_group;
  }
}

}  // namespace

// ---- file work ------------------------------------------------------------------

void copyFile(char const* from, char const* to, unsigned long& status) {
  status = 0;
  CoreTrace trace("daLocalStore::copyFile", status, __FILE__, __LINE__);
  if (!from || !to) {
    status = bas_s_map_failed;
    return;
  }
  removeTarget(to, status);

  Fd in(hx_open_regular(from));  // a FIFO at from must not stall the copy
  struct stat st {};
  if (!in.valid() || ::fstat(in.get(), &st) != 0) {
    int err = errno;
    logMapError(from, err);
    status = bas_s_map_failed;
    return;
  }
  auto size = static_cast<size_t>(st.st_size);
  Fd out(::open(to, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, kOwnerOnly));
  // The copy is written through a map: its blocks are allocated first, as a
  // page that a full file system cannot back raises SIGBUS when written.
  int err = !out.valid() ? errno : size == 0 ? 0 : ::posix_fallocate(out.get(), 0, st.st_size);
  if (err != 0) {
    logMapError(to, err);
    if (out.valid()) ::unlink(to);
    status = bas_s_map_failed;
    return;
  }
  // An empty file maps to nothing; the empty copy is complete.
  if (size == 0) return;

  Mapping source, target;
  if (int err = source.map(in.get(), size, PROT_READ)) {
    logMapError(from, err);
    status = bas_s_map_failed;
    return;
  }
  if (int err = target.map(out.get(), size, PROT_READ | PROT_WRITE)) {
    logMapError(to, err);
    status = bas_s_map_failed;
    return;
  }
  std::memcpy(target.get(), source.get(), size);
  if (int err = source.unmap()) {
    logMapError(from, err);
    status = bas_s_unmap_failed;
  }
  if (int err = target.unmap()) {
    logMapError(to, err);
    status = bas_s_unmap_failed;
  }
}

void moveFile(char const* from, char const* to, unsigned long& status) {
  status = 0;
  CoreTrace trace("daLocalStore::moveFile", status, __FILE__, __LINE__);
  if (!from || !to) {
    status = gx_s_file_missing;
    return;
  }
  removeTarget(to, status);
  if (::rename(from, to) == 0) return;
  int err = errno;
  if (err == ENOENT) {
    status = gx_s_file_missing;
    return;
  }
  HX_LOG(gxcore_svc_handle, 0, hx_svc_attr_error, gx_s_file_rename_failed, "%s%s%d", from, to, err);
  status = gx_s_file_rename_failed;
}

// ---- monitor ---------------------------------------------------------------------

monitorThread::monitorThread(daLocalPolicy* store, unsigned long period)
    : ZSleeperThread_6_0(static_cast<long>(period)), store_(store) {}

monitorThread::~monitorThread() {
  // Joined here, before this object's part goes, because run() calls
  // awake() of this object.
  stop();
  waitForExit();
}

void monitorThread::awake() {
  if (store_) store_->checkCache();
}

// ---- construction ------------------------------------------------------------------

daLocalPolicy::daLocalPolicy(char const* domainName, char const* path, int cacheEnabled, unsigned int cacheSize)
    : daCachedStore(domainName, path, cacheEnabled, cacheSize) {}

daLocalPolicy::daLocalPolicy(char const* domainName) : daCachedStore(domainName, defaultCacheSize) {}

daLocalPolicy::daLocalPolicy(daLocalPolicy const& other)
    : daCachedStore(other.getDomainName().getChars(), other.getPath(), other.isCacheEnabled(), defaultCacheSize),
      client_(other.client_) {}

daLocalPolicy::~daLocalPolicy() { stopMonitorThread(); }

// ---- opening -------------------------------------------------------------------------

void daLocalPolicy::openStore(int readOnly, unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalPolicy::openStore", status, __FILE__, __LINE__, hx_trace_level_open);
  daCachedStore::openStore(readOnly, status);
  if (status != 0 || !client_) return;

  daStoreObject* raw = nullptr;
  getDBObject(daAuthDBInfoName(), &raw, status);
  std::unique_ptr<daStoreObject> info(raw);
  if (status == da_s_no_such_object) {
    HX_LOG(gxacl_svc_handle, 0, hx_svc_attr_error, gx_s_no_db_info, "");
    status = gx_s_no_db_info;
    return;
  }
  if (status != 0) return;
  auto const* dbInfo = dynamic_cast<GxAuthznDBInfo const*>(info.get());
  if (!dbInfo) {
    // A record of another kind under the information key.
    status = da_s_unknown_type;
    return;
  }
  if (dbInfo->version() < minimumDatabaseVersion) {
    HX_LOG(gxacl_svc_handle, 0, hx_svc_attr_error, gx_s_db_too_old, "%ld%ld", static_cast<long>(dbInfo->version()),
           static_cast<long>(minimumDatabaseVersion));
    status = gx_s_db_too_old;
  }
}

void daLocalPolicy::openPolicy(int readOnly, unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalPolicy::openPolicy", status, __FILE__, __LINE__, hx_trace_level_open);
  bool rebuild = false;
  if (!isStoreOpen()) {
    // A damaged file is set aside here: the open below then fails and the
    // replica is rebuilt from the master.
    unsigned long checkStatus = 0;
    checkReplicaFile(checkStatus);
    openStore(readOnly, status);
    rebuild = status != 0;
  }
  if (client_) {
    if (!rebuild) {
      unsigned long local = invalidSeqnum;
      unsigned long master = invalidSeqnum;
      unsigned long clientStatus = 0;
      getLocalSeqNum(local);
      client_->getMasterSeqNum(master, clientStatus);
      rebuild = clientStatus != 0 || master != local;
      if (!rebuild) bringAlongFiles();
    }
    if (rebuild) {
      rebuildDatabase(status);
      if (status == da_s_replica_current) status = 0;
      if (status != 0) {
        HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_error,
               status == kDbWriteFailed ? da_s_rebuild_db_failed : da_s_rebuild_failed, "%s%lx", getPath(), status);
        // The old replica is still usable when it is open.
        if (isStoreOpen()) status = 0;
      }
    }
  }
  if (status == 0 && isReadOnly()) status = populateQuickMap(*this);
  if (isCacheEnabled()) startMonitorThread(this);
}

void daLocalPolicy::closePolicy(unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalPolicy::closePolicy", status, __FILE__, __LINE__);
  closeStore(status);
  if (isCacheEnabled()) stopMonitorThread();
}

void daLocalPolicy::deletePolicy(unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalPolicy::deletePolicy", status, __FILE__, __LINE__);
  closePolicy(status);
  if (char const* path = getDatabasePath(); path && *path) hx_db_remove_file(path);
}

// ---- replacing the file ----------------------------------------------------------------

void daLocalPolicy::replaceDatabase(char const* current, char const* backup, char const* fresh,
                                    unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalPolicy::replaceDatabase", status, __FILE__, __LINE__);
  // The environment of the old file must be gone before the fresh file
  // takes its name: a file is served by one environment per process, and a
  // swapped-in file gets a new one when the store reopens.
  bool wasOpen = isStoreOpen();
  if (wasOpen) {
    unsigned long closeStatus = 0;
    closeStore(closeStatus);
    if (closeStatus != 0) logStoreStatus(da_m_close_failed, closeStatus);
  }
  moveFile(current, backup, status);
  if (status == gx_s_file_missing) status = 0;
  if (status != 0) return;
  // The lock file belongs to the file just moved away: other processes that
  // still read it keep their open copy, and the fresh file gets a lock file
  // of its own from its first opener. Left in place, it would tell new
  // openers of the fresh file about the old file's transactions.
  if (::unlink(hx_db_lock_file(current).c_str()) != 0 && errno != ENOENT)
    logFileError(gx_s_file_rename_failed, current, errno);

  // When the fresh file cannot take its place, the old one goes back, so
  // that the replica stays as it was and usable.
  auto putBack = [&] {
    unsigned long ignored = 0;
    moveFile(backup, current, ignored);
    if (wasOpen) openStore(isReadOnly(), ignored);
  };
  moveFile(fresh, current, status);
  if (status != 0) {
    if (wasOpen) logStoreStatus(da_s_replace_failed, status);
    putBack();
    return;
  }
  if (::chmod(current, kOwnerOnly) != 0) {
    int err = errno;
    logFileError(gx_s_file_chmod_failed, current, err);
    status = gx_s_file_chmod_failed;
    ::unlink(current);
    putBack();
    return;
  }
  openStore(isReadOnly(), status);
  if (status != 0 && wasOpen) logStoreStatus(da_s_replace_failed, status);
}

daCachedStore& daLocalPolicy::replacementLockTarget() {
  // The current domain's replica is the store this thread's readers use; a
  // process without a domain manager (a tool, a single-domain server) or a
  // thread working for no domain locks this store itself.
  MrDomainMan* manager = MrDomainMan::hey();
  if (!manager) return *this;
  try {
    if (daLocalPolicy* current = manager->currentLocalPolicy()) return *current;
  } catch (ZInvalidParameterException_6_0 const&) {
    // No current domain on this thread.
  }
  return *this;
}

void daLocalPolicy::restoreBackupAfterFailure(char const* path, char const* tmp, char const* backup) {
  HX_TRACE(gxdmd_svc_handle, gxdmd_sub_store, 8, "Restoring backup db file %s.", path);
  hx_db_remove_file(tmp);
  // A replica that never had a file has nothing to back up.
  struct stat st {};
  if (::stat(path, &st) != 0) return;
  unsigned long copyStatus = 0;
  copyFile(path, backup, copyStatus);
  if (::chmod(backup, kOwnerOnly) != 0) logFileError(gx_s_file_chmod_failed, backup, errno);
}

void daLocalPolicy::rebuildDatabase(unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalPolicy::rebuildDatabase", status, __FILE__, __LINE__);
  swapInFreshCopy(status);
  lastRebuildStatus_ = status;
  if (status == 0 || status == da_s_replica_current) bringAlongFiles();
}

void daLocalPolicy::bringAlongFiles() {
  unsigned long st = 0;
  client_->afterReplication(getPath(), st);
  if (st != 0)
    HX_TRACE(gxdmd_svc_handle, gxdmd_sub_store, 1, "files beside %s not brought along: status 0x%lx", getPath(), st);
}

void daLocalPolicy::swapInFreshCopy(unsigned long& status) {
  if (!client_ || !getPath() || !*getPath()) {
    status = da_s_rebuild_failed;
    return;
  }
  HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_info, da_s_rebuild_start, "");
  bool timed = hx_svc_trace_enabled(gxdmd_svc_handle, gxdmd_sub_store, 2);
  std::time_t started = timed ? std::time(nullptr) : 0;
  if (timed)
    HX_TRACE(gxdmd_svc_handle, gxdmd_sub_store, 2, "Replication start (service), time=%u",
             static_cast<unsigned int>(started));

  std::string path = getPath();
  std::string tmp = path + tmpSuffix;
  std::string backup = path + backupSuffix;
  // A FIFO, device or folder where the replica belongs is not the host's
  // database to move aside: refuse rather than replace it.
  struct stat present {};
  if (::stat(path.c_str(), &present) == 0 && !S_ISREG(present.st_mode)) {
    HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_error, da_m_open_failed, "%s%lx", path.c_str(),
           hx_db_s_open_failed);
    status = hx_db_s_open_failed;
    return;
  }
  ::unlink(backup.c_str());

  unsigned long seq = invalidSeqnum;
  // With no file in place (a damaged one was set aside) the number the
  // store remembers says nothing: ask for a copy whatever the master's is.
  if (::access(path.c_str(), F_OK) == 0) getLocalSeqNum(seq);
  client_->replicateTo(seq, tmp.c_str(), status);
  if (status == da_s_replica_current) {
    HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_info, da_s_replica_current, "");
    return;
  }
  if (status != 0) {
    unsigned long clientStatus = status;
    restoreBackupAfterFailure(path.c_str(), tmp.c_str(), backup.c_str());
    status = clientStatus;
    return;
  }
  {
    daCacheStateLock exclusive(replacementLockTarget(), replacing);
    replaceDatabase(path.c_str(), backup.c_str(), tmp.c_str(), status);
    // Recorded once the file is in place with its mode (the rename and the
    // chmod move its change time). Another process opening the replica
    // before the record is written finds a record of another file and
    // verifies the new one.
    if (status == 0) recordDigest(path.c_str());
    quickMap().invalidateQuickMapWithoutLock();
    if (status == 0 && isReadOnly()) status = populateQuickMap(*this);
  }
  hx_db_remove_file(tmp.c_str());
  if (timed) {
    std::time_t ended = std::time(nullptr);
    long elapsed = static_cast<long>(ended - started);
    HX_TRACE(gxdmd_svc_handle, gxdmd_sub_store, 2, "Replication end (service), time=%u",
             static_cast<unsigned int>(ended));
    HX_TRACE(gxdmd_svc_handle, gxdmd_sub_store, 2, "Elapsed time %d minutes, %d seconds",
             static_cast<int>(elapsed / 60), static_cast<int>(elapsed % 60));
  }
}

// ---- currency and monitor ---------------------------------------------------------------

void daLocalPolicy::recordDigest(char const* file) {
  hx_digest_record record;
  hx_file_identity after;
  unsigned long st1 = 0, st2 = 0, st3 = 0;
  hx_file_identify(file, record.file, st1);
  if (st1 == 0) hx_file_sha256(file, record.sha256, st2);
  if (st2 == 0) hx_file_identify(file, after, st3);
  // A file that changed while it was read has no digest worth recording.
  if (st1 != 0 || st2 != 0 || st3 != 0 || !(after == record.file)) {
    HX_TRACE(gxdmd_svc_handle, gxdmd_sub_store, 1, "no digest of %s: status 0x%lx", file, st1 | st2 | st3);
    return;
  }
  std::string recordPath = std::string(getPath()) + digestSuffix;
  unsigned long st = 0;
  hx_digest_write(recordPath.c_str(), record, st);
  if (st != 0) HX_TRACE(gxdmd_svc_handle, gxdmd_sub_store, 1, "cannot write %s", recordPath.c_str());
}

daLocalPolicy::DigestCheck daLocalPolicy::compareWithDigest(std::string& problem) {
  std::string recordPath = std::string(getPath()) + digestSuffix;
  hx_digest_record record;
  hx_file_identity now;
  unsigned long st = 0;
  hx_digest_read(recordPath.c_str(), record, st);
  if (st != 0) return DigestCheck::unrecorded;
  hx_file_identify(getPath(), now, st);
  if (st != 0) return DigestCheck::matches;  // no file: the open reports it
  if (!(now == record.file)) return DigestCheck::changed;
  std::string actual;
  hx_file_sha256(getPath(), actual, st);
  if (st != 0) return DigestCheck::matches;  // unreadable: the open reports it
  if (actual == record.sha256) return DigestCheck::matches;
  problem = "its SHA-256 is " + actual + ", not the " + record.sha256 + " recorded when it was installed";
  return DigestCheck::damaged;
}

bool daLocalPolicy::soundOrRecorded(DigestCheck check, std::string& problem) {
  if (check == DigestCheck::matches) return true;
  if (check == DigestCheck::damaged) return false;
  // No record, or one made for another file (replaced outside the library,
  // perhaps under the same inode number) or an earlier state of this one:
  // only the structure can condemn the file. A sound one is recorded anew.
  hx_db_verify_report report;
  unsigned long verifyStatus = 0;
  hx_db_verify_file(getPath(), report, verifyStatus);
  if (verifyStatus == 0) {
    recordDigest(getPath());
    return true;
  }
  if (verifyStatus != hx_db_s_corrupt) return true;  // unreadable: the open reports it
  problem = "page " + std::to_string(report.page) + ": " + report.problem;
  return false;
}

void daLocalPolicy::setAsideDamaged(std::string const& problem) {
  std::string path = getPath();
  std::string damaged = path + damagedSuffix;
  HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_error, da_m_replica_damaged, "%s%s", path.c_str(),
         problem.c_str());
  hx_db_remove_file(damaged.c_str());
  unsigned long st = 0;
  moveFile(path.c_str(), damaged.c_str(), st);
  ::unlink(hx_db_lock_file(path.c_str()).c_str());
  ::unlink((path + digestSuffix).c_str());
}

void daLocalPolicy::checkReplicaFile(unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalPolicy::checkReplicaFile", status, __FILE__, __LINE__);
  if (!client_ || isStoreOpen() || !getPath() || !*getPath()) return;
  struct stat st {};
  if (::stat(getPath(), &st) != 0) return;
  std::string problem;
  if (soundOrRecorded(compareWithDigest(problem), problem)) return;
  setAsideDamaged(problem);
  status = hx_db_s_corrupt;
}

void daLocalPolicy::checkReplica(unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalPolicy::checkReplica", status, __FILE__, __LINE__);
  if (!client_) {
    status = hx_db_s_corrupt;
    return;
  }
  if (!isStoreOpen()) return;
  std::string problem;
  DigestCheck check = compareWithDigest(problem);
  if (check == DigestCheck::unrecorded || soundOrRecorded(check, problem)) return;
  {
    daCacheStateLock exclusive(replacementLockTarget(), replacing);
    unsigned long closeStatus = 0;
    closeStore(closeStatus);
    setAsideDamaged(problem);
  }
  rebuildDatabase(status);
}

uint32_t daLocalPolicy::isStoreCurrent() {
  unsigned long status = 0;
  DBTrace trace("daLocalPolicy::isStoreCurrent", status, __FILE__, __LINE__);
  if (!client_) return 1;
  unsigned long local = invalidSeqnum;
  unsigned long master = invalidSeqnum;
  getLocalSeqNum(local);
  client_->getMasterSeqNum(master, status);
  return status == 0 && master == local ? 1 : 0;
}

void daLocalPolicy::startMonitorThread(daLocalPolicy* store) {
  // One monitor per store: a second openPolicy replaces the first monitor
  // rather than leaving it running unowned.
  stopMonitorThread();
  monitor_ = std::make_unique<monitorThread>(store, monitorPeriod);
  monitor_->start();
}

void daLocalPolicy::stopMonitorThread() {
  if (!monitor_) return;
  monitor_->stop();
  monitor_->waitForExit();
  monitor_.reset();
}
