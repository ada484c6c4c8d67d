#include "GxCore/db/daFileReplicatedClient.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "GxCore/GxAuthznDBInfo.h"
#include "GxCore/daStoreObject.h"
#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/db/daLocalStore.h"
#include "GxCore/db/daReplicaRegistry.h"
#include "GxCore/db/dbtrace.h"
#include "outside/hxdb_verify.h"

namespace {

bool isBookkeeping(char const* key) {
  return std::strcmp(key, daLocalStore::dbObjectName) == 0 || std::strcmp(key, daLocalStore::dbSSLObjectName) == 0 ||
         std::strcmp(key, daLocalStore::dbDigestName) == 0;
}

// Decodes the record under key; 0 or the decode (or fetch) status.
unsigned long decodeOne(hx_db_handle* h, char const* key) {
  unsigned long status = 0;
  hx_db_record record(h, key, status);
  if (status != 0 || !record.get()) return status != 0 ? status : hx_db_s_not_found;
  daStoreObject* raw = nullptr;
  daStoreObject::decode(*record.get(), &raw, status);
  std::unique_ptr<daStoreObject> object(raw);  // a rule comes back even when it failed
  return status;
}

// A replica refuses a database without version information or older than
// 0x600; such a copy is refused here already.
void checkVersion(hx_db_handle* h, unsigned long& status) {
  status = 0;
  daAuthDBInfoName key;
  hx_db_record record(h, key.getFullName().getChars(), status);
  if (status == hx_db_s_not_found || !record.get()) {
    status = gx_s_no_db_info;
    return;
  }
  if (status != 0) return;
  GxAuthznDBInfo* raw = nullptr;
  GxAuthznDBInfo::decode(*record.get(), &raw, status);
  std::unique_ptr<GxAuthznDBInfo> info(raw);
  if (status == 0 && info->version() < daLocalPolicy::minimumDatabaseVersion) status = gx_s_db_too_old;
}

}  // namespace

daFileReplicatedClient::daFileReplicatedClient(char const* masterPath, char const* domain)
    : masterPath_(masterPath ? masterPath : ""), domain_(domain ? domain : ""), hasDomain_(domain != nullptr) {}

void daFileReplicatedClient::verifyMaster(unsigned long& status) {
  status = 0;
  hx_db_file_stamp stamp;
  hx_db_stamp_file(masterPath_.getChars(), stamp, status);
  if (status != 0 || (haveVerified_ && stamp == verified_)) return;
  hx_db_verify_report report;
  hx_db_verify_file(masterPath_.getChars(), report, status);
  if (status == hx_db_s_corrupt)
    HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_error, da_m_read_failed, "%s%lx",
           (std::string(masterPath_.getChars()) + ": page " + std::to_string(report.page) + ": " + report.problem).c_str(),
           status);
  haveVerified_ = status == 0;
  if (haveVerified_) verified_ = stamp;
}

void daFileReplicatedClient::getMasterSeqNum(unsigned long& seq, unsigned long& status) {
  status = 0;
  DBTrace trace("daFileReplicatedClient::getMasterSeqNum", status, __FILE__, __LINE__);
  seq = daLocalStore::invalidSeqnum;
  verifyMaster(status);
  if (status != 0) return;
  daLocalStore master(domainOrNull(), masterPath_.getChars());
  master.openStore(1, status);
  if (status == 0) master.getLocalSeqNum(seq);
}

void daFileReplicatedClient::replicateTo(unsigned long& seq, char const* path, unsigned long& status) {
  status = 0;
  DBTrace trace("daFileReplicatedClient::replicateTo", status, __FILE__, __LINE__);
  if (!path || !*path) {
    status = hx_db_s_bad_argument;
    return;
  }
  verifyMaster(status);
  if (status != 0) return;
  {
    daLocalStore master(domainOrNull(), masterPath_.getChars());
    master.openStore(1, status);
    if (status != 0) return;
    unsigned long masterSeq = daLocalStore::invalidSeqnum;
    master.getLocalSeqNum(masterSeq);
    if (masterSeq == seq) {
      status = s_replica_current;
      return;
    }
    if (!allowRollback_ && isOlderSequence(masterSeq, seq)) {
      HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_error, s_replica_rollback, "%s%lx",
             masterPath_.getChars(), masterSeq);
      status = s_replica_rollback;
      return;
    }
    hx_db_copy(master.getDBHandle(), path, status);
    if (status != 0) return;
  }  // the master is closed before the copy is opened
  verifyCopy(path, domainOrNull(), status);
  if (status != 0) {
    hx_db_remove_file(path);  // the refused copy and the lock file its check left
    return;
  }
  // The check opened the copy; its lock file must not follow it into place.
  ::unlink(hx_db_lock_file(path).c_str());
}

void daFileReplicatedClient::afterReplication(char const* replicaPath, unsigned long& status) {
  status = 0;
  DBTrace trace("daFileReplicatedClient::afterReplication", status, __FILE__, __LINE__);
  if (!replicaPath) return;
  std::string registry;
  daReadRegistryFile(daRegistryPathOf(masterPath_.getChars()), daMaxRegistryBytes, registry, status);
  if (status == hx_db_s_open_failed) {
    status = 0;  // the master has no registry
    return;
  }
  if (status == 0) daInstallRegistry(registry, daRegistryPathOf(replicaPath), status);
  if (status != 0)
    HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_error, da_m_read_failed, "%s%lx",
           daRegistryPathOf(masterPath_.getChars()).c_str(), status);
}

void daFileReplicatedClient::verifyCopy(char const* path, char const* domain, unsigned long& status,
                                        unsigned long* sequence) {
  status = 0;
  DBTrace trace("daFileReplicatedClient::verifyCopy", status, __FILE__, __LINE__);
  daLocalStore copy(domain, path);
  copy.openStore(1, status);
  if (status != 0) return;
  if (sequence) copy.getLocalSeqNum(*sequence);
  checkVersion(copy.getDBHandle(), status);
  if (status != 0) return;
  hx_db_handle* h = copy.getDBHandle();
  hx_db_iteration iteration(h, status);
  if (status != 0) return;
  for (;;) {
    unsigned long iterStatus = 0;
    char const* next = iteration.next(iterStatus);
    if (!next) {
      if (iterStatus != hx_db_s_end_of_iteration) status = iterStatus;
      return;
    }
    std::string key(next);  // valid only until the next iteration call
    if (isBookkeeping(key.c_str())) continue;
    unsigned long recordStatus = decodeOne(h, key.c_str());
    // A record of a type no class decodes (written by a newer writer, or a
    // tool that stores raw records) is carried as it is: a replica is a
    // copy, and one such record must not stop the whole policy from
    // replicating. Whoever reads that key gets the type's status then.
    if (recordStatus == da_s_unknown_type) {
      HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_warning, da_m_read_failed, "%s%lx", key.c_str(),
             recordStatus);
      continue;
    }
    if (recordStatus != 0) {
      status = recordStatus;
      HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_error, da_m_read_failed, "%s%lx", key.c_str(), status);
      return;
    }
  }
}
