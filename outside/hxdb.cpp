// The database file service on LMDB.
//
// Environments: LMDB allows one environment per file per process, so every
// handle on a file shares one SharedEnv from a process-wide table keyed by
// the data file's device and inode, reference-counted by the handles. The
// last close closes the environment.
//
// Map growth: mdb_env_set_mapsize remaps the file and may move the map, so
// no transaction of this process may be using the map meanwhile. Every use
// of a transaction happens under the env's gate taken shared; a resize takes
// it exclusive. The gate is held only inside one call, never across calls,
// so one thread never takes it twice. An iteration's read transaction does
// stay open between calls (it is the snapshot being walked); its cursor
// holds pointers into the map, so after a resize iter_next opens a fresh
// cursor in the same snapshot and seeks back to the last key returned.
//
// Lock order: handle mutex -> gate; process lock -> gate; table mutex alone
// (open also runs under the process lock), but for the gate of an
// environment that open has not yet put in the table (a small file is
// mapped ahead then). Nothing is taken while the gate
// is held except LMDB's own writer lock.
//
// Before trusting an existing file, its meta pages are checked (magic, page
// size, roots inside the file, file at least as long as the last page the
// meta page names): LMDB itself would fault on a truncated file.
#include "outside/hxdb.h"

#include <fcntl.h>
#include <lmdb.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "outside/hxfd.h"
#include "outside/hxsvc.h"

namespace {

constexpr int kTraceSub = 3;  // the stores' sub-component of gxdmd
constexpr int kTraceError = 1;
constexpr int kTraceInfo = 4;

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kDefaultMapSize = 64 * kMiB;
// Growth doubles the map up to this step, then adds it.
constexpr size_t kMaxGrowthStep = size_t{4} << 30;
// A map size a file records is taken over up to this (a damaged meta page
// must not make the open map absurd sizes; LMDB raises the map to the data
// size anyway).
constexpr size_t kMaxRecordedMapSize = size_t{1} << 40;
constexpr unsigned kMaxReaders = 510;  // each handle keeps a slot, plus one while iterating
constexpr int kMaxRetries = 64;

std::atomic<size_t> g_initialMapSize{kDefaultMapSize};

#define DB_TRACE(level, ...) HX_TRACE(gxdmd_svc_handle, kTraceSub, (level), __VA_ARGS__)

// ---- record values -----------------------------------------------------------
// A value is a 16-byte header followed by the encoded bytes. The header holds
// four 32-bit words in host order (an LMDB file is bound to its host's word
// size and byte order anyway): a magic whose last byte is the format version,
// the record's value, its type and the length of the bytes that follow.
struct ValueHeader {
  uint32_t magic;
  uint32_t value;
  uint32_t type;
  uint32_t length;
};
constexpr uint32_t kValueMagic = 0x01525847;  // bytes "GXR" then version 1 (little-endian)
constexpr size_t kValueHeaderSize = sizeof(ValueHeader);
static_assert(kValueHeaderSize == 16);

// ---- LMDB meta pages -----------------------------------------------------------
// Offsets in the two meta pages at the start of the file (64-bit layout): a
// 16-byte page header, then the meta record with the page size in the free
// tree's pad word, both trees' roots, the last page used and the txn id.
constexpr size_t kPageFlagsOffset = 10;
constexpr uint16_t kPageFlagMeta = 0x08;
constexpr size_t kMagicOffset = 16;
constexpr uint32_t kLmdbMagic = 0xBEEFC0DE;
constexpr size_t kMapSizeOffset = 32;
constexpr size_t kPageSizeOffset = 40;
constexpr size_t kFreeRootOffset = 80;
constexpr size_t kMainRootOffset = 128;
constexpr size_t kLastPageOffset = 136;
constexpr size_t kTxnIdOffset = 144;
constexpr size_t kMetaBytes = 152;
constexpr uint64_t kNoPage = ~uint64_t{0};
static_assert(sizeof(size_t) == 8, "the meta page offsets assume a 64-bit LMDB");

template <class T>
T readAt(unsigned char const* bytes, size_t offset) {
  T v;
  std::memcpy(&v, bytes + offset, sizeof v);
  return v;
}

// ---- statuses ------------------------------------------------------------------
unsigned long statusOf(int rc) {
  switch (rc) {
    case MDB_SUCCESS:
      return 0;
    case MDB_NOTFOUND:
      return hx_db_s_not_found;
    case ENOENT:
    case EACCES:
    case EPERM:
    case MDB_INVALID:
    case MDB_VERSION_MISMATCH:
      return hx_db_s_open_failed;
    case MDB_CORRUPTED:
    case MDB_PAGE_NOTFOUND:
      return hx_db_s_corrupt;
    case ENOSPC:
    case EDQUOT:
      return hx_db_s_no_space;
    case EROFS:
      return hx_db_s_read_only;
    case MDB_PANIC:
      return hx_db_s_reopen;
    default:
      return hx_db_s_io_error;
  }
}

// ---- owners --------------------------------------------------------------------
struct EnvCloser {
  void operator()(MDB_env* e) const { mdb_env_close(e); }
};
using EnvPtr = std::unique_ptr<MDB_env, EnvCloser>;
struct TxnAborter {
  void operator()(MDB_txn* t) const { mdb_txn_abort(t); }
};
using TxnPtr = std::unique_ptr<MDB_txn, TxnAborter>;
struct CursorCloser {
  void operator()(MDB_cursor* c) const { mdb_cursor_close(c); }
};
using CursorPtr = std::unique_ptr<MDB_cursor, CursorCloser>;
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// mdb_txn_commit frees the transaction whether it succeeds or not.
int commit(TxnPtr& txn) { return mdb_txn_commit(txn.release()); }

// Resets a read transaction (keeping it for renewal) on scope exit.
class TxnResetter {
 public:
  explicit TxnResetter(MDB_txn* txn) : txn_(txn) {}
  ~TxnResetter() { mdb_txn_reset(txn_); }
  TxnResetter(TxnResetter const&) = delete;
  TxnResetter& operator=(TxnResetter const&) = delete;

 private:
  MDB_txn* txn_;
};

using hx_internal::FileDescriptor;

// Removes a file this call created unless the call succeeded.
class RemoveUnlessKept {
 public:
  explicit RemoveUnlessKept(std::string path) : path_(std::move(path)) {}
  ~RemoveUnlessKept() {
    if (!kept_) ::unlink(path_.c_str());
  }
  RemoveUnlessKept(RemoveUnlessKept const&) = delete;
  RemoveUnlessKept& operator=(RemoveUnlessKept const&) = delete;
  void keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

// Holds an MrProcessLock (if any) for a scope.
class ProcessLockGuard {
 public:
  explicit ProcessLockGuard(MrProcessLock* lock) : lock_(lock) {
    if (lock_) lock_->lock();
  }
  ~ProcessLockGuard() {
    if (lock_) lock_->unlock();
  }
  ProcessLockGuard(ProcessLockGuard const&) = delete;
  ProcessLockGuard& operator=(ProcessLockGuard const&) = delete;

