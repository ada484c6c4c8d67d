// The replica gxpolicyd decides from: a local database file opened read
// only, and, when a master is given (a database file or a URL where
// snapshots are published), a thread that keeps it current -- it asks the
// master for its sequence number every refresh period, or at once when
// asked (SIGHUP), and rebuilds the replica when the numbers differ.
// Decisions go on during a rebuild: the swap holds the store's state lock
// exclusively only while the new file is put in place.
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

#include "GxCore/db/daHttpReplicatedClient.h"
#include "GxCore/db/daLocalPolicy.h"

namespace gxpolicyd {

struct ReplicaOptions {
  std::string db;                 // the replica's database file
  std::string master;             // "" (serve db as it is), a database file, or an http(s):// URL
  std::string domain = "Default";
  double refreshSeconds = 10;     // between two questions to the master
  unsigned int cacheSize = 32768;  // entries of the policy cache
  daHttpReplicaOptions http;      // for a URL master
};

class ServedReplica {
 public:
  // log receives one line per event (rebuilds, failures, recoveries).
  ServedReplica(ReplicaOptions options, std::function<void(std::string const&)> log);
  ServedReplica(ServedReplica const&) = delete;
  ServedReplica& operator=(ServedReplica const&) = delete;
  // Stops the refresh thread and closes the store.
  ~ServedReplica();

  // Opens the replica read only (with a master: rebuilt first when it is
  // missing, damaged or behind, as a server's local policy does). Returns
  // 0, or the open's status with error saying what failed; the store stays
  // closed then. Call once, before start.
  unsigned long open(std::string& error);
  // Starts the refresh thread (nothing without a master).
  void start();
  // Asks the refresh thread to check the master now.
  void refreshNow();
  // Stops and joins the refresh thread.
  void stop();

  // The store decisions are asked of; valid after a successful open.
  daCachedStore& store() { return *policy_; }
  bool isOpen() const;
  bool hasMaster() const { return client_ != nullptr; }
  unsigned long sequence() const;
  // Seconds since the replica was last known to match its master (since
  // the open without a master); negative before the open.
  double ageSeconds() const;
  std::uint64_t rebuilds() const { return rebuilds_.load(std::memory_order_relaxed); }
  std::uint64_t rebuildFailures() const { return failures_.load(std::memory_order_relaxed); }
  // The number of completed questions to the master (successful or not).
  std::uint64_t checks() const { return checks_.load(std::memory_order_relaxed); }

 private:
  using Clock = std::chrono::steady_clock;
  void run();
  void checkOnce();
  std::string describe(unsigned long status) const;

  ReplicaOptions options_;
  std::function<void(std::string const&)> log_;
  std::unique_ptr<daAbstractReplicatedClient> client_;
  std::unique_ptr<daLocalPolicy> policy_;
  std::atomic<bool> open_{false};
  std::atomic<Clock::rep> confirmed_{0};  // steady-clock ticks of the last confirmation
  std::atomic<std::uint64_t> rebuilds_{0}, failures_{0}, checks_{0};
  unsigned long lastFailure_ = 0;  // refresh thread only

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;   // under mutex_
  bool requested_ = false;  // under mutex_
  std::thread thread_;
};

}  // namespace gxpolicyd
