#include "tools/gxpolicyd/audit.h"
#include "tools/gxpolicyd/systemd.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include "tools/common/audit_record.h"

namespace gxpolicyd {

namespace {

using Clock = std::chrono::steady_clock;

std::string parentOf(std::string const& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Why the open file fd (at path) may not hold an audit trail, or "".
// Why the directory holding path cannot hold a trail, or "".
std::string directoryRefusal(std::string const& path) {
  struct stat dir {};
  std::string parent = parentOf(path);
  if (::stat(parent.c_str(), &dir) != 0) return "cannot examine " + parent + ": " + std::strerror(errno);
  if ((dir.st_mode & S_IWOTH) != 0 && (dir.st_mode & S_ISVTX) == 0)
    return "the directory " + parent + " may be written by anyone: others could replace the trail";
  return "";
}

std::string refusal(int fd, std::string const& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return "cannot examine " + path + ": " + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
  if (st.st_nlink > 1) return path + " has other hard links: give a file of its own";
  if (st.st_uid != ::geteuid()) return path + " belongs to another user";
  if ((st.st_mode & 077) != 0) return path + " may be read or written by others than its owner (chmod 600)";
  return directoryRefusal(path);
}

// A process killed while writing may leave the trail's last record cut
// short, without its newline. The cut record is ended with one, so that the
// next record starts a line of its own rather than being joined to it (and
// lost to every reader). "" or why it could not be.
std::string endCutRecord(int fd, std::string const& path) {
  struct stat st {};
  char last = '\n';
  if (::fstat(fd, &st) != 0) return "cannot examine " + path + ": " + std::strerror(errno);
  if (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) != 1)
    return "cannot read " + path + ": " + std::strerror(errno);
  if (last != '\n' && ::write(fd, "\n", 1) != 1) return "cannot write " + path + ": " + std::strerror(errno);
  return "";
}

std::string openError(std::string const& path, int e) {
  if (e == ELOOP) return path + " is a symbolic link: give the file itself";
  if (e == EISDIR) return path + " is a directory";
  if (e == ENXIO) return path + " is not a regular file";
  return "cannot open " + path + ": " + std::strerror(e);
}

// Opens (creating with mode 0600) the audit file for appending: the
// descriptor, or -1 with error set.
int openAuditFile(std::string const& path, bool mustCreate, std::string& error) {
  if (path.empty()) {
    error = "the audit file has no name";
    return -1;
  }
  // O_NONBLOCK: a FIFO put in its place must not hang the open; it is
  // refused below and the flag cleared for a regular file.
  int flags = O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (mustCreate) flags |= O_EXCL;
  int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0) {
    error = openError(path, errno);
    return -1;
  }
  error = refusal(fd, path);
  if (error.empty() && ::fcntl(fd, F_SETFL, O_APPEND) != 0) error = "cannot set up " + path;
  if (error.empty()) error = endCutRecord(fd, path);
  if (!error.empty()) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string inconsistency(AuditOptions const& o) {
  if (o.file.empty() && !o.syslog && !o.journal) return "the audit trail needs a file, syslog or the journal";
  if (o.queue == 0) return "the audit queue must hold at least one record";
  if (o.maxBytes != 0 && o.keep == 0) return "rotating the audit file needs at least one file kept";
  if (o.flush.count() <= 0) return "the audit flush interval must be at least 1 ms";
  if (o.fsync.count() < 0) return "the audit fsync interval cannot be negative";
  return "";
}

// Calls send with each non-empty line of batch (without its newline); false
// when any call was.
template <typename Send>
bool eachLine(std::string const& batch, Send send) {
  bool ok = true;
  for (std::size_t start = 0; start < batch.size();) {
    std::size_t end = batch.find('\n', start);
    if (end == std::string::npos) end = batch.size();
    if (end > start && !send(std::string_view(batch).substr(start, end - start))) ok = false;
    start = end + 1;
  }
  return ok;
}

}  // namespace

std::string checkAuditFile(std::string const& path) {
  if (path.empty()) return "the audit file has no name";
  // Read only, never created nor written: a check leaves the trail as it was.
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT) {
    if (::access(parentOf(path).c_str(), W_OK | X_OK) != 0) return "cannot open " + path + ": " + std::strerror(errno);
    return directoryRefusal(path);
  }
  if (fd < 0) return openError(path, errno);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return openError(path, EISDIR);
  }
  std::string error = refusal(fd, path);
  ::close(fd);
  return error;
}