 private:
  MrProcessLock* lock_;
};

// Pages mapped ahead per step (a closing environment waits for one step).
constexpr size_t kMapAheadChunk = size_t{16} << 20;
// Files below this size are mapped ahead during the open, without a thread.
constexpr size_t kMapAheadInline = size_t{1} << 20;
#ifdef MADV_POPULATE_READ
constexpr int kMadvPopulateRead = MADV_POPULATE_READ;
#else
constexpr int kMadvPopulateRead = 22;  // Linux 5.14
#endif

// ---- shared environments ----------------------------------------------------------
struct FileId {
  dev_t dev;
  ino_t ino;
  auto operator<=>(FileId const&) const = default;
};

// The start of this process's shared mapping of the file id that is length
// bytes long (LMDB's map), from /proc/self/maps; null when there is none.
// Reads through a buffer on the stack and allocates nothing: it runs on the
// map-ahead thread, and a thread that holds the allocator's lock when
// another forks leaves the child an allocator it can never lock (the
// address sanitizer's allocator is not fork-safe as glibc's is).
char* findMapping(FileId id, size_t length) {
  FileDescriptor fd(::open("/proc/self/maps", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return nullptr;
  auto matches = [&](char const* line) -> char* {
    unsigned long long start = 0, end = 0, offset = 0, inode = 0;
    unsigned major = 0, minor = 0;
    char perms[5] = {};
    if (std::sscanf(line, "%llx-%llx %4s %llx %x:%x %llu", &start, &end, perms, &offset, &major, &minor, &inode) != 7)
      return nullptr;
    if (inode == id.ino && makedev(major, minor) == id.dev && offset == 0 && perms[3] == 's' && end - start == length)
      return reinterpret_cast<char*>(static_cast<std::uintptr_t>(start));
    return nullptr;
  };
  char buffer[8192];  // a line is at most a path (PATH_MAX) and a few fields
  size_t have = 0;
  for (ssize_t n; (n = ::read(fd.get(), buffer + have, sizeof buffer - 1 - have)) > 0;) {
    have += static_cast<size_t>(n);
    char* line = buffer;
    for (char* eol; (eol = static_cast<char*>(std::memchr(line, '\n', static_cast<size_t>(buffer + have - line))));) {
      *eol = '\0';
      if (char* found = matches(line)) return found;
      line = eol + 1;
    }
    have -= static_cast<size_t>(line - buffer);
    std::memmove(buffer, line, have);
    if (have == sizeof buffer - 1) have = 0;  // longer than any line of a mapping: skip it
  }
  return nullptr;
}

// True when the file system holding path has no block left for this
// process (root may use the reserved ones).
bool fileSystemFull(char const* path) {
  struct statvfs vfs;
  if (::statvfs(path, &vfs) != 0) return false;
  return (::geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail) == 0;
}

class SharedEnv {
 public:
  SharedEnv(EnvPtr env, MDB_dbi dbi, FileId id, std::string path, std::string lockPath, bool readOnly)
      : env_(std::move(env)),
        dbi_(dbi),
        id_(id),
        path_(std::move(path)),
        lockPath_(std::move(lockPath)),
        readOnly_(readOnly),
        maxKeySize_(static_cast<size_t>(mdb_env_get_maxkeysize(env_.get()))) {
    MDB_envinfo info;
    mdb_env_info(env_.get(), &info);
    mapSize_ = info.me_mapsize;
  }
  // Stops mapping ahead (within one chunk) before the environment closes.
  ~SharedEnv() { stopMappingAhead(); }
  SharedEnv(SharedEnv const&) = delete;
  SharedEnv& operator=(SharedEnv const&) = delete;
  static unsigned long long nextSerial() {
    static std::atomic<unsigned long long> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
  }

  // Maps the first fileSize bytes of the file into this process in the
  // background, chunk by chunk. A page touched for the first time costs a
  // fault (tens of microseconds on some virtual machines), and a fresh
  // replica's first lookups would otherwise pay one per B-tree page they
  // visit; mapping ahead costs a few milliseconds per 100 MiB. Stops at a
  // remap (the map moved) or when the environment closes. A file smaller
  // than kMapAheadInline is mapped during the call, with no thread: the
  // work is a few microseconds, and a process that forks after opening
  // only small files has no thread of this library running.
  void mapAhead(size_t fileSize) {
    auto work = [this, fileSize] {
      uint64_t generation;
      char* base;
      {
        std::shared_lock<std::shared_mutex> g(gate);
        generation = mapGeneration_;
        base = findMapping(id_, mapSize_);
      }
      if (base == nullptr) return;
      for (size_t offset = 0; offset < fileSize && !stopWarming_; offset += kMapAheadChunk) {
        std::shared_lock<std::shared_mutex> g(gate);
        if (broken_ || mapGeneration_ != generation) return;
        size_t length = std::min({kMapAheadChunk, fileSize - offset, mapSize_ - std::min(mapSize_, offset)});
        if (length == 0) return;
        // Advice only: a kernel without it, or a failure, just leaves the
        // pages to be faulted in on first use.
        if (::madvise(base + offset, length, kMadvPopulateRead) != 0) return;
      }
    };
    if (fileSize < kMapAheadInline) {
      work();
      return;
    }
    warmer_ = std::thread(std::move(work));
  }
  // Stops the map-ahead thread (within one chunk) and joins it: before the
  // environment closes, and before the process forks (a child must not
  // inherit a process with a thread it cannot see; one that has ended is
  // joined too, so that no thread of the library is left behind). The
  // file's remaining pages are then faulted in on first use. Callers that
  // may race hold the table's mutex (fork) or the last reference (close).
  void stopMappingAhead() {
    stopWarming_ = true;
    if (warmer_.joinable()) warmer_.join();
  }

  MDB_env* env() const { return env_.get(); }
  MDB_dbi dbi() const { return dbi_; }
  FileId id() const { return id_; }
  std::string const& path() const { return path_; }  // as first opened, for traces
  // A number no other environment of this process has had.
  unsigned long long serial() const { return serial_; }
  std::string const& lockPath() const { return lockPath_; }  // empty on a read-only file system
  size_t maxKeySize() const { return maxKeySize_; }
  // Opened on a read-only file system: no lock file, no writes.
  bool readOnly() const { return readOnly_; }

  // After a commit failed with rc: MDB_PANIC when the engine has given the
  // environment up (it could not write or sync the commit record, so it
  // no longer knows what the disk holds), else rc. Called with the gate
  // held shared.
  int afterFailedCommit(int rc) {
    // LMDB reports a write cut short as EIO: one that stopped at a full
    // file system is "no space".
    if (rc == EIO && fileSystemFull(path_.c_str())) rc = ENOSPC;
    MDB_txn* t = nullptr;
    int probe = mdb_txn_begin(env_.get(), nullptr, MDB_RDONLY, &t);
    if (t) mdb_txn_abort(t);
    if (probe != MDB_PANIC) return rc;
    DB_TRACE(kTraceError, "%s: a commit could not be made durable (%s): every handle must be closed and the file reopened",
             path_.c_str(), mdb_strerror(rc));
    return MDB_PANIC;
  }

  // Taken shared around every use of a transaction, exclusive to remap.
  std::shared_mutex gate;
  // Read under the gate (shared).
  size_t mapSize() const { return mapSize_; }
  uint64_t mapGeneration() const { return mapGeneration_; }
  bool broken() const { return broken_; }

  // Grows the map after MDB_MAP_FULL was seen with map size seen, unless
  // another thread has grown it since. Called without the gate.
  int grow(size_t seen) {
    std::unique_lock<std::shared_mutex> g(gate);
    if (broken_) return EIO;
    if (mapSize_ > seen) return 0;
    size_t next = seen + std::min(seen, kMaxGrowthStep);
    if (next < seen) return MDB_MAP_FULL;
    return remap(next);
  }

  // Takes over the map size another process has grown the file to
  // (after MDB_MAP_RESIZED). Called without the gate.
  int adopt() {
    std::unique_lock<std::shared_mutex> g(gate);
    if (broken_) return EIO;
    return remap(0);
  }

  int refs = 0;  // guarded by the table mutex
  // Write transactions committed through this environment.
  std::atomic<unsigned long> writeCommits{0};

  // A write group (hx_db_group_begin): one write transaction that the
  // owning thread's batches and reads use until the group ends. Members
  // go in reverse order: the transaction is aborted (if still open) before
  // the gate and then the process lock are released.
  struct WriteGroup {
    std::thread::id owner;
    hx_db_handle const* handle = nullptr;
    std::unique_ptr<ProcessLockGuard> processLock;
    std::shared_lock<std::shared_mutex> gate;
    TxnPtr txn;
    int failure = 0;  // the first error of a batch in the group: it can only be abandoned
  };
  // The calling thread's group on this file, or null. One relaxed load
  // when no group is open.
  WriteGroup* ownGroup() {
    if (!groupOpen_.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard<std::mutex> g(groupMutex_);
    return group_ && group_->owner == std::this_thread::get_id() ? group_.get() : nullptr;
  }
  // Installs group; false when one is open already.
  bool openGroup(std::unique_ptr<WriteGroup> group) {
    std::lock_guard<std::mutex> g(groupMutex_);
    if (group_) return false;
    group_ = std::move(group);
    groupOpen_.store(true, std::memory_order_release);
    return true;
  }
  // Takes the calling thread's group out (null when it has none).
  std::unique_ptr<WriteGroup> takeGroup(hx_db_handle const* onlyFor = nullptr) {
    std::lock_guard<std::mutex> g(groupMutex_);
    if (!group_ || group_->owner != std::this_thread::get_id() || (onlyFor && group_->handle != onlyFor))
      return nullptr;
    groupOpen_.store(false, std::memory_order_release);
    return std::move(group_);
  }
  // Makes the map at least bytes long (the gate is taken exclusive).
  int reserve(size_t bytes) {
    std::unique_lock<std::shared_mutex> g(gate);
    if (broken_) return EIO;
    return mapSize_ >= bytes ? 0 : remap(bytes);
  }

 private:
  // With the gate held exclusive.
  int remap(size_t size) {
    size_t before = mapSize_;
    int rc = mdb_env_set_mapsize(env_.get(), size);
    if (rc != 0) {
      // LMDB has unmapped the old map and could not map the new one: the
      // environment cannot be used any more.
      broken_ = true;
      DB_TRACE(kTraceError, "remapping %s to %zu bytes failed: %s", path_.c_str(), size, mdb_strerror(rc));
      return rc;
    }
    MDB_envinfo info;
    mdb_env_info(env_.get(), &info);
    mapSize_ = info.me_mapsize;
    ++mapGeneration_;
    DB_TRACE(kTraceInfo, "map of %s: %zu -> %zu bytes", path_.c_str(), before, mapSize_);
    return 0;
  }

  EnvPtr env_;
  MDB_dbi dbi_;
  FileId id_;
  std::string path_;
  std::string lockPath_;
  bool readOnly_;
  size_t maxKeySize_;
  size_t mapSize_ = 0;
  unsigned long long const serial_ = nextSerial();
  uint64_t mapGeneration_ = 0;
  bool broken_ = false;
  std::atomic<bool> stopWarming_{false};
  std::thread warmer_;
  std::mutex groupMutex_;
  std::unique_ptr<WriteGroup> group_;  // guarded by groupMutex_
  std::atomic<bool> groupOpen_{false};
};

class EnvTable;

// One handle's reference to a SharedEnv, released through the table.
class EnvRef {
 public:
  explicit EnvRef(SharedEnv* env) : env_(env) {}
  ~EnvRef();
  EnvRef(EnvRef&& other) noexcept : env_(std::exchange(other.env_, nullptr)) {}
  EnvRef& operator=(EnvRef&&) = delete;
  EnvRef(EnvRef const&) = delete;
  EnvRef& operator=(EnvRef const&) = delete;
  SharedEnv& operator*() const { return *env_; }
  SharedEnv* operator->() const { return env_; }

 private:
  SharedEnv* env_;
};

class EnvTable {
 public:
  static EnvTable& instance() {
    // Never destroyed: handles may be closed during static destruction.
    static EnvTable* table = new EnvTable;
    return *table;
  }

  // The environment of path with one more reference, opening or creating the
  // file as mode asks; null with a status on failure.
  SharedEnv* acquire(char const* path, int mode, unsigned long& status);

  void release(SharedEnv* env) {
    std::lock_guard<std::mutex> g(mutex_);
    if (--env->refs > 0) return;
    auto it = envs_.find(env->id());
    if (it == envs_.end() || it->second.get() != env) return;  // left behind by fork
    DB_TRACE(kTraceInfo, "closing environment of %s", env->path().c_str());
    envs_.erase(it);
  }

 private:
  EnvTable() {
    // An environment must not be used across fork: a child starts with an
    // empty table, so that opening a path there makes a new environment. The
    // inherited ones are kept, never closed (closing would clear the
    // parent's reader slots), and so are the handles using them: a child
    // must neither use nor close a handle it inherited.
    // The map-ahead threads are stopped and joined first: a process forked
    // while one runs is a multi-threaded fork, which some runtimes (thread
    // sanitizers) refuse to continue in the child.
    pthread_atfork(
        [] {
          EnvTable& t = instance();
          t.mutex_.lock();
          for (auto& entry : t.envs_) entry.second->stopMappingAhead();
        },
        [] { instance().mutex_.unlock(); },
        [] {
          EnvTable& t = instance();
          for (auto& entry : t.envs_) t.forked_.push_back(std::move(entry.second));
          t.envs_.clear();
          t.mutex_.unlock();
        });
  }

  std::mutex mutex_;
  std::map<FileId, std::unique_ptr<SharedEnv>> envs_;
  std::vector<std::unique_ptr<SharedEnv>> forked_;
};

EnvRef::~EnvRef() {
  if (env_) EnvTable::instance().release(env_);
}

// Checks the meta pages of the existing file at path before LMDB maps it.
// Sets metaMapSize to the map size the file records.
unsigned long checkFile(char const* path, size_t& metaMapSize) {
  FileDescriptor fd(hx_open_regular(path));
  if (!fd.valid()) {
    DB_TRACE(kTraceError, "cannot open %s: %s", path, std::strerror(errno));
    return hx_db_s_open_failed;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return hx_db_s_io_error;
  unsigned char meta[2][kMetaBytes];
  if (::pread(fd.get(), meta[0], kMetaBytes, 0) != static_cast<ssize_t>(kMetaBytes) ||
      readAt<uint32_t>(meta[0], kMagicOffset) != kLmdbMagic ||
      !(readAt<uint16_t>(meta[0], kPageFlagsOffset) & kPageFlagMeta)) {
    DB_TRACE(kTraceError, "%s is not a database file", path);
    return hx_db_s_open_failed;
  }
  uint32_t pageSize = readAt<uint32_t>(meta[0], kPageSizeOffset);
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) {
    DB_TRACE(kTraceError, "%s: bad page size %u", path, pageSize);
    return hx_db_s_corrupt;
  }
  if (::pread(fd.get(), meta[1], kMetaBytes, pageSize) != static_cast<ssize_t>(kMetaBytes) ||
      readAt<uint32_t>(meta[1], kMagicOffset) != kLmdbMagic ||
      !(readAt<uint16_t>(meta[1], kPageFlagsOffset) & kPageFlagMeta)) {
    DB_TRACE(kTraceError, "%s: second meta page missing or damaged", path);
    return hx_db_s_corrupt;
  }
  // LMDB uses the meta page with the later transaction.
  unsigned char const* m =
      readAt<uint64_t>(meta[1], kTxnIdOffset) > readAt<uint64_t>(meta[0], kTxnIdOffset) ? meta[1] : meta[0];
  uint64_t lastPage = readAt<uint64_t>(m, kLastPageOffset);
  uint64_t pagesInFile = static_cast<uint64_t>(st.st_size) / pageSize;
  auto rootOk = [&](uint64_t root) { return root == kNoPage || (root >= 2 && root <= lastPage); };
  if (lastPage < 1 || lastPage >= pagesInFile || !rootOk(readAt<uint64_t>(m, kMainRootOffset)) ||
      !rootOk(readAt<uint64_t>(m, kFreeRootOffset))) {
    DB_TRACE(kTraceError, "%s: truncated or damaged (%llu pages, last page %llu)", path,
             static_cast<unsigned long long>(pagesInFile), static_cast<unsigned long long>(lastPage));
    return hx_db_s_corrupt;
  }
  metaMapSize = readAt<uint64_t>(m, kMapSizeOffset);
  return 0;
}

// The path of LMDB's lock file for the data file at path, with the directory
// resolved (empty when it cannot be).
std::string lockPathOf(std::string const& path) {
  auto slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  MallocPtr<char> resolved(::realpath(dir.c_str(), nullptr));
  if (!resolved) return {};
  return std::string(resolved.get()) + "/" + base + "-lock";
}

// The status of a file that cannot be created or opened for writing.
unsigned long statusOfFileError(int err) {
  switch (err) {
    case EEXIST:
      return hx_db_s_exists;
    case ENOSPC:
    case EDQUOT:
      return hx_db_s_no_space;
    case EROFS:
      return hx_db_s_read_only;
    default:
      return hx_db_s_open_failed;
  }
}

// True when the file system holding path is mounted read-only.
bool onReadOnlyFileSystem(char const* path) {
  struct statvfs vfs;
  return ::statvfs(path, &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0;
}

// LMDB extends its lock file with ftruncate and writes its reader table
// through a shared mapping of it. Pages of a sparse file that a full file
// system cannot back raise SIGBUS when first written through a map, so the
// whole table (a header and 64 bytes per reader slot; more than LMDB needs
// for kMaxReaders, which only gives it a few spare slots) is allocated on
// the disk first.
constexpr size_t kLockFileBytes = (4096 + size_t{kMaxReaders} * 64 + 4095) / 4096 * 4096;

// Makes (0600) or checks LMDB's lock file, never following a symbolic link
// (LMDB would follow one planted under that name and write to its target,
// even for a read-only open), and allocates its space. created is set
// when this call made the file.
unsigned long prepareLockFile(std::string const& lockPath, std::optional<RemoveUnlessKept>& created) {
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) created.emplace(lockPath);
  else if (errno == EEXIST) fd = ::open(lockPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  FileDescriptor lockFile(fd);
  if (!lockFile.valid()) {
    int err = errno;
    DB_TRACE(kTraceError, "cannot use the lock file %s: %s", lockPath.c_str(), std::strerror(err));
    return statusOfFileError(err);
  }
  struct stat st;
  if (::fstat(lockFile.get(), &st) != 0) return hx_db_s_io_error;
  // Allocates the holes of an existing file too (one made before this
  // rule, or extended by LMDB alone).
  size_t bytes = std::max(kLockFileBytes, static_cast<size_t>(st.st_size));
  if (int err = ::posix_fallocate(lockFile.get(), 0, static_cast<off_t>(bytes)); err != 0) {
    DB_TRACE(kTraceError, "cannot allocate the lock file %s: %s", lockPath.c_str(), std::strerror(err));
    return statusOfFileError(err) == hx_db_s_open_failed ? hx_db_s_io_error : statusOfFileError(err);
  }
  return 0;
}

SharedEnv* EnvTable::acquire(char const* path, int mode, unsigned long& status) {
  std::lock_guard<std::mutex> g(mutex_);
  FileId id{};
  size_t mapSize = g_initialMapSize.load();
  std::optional<RemoveUnlessKept> created;
  std::optional<RemoveUnlessKept> createdLock;
  bool readOnly = false;
  if (mode == hx_db_mode_create) {
    // Made here, exclusively and 0600; LMDB initialises an empty file.
    FileDescriptor fd(::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.valid()) {
      int err = errno;
      DB_TRACE(kTraceError, "cannot create %s: %s", path, std::strerror(err));
      status = statusOfFileError(err);
      return nullptr;
    }
    created.emplace(path);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
      status = hx_db_s_io_error;
      return nullptr;
    }
    id = {st.st_dev, st.st_ino};
  } else {
    struct stat st;
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
      DB_TRACE(kTraceError, "cannot open %s: no such file", path);
      status = hx_db_s_open_failed;
      return nullptr;
    }
    id = {st.st_dev, st.st_ino};
    if (auto it = envs_.find(id); it != envs_.end()) {
      ++it->second->refs;
      return it->second.get();
    }
    size_t metaMapSize = 0;
    status = checkFile(path, metaMapSize);
    if (status != 0) return nullptr;
    mapSize = std::max(mapSize, std::min(metaMapSize, kMaxRecordedMapSize));
    readOnly = onReadOnlyFileSystem(path);
  }

  // A file on a read-only file system is opened for reading without a
  // lock file (MDB_NOLOCK): none could be made or written there, and none
  // is needed. LMDB's lock file holds the reader table that stops a writer
  // from reusing pages a reader still sees; no process can write the file
  // through a read-only mount, and the readers of this process share one
  // environment. Its structure was checked above (checkFile) as for every
  // open; callers that did not write the file verify it whole before
  // opening (hx_db_verify_file). A writable mount of the same file system
  // elsewhere (a read-only bind mount of a writable one) is not seen: files
  // served that way must be replaced by rename, as replica rebuilds do,
  // never written in place.
  std::string lockPath;
  if (!readOnly) {
    lockPath = lockPathOf(path);
    if (lockPath.empty()) {
      status = hx_db_s_open_failed;
      return nullptr;
    }
    for (auto const& entry : envs_) {
      if (entry.second->lockPath() == lockPath) {
        // The file was replaced while handles on the old one are open; both
        // would share one lock file.
        DB_TRACE(kTraceError, "%s was replaced while still open: close the old handles first", path);
        status = hx_db_s_open_failed;
        return nullptr;
      }
    }
    status = prepareLockFile(lockPath, createdLock);
    // A lock file that a failed create made goes with the data file; one
    // made by an open stays (another process may be opening the file too).
    if (mode != hx_db_mode_create && createdLock) createdLock->keep();
    if (status != 0) return nullptr;
  }

  MDB_env* raw = nullptr;
  int rc = mdb_env_create(&raw);
  if (rc != 0) {
    status = statusOf(rc);
    return nullptr;
  }
  EnvPtr env(raw);
  mdb_env_set_maxreaders(env.get(), kMaxReaders);
  mdb_env_set_mapsize(env.get(), mapSize);
  rc = mdb_env_open(env.get(), path, MDB_NOSUBDIR | MDB_NOTLS | (readOnly ? MDB_RDONLY | MDB_NOLOCK : 0), 0600);
  if (rc != 0) {
    DB_TRACE(kTraceError, "mdb_env_open(%s): %s", path, mdb_strerror(rc));
    status = statusOf(rc);
    return nullptr;
  }

  // LMDB's own view of the file must fit in it too.
  MDB_envinfo info;
  MDB_stat envStat;
  struct stat st;
  int fd = -1;
  mdb_env_info(env.get(), &info);
  mdb_env_stat(env.get(), &envStat);
  if (mdb_env_get_fd(env.get(), &fd) != 0 || ::fstat(fd, &st) != 0) {
    status = hx_db_s_io_error;
    return nullptr;
  }
  if (FileId{st.st_dev, st.st_ino} != id ||
      (static_cast<uint64_t>(info.me_last_pgno) + 1) * envStat.ms_psize > static_cast<uint64_t>(st.st_size)) {
    DB_TRACE(kTraceError, "%s is shorter than its last page or was replaced during open", path);
    status = hx_db_s_corrupt;
    return nullptr;
  }

  int dead = 0;
  if (!readOnly && mdb_reader_check(env.get(), &dead) == 0 && dead > 0)
    DB_TRACE(kTraceInfo, "%s: cleared %d stale reader slots", path, dead);

  MDB_dbi dbi;
  {
    MDB_txn* t = nullptr;
    rc = mdb_txn_begin(env.get(), nullptr, MDB_RDONLY, &t);
    TxnPtr txn(t);
    if (rc == 0) rc = mdb_dbi_open(txn.get(), nullptr, 0, &dbi);
    if (rc == 0) rc = commit(txn);
  }
  if (rc != 0) {
    status = statusOf(rc);
    return nullptr;
  }

  auto shared = std::make_unique<SharedEnv>(std::move(env), dbi, id, path, std::move(lockPath), readOnly);
  SharedEnv* out = shared.get();
  if (mode != hx_db_mode_create) out->mapAhead(static_cast<size_t>(st.st_size));
  envs_.emplace(id, std::move(shared));
  out->refs = 1;
  if (created) created->keep();
  if (createdLock) createdLock->keep();
  DB_TRACE(kTraceInfo, "opened environment of %s (map %zu bytes%s)", path, out->mapSize(),
           readOnly ? ", read-only file system, no lock file" : "");
  status = 0;
  return out;
}

// ---- handles -----------------------------------------------------------------------

// An iteration: a snapshot read transaction and a cursor in it.
struct Iteration {
  TxnPtr txn;
  CursorPtr cursor;         // declared after txn: closed before the txn ends
  std::string key;          // the last key returned
  uint64_t generation = 0;  // map generation the cursor was positioned in
  bool started = false;
  bool ended = false;

  void end() {
    cursor.reset();
    txn.reset();
    ended = true;
  }
};

}  // namespace

struct hx_db_handle {
  hx_db_handle(std::string p, std::shared_ptr<MrProcessLock> l, EnvRef e)
      : path(std::move(p)), lock(std::move(l)), env(std::move(e)) {}
  hx_db_handle(hx_db_handle const&) = delete;
  hx_db_handle& operator=(hx_db_handle const&) = delete;

  std::string const path;
  std::shared_ptr<MrProcessLock> const lock;
  EnvRef const env;  // declared before the transactions: released after them
  std::mutex mutex;  // guards readTxn and iteration
  TxnPtr readTxn;    // kept reset between uses
  std::optional<Iteration> iteration;
};

namespace {

bool validKey(hx_db_handle const* h, char const* key, size_t& length) {
  if (!h || !key || !*key) return false;
  length = std::strlen(key);
  return length <= h->env->maxKeySize();
}

// Runs body(txn) in the handle's read transaction, renewed for the call.
// The handle mutex must be held.
template <class Body>
int withReadTxn(hx_db_handle& h, Body&& body) {
  SharedEnv& se = *h.env;
  // A thread with a write group open reads what its group has written.
  if (SharedEnv::WriteGroup* group = se.ownGroup()) return body(group->txn.get());
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    std::shared_lock<std::shared_mutex> gate(se.gate);
    if (se.broken()) return EIO;
    int rc;
    if (h.readTxn) {
      rc = mdb_txn_renew(h.readTxn.get());
      if (rc != 0) h.readTxn.reset();
    } else {
      MDB_txn* t = nullptr;
      rc = mdb_txn_begin(se.env(), nullptr, MDB_RDONLY, &t);
      h.readTxn.reset(t);
    }
    if (rc == MDB_MAP_RESIZED) {
      gate.unlock();
      if ((rc = se.adopt()) != 0) return rc;
      continue;
    }
    if (rc != 0) return rc;
    TxnResetter reset(h.readTxn.get());  // before the gate is released
    return body(h.readTxn.get());
  }
  return MDB_MAP_RESIZED;
}

// Runs body(txn) in a write transaction under the handle's process lock and
// commits it, growing the map and retrying when it is full.
template <class Body>
int withWriteTxn(hx_db_handle& h, Body&& body) {
  SharedEnv& se = *h.env;
  if (se.readOnly()) return EROFS;
  // In a write group the batch joins the group's transaction: no commit
  // here, and a failure spoils the whole group (its map was reserved at
  // the start, so a full map is a failure too).
  if (SharedEnv::WriteGroup* group = se.ownGroup()) {
    if (group->failure != 0) return group->failure;
    int rc = body(group->txn.get());
    if (rc != 0) group->failure = rc;
    return rc;
  }
  ProcessLockGuard processLock(h.lock.get());
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    size_t seen;
    int rc;
    {
      std::shared_lock<std::shared_mutex> gate(se.gate);
      if (se.broken()) return EIO;
      seen = se.mapSize();
      MDB_txn* t = nullptr;
      rc = mdb_txn_begin(se.env(), nullptr, 0, &t);
      TxnPtr txn(t);
      if (rc == 0) rc = body(txn.get());
      if (rc == 0 && (rc = commit(txn)) != 0) rc = se.afterFailedCommit(rc);
      if (rc == 0) se.writeCommits.fetch_add(1, std::memory_order_relaxed);
    }
    if (rc == MDB_MAP_FULL) {
      if ((rc = se.grow(seen)) != 0) return rc;
      continue;
    }
    if (rc == MDB_MAP_RESIZED) {
      if ((rc = se.adopt()) != 0) return rc;
      continue;
    }
    return rc;
  }
  return MDB_MAP_FULL;
}

// A malloc'ed record copied out of a stored value.
gxobj_t* decodeRecord(char const* key, size_t keyLength, MDB_val const& v, unsigned long& status) {
  ValueHeader hdr{};
  if (v.mv_size >= kValueHeaderSize) std::memcpy(&hdr, v.mv_data, kValueHeaderSize);
  if (v.mv_size < kValueHeaderSize || hdr.magic != kValueMagic || hdr.length > gxobj_max_encoded_length ||
      hdr.length != v.mv_size - kValueHeaderSize) {
    DB_TRACE(kTraceError, "record %s is damaged (%zu bytes, length word %u)", key, v.mv_size, hdr.length);
    status = hx_db_s_corrupt;
    return nullptr;
  }
  MallocPtr<gxobj_t> rec(static_cast<gxobj_t*>(std::calloc(1, sizeof(gxobj_t))));
  MallocPtr<char> keyCopy(strndup(key, keyLength));
  MallocPtr<unsigned char> data(hdr.length ? static_cast<unsigned char*>(std::malloc(hdr.length)) : nullptr);
  if (!rec || !keyCopy || (hdr.length && !data)) {
    status = hx_db_s_io_error;  // out of memory
    return nullptr;
  }
  if (hdr.length) std::memcpy(data.get(), static_cast<unsigned char const*>(v.mv_data) + kValueHeaderSize, hdr.length);
  rec->key = keyCopy.release();
  rec->value = hdr.value;
  rec->type = hdr.type;
  rec->length = hdr.length;
  rec->data = data.release();
  status = 0;
  return rec.release();
}

// Positions the iteration's cursor on the next key of its snapshot.
int iterationStep(SharedEnv& se, Iteration& it, MDB_val& k) {
  MDB_val v;
  if (it.generation == se.mapGeneration())
    return mdb_cursor_get(it.cursor.get(), &k, &v, it.started ? MDB_NEXT : MDB_FIRST);
  // The map moved since the cursor was positioned: its page pointers are
  // stale. A fresh cursor in the same snapshot finds the same keys.
  it.cursor.reset();
  MDB_cursor* c = nullptr;
  int rc = mdb_cursor_open(it.txn.get(), se.dbi(), &c);
  if (rc != 0) return rc;
  it.cursor.reset(c);
  it.generation = se.mapGeneration();
  if (!it.started) return mdb_cursor_get(c, &k, &v, MDB_FIRST);
  k = MDB_val{it.key.size(), it.key.data()};
  rc = mdb_cursor_get(c, &k, &v, MDB_SET_RANGE);
  if (rc == 0 && std::string_view(static_cast<char const*>(k.mv_data), k.mv_size) == it.key)
    rc = mdb_cursor_get(c, &k, &v, MDB_NEXT);
  return rc;
}

}  // namespace

void hx_db_set_initial_map_size(size_t bytes) { g_initialMapSize.store(std::max<size_t>(bytes, kMiB)); }

hx_db_handle* hx_db_lock_open(char const* path, int mode, int /*flags*/, std::shared_ptr<MrProcessLock> lock,
                              unsigned long& status) {
  status = 0;
  if (!path || !*path || (mode != hx_db_mode_open && mode != hx_db_mode_create)) {
    status = hx_db_s_bad_argument;
    return nullptr;
  }
  try {
    ProcessLockGuard processLock(lock.get());  // the handle keeps lock alive past the guard
    SharedEnv* env = EnvTable::instance().acquire(path, mode, status);
    if (!env) return nullptr;
    EnvRef ref(env);
    return new hx_db_handle(path, lock, std::move(ref));
  } catch (std::exception const& e) {
    DB_TRACE(kTraceError, "opening %s: %s", path, e.what());
    status = hx_db_s_io_error;
    return nullptr;
  }
}

gxobj_t* hx_db_fetch(hx_db_handle* h, char const* key, unsigned long& status) {
  size_t keyLength;
  if (!validKey(h, key, keyLength)) {
    status = hx_db_s_bad_argument;
    return nullptr;
  }
  std::lock_guard<std::mutex> g(h->mutex);
  gxobj_t* out = nullptr;
  unsigned long decodeStatus = 0;
  int rc = withReadTxn(*h, [&](MDB_txn* txn) {
    MDB_val k{keyLength, const_cast<char*>(key)};
    MDB_val v;
    int rc = mdb_get(txn, h->env->dbi(), &k, &v);
    if (rc == 0) out = decodeRecord(key, keyLength, v, decodeStatus);
    return rc;
  });
  status = rc != 0 ? statusOf(rc) : decodeStatus;
  return out;
}

void hx_db_data_free(int what, gxobj_t* record, unsigned long& status) {
  if (!record || what != hx_db_free_all) {
    status = hx_db_s_bad_argument;
    return;
  }
  hxAsnFreeObj(*record);
  std::free(record);
  status = 0;
}

namespace {

bool validRecord(gxobj_t const& record) {
  return record.length <= gxobj_max_encoded_length && (record.length == 0 || record.data);
}

// Writes record's value, type and bytes under key in txn.
int putRecord(MDB_txn* txn, MDB_dbi dbi, char const* key, size_t keyLength, gxobj_t const& record) {
  MDB_val k{keyLength, const_cast<char*>(key)};
  MDB_val v{kValueHeaderSize + record.length, nullptr};
  int rc = mdb_put(txn, dbi, &k, &v, MDB_RESERVE);
  if (rc != 0) return rc;
  ValueHeader hdr{kValueMagic, record.value, record.type, record.length};
  auto* out = static_cast<unsigned char*>(v.mv_data);
  std::memcpy(out, &hdr, kValueHeaderSize);
  if (record.length) std::memcpy(out + kValueHeaderSize, record.data, record.length);
  return 0;
}

// Deletes, in txn, every key beginning with prefix that match accepts (all
// of them when match is null). The keys are collected first and deleted
// after the cursor is closed.
int deletePrefix(MDB_txn* txn, MDB_dbi dbi, std::string_view prefix, bool (*match)(char const*, void*),
                 void* context) {
  std::vector<std::string> doomed;
  {
    MDB_cursor* c = nullptr;
    int rc = mdb_cursor_open(txn, dbi, &c);
    if (rc != 0) return rc;
    CursorPtr cursor(c);
    MDB_val k{prefix.size(), const_cast<char*>(prefix.data())}, v;
    for (rc = mdb_cursor_get(c, &k, &v, MDB_SET_RANGE); rc == 0; rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
      std::string_view found(static_cast<char const*>(k.mv_data), k.mv_size);
      if (found.substr(0, prefix.size()) != prefix) break;  // sorted keys: past the prefix
      doomed.emplace_back(found);
      if (match && !match(doomed.back().c_str(), context)) doomed.pop_back();
    }
    if (rc != 0 && rc != MDB_NOTFOUND) return rc;
  }
  for (auto const& key : doomed) {
    MDB_val k{key.size(), const_cast<char*>(key.data())};
    if (int rc = mdb_del(txn, dbi, &k, nullptr)) return rc;
  }
  return 0;
}

}  // namespace

void hx_db_store(hx_db_handle* h, char const* key, gxobj_t const& record, unsigned long& status) {
  size_t keyLength;
  if (!validKey(h, key, keyLength) || !validRecord(record)) {
    status = hx_db_s_bad_argument;
    return;
  }
  int rc = withWriteTxn(*h, [&](MDB_txn* txn) { return putRecord(txn, h->env->dbi(), key, keyLength, record); });
  if (rc != 0) DB_TRACE(kTraceError, "store %s in %s: %s", key, h->path.c_str(), mdb_strerror(rc));
  status = statusOf(rc);
}

void hx_db_delete(hx_db_handle* h, char const* key, unsigned long& status) {
  size_t keyLength;
  if (!validKey(h, key, keyLength)) {
    status = hx_db_s_bad_argument;
    return;
  }
  int rc = withWriteTxn(*h, [&](MDB_txn* txn) {
    MDB_val k{keyLength, const_cast<char*>(key)};
    return mdb_del(txn, h->env->dbi(), &k, nullptr);
  });
  status = rc == MDB_NOTFOUND ? hx_db_s_delete_not_found : statusOf(rc);
}

void hx_db_write_batch(hx_db_handle* h, hx_db_op const* ops, size_t count, unsigned long* itemStatus,
                       hx_db_counter* counter, unsigned long& status) {
  if (!h || (count > 0 && (!ops || !itemStatus)) || (counter && !counter->key)) {
    status = hx_db_s_bad_argument;
    for (size_t i = 0; itemStatus && i < count; ++i) itemStatus[i] = hx_db_s_bad_argument;
    return;
  }
  size_t counterKeyLength = 0;
  if (counter && !validKey(h, counter->key, counterKeyLength)) {
    status = hx_db_s_bad_argument;
    for (size_t i = 0; i < count; ++i) itemStatus[i] = hx_db_s_bad_argument;
    return;
  }
  status = 0;
  if (count == 0) return;  // nothing to write: no transaction
  std::vector<size_t> keyLengths;
  try {
    keyLengths.resize(count);
  } catch (std::bad_alloc const&) {
    status = hx_db_s_io_error;
    for (size_t i = 0; i < count; ++i) itemStatus[i] = status;
    return;
  }
  auto refused = [&](size_t i) {
    hx_db_op const& op = ops[i];
    if (!validKey(h, op.key, keyLengths[i])) return true;
    switch (op.kind) {
      case hx_db_op_kind::put:
        return !op.record || !validRecord(*op.record);
      case hx_db_op_kind::remove:
      case hx_db_op_kind::remove_prefix:
        return false;
    }
    return true;  // unknown kind
  };
  MDB_dbi dbi = h->env->dbi();
  uint32_t counterValue = 0;
  bool counterAdvanced = false;
  int rc;
  try {
    rc = withWriteTxn(*h, [&](MDB_txn* txn) {
      size_t written = 0;
      counterAdvanced = false;
      for (size_t i = 0; i < count; ++i) {
        hx_db_op const& op = ops[i];
        if (refused(i)) {
          itemStatus[i] = hx_db_s_bad_argument;
          continue;
        }
        int rc = 0;
        switch (op.kind) {
          case hx_db_op_kind::put:
            rc = putRecord(txn, dbi, op.key, keyLengths[i], *op.record);
            break;
          case hx_db_op_kind::remove: {
            MDB_val k{keyLengths[i], const_cast<char*>(op.key)};
            rc = mdb_del(txn, dbi, &k, nullptr);
            if (rc == MDB_NOTFOUND) {
              itemStatus[i] = hx_db_s_delete_not_found;  // nothing changed: the batch goes on
              continue;
            }
            break;
          }
          case hx_db_op_kind::remove_prefix:
            rc = deletePrefix(txn, dbi, std::string_view(op.key, keyLengths[i]), op.match, op.context);
            break;
        }
        if (rc != 0) return rc;  // the transaction is spoilt: abort it all
        itemStatus[i] = 0;
        ++written;
      }
      if (!counter || written == 0) return 0;
      MDB_val k{counterKeyLength, const_cast<char*>(counter->key)}, v;
      uint32_t value = 0;
      int rc = mdb_get(txn, dbi, &k, &v);
      if (rc == 0) {
        ValueHeader hdr{};
        if (v.mv_size != kValueHeaderSize) return MDB_CORRUPTED;
        std::memcpy(&hdr, v.mv_data, kValueHeaderSize);
        if (hdr.magic != kValueMagic || hdr.length != 0) return MDB_CORRUPTED;
        value = hdr.value;
      } else if (rc != MDB_NOTFOUND) {
        return rc;
      }
      for (size_t n = 0; n < written; ++n)
        if (++value == counter->skip) ++value;
      counterValue = value;
      counterAdvanced = true;
      return putRecord(txn, dbi, counter->key, counterKeyLength, gxobj_t{nullptr, value, 0, 0, nullptr});
    });
  } catch (std::bad_alloc const&) {
    rc = ENOMEM;
  }
  if (rc != 0) {
    DB_TRACE(kTraceError, "batch of %zu writes to %s: %s", count, h->path.c_str(), mdb_strerror(rc));
    status = statusOf(rc);
    for (size_t i = 0; i < count; ++i) itemStatus[i] = status;
    return;
  }
  if (counter && counterAdvanced) counter->value = counterValue;
  status = 0;
}

void hx_db_group_begin(hx_db_handle* h, size_t reserveBytes, unsigned long& status) {
  if (!h) {
    status = hx_db_s_bad_argument;
    return;
  }
  SharedEnv& se = *h->env;
  if (se.readOnly()) {
    status = hx_db_s_read_only;
    return;
  }
  if (se.ownGroup()) {
    status = hx_db_s_bad_argument;  // groups do not nest
    return;
  }
  auto group = std::make_unique<SharedEnv::WriteGroup>();
  group->owner = std::this_thread::get_id();
  group->handle = h;
  // The process lock first (as every writer takes it), then room for the
  // whole group: the map cannot grow while its transaction is open.
  group->processLock = std::make_unique<ProcessLockGuard>(h->lock.get());
  struct stat st {};
  size_t fileSize = ::stat(h->path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
  int rc = 0;
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    if ((rc = se.reserve(fileSize + reserveBytes)) != 0) break;
    group->gate = std::shared_lock<std::shared_mutex>(se.gate);
    MDB_txn* t = nullptr;
    rc = mdb_txn_begin(se.env(), nullptr, 0, &t);
    group->txn.reset(t);
    if (rc != MDB_MAP_RESIZED) break;
    group->gate.unlock();
    if ((rc = se.adopt()) != 0) break;
  }
  if (rc == 0 && !se.openGroup(std::move(group))) rc = EBUSY;
  if (rc != 0) {
    DB_TRACE(kTraceError, "cannot begin a write group on %s: %s", h->path.c_str(), mdb_strerror(rc));
    status = rc == EBUSY ? hx_db_s_bad_argument : statusOf(rc);
    return;
  }
  status = 0;
}

void hx_db_group_end(hx_db_handle* h, bool keep, unsigned long& status) {
  if (!h) {
    status = hx_db_s_bad_argument;
    return;
  }
  SharedEnv& se = *h->env;
  std::unique_ptr<SharedEnv::WriteGroup> group = se.takeGroup();
  if (!group) {
    status = hx_db_s_bad_argument;
    return;
  }
  int rc = group->failure;
  if (keep && rc == 0) {
    rc = commit(group->txn);
    if (rc != 0) rc = se.afterFailedCommit(rc);  // the group still holds the gate
    if (rc == 0) se.writeCommits.fetch_add(1, std::memory_order_relaxed);
  }
  group.reset();  // aborts an uncommitted transaction, then unlocks
  if (rc != 0) DB_TRACE(kTraceError, "write group on %s: %s", h->path.c_str(), mdb_strerror(rc));
  status = rc == 0 ? 0 : statusOf(rc);
}

unsigned long hx_db_write_transactions(hx_db_handle* h) {
  return h ? h->env->writeCommits.load(std::memory_order_relaxed) : 0;
}

void hx_db_inq_count(hx_db_handle* h, unsigned long& count, unsigned long& status) {
  count = 0;
  if (!h) {
    status = hx_db_s_bad_argument;
    return;
  }
  std::lock_guard<std::mutex> g(h->mutex);
  int rc = withReadTxn(*h, [&](MDB_txn* txn) {
    MDB_stat st;
    int rc = mdb_stat(txn, h->env->dbi(), &st);
    if (rc == 0) count = st.ms_entries;
    return rc;
  });
  status = statusOf(rc);
}

void hx_db_iter_start(hx_db_handle* h, unsigned long& status) {
  if (!h) {
    status = hx_db_s_bad_argument;
    return;
  }
  SharedEnv& se = *h->env;
  std::lock_guard<std::mutex> g(h->mutex);
  h->iteration.reset();  // a new start replaces an unfinished iteration
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    std::shared_lock<std::shared_mutex> gate(se.gate);
    if (se.broken()) break;
    MDB_txn* t = nullptr;
    int rc = mdb_txn_begin(se.env(), nullptr, MDB_RDONLY, &t);
    if (rc == MDB_MAP_RESIZED) {
      gate.unlock();
      if ((rc = se.adopt()) != 0) {
        status = statusOf(rc);
        return;
      }
      continue;
    }
    TxnPtr txn(t);
    MDB_cursor* c = nullptr;
    if (rc == 0) rc = mdb_cursor_open(txn.get(), se.dbi(), &c);
    if (rc != 0) {
      status = statusOf(rc);
      return;
    }
    Iteration& it = h->iteration.emplace();
    it.txn = std::move(txn);
    it.cursor.reset(c);
    it.generation = se.mapGeneration();
    status = 0;
    return;
  }
  status = hx_db_s_io_error;
}

