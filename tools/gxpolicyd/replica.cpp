#include "tools/gxpolicyd/replica.h"

#include <sys/stat.h>

#include <filesystem>
#include <new>
#include <utility>

#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/remote/daDelta.h"
#include "outside/ZObject.h"
#include "outside/hxdigest.h"
#include "tools/common/status_text.h"

namespace gxpolicyd {

namespace {

bool isUrl(std::string const& s) {
  return s.rfind("http://", 0) == 0 || s.rfind("https://", 0) == 0 || s.rfind("s3://", 0) == 0 ||
         s.rfind("oci://", 0) == 0;
}

}  // namespace

ServedReplica::ServedReplica(ReplicaOptions options, std::function<void(std::string const&)> log,
                             std::function<void()> changed)
    : options_(std::move(options)), log_(std::move(log)), changed_(std::move(changed)) {
  if (options_.master.empty()) return;
  if (isUrl(options_.master)) {
    daHttpReplicaOptions http = options_.http;
    if (http.domain.empty()) http.domain = options_.domain;
    http.allowRollback = options_.allowRollback;
    auto client = std::make_unique<daHttpReplicatedClient>(options_.master, http);
    http_ = client.get();
    client_ = std::move(client);
  } else {
    auto client = std::make_unique<daFileReplicatedClient>(options_.master.c_str(), options_.domain.c_str());
    client->setAllowRollback(options_.allowRollback);
    client_ = std::move(client);
  }
}

ServedReplica::~ServedReplica() {
  stop();
  if (policy_ && open_.load()) {
    unsigned long st = 0;
    policy_->closePolicy(st);
  }
}

std::string ServedReplica::describe(unsigned long status) const {
  return client_ ? gxpolicy::replicationFailure(*client_, status) : gxpolicy::statusText(status);
}

unsigned long ServedReplica::open(std::string& error) {
  policy_ = std::make_unique<daLocalPolicy>(options_.domain.c_str(), options_.db.c_str(), 1, options_.cacheSize);
  policy_->setDefaultAuditLevel(options_.auditLevel);
  if (options_.audit) policy_->setAuditSink(options_.audit);
  unsigned long st = 0;
  if (client_) {
    // An intact replica is served as it is; the master is asked afterwards,
    // in the background, so a master that does not answer delays nothing.
    policy_->setReplicatedClient(client_.get());
    policy_->checkReplicaFile(st);  // a damaged file is set aside: the open below rebuilds
    struct stat info;
    if (::stat(options_.db.c_str(), &info) == 0) {
      policy_->setReplicatedClient(nullptr);
      policy_->openPolicy(1, st);
      policy_->setReplicatedClient(client_.get());
      if (st != 0) {
        unsigned long closeStatus = 0;
        policy_->closePolicy(closeStatus);
      }
    } else {
      st = 1;
    }
    if (st != 0) policy_->openPolicy(1, st);
  } else {
    policy_->openPolicy(1, st);
  }
  if (st != 0) {
    error = "cannot open the replica " + options_.db +
            (client_ ? " or rebuild it from " + options_.master : std::string()) + ": " + describe(st);
    return st;
  }
  open_.store(true);
  confirmed_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  return 0;
}

bool ServedReplica::isOpen() const {
  return open_.load() && policy_->getCacheState() != daCachedStore::closed;
}

unsigned long ServedReplica::sequence() const {
  if (!open_.load()) return 0;
  unsigned long seq = 0;
  policy_->getLocalSeqNum(seq);
  return seq;
}

std::string ServedReplica::digest() const {
  // A replica that took deltas names its contents by its content digest;
  // its whole-file record went with the first delta.
  unsigned long seq = 0;
  daContentDigest content;
  if (open_.load() && policy_->getDBHandle() && daReadDigestRecord(policy_->getDBHandle(), seq, content) &&
      !std::filesystem::exists(options_.db + daLocalPolicy::digestSuffix))
    return content.hex();
  hx_digest_record record;
  unsigned long st = 0;
  hx_digest_read((options_.db + daLocalPolicy::digestSuffix).c_str(), record, st);
  return st == 0 ? record.sha256 : std::string();
}

double ServedReplica::ageSeconds() const {
  if (!open_.load()) return -1;
  Clock::duration since = Clock::now().time_since_epoch() - Clock::duration(confirmed_.load(std::memory_order_relaxed));
  return std::chrono::duration<double>(since).count();
}

void ServedReplica::start() {
  if (thread_.joinable()) return;
  // The replica opened from its own file has not been compared with the
  // master yet.
  if (client_) requested_ = true;
  thread_ = std::thread([this] {
    run();
    std::lock_guard<std::mutex> hold(mutex_);
    finished_ = true;
    wake_.notify_all();
  });
}

void ServedReplica::refreshNow() {
  std::lock_guard<std::mutex> hold(mutex_);
  requested_ = true;
  wake_.notify_all();
}

bool ServedReplica::stop(std::chrono::milliseconds grace) {
  {
    std::unique_lock<std::mutex> hold(mutex_);
    stopping_ = true;
    wake_.notify_all();
    if (!thread_.joinable()) return true;
    if (http_ != nullptr) http_->cancel();
    auto done = [this] { return finished_; };
    if (grace == std::chrono::milliseconds::max()) wake_.wait(hold, done);
    else if (!wake_.wait_for(hold, grace, done)) return false;
  }
  thread_.join();
  return true;
}

void ServedReplica::run() {
  auto period = std::chrono::duration<double>(options_.refreshSeconds);
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(mutex_);
      wake_.wait_for(hold, period, [this] { return stopping_ || requested_; });
      if (stopping_) return;
      requested_ = false;
    }
    checkGuarded();
  }
}