std::unique_ptr<AuditTrail> AuditTrail::open(AuditOptions const& options, AuditCounters& counters, Log log,
                                             std::string& error) {
  error = inconsistency(options);
  if (!error.empty()) return nullptr;
  int fd = -1;
  std::uint64_t size = 0;
  if (!options.file.empty()) {
    fd = openAuditFile(options.file, false, error);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) == 0) size = static_cast<std::uint64_t>(st.st_size);
  }
  return std::unique_ptr<AuditTrail>(new AuditTrail(options, counters, std::move(log), fd, size));
}

AuditTrail::AuditTrail(AuditOptions const& options, AuditCounters& counters, Log log, int fd, std::uint64_t size)
    : options_(options), counters_(counters), log_(std::move(log)), fd_(fd), fileSize_(size), lastSync_(Clock::now()) {
  counters_.enabled.store(true, std::memory_order_relaxed);
  if (fd_ >= 0 && options_.fsync.count() > 0) syncer_ = std::thread([this] { runSyncer(); });
  writer_ = std::thread([this] { run(); });
}

AuditTrail::~AuditTrail() {
  stop();
  if (fd_ >= 0) ::close(fd_);
  if (syslogFd_ >= 0) ::close(syslogFd_);
}

void AuditTrail::setDigest(std::uint32_t sequence, std::string digest) {
  auto d = std::make_shared<Digest const>(Digest{sequence, std::move(digest)});
  std::lock_guard<std::mutex> hold(digestLock_);
  digest_ = std::move(d);
  digestGeneration_.fetch_add(1, std::memory_order_release);
}

// The digest, remembered per thread until it changes: a record takes no
// lock for it.
std::shared_ptr<AuditTrail::Digest const> AuditTrail::digestFor(std::uint32_t sequence) {
  struct Seen {
    AuditTrail const* trail = nullptr;
    std::uint64_t generation = 0;
    std::shared_ptr<Digest const> digest;
  };
  thread_local Seen seen;
  std::uint64_t generation = digestGeneration_.load(std::memory_order_acquire);
  if (seen.trail != this || seen.generation != generation) {
    std::lock_guard<std::mutex> hold(digestLock_);
    seen.trail = this;
    seen.generation = digestGeneration_.load(std::memory_order_relaxed);
    seen.digest = digest_;
  }
  if (seen.digest && seen.digest->sequence == sequence) return seen.digest;
  return nullptr;
}

