// Foundation locks, conditions, thread-local slots and the periodic sleeper
// thread. Every lock here is meant to be held through its scope guard
// (ZResourceLock_6_0, ZStackReadWriteLock_6_0, std::unique_lock).
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <thread>

// Plain mutual-exclusion lock; also a C++ BasicLockable.
class ZLock_6_0 {
 public:
  ZLock_6_0() = default;
  ZLock_6_0(ZLock_6_0 const&) = delete;
  ZLock_6_0& operator=(ZLock_6_0 const&) = delete;
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }
  bool try_lock() { return m_.try_lock(); }

 private:
  std::mutex m_;
};

// Holds a ZLock_6_0 for the guard's scope.
class ZResourceLock_6_0 {
 public:
  explicit ZResourceLock_6_0(ZLock_6_0& l) : l_(l) { l_.lock(); }
  ~ZResourceLock_6_0() { l_.unlock(); }
  ZResourceLock_6_0(ZResourceLock_6_0 const&) = delete;
  ZResourceLock_6_0& operator=(ZResourceLock_6_0 const&) = delete;

 private:
  ZLock_6_0& l_;
};

// Many readers or one writer; not recursive. A waiting writer goes first:
// readers that arrive while it waits queue behind it, so a cache clear or a
// database replacement is not starved by a steady stream of readers (which
// is also why a thread must never take the read lock twice).
class ZReadWriteLock_6_0 {
 public:
  enum Mode { NONE = 0, READ = 1, WRITE = 2 };
  ZReadWriteLock_6_0() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&m_, &attr);
    pthread_rwlockattr_destroy(&attr);
  }
  ~ZReadWriteLock_6_0() { pthread_rwlock_destroy(&m_); }
  ZReadWriteLock_6_0(ZReadWriteLock_6_0 const&) = delete;
  ZReadWriteLock_6_0& operator=(ZReadWriteLock_6_0 const&) = delete;
  void readLock() { pthread_rwlock_rdlock(&m_); }
  void readUnlock() { pthread_rwlock_unlock(&m_); }
  void writeLock() { pthread_rwlock_wrlock(&m_); }
  void writeUnlock() { pthread_rwlock_unlock(&m_); }
  bool tryWriteLock() { return pthread_rwlock_trywrlock(&m_) == 0; }
  // C++ SharedLockable spelling, so std::shared_lock works too.
  void lock() { writeLock(); }
  void unlock() { writeUnlock(); }
  void lock_shared() { readLock(); }
  void unlock_shared() { readUnlock(); }

 private:
  pthread_rwlock_t m_;
};

// Scope guard of a ZReadWriteLock_6_0 in a given mode; the mode can be
// changed by unlocking and locking again; whatever is held is released at
// scope end.
class ZStackReadWriteLock_6_0 {
 public:
  explicit ZStackReadWriteLock_6_0(ZReadWriteLock_6_0& l, ZReadWriteLock_6_0::Mode mode = ZReadWriteLock_6_0::NONE)
      : l_(l) {
    if (mode == ZReadWriteLock_6_0::READ) readLock();
    else if (mode == ZReadWriteLock_6_0::WRITE) writeLock();
  }
  ~ZStackReadWriteLock_6_0() { unlock(); }
  ZStackReadWriteLock_6_0(ZStackReadWriteLock_6_0 const&) = delete;
  ZStackReadWriteLock_6_0& operator=(ZStackReadWriteLock_6_0 const&) = delete;

  void readLock() { unlock(); l_.readLock(); held_ = ZReadWriteLock_6_0::READ; }
  void writeLock() { unlock(); l_.writeLock(); held_ = ZReadWriteLock_6_0::WRITE; }
  void unlock() {
    if (held_ == ZReadWriteLock_6_0::READ) l_.readUnlock();
    else if (held_ == ZReadWriteLock_6_0::WRITE) l_.writeUnlock();
    held_ = ZReadWriteLock_6_0::NONE;
  }
  ZReadWriteLock_6_0::Mode held() const { return held_; }

 private:
  ZReadWriteLock_6_0& l_;
  ZReadWriteLock_6_0::Mode held_ = ZReadWriteLock_6_0::NONE;
};

// A lock with one condition. wait() must be called with the lock held; its
// timeout is in milliseconds (a waiter whose wake-up slipped past it stalls
// at most one timeout).
class ZCondition_6_0 {
 public:
  ZCondition_6_0() = default;
  ZCondition_6_0(ZCondition_6_0 const&) = delete;
  ZCondition_6_0& operator=(ZCondition_6_0 const&) = delete;
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }
  // Waits for a broadcast or signal, or until timeoutMs passes (timedOut is
  // then true). The lock is held again on return.
  void wait(long timeoutMs, bool& timedOut) {
    std::unique_lock<std::mutex> g(m_, std::adopt_lock);
    timedOut = cv_.wait_for(g, std::chrono::milliseconds(timeoutMs)) == std::cv_status::timeout;
    g.release();
  }
  void wait() {
    std::unique_lock<std::mutex> g(m_, std::adopt_lock);
    cv_.wait(g);
    g.release();
  }
  void broadcast() { cv_.notify_all(); }
  void signal() { cv_.notify_one(); }
  std::mutex& mutex() { return m_; }

 private:
  std::mutex m_;
  std::condition_variable cv_;
};

// Thread-local slots.
class ZThread_6_0 {
 public:
  using Key = pthread_key_t;
  // Creates a slot; destructor (may be null) runs at thread exit on a
  // non-null value.
  static Key createThreadKey(void (*destructor)(void*) = nullptr) {
    Key k{};
    pthread_key_create(&k, destructor);
    return k;
  }
  static void setThreadObject(Key k, void* value) { pthread_setspecific(k, value); }
  static void* getThreadObject(Key k) { return pthread_getspecific(k); }
};

// A thread that calls run() once per period until stopped. awaken() runs it
// at once; stop() asks it to finish and waitForExit() joins it. Periods are
// in milliseconds.
class ZSleeperThread_6_0 {
 public:
  explicit ZSleeperThread_6_0(long periodMs) : periodMs_(periodMs) {}
  ZSleeperThread_6_0(ZSleeperThread_6_0 const&) = delete;
  ZSleeperThread_6_0& operator=(ZSleeperThread_6_0 const&) = delete;
  virtual ~ZSleeperThread_6_0() { stop(); waitForExit(); }

  void start() {
    std::lock_guard<std::mutex> g(m_);
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { loop(); });
  }
  void awaken() {
    std::lock_guard<std::mutex> g(m_);
    awake_ = true;
    cv_.notify_all();
  }
  void stop() {
    std::lock_guard<std::mutex> g(m_);
    stopping_ = true;
    cv_.notify_all();
  }
  void waitForExit() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }
  bool isRunning() const { return thread_.joinable(); }
  void setPeriod(long periodMs) {
    std::lock_guard<std::mutex> g(m_);
    periodMs_ = periodMs;
  }

 protected:
  virtual void run() = 0;

 private:
  void loop() {
    for (;;) {
      {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait_for(g, std::chrono::milliseconds(periodMs_), [this] { return stopping_ || awake_; });
        awake_ = false;
        if (stopping_) return;
      }
      run();
    }
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::thread thread_;
  long periodMs_;
  bool stopping_ = false;
  bool awake_ = false;
};