void ServedReplica::checkGuarded() {
  try {
    if (client_) checkOnce();
    else checkFileOnce();
    outOfMemory_ = false;
  } catch (std::bad_alloc const&) {
    // The store answers from what it holds (or, when the failure left it
    // closed, 503 until the next check reopens it).
    failures_.fetch_add(1, std::memory_order_relaxed);
    if (!std::exchange(outOfMemory_, true)) {
      try {
        log_("replica " + options_.db + ": out of memory while following " +
             (client_ ? "the master" : std::string("the database")) + "; tried again at the next refresh");
      } catch (std::bad_alloc const&) {
      }
    }
  }
}

unsigned long ServedReplica::reopen() {
  unsigned long st = 0;
  daCacheStateLock exclusive(*policy_, daCacheStates::replacing);
  unsigned long closeStatus = 0;
  policy_->closeStore(closeStatus);
  policy_->openStore(1, st);
  policy_->quickMap().invalidateQuickMapWithoutLock();
  if (st == 0) {
    try {
      st = policy_->quickMap().populateQuickMapWithoutLock(*policy_);
    } catch (ZInvalidParameterException_6_0 const&) {
      st = gx_s_no_action_group;
    }
  }
  return st;
}

// Counts and logs one check. tried: a new file or sequence number was
// taken (st 0) or failed to be (st its status). Failures are logged when
// they start (not on every check), and so is the recovery.
void ServedReplica::finishCheck(unsigned long before, bool tried, unsigned long st, CheckWords const& words) {
  if (tried && st == 0) {
    unsigned long after = 0;
    policy_->getLocalSeqNum(after);
    rebuilds_.fetch_add(1, std::memory_order_relaxed);
    log_(words.subject + ": sequence " + std::to_string(before) + " -> " + std::to_string(after) + ": " + words.took);
    if (changed_) changed_();
  } else if (tried) {
    failures_.fetch_add(1, std::memory_order_relaxed);
  }
  checks_.fetch_add(1, std::memory_order_relaxed);
  if (st == 0) {
    confirmed_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    if (lastFailure_ != 0) log_(words.subject + ": " + words.recovered);
  } else if (st != lastFailure_) {
    log_(words.subject + ": sequence " + std::to_string(before) + " kept: " + words.failed + describe(st));
  }
  lastFailure_ = st;
}

// Without a master: the database file is the source. Its sequence number
// is read through a store of its own (a new read transaction sees other
// processes' commits; a replaced file is opened anew); when it differs from
// the served store's, the served store is reopened.
void ServedReplica::checkFileOnce() {
  unsigned long local = 0, onDisk = daLocalStore::invalidSeqnum, st = 0;
  policy_->getLocalSeqNum(local);
  {
    daLocalStore file(options_.domain.c_str(), options_.db.c_str());
    file.openStore(1, st);
    if (st == 0) file.getLocalSeqNum(onDisk);
  }
  bool tried = st == 0 && (onDisk != local || policy_->getCacheState() == daCachedStore::closed);
  if (tried) st = reopen();
  finishCheck(local, tried, st, {"database " + options_.db, "reopened", "readable again", "cannot read or reopen it: "});
}

// One question to the master; rebuilds when it moved. The replica keeps
// serving its last good copy when that fails.
void ServedReplica::checkOnce() {
  unsigned long local = 0, master = daLocalStore::invalidSeqnum, st = 0;
  policy_->getLocalSeqNum(local);
  client_->getMasterSeqNum(master, st);
  bool tried = st == 0 && master != local;
  std::string took = "rebuilt from " + options_.master;
  if (tried && !catchUp(took)) {
    policy_->rebuildDatabase(st);
    if (st == daAbstractReplicatedClient::s_replica_current) st = 0;
  }
  finishCheck(local, tried, st, {"replica " + options_.db, took, "the master answers again", ""});
}

// A replica a few changes behind a URL master takes the published deltas
// instead of a whole snapshot. True when they brought it to the master's
// sequence number (took then says so); a chain that was refused is logged
// and the replica is rebuilt instead.
bool ServedReplica::catchUp(std::string& took) {
  if (!http_) return false;
  daCatchUpReport report;
  unsigned long st = 0;
  daCatchUpByDeltas(*http_, *policy_, report, st);
  if (st == 0) {
    took = "applied " + std::to_string(report.links) + (report.links == 1 ? " delta" : " deltas") + " (" +
           std::to_string(report.bytesFetched) + " bytes) from " + options_.master;
    return true;
  }
  if (st != da_s_delta_unusable)
    log_("replica " + options_.db + ": deltas from sequence " + std::to_string(report.from) + " refused (" +
         report.problem + "): " + describe(st) + "; rebuilding from the snapshot");
  return false;
}

}  // namespace gxpolicyd
