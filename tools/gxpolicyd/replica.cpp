#include "tools/gxpolicyd/replica.h"

#include "GxCore/db/daFileReplicatedClient.h"
#include "tools/status_text.h"

namespace gxpolicyd {

namespace {

bool isUrl(std::string const& s) { return s.rfind("http://", 0) == 0 || s.rfind("https://", 0) == 0; }

}  // namespace

ServedReplica::ServedReplica(ReplicaOptions options, std::function<void(std::string const&)> log)
    : options_(std::move(options)), log_(std::move(log)) {
  if (options_.master.empty()) return;
  if (isUrl(options_.master)) {
    daHttpReplicaOptions http = options_.http;
    if (http.domain.empty()) http.domain = options_.domain;
    client_ = std::make_unique<daHttpReplicatedClient>(options_.master, http);
  } else {
    client_ = std::make_unique<daFileReplicatedClient>(options_.master.c_str(), options_.domain.c_str());
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
  if (client_) policy_->setReplicatedClient(client_.get());
  unsigned long st = 0;
  policy_->openPolicy(1, st);
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

double ServedReplica::ageSeconds() const {
  if (!open_.load()) return -1;
  Clock::duration since = Clock::now().time_since_epoch() - Clock::duration(confirmed_.load(std::memory_order_relaxed));
  return std::chrono::duration<double>(since).count();
}

void ServedReplica::start() {
  if (!client_ || thread_.joinable()) return;
  thread_ = std::thread([this] { run(); });
}

void ServedReplica::refreshNow() {
  std::lock_guard<std::mutex> hold(mutex_);
  requested_ = true;
  wake_.notify_all();
}

void ServedReplica::stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
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
    checkOnce();
  }
}

// One question to the master; rebuilds when it moved. A failure is logged
// when it starts (not on every check) and so is the recovery; the replica
// keeps serving its last good copy meanwhile.
void ServedReplica::checkOnce() {
  unsigned long local = 0, master = daLocalStore::invalidSeqnum, st = 0;
  policy_->getLocalSeqNum(local);
  client_->getMasterSeqNum(master, st);
  if (st == 0 && master != local) {
    policy_->rebuildDatabase(st);
    if (st == daAbstractReplicatedClient::s_replica_current) st = 0;
    if (st == 0) {
      unsigned long after = 0;
      policy_->getLocalSeqNum(after);
      rebuilds_.fetch_add(1, std::memory_order_relaxed);
      log_("replica " + options_.db + ": sequence " + std::to_string(local) + " -> " + std::to_string(after) +
           ": rebuilt from " + options_.master);
    } else {
      failures_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  checks_.fetch_add(1, std::memory_order_relaxed);
  if (st == 0) {
    confirmed_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    if (lastFailure_ != 0) log_("replica " + options_.db + ": the master answers again");
  } else if (st != lastFailure_) {
    log_("replica " + options_.db + ": sequence " + std::to_string(local) + " kept: " + describe(st));
  }
  lastFailure_ = st;
}

}  // namespace gxpolicyd
