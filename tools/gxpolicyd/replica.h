// The replica gxpolicyd decides from: a local database file opened read
// only, and a thread that keeps it current. With a master (a database file
// or a URL where snapshots are published) the thread asks the master for
// its sequence number every refresh period, or at once when asked
// (SIGHUP); when the numbers differ a URL master's published deltas bring
// the replica up to date in one write transaction (daDelta.h), and
// otherwise (no chain from its number, or a chain refused) it is rebuilt. Without one
// it reads the sequence number of the database file itself as often, and
// reopens the store when another process (gxpolicy) has committed to the
// file or replaced it. Decisions go on meanwhile: the store's state lock is
// held exclusively only while the file is put in place or reopened.
//
// Start-up never waits for a master when the replica file is there and
// intact: it is served at once and the first question to the master is
// asked in the background. Only a replica that is missing or damaged makes
// open wait for a copy, bounded by the HTTP client's time-outs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "GxCore/remote/daDoorbell.h"
#include "GxCore/remote/daHttpReplicatedClient.h"
#include "GxCore/db/daAudit.h"
#include "GxCore/db/daLocalPolicy.h"

namespace gxpolicyd {

struct ReplicaOptions {
  std::string db;                 // the replica's database file
  std::string master;             // "" (serve db as it is), a database file, or an http(s)://, s3:// or oci:// URL
  std::string domain = "Default";
  double refreshSeconds = 10;     // between two questions to the master
  unsigned int cacheSize = 32768;  // entries of the policy cache
  daHttpReplicaOptions http;      // for a URL master
  bool allowRollback = false;     // take a master older than the replica (a restore from a backup)
  std::shared_ptr<daAuditSink> audit;  // where the store's decisions are recorded; null: nowhere
  std::uint32_t auditLevel = daDefaultAuditLevel;  // for objects without a POP in force, and failures
  // With a master: a doorbell URL (daDoorbell.h; "" none) whose ring makes
  // the refresh thread ask the master at once, and the long-poll's wait.
  std::string doorbell;
  long doorbellWaitSeconds = 30;
};

// What awaitSequence found.
enum class AwaitResult { reached, timedOut, tooMany };

class ServedReplica {
 public:
  // log receives one line per event (rebuilds, reopens, failures,
  // recoveries). changed (may be empty) is called on the refresh thread
  // after the replica took a new file or sequence number.
  ServedReplica(ReplicaOptions options, std::function<void(std::string const&)> log,
                std::function<void()> changed = {});
  ServedReplica(ServedReplica const&) = delete;
  ServedReplica& operator=(ServedReplica const&) = delete;
  // Stops the refresh thread and closes the store.
  ~ServedReplica();

  // Opens the replica read only. With a master, a replica file that is
  // there and proves intact is opened as it is (start asks the master at
  // once); a missing or damaged one is rebuilt from the master first, which
  // waits as long as the client's time-outs allow. Returns 0, or the open's
  // status with error saying what failed; the store stays closed then.
  // The store hands its decisions to options.audit (when set) as
  // options.auditLevel and the POPs select them, across rebuilds and
  // reopens. Call once, before start. Throws std::bad_alloc.
  unsigned long open(std::string& error);
  // Starts the refresh thread (and the doorbell, when options name one);
  // with a master its first question is asked at once. A doorbell that
  // cannot start is logged and the replica polls as without one.
  void start();
  // Asks the refresh thread to check the master (or the file) now.
  void refreshNow();
  // The sequence number of the policy decisions are made on: set once the
  // replica's file or a change to it is fully in place (never ahead of the
  // policy in force, as the store's own number can be while a change is
  // being applied). 0 before the open.
  unsigned long servedSequence() const { return served_.load(std::memory_order_acquire); }
  // Waits until servedSequence() >= wanted, at most bound: reached (at once
  // when it already is), or timedOut. While it waits the refresh thread asks
  // the master at once and again every 50 ms until the number is reached.
  // At most maxWaiters calls wait at once; one more returns tooMany without
  // waiting. have gets servedSequence() as the call returns. Thread-safe.
  AwaitResult awaitSequence(unsigned long wanted, std::chrono::milliseconds bound, unsigned maxWaiters,
                            unsigned long& have);
  // Whether the replica has a doorbell (set up by start()), whether it hears
  // its source (daDoorbell::answering), the rings heard, and the doorbell's
  // requests or messages (false and 0 without a doorbell).
  bool hasDoorbell() const { return doorbell_ != nullptr; }
  bool doorbellAnswering() const { return doorbell_ && doorbell_->answering(); }
  std::uint64_t rings() const { return rings_.load(std::memory_order_relaxed); }
  std::uint64_t doorbellRequests() const { return doorbell_ ? doorbell_->requests() : 0; }
  // Stops the refresh thread and joins it: true. A question to a URL master
  // in flight is cancelled first (it ends within about a second). When the
  // thread has not finished
  // within grace (a question to a master that does not answer), false: the
  // thread is still running and the object must not be destroyed; the
  // caller ends the process instead.
  bool stop(std::chrono::milliseconds grace = std::chrono::milliseconds::max());

