// Named inter-process locks: flock(LOCK_EX) on a file in the lock directory,
// combined with an in-process mutex per lock file. flock locks belong to an
// open file description, so two threads locking through one descriptor would
// not exclude each other; the mutex covers threads, the flock covers
// processes. Every lock object of one lock file in this process shares one
// descriptor and one mutex.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "outside/hxdb.h"
#include "outside/hxfd.h"
#include "outside/hxsvc.h"

char const* const MrProcessLockFactory::policyserverPrefix = "policyserver_";

namespace {

constexpr int kTraceSub = 3;  // the stores' sub-component of gxdmd
constexpr int kTraceError = 1;
constexpr int kTraceInfo = 4;
constexpr char const* kDefaultLockDirPrefix = "/tmp/gxcore-locks-";  // + the user id
constexpr size_t kMaxFileNameLength = 160;

using hx_internal::FileDescriptor;

// The lock directory: $GXCORE_LOCK_DIR or, by default, one per user under
// /tmp, created 0700 when it does not exist yet. A directory that another
// user owns, that others may write to, or that is not a directory (a
// symbolic link planted there, say) is refused: anyone who can create or
// hold files in it could make every process wait forever. Empty when
// refused; the locks then exclude the threads of this process only.
std::string lockDirectory() {
  char const* env = std::getenv("GXCORE_LOCK_DIR");
  std::string dir = env && *env ? env : kDefaultLockDirPrefix + std::to_string(::geteuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    HX_TRACE(gxdmd_svc_handle, kTraceSub, kTraceError, "cannot create lock directory %s: %s", dir.c_str(),
             std::strerror(errno));
    return {};
  }
  struct stat st;
  char const* why = nullptr;
  if (::lstat(dir.c_str(), &st) != 0) why = "cannot be examined";
  else if (!S_ISDIR(st.st_mode)) why = "is not a directory";
  else if (st.st_uid != ::geteuid()) why = "belongs to another user";
  else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) why = "may be written by other users";
  if (why != nullptr) {
    HX_TRACE(gxdmd_svc_handle, kTraceSub, kTraceError,
             "lock directory %s %s: refused, inter-process locks are off (set GXCORE_LOCK_DIR to a private "
             "directory)",
             dir.c_str(), why);
    return {};
  }
  return dir;
}

// A file name for a lock name: letters, digits, '-', '_' and '.' are kept,
// every other byte becomes '_'. Names that would be too long are cut and
// get a hash of the full name, so that distinct long names stay distinct.
std::string lockFileName(std::string const& name) {
  std::string out;
  out.reserve(name.size() + 8);
  for (unsigned char c : name) {
    bool keep =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    out.push_back(keep ? static_cast<char>(c) : '_');
  }
  if (out.empty() || out[0] == '.') out.insert(out.begin(), '_');  // no "", ".", ".." or hidden files
  if (out.size() > kMaxFileNameLength) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "-%016zx", std::hash<std::string>{}(name));
    out.resize(kMaxFileNameLength);
    out += hash;
  }
  return out + ".lock";
}

// The lock file of a lock name, or "" when there is no usable directory.
std::string lockPathOf(std::string const& name) {
  std::string dir = lockDirectory();
  return dir.empty() ? std::string() : dir + "/" + lockFileName(name);
}

// What every lock object of one lock file in this process shares.
struct LockFileState {
  std::mutex threads;
  FileDescriptor fd;
  explicit LockFileState(int descriptor) : fd(descriptor) {}
};

// Lock file path -> shared state, kept while a lock object uses it.
class LockRegistry {
 public:
  static LockRegistry& instance() {
    // Never destroyed: lock objects may outlive static destruction.
    static LockRegistry* registry = new LockRegistry;
    return *registry;
  }

  std::shared_ptr<LockFileState> stateFor(std::string const& path) {
    std::lock_guard<std::mutex> g(mutex_);
    for (auto it = states_.begin(); it != states_.end();) {
      if (it->second.expired())
        it = states_.erase(it);
      else
        ++it;
    }
    if (auto found = states_[path].lock()) return found;
    int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && !path.empty())
      HX_TRACE(gxdmd_svc_handle, kTraceSub, kTraceError,
               "cannot open lock file %s (%s): the lock excludes threads of this process only", path.c_str(),
               std::strerror(errno));
    auto state = std::make_shared<LockFileState>(fd);
    states_[path] = state;
    return state;
  }

 private:
  LockRegistry() {
    // A child process must not share the parent's descriptors (an flock
    // through a shared descriptor would not exclude the parent), so it
    // starts with an empty registry. Inherited lock objects keep the old
    // state: lock objects, like database handles, do not survive fork.
    pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                   [] {
                     LockRegistry& r = instance();
                     r.mutex_.unlock();
                     r.states_.clear();
                   });
  }

  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<LockFileState>> states_;
};

class FlockProcessLock final : public MrProcessLock {
 public:
  explicit FlockProcessLock(std::string name)
      : name_(std::move(name)),
        path_(lockPathOf(name_)),
        state_(LockRegistry::instance().stateFor(path_)) {}

  void lock() override {
    std::unique_lock<std::mutex> threads(state_->threads);
    int fd = state_->fd.get();
    if (fd >= 0) {
      int rc;
      do rc = ::flock(fd, LOCK_EX);
      while (rc != 0 && errno == EINTR);
      if (rc != 0)
        HX_TRACE(gxdmd_svc_handle, kTraceSub, kTraceError, "flock(%s) failed: %s", path_.c_str(), std::strerror(errno));
    }
    threads.release();  // held until unlock()
  }

  void unlock() override {
    std::unique_lock<std::mutex> threads(state_->threads, std::adopt_lock);
    int fd = state_->fd.get();
    if (fd >= 0 && ::flock(fd, LOCK_UN) != 0)
      HX_TRACE(gxdmd_svc_handle, kTraceSub, kTraceError, "flock(%s, LOCK_UN) failed: %s", path_.c_str(),
               std::strerror(errno));
  }

  char const* name() const override { return name_.c_str(); }

 private:
  std::string name_;
  std::string path_;
  std::shared_ptr<LockFileState> state_;
};

}  // namespace

MrProcessLockFactory* MrProcessLockFactory::getLockFactory() {
  static MrProcessLockFactory factory;
  return &factory;
}

std::shared_ptr<MrProcessLock> MrProcessLockFactory::newLock(char const* name) {
  auto lock = std::make_shared<FlockProcessLock>(name ? name : "");
  HX_TRACE(gxdmd_svc_handle, kTraceSub, kTraceInfo, "process lock %s", lock->name());
  return lock;
}