char const* hx_db_iter_next(hx_db_handle* h, unsigned long& status) {
  if (!h) {
    status = hx_db_s_bad_argument;
    return nullptr;
  }
  SharedEnv& se = *h->env;
  std::lock_guard<std::mutex> g(h->mutex);
  if (!h->iteration) {
    status = hx_db_s_no_iteration;
    return nullptr;
  }
  Iteration& it = *h->iteration;
  if (it.ended) {
    status = hx_db_s_end_of_iteration;
    return nullptr;
  }
  std::shared_lock<std::shared_mutex> gate(se.gate);
  if (se.broken()) {
    status = hx_db_s_io_error;
    return nullptr;
  }
  MDB_val k;
  int rc = iterationStep(se, it, k);
  if (rc == MDB_NOTFOUND) {
    it.end();  // the snapshot is no longer needed
    status = hx_db_s_end_of_iteration;
    return nullptr;
  }
  if (rc != 0) {
    status = statusOf(rc);
    return nullptr;
  }
  // The engine never writes a key longer than its limit: a longer one is a
  // damaged page whose bytes may run past the end of the file (reading
  // them there would be a bus error, not a status).
  if (k.mv_size > se.maxKeySize()) {
    status = hx_db_s_corrupt;
    return nullptr;
  }
  it.started = true;
  try {
    it.key.assign(static_cast<char const*>(k.mv_data), k.mv_size);
  } catch (std::bad_alloc const&) {
    status = hx_db_s_io_error;
    return nullptr;
  }
  if (it.key.find('\0') != std::string::npos) {
    status = hx_db_s_corrupt;  // keys are texts
    return nullptr;
  }
  status = 0;
  return it.key.c_str();
}

