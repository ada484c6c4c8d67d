// gxpolicyd's audit trail: the sink its stores hand decisions to. Each
// record is made into one JSON line (tools/common/audit_record.h) on the
// deciding thread and put in a bounded queue; one writer thread writes
// what is queued as one batch, with one write() per batch, to a file
// (rotated by size), to syslog and/or to the journal.
//
// What can be lost:
// - a full queue makes a decision wait (block, the default) or drops the
//   record and counts it (drop);
// - stop (SIGTERM) writes everything queued before it returns;
// - a SIGKILL loses what is queued and not yet written: at most one flush
//   interval of records, none in strict mode, where record() returns only
//   once the batch holding its record has been written (group commit: the
//   records that arrive while one batch is being written go out together
//   in the next);
// - a power loss loses what the kernel had not put on disk: the records of
//   the last fsync interval and of a sync still running (none in strict
//   mode with fsync interval 0, which syncs each batch before the waiting
//   decisions go on). The interval's syncs run on a thread of their own,
//   so a slow disk does not hold up the writer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "GxCore/db/daAudit.h"
#include "tools/gxpolicyd/metrics.h"

namespace gxpolicyd {

enum class AuditFull { block, drop };

struct AuditOptions {
  std::string file;             // "" when no file is written
  bool syslog = false;          // also (or only) to syslog, facility authpriv
  bool journal = false;         // also (or only) to the journal, an entry per record with GX_* fields
  std::string syslogSocket = "/dev/log";  // the local syslog daemon's datagram socket
  std::uint64_t maxBytes = 0;   // rotate the file before it grows past this; 0: never
  unsigned keep = 5;            // rotated files kept: FILE.1 (newest) .. FILE.keep
  std::size_t queue = 65536;    // records queued at most
  AuditFull full = AuditFull::block;
  std::chrono::milliseconds flush{5};     // the writer writes at least this often
  bool strict = false;                    // record() waits until its record is written
  std::chrono::milliseconds fsync{1000};  // the file is fsync'ed at least this often; 0: every batch
};

// Checks an audit file path as open does, without starting anything (for
// start-up messages): "" when usable, else why not.
std::string checkAuditFile(std::string const& path);

class AuditTrail final : public daAuditSink {
 public:
  using Log = std::function<void(std::string const&)>;

  // Opens the destinations and starts the writer (and, for a file synced
  // at an interval, the syncer). The file is created with
  // mode 0600 when missing and opened O_APPEND|O_NOFOLLOW|O_CLOEXEC; it is
  // refused (null, error saying why) when it is a symbolic link, not a
  // regular file, has other links, belongs to another user, may be read
  // or written by group or others, or lies in a directory others may write
  // without the sticky bit. Also null when options are inconsistent (no
  // destination, queue 0, keep 0 with rotation). counters are counted into
  // (and marked enabled) for the trail's life; log receives write failures
  // (when they start and when they end) and rotation failures. Throws
  // std::system_error when the writer thread cannot start.
  static std::unique_ptr<AuditTrail> open(AuditOptions const& options, AuditCounters& counters, Log log,
                                          std::string& error);
  AuditTrail(AuditTrail const&) = delete;
  AuditTrail& operator=(AuditTrail const&) = delete;
  // stop(), then closes the destinations.
  ~AuditTrail() override;

  // The sink's call, on the deciding thread: formats r, queues it, and
  // with a full queue waits (block) or drops it (drop). In strict mode it
  // returns once the batch holding r has been written (or failed to be:
  // counted as lost). After stop, records are dropped and counted.
  // Thread-safe; never throws (a record that cannot be formatted for want
  // of memory is dropped and counted).
  void record(daAuditRecord const& r) noexcept override;

  // The replica's digest for records of policy sequence number sequence
  // (records of another sequence carry none). Thread-safe.
  void setDigest(std::uint32_t sequence, std::string digest);

  // Writes everything queued, syncs the file, and stops the writer. Call
  // once no more decisions are made (after the HTTP server stopped).
  // Idempotent; thread-safe.
  void stop();

 private:
  struct Digest {
    std::uint32_t sequence;
    std::string text;
  };
  AuditTrail(AuditOptions const& options, AuditCounters& counters, Log log, int fd, std::uint64_t size);
  void run();
  // Writes one batch of n records to every destination; counts them.
  void writeBatch(std::string const& batch, std::uint64_t n);
  bool writeFile(std::string const& batch);
  // Sends each line of batch to the syslog socket as one message; false
  // when a message could not be sent (after one reconnection).
  bool sendSyslog(std::string const& batch);
  bool sendSyslogLine(std::string_view line);
  // Sends each line of batch to the journal as an entry; false when one was refused.
  bool sendJournal(std::string const& batch);
  bool writeAll(std::string_view bytes);
  void rotate();
  // false when a sync run here failed. A failed sync (here, or on the
  // syncer since the last call) is logged and the file closed: the next
  // batch opens it afresh, and records counted before are not trusted to
  // be on the disk.
  bool syncFile(bool force);
  void syncFailed(int error);
  void runSyncer();
  std::shared_ptr<Digest const> digestFor(std::uint32_t sequence);

  AuditOptions options_;
  AuditCounters& counters_;
  Log log_;

  // The file: writer thread only once started.
  int fd_ = -1;
  std::uint64_t fileSize_ = 0;
  std::chrono::steady_clock::time_point lastSync_;
  bool unsynced_ = false;
  bool failing_ = false;
  // The syslog socket: writer thread only; -1 until connected.
  int syslogFd_ = -1;
  std::string syslogPrefix_;  // "<86>" ... made per message

  std::mutex mutex_;
  std::condition_variable wakeWriter_;  // records to write, or stopping
  std::condition_variable progress_;    // room in the queue, or a batch written
  std::string pending_;                 // queued lines, under mutex_
  std::uint64_t pendingCount_ = 0;      // under mutex_
  std::uint64_t enqueued_ = 0;          // records ever queued, under mutex_
  std::uint64_t finished_ = 0;          // records ever written or lost, under mutex_
  bool stopping_ = false;               // under mutex_
  bool writerIdle_ = false;             // under mutex_: the writer waits for a first record
  std::thread writer_;

  // The syncer: fdatasync of a duplicate descriptor, off the writer.
  std::mutex syncLock_;
  std::condition_variable syncWake_;
  int syncFd_ = -1;        // under syncLock_: the descriptor to sync, -1 when none is asked or running
  bool syncStop_ = false;  // under syncLock_
  int syncError_ = 0;      // under syncLock_: errno of the syncer's last failed sync, 0 when none
  std::thread syncer_;
  std::once_flag stopped_;

  std::mutex digestLock_;
  std::shared_ptr<Digest const> digest_;  // under digestLock_
  std::atomic<std::uint64_t> digestGeneration_{0};
};

}  // namespace gxpolicyd