void AuditTrail::record(daAuditRecord const& r) noexcept {
  thread_local std::string line;
  try {
    line.clear();
    auto digest = digestFor(r.sequence);
    gxpolicy::appendAuditLine(line, r, gxpolicy::auditClockMs(), digest ? std::string_view(digest->text) : "");
  } catch (std::bad_alloc const&) {
    counters_.dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  std::unique_lock<std::mutex> hold(mutex_);
  auto room = [this] { return stopping_ || pendingCount_ < options_.queue; };
  if (!room()) {
    if (options_.full == AuditFull::drop) {
      counters_.dropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    wakeWriter_.notify_one();
    progress_.wait(hold, room);
  }
  if (stopping_) {
    counters_.dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  try {
    pending_ += line;
  } catch (std::bad_alloc const&) {
    counters_.dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  ++pendingCount_;
  std::uint64_t ticket = ++enqueued_;
  counters_.queued.fetch_add(1, std::memory_order_relaxed);
  // An idle writer wakes for the first record; a busy one sleeps out its
  // flush interval unless a strict caller waits or the queue is half full.
  if (options_.strict || writerIdle_ || pendingCount_ * 2 >= options_.queue) wakeWriter_.notify_one();
  if (options_.strict) progress_.wait(hold, [&] { return finished_ >= ticket; });
}

void AuditTrail::run() {
  std::string batch;
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    auto due = [this] {
      return stopping_ || (pendingCount_ > 0 && (options_.strict || pendingCount_ * 2 >= options_.queue));
    };
    // Idle, the writer sleeps until a record comes (or, with a write not
    // yet synced, until the sync is due); then, unless strict, it gives
    // the batch its flush interval to fill.
    if (pendingCount_ == 0 && !stopping_) {
      auto woken = [this] { return stopping_ || pendingCount_ > 0; };
      writerIdle_ = true;
      if (unsynced_) wakeWriter_.wait_for(hold, options_.fsync, woken);
      else wakeWriter_.wait(hold, woken);
      writerIdle_ = false;
      if (pendingCount_ == 0 && !stopping_) {
        hold.unlock();
        syncFile(false);
        hold.lock();
        continue;
      }
    }
    if (!options_.strict) wakeWriter_.wait_for(hold, options_.flush, due);
    if (pendingCount_ == 0) {
      if (stopping_) break;
      continue;
    }
    batch.clear();
    batch.swap(pending_);
    std::uint64_t n = std::exchange(pendingCount_, 0);
    std::uint64_t last = enqueued_;
    progress_.notify_all();  // room again for blocked decisions
    hold.unlock();
    writeBatch(batch, n);
    hold.lock();
    finished_ = last;
    progress_.notify_all();
  }
  hold.unlock();
  syncFile(true);
}

void AuditTrail::writeBatch(std::string const& batch, std::uint64_t n) {
  bool ok = true;
  if (!options_.file.empty()) ok = writeFile(batch);
  // With fsync interval 0 every batch is on disk before its decisions go
  // on; a batch whose sync failed is lost (its pages may never reach the
  // disk, and syncing again would not say so).
  if (ok && fd_ >= 0 && !syncFile(options_.fsync.count() == 0)) ok = false;
  if (options_.syslog && !sendSyslog(batch)) ok = false;
  if (options_.journal && !sendJournal(batch)) ok = false;
  counters_.queued.fetch_sub(n, std::memory_order_relaxed);
  counters_.batches.fetch_add(1, std::memory_order_relaxed);
  (ok ? counters_.written : counters_.lost).fetch_add(n, std::memory_order_relaxed);
}

// Messages as the local syslog daemon takes them on its datagram socket:
// "<PRI>Mmm dd hh:mm:ss gxpolicyd[PID]: TEXT", facility authpriv, severity
// info. Written here rather than through syslog(3) so that the socket is
// an option (and a test can be the daemon), and so that a lost message is
// counted rather than dropped silently.
bool AuditTrail::sendSyslog(std::string const& batch) {
  return eachLine(batch, [this](std::string_view line) { return sendSyslogLine(line); });
}

bool AuditTrail::sendJournal(std::string const& batch) { return eachLine(batch, journalAuditRecord); }

bool AuditTrail::sendSyslogLine(std::string_view line) {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::localtime_r(&now, &parts);
  char stamp[32];
  std::size_t n = std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &parts);
  syslogPrefix_.assign("<86>");  // authpriv (10) * 8 + info (6)
  syslogPrefix_.append(stamp, n);
  syslogPrefix_ += " gxpolicyd[" + std::to_string(::getpid()) + "]: ";
  syslogPrefix_.append(line);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (syslogFd_ < 0) {
      syslogFd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      if (syslogFd_ < 0 || options_.syslogSocket.size() >= sizeof addr.sun_path) return false;
      std::memcpy(addr.sun_path, options_.syslogSocket.c_str(), options_.syslogSocket.size() + 1);
      if (::connect(syslogFd_, reinterpret_cast<sockaddr const*>(&addr), sizeof addr) != 0) {
        ::close(syslogFd_);
        syslogFd_ = -1;
        return false;
      }
    }
    if (::send(syslogFd_, syslogPrefix_.data(), syslogPrefix_.size(), MSG_NOSIGNAL) >= 0) return true;
    // The daemon restarted (its socket is new) or went away: reconnect once.
    ::close(syslogFd_);
    syslogFd_ = -1;
  }
  return false;
}

// The batch in one write(), unless the file must be rotated on the way:
// then the whole lines that still fit, the rotation, and the rest (a
// single line longer than the limit fills a file alone).
bool AuditTrail::writeFile(std::string const& batch) {
  std::string_view rest(batch);
  while (!rest.empty()) {
    std::string_view part = rest;
    std::uint64_t room = fileSize_ < options_.maxBytes ? options_.maxBytes - fileSize_ : 0;
    if (options_.maxBytes != 0 && part.size() > room) {
      std::size_t cut = room > 0 ? part.rfind('\n', room - 1) : std::string_view::npos;
      if (cut == std::string_view::npos) {
        if (fileSize_ > 0) {
          rotate();
          continue;
        }
        cut = part.find('\n');
      }
      part = part.substr(0, cut == std::string_view::npos ? part.size() : cut + 1);
    }
    if (!writeAll(part)) return false;
    rest.remove_prefix(part.size());
  }
  return true;
}

// bytes in one write() (more only when the kernel takes part of it),
// opening the file again first when it is not open.
bool AuditTrail::writeAll(std::string_view bytes) {
  if (fd_ < 0) {
    std::string why;
    fd_ = openAuditFile(options_.file, false, why);
    if (fd_ < 0) {
      if (!failing_) log_("audit: cannot write the trail: " + why);
      failing_ = true;
      return false;
    }
    struct stat st {};
    fileSize_ = ::fstat(fd_, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  }
  int error = 0;
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
    fileSize_ += static_cast<std::uint64_t>(n);
  }
  if (error != 0) {
    if (!failing_) log_("audit: cannot write " + options_.file + ": " + std::strerror(error) + "; records are lost");
    failing_ = true;
    return false;
  }
  if (failing_) log_("audit: writing " + options_.file + " again");
  failing_ = false;
  unsynced_ = true;
  return true;
}

// FILE.keep-1 .. FILE.1 move up one, FILE becomes FILE.1 (the oldest falls
// off), and a new FILE is created. Runs between two batches, so no line is
// split across files.
void AuditTrail::rotate() {
  syncFile(true);
  ::close(fd_);
  fd_ = -1;
  std::string const& path = options_.file;
  for (unsigned i = options_.keep; i > 1; --i)
    ::rename((path + "." + std::to_string(i - 1)).c_str(), (path + "." + std::to_string(i)).c_str());
  if (::rename(path.c_str(), (path + ".1").c_str()) != 0)
    log_("audit: cannot rotate " + path + ": " + std::strerror(errno));
  std::string why;
  fileSize_ = 0;
  fd_ = openAuditFile(path, true, why);
  if (fd_ < 0) {
    log_("audit: cannot start a new " + path + " after rotating: " + why);
    return;
  }
  counters_.rotations.fetch_add(1, std::memory_order_relaxed);
}

// Forced (a rotation, the stop, fsync interval 0): synced here, before the
// writer goes on. Otherwise, once the interval has passed, the syncer
// thread syncs a duplicate of the descriptor while the writer goes on
// writing (a sync can take long on a busy disk; the queue must not fill
// meanwhile); a sync still running is not asked again.
bool AuditTrail::syncFile(bool force) {
  int background = 0;
  {
    std::lock_guard<std::mutex> hold(syncLock_);
    background = std::exchange(syncError_, 0);
  }
  if (background != 0) syncFailed(background);
  if (fd_ < 0 || !unsynced_) return true;
  auto now = Clock::now();
  int error = 0;
  if (force) {
    if (::fdatasync(fd_) != 0) error = errno;
  } else {
    if (now - lastSync_ < options_.fsync) return true;
    std::lock_guard<std::mutex> hold(syncLock_);
    if (syncFd_ >= 0) return true;
    syncFd_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (syncFd_ < 0) {
      if (::fdatasync(fd_) != 0) error = errno;  // no descriptor to spare: here, then
    } else {
      syncWake_.notify_one();
    }
  }
  lastSync_ = now;
  unsynced_ = false;
  if (error == 0) return true;
  syncFailed(error);
  return false;
}

void AuditTrail::syncFailed(int error) {
  log_("audit: cannot sync " + options_.file + ": " + std::strerror(error) +
       "; records written since the last sync may be lost");
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  failing_ = true;
}

void AuditTrail::runSyncer() {
  std::unique_lock<std::mutex> hold(syncLock_);
  for (;;) {
    syncWake_.wait(hold, [this] { return syncFd_ >= 0 || syncStop_; });
    if (syncFd_ < 0) return;
    int fd = syncFd_;
    hold.unlock();
    int error = ::fdatasync(fd) != 0 ? errno : 0;
    ::close(fd);
    hold.lock();
    if (error != 0) syncError_ = error;  // reported by the writer's next syncFile
    syncFd_ = -1;
  }
}

void AuditTrail::stop() {
  std::call_once(stopped_, [this] {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
    }
    wakeWriter_.notify_all();
    progress_.notify_all();
    if (writer_.joinable()) writer_.join();
    {
      std::lock_guard<std::mutex> hold(syncLock_);
      syncStop_ = true;  // a sync asked for still runs: the syncer ends after it
    }
    syncWake_.notify_all();
    if (syncer_.joinable()) syncer_.join();
  });
}

}  // namespace gxpolicyd