void hx_db_iter_done(hx_db_handle* h, unsigned long& status) {
  if (!h) {
    status = hx_db_s_bad_argument;
    return;
  }
  std::lock_guard<std::mutex> g(h->mutex);
  status = h->iteration ? 0 : hx_db_s_no_iteration;
  h->iteration.reset();
}

void hx_db_close(hx_db_handle* h, unsigned long& status) {
  if (!h) {
    status = hx_db_s_bad_argument;
    return;
  }
  h->env->takeGroup(h).reset();  // a group this handle began and did not end is abandoned
  delete h;
  status = 0;
}

void hx_db_copy(hx_db_handle* h, char const* target, unsigned long& status) {
  if (!h || !target || !*target) {
    status = hx_db_s_bad_argument;
    return;
  }
  // Created here exclusively with mode 0600, so the copy is never readable
  // by others, even while it is being written.
  FileDescriptor fd(::open(target, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    int err = errno;
    DB_TRACE(kTraceError, "cannot create copy %s: %s", target, std::strerror(err));
    status = statusOfFileError(err);
    return;
  }
  RemoveUnlessKept partial(target);
  SharedEnv& se = *h->env;
  int rc = MDB_MAP_RESIZED;
  for (int attempt = 0; attempt < kMaxRetries && rc == MDB_MAP_RESIZED; ++attempt) {
    if (attempt > 0) {
      if ((rc = se.adopt()) != 0) break;
      if (::ftruncate(fd.get(), 0) != 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0) {
        rc = errno;
        break;
      }
    }
    std::shared_lock<std::shared_mutex> gate(se.gate);
    rc = se.broken() ? EIO : mdb_env_copyfd2(se.env(), fd.get(), MDB_CP_COMPACT);
  }
  if (rc == 0 && ::fchmod(fd.get(), 0600) != 0) rc = errno;
  if (rc == 0 && ::fsync(fd.get()) != 0) rc = errno;
  if (rc != 0) {
    DB_TRACE(kTraceError, "copy of %s to %s failed: %s", h->path.c_str(), target, mdb_strerror(rc));
    unsigned long st = statusOf(rc);
    status = st == hx_db_s_corrupt || st == hx_db_s_no_space || st == hx_db_s_read_only ? st : hx_db_s_io_error;
    return;
  }
  partial.keep();
  status = 0;
}

char const* hx_db_path(hx_db_handle* h) { return h ? h->path.c_str() : nullptr; }

bool hx_db_is_read_only(hx_db_handle* h) { return h && h->env->readOnly(); }

int hx_open_regular(char const* path, bool noFollow) {
  if (!path) {
    errno = EINVAL;
    return -1;
  }
  int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
  if (fd < 0) return -1;
  struct stat st;
  int err = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (err == 0) return fd;
  ::close(fd);
  errno = err;
  return -1;
}

void hx_db_remove_file(char const* path) {
  if (path == nullptr) return;
  ::unlink(path);
  ::unlink(hx_db_lock_file(path).c_str());
}

namespace {

// Runs scan with a cursor of a read transaction of its own, not the
// handle's: other reads on the handle go on meanwhile (the environment
// allows several per thread). A map grown by another process is adopted and
// the scan started again. scan returns an engine code (MDB_NOTFOUND at the
// end counts as success); the status of the whole, or hx_db_s_corrupt when
// scan set damaged.
template <typename Scan>
unsigned long scanWithOwnCursor(SharedEnv& se, bool& damaged, Scan&& scan) {
  int rc = MDB_MAP_RESIZED;
  for (int attempt = 0; attempt < kMaxRetries && rc == MDB_MAP_RESIZED; ++attempt) {
    std::shared_lock<std::shared_mutex> gate(se.gate);
    if (se.broken()) {
      rc = EIO;
      break;
    }
    MDB_txn* t = nullptr;
    rc = mdb_txn_begin(se.env(), nullptr, MDB_RDONLY, &t);
    if (rc == MDB_MAP_RESIZED) {
      gate.unlock();
      if ((rc = se.adopt()) != 0) break;
      rc = MDB_MAP_RESIZED;
      continue;
    }
    if (rc != 0) break;
    TxnPtr txn(t);
    MDB_cursor* c = nullptr;
    if ((rc = mdb_cursor_open(txn.get(), se.dbi(), &c)) != 0) break;
    CursorPtr cursor(c);
    rc = scan(c);
    if (rc == MDB_NOTFOUND) rc = 0;
  }
  return damaged ? hx_db_s_corrupt : rc != 0 ? statusOf(rc) : 0;
}

}  // namespace

namespace {

// The scan of hx_db_scan_prefix, calling each(key, value) with the file's
// own bytes of every record under prefix until it returns false.
template <class Each>
void scanPrefix(hx_db_handle* h, char const* prefix, Each&& each, unsigned long& status) {
  size_t prefixLength;
  if (!validKey(h, prefix, prefixLength)) {
    status = hx_db_s_bad_argument;
    return;
  }
  SharedEnv& se = *h->env;
  bool damaged = false;
  status = scanWithOwnCursor(se, damaged, [&](MDB_cursor* c) {
    MDB_val k{prefixLength, const_cast<char*>(prefix)}, v;
    int rc;
    for (rc = mdb_cursor_get(c, &k, &v, MDB_SET_RANGE); rc == 0; rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
      auto const* key = static_cast<char const*>(k.mv_data);
      if (k.mv_size < prefixLength || std::memcmp(key, prefix, prefixLength) != 0) break;
      // A key longer than the engine writes, or with a NUL, is damage (see
      // hx_db_iter_next).
      if (k.mv_size > se.maxKeySize() || std::memchr(key, '\0', k.mv_size) != nullptr) {
        damaged = true;
        break;
      }
      if (!each(std::string_view(key, k.mv_size), std::string_view(static_cast<char const*>(v.mv_data), v.mv_size)))
        break;
    }
    return rc;
  });
}

}  // namespace

void hx_db_scan_prefix(hx_db_handle* h, char const* prefix, bool (*each)(void*, char const*, size_t), void* context,
                       unsigned long& status) {
  if (each == nullptr) {
    status = hx_db_s_bad_argument;
    return;
  }
  scanPrefix(
      h, prefix, [&](std::string_view key, std::string_view) { return each(context, key.data(), key.size()); }, status);
}

void hx_db_scan_prefix_records(hx_db_handle* h, char const* prefix,
                               bool (*each)(void*, std::string_view, std::string_view), void* context,
                               unsigned long& status) {
  if (each == nullptr) {
    status = hx_db_s_bad_argument;
    return;
  }
  scanPrefix(
      h, prefix, [&](std::string_view key, std::string_view value) { return each(context, key, value); }, status);
}

// ---- stored values, whole-file scans and raw write transactions ----------------

std::string hx_db_stored_value(gxobj_t const& record) {
  std::string out(kValueHeaderSize + record.length, '\0');
  ValueHeader hdr{kValueMagic, record.value, record.type, record.length};
  std::memcpy(out.data(), &hdr, kValueHeaderSize);
  if (record.length) std::memcpy(out.data() + kValueHeaderSize, record.data, record.length);
  return out;
}

bool hx_db_parse_stored(std::string_view stored, uint32_t& value, uint32_t& type, std::string_view& bytes) {
  if (stored.size() < kValueHeaderSize) return false;
  ValueHeader hdr{};
  std::memcpy(&hdr, stored.data(), kValueHeaderSize);
  if (hdr.magic != kValueMagic || hdr.length > gxobj_max_encoded_length ||
      hdr.length != stored.size() - kValueHeaderSize)
    return false;
  value = hdr.value;
  type = hdr.type;
  bytes = stored.substr(kValueHeaderSize);
  return true;
}

void hx_db_scan_records(hx_db_handle* h, char const* after,
                        bool (*each)(void* context, std::string_view key, std::string_view value), void* context,
                        unsigned long& status) {
  if (!h || each == nullptr) {
    status = hx_db_s_bad_argument;
    return;
  }
  std::string_view from = after ? std::string_view(after) : std::string_view();
  SharedEnv& se = *h->env;
  bool damaged = false;
  status = scanWithOwnCursor(se, damaged, [&](MDB_cursor* c) {
    MDB_val k{from.size(), const_cast<char*>(from.data())}, v;
    int rc = from.empty() ? mdb_cursor_get(c, &k, &v, MDB_FIRST) : mdb_cursor_get(c, &k, &v, MDB_SET_RANGE);
    if (rc == 0 && !from.empty() && std::string_view(static_cast<char const*>(k.mv_data), k.mv_size) == from)
      rc = mdb_cursor_get(c, &k, &v, MDB_NEXT);
    for (; rc == 0; rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
      auto const* key = static_cast<char const*>(k.mv_data);
      if (k.mv_size == 0 || k.mv_size > se.maxKeySize() || std::memchr(key, '\0', k.mv_size) != nullptr) {
        damaged = true;
        break;
      }
      if (!each(context, std::string_view(key, k.mv_size),
                std::string_view(static_cast<char const*>(v.mv_data), v.mv_size)))
        break;
    }
    return rc;
  });
}

bool hx_db_key_before(hx_db_handle* h, std::string_view key, std::string& found, unsigned long& status) {
  if (!h || key.empty() || key.size() > h->env->maxKeySize() || key.find('\0') != std::string_view::npos) {
    status = hx_db_s_bad_argument;
    return false;
  }
  SharedEnv& se = *h->env;
  bool damaged = false, got = false;
  status = scanWithOwnCursor(se, damaged, [&](MDB_cursor* c) {
    got = false;
    MDB_val k{key.size(), const_cast<char*>(key.data())}, v;
    // The first key at or after key, and the one before it; none at or
    // after: the last key of the file.
    int rc = mdb_cursor_get(c, &k, &v, MDB_SET_RANGE);
    if (rc == 0) rc = mdb_cursor_get(c, &k, &v, MDB_PREV);
    else if (rc == MDB_NOTFOUND) rc = mdb_cursor_get(c, &k, &v, MDB_LAST);
    if (rc != 0) return rc;  // MDB_NOTFOUND: nothing below
    auto const* at = static_cast<char const*>(k.mv_data);
    if (k.mv_size == 0 || k.mv_size > se.maxKeySize() || std::memchr(at, '\0', k.mv_size) != nullptr) {
      damaged = true;
      return 0;
    }
    found.assign(at, k.mv_size);  // copied inside the transaction
    got = true;
    return 0;
  });
  return status == 0 && got;
}

bool hx_db_key_after(hx_db_handle* h, std::string const& after, std::string& found, unsigned long& status) {
  std::optional<std::string> first;
  hx_db_scan_records(
      h, after.c_str(),
      [](void* context, std::string_view key, std::string_view) {
        *static_cast<std::optional<std::string>*>(context) = std::string(key);
        return false;
      },
      &first, status);
  if (status != 0 || !first) return false;
  found = std::move(*first);
  return true;
}

bool hx_db_raw_txn::validKey(std::string_view key) const {
  return !key.empty() && key.size() <= maxKey_ && key.find('\0') == std::string_view::npos;
}

bool hx_db_raw_txn::get(std::string_view key, std::string_view& value, unsigned long& status) {
  status = 0;
  if (!validKey(key)) {
    status = hx_db_s_bad_argument;
    return false;
  }
  MDB_val k{key.size(), const_cast<char*>(key.data())}, v;
  int rc = mdb_get(static_cast<MDB_txn*>(txn_), dbi_, &k, &v);
  if (rc == MDB_NOTFOUND) return false;
  if (rc != 0) {
    if (failure_ == 0) failure_ = rc;
    status = statusOf(rc);
    return false;
  }
  value = std::string_view(static_cast<char const*>(v.mv_data), v.mv_size);
  return true;
}

unsigned long hx_db_raw_txn::put(std::string_view key, std::string_view value) {
  uint32_t word, type;
  std::string_view bytes;
  if (!validKey(key) || !hx_db_parse_stored(value, word, type, bytes)) return hx_db_s_bad_argument;
  if (failure_ != 0) return statusOf(failure_);
  MDB_val k{key.size(), const_cast<char*>(key.data())}, v{value.size(), const_cast<char*>(value.data())};
  int rc = mdb_put(static_cast<MDB_txn*>(txn_), dbi_, &k, &v, 0);
  if (rc != 0) failure_ = rc;
  return rc != 0 ? statusOf(rc) : 0;
}

unsigned long hx_db_raw_txn::remove(std::string_view key) {
  if (!validKey(key)) return hx_db_s_bad_argument;
  if (failure_ != 0) return statusOf(failure_);
  MDB_val k{key.size(), const_cast<char*>(key.data())};
  int rc = mdb_del(static_cast<MDB_txn*>(txn_), dbi_, &k, nullptr);
  if (rc == MDB_NOTFOUND) return hx_db_s_delete_not_found;
  if (rc != 0) failure_ = rc;
  return rc != 0 ? statusOf(rc) : 0;
}

void hx_db_raw_write(hx_db_handle* h, std::function<unsigned long(hx_db_raw_txn&)> const& body,
                     unsigned long& status) {
  if (!h || !body || h->env->ownGroup()) {
    status = hx_db_s_bad_argument;
    return;
  }
  // The body's own refusal travels out of withWriteTxn as this code, which
  // no engine call returns.
  constexpr int kRefused = -1;
  unsigned long refusal = 0;
  int rc = withWriteTxn(*h, [&](MDB_txn* txn) {
    hx_db_raw_txn raw(txn, h->env->dbi(), h->env->maxKeySize());
    refusal = body(raw);
    if (raw.failure_ != 0) return raw.failure_;  // a full map is grown and the body run again
    return refusal != 0 ? kRefused : 0;
  });
  if (rc == kRefused) {
    status = refusal;
    return;
  }
  if (rc != 0) DB_TRACE(kTraceError, "raw write to %s: %s", h->path.c_str(), mdb_strerror(rc));
  status = rc != 0 ? statusOf(rc) : 0;
}

void hx_db_file_version(hx_db_handle* h, hx_db_version& version, unsigned long& status) {
  version = hx_db_version{};
  if (!h) {
    status = hx_db_s_bad_argument;
    return;
  }
  SharedEnv& se = *h->env;
  MDB_envinfo info;
  mdb_env_info(se.env(), &info);  // the last transaction from the lock file's shared table
  version.environment = se.serial();
  version.transaction = static_cast<unsigned long long>(info.me_last_txnid);
  status = 0;
}