  // The store decisions are asked of; valid after a successful open.
  daCachedStore& store() { return *policy_; }
  bool isOpen() const;
  bool hasMaster() const { return client_ != nullptr; }
  unsigned long sequence() const;
  // The SHA-256 of the replica file as installed (its digest record); once
  // deltas changed the file, its content digest (daDelta.h) instead; ""
  // when it has neither (a database served without a master). Reads the
  // open file: call it before start or from the changed callback.
  std::string digest() const;
  // Seconds since the replica was last known to match its master (a
  // replica opened from its own file counts as current at the open), or
  // without a master since the database file was last read; negative
  // before the open.
  double ageSeconds() const;
  std::uint64_t rebuilds() const { return rebuilds_.load(std::memory_order_relaxed); }
  std::uint64_t rebuildFailures() const { return failures_.load(std::memory_order_relaxed); }
  // The number of completed questions to the master (successful or not).
  std::uint64_t checks() const { return checks_.load(std::memory_order_relaxed); }

 private:
  using Clock = std::chrono::steady_clock;
  void run();
  // What the log lines of a check say: "<subject>: sequence A -> B: <took>",
  // "<subject>: <recovered>", "<subject>: sequence A kept: <failed><status>".
  struct CheckWords {
    std::string subject, took, recovered, failed;
  };
  void checkOnce();
  void checkFileOnce();
  bool catchUp(std::string& took);
  // checkOnce or checkFileOnce; memory running out is counted as a failed
  // check and logged once per run of them (the thread goes on).
  void checkGuarded();
  void finishCheck(unsigned long before, bool tried, unsigned long st, CheckWords const& words);
  // Closes and opens the store again under its exclusive state lock, so
  // that caches, the quick map and the policy epoch follow the file.
  unsigned long reopen();
  std::string describe(unsigned long status) const;

  ReplicaOptions options_;
  std::function<void(std::string const&)> log_;
  std::function<void()> changed_;
  std::unique_ptr<daAbstractReplicatedClient> client_;
  daHttpReplicatedClient* http_ = nullptr;  // client_ when the master is a URL: stop cancels its request
  std::unique_ptr<daLocalPolicy> policy_;
  std::atomic<bool> open_{false};
  std::atomic<Clock::rep> confirmed_{0};  // steady-clock ticks of the last confirmation
  std::atomic<std::uint64_t> rebuilds_{0}, failures_{0}, checks_{0}, rings_{0};
  std::atomic<unsigned long> served_{0};
  std::unique_ptr<daDoorbell> doorbell_;
  // Read-your-writes waiters: how many, and the largest number one wants.
  std::mutex waitMutex_;
  std::condition_variable reached_;
  unsigned waiters_ = 0;       // under waitMutex_
  unsigned long wanted_ = 0;   // under waitMutex_
  // Publishes the store's sequence number as served and wakes the waiters.
  void publishServed();
  bool someoneWaits();
  unsigned long lastFailure_ = 0;  // refresh thread only
  bool outOfMemory_ = false;       // refresh thread only: the last check ran out of memory

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;   // under mutex_
  bool requested_ = false;  // under mutex_
  bool finished_ = false;   // under mutex_: run has returned
  std::thread thread_;
};

}  // namespace gxpolicyd
