#include "tools/gxpolicyd/snapshot_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>

#include "GxCore/remote/daSnapshot.h"

namespace gxpolicyd {

namespace {

constexpr char kPrefix[] = "/snapshots/";
constexpr char kManifest[] = "manifest.json";
constexpr std::size_t kMaxManifestBytes = 1 << 20;

bool safeName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '.') return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
          c == '_'))
      return false;
  return true;
}

// Opens FILE (see the header) under dirFd without following a link; -1
// when FILE is not a safe name or not a regular file there.
int openServed(int dirFd, std::string_view file) {
  std::size_t slash = file.find('/');
  int base = dirFd;
  int sub = -1;
  std::string_view name = file;
  if (slash != std::string_view::npos) {
    if (file.substr(0, slash) != "snapshots") return -1;
    name = file.substr(slash + 1);
    if (!safeName(name)) return -1;
    sub = ::openat(dirFd, "snapshots", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) return -1;
    base = sub;
  } else if (!safeName(name)) {
    return -1;
  }
  int fd = ::openat(base, std::string(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (sub >= 0) ::close(sub);
  struct stat info;
  if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}

// The manifest's text and sequence number (0 when it is missing or does
// not parse: nothing to announce).
struct Manifest {
  bool present = false;
  std::string text;
  unsigned long sequence = 0;
};

Manifest readManifest(int dirFd) {
  Manifest m;
  int fd = openServed(dirFd, kManifest);
  if (fd < 0) return m;
  char buffer[16384];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && m.text.size() < kMaxManifestBytes) m.text.append(buffer, n);
  ::close(fd);
  m.present = n == 0;
  daSnapshotManifest parsed;
  unsigned long st = 0;
  if (m.present) daSnapshotManifestParse(m.text, parsed, st);
  if (m.present && st == 0) m.sequence = parsed.sequence;
  return m;
}

bool parseNumber(char const* text, unsigned long limit, unsigned long& out) {
  if (text == nullptr) return false;
  std::string_view v(text);
  if (v.empty() || v.size() > 10 || v.find_first_not_of("0123456789") != std::string_view::npos) return false;
  std::uint64_t n = 0;
  for (char c : v) n = n * 10 + static_cast<std::uint64_t>(c - '0');
  if (n > limit) return false;
  out = static_cast<unsigned long>(n);
  return true;
}

MHD_Result queueText(MHD_Connection* c, unsigned status, std::string const& text,
                     char const* type = "text/plain; charset=utf-8", char const* retryAfter = nullptr) {
  MHD_Response* r = MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return MHD_NO;
  MHD_add_response_header(r, "Content-Type", type);
  MHD_add_response_header(r, "Cache-Control", "no-store");
  if (retryAfter != nullptr) MHD_add_response_header(r, "Retry-After", retryAfter);
  MHD_Result ok = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return ok;
}

}  // namespace

struct SnapshotServer::Hooks {
  static MHD_Result answer(void* cls, MHD_Connection* c, char const* url, char const* method, char const*,
                           char const*, std::size_t* uploadSize, void** state) {
    auto* self = static_cast<SnapshotServer*>(cls);
    // Answered on the first call; a body that follows is read and dropped.
    if (*state != nullptr) {
      *uploadSize = 0;
      return MHD_YES;
    }
    *state = self;
    self->requests_.fetch_add(1, std::memory_order_relaxed);
    std::string_view path(url);
    bool head = std::strcmp(method, "HEAD") == 0;
    if (!head && std::strcmp(method, "GET") != 0) {
      MHD_Response* r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
      MHD_add_response_header(r, "Allow", "GET, HEAD");
      MHD_Result ok = MHD_queue_response(c, MHD_HTTP_METHOD_NOT_ALLOWED, r);
      MHD_destroy_response(r);
      return ok;
    }
    if (path.rfind(kPrefix, 0) != 0) return queueText(c, MHD_HTTP_NOT_FOUND, "not found\n");
    std::string_view file = path.substr(sizeof kPrefix - 1);
    char const* after = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "after");
    if (file == kManifest && after != nullptr) return self->longPoll(c, after);
    int fd = openServed(self->dirFd_, file);
    if (fd < 0) return queueText(c, MHD_HTTP_NOT_FOUND, "not found\n");
    struct stat info;
    ::fstat(fd, &info);
    MHD_Response* r = MHD_create_response_from_fd(static_cast<std::uint64_t>(info.st_size), fd);
    if (r == nullptr) {
      ::close(fd);
      return MHD_NO;
    }
    MHD_add_response_header(r, "Content-Type", file == kManifest ? "application/json" : "application/octet-stream");
    if (file == kManifest) MHD_add_response_header(r, "Cache-Control", "no-store");
    MHD_Result ok = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ok;
  }
};

MHD_Result SnapshotServer::longPoll(MHD_Connection* c, char const* afterText) {
  unsigned long after = 0, wait = 0;
  char const* waitText = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "wait");
  if (!parseNumber(afterText, 0xFFFFFFFFul, after))
    return queueText(c, MHD_HTTP_BAD_REQUEST, "after must be a sequence number\n");
  if (waitText != nullptr && !parseNumber(waitText, 0xFFFFFFFFul, wait))
    return queueText(c, MHD_HTTP_BAD_REQUEST, "wait must be a number of seconds\n");
  wait = std::min<unsigned long>(wait, options_.maxWaitSeconds);
  Manifest m = readManifest(dirFd_);
  if (m.sequence <= after && wait > 0) {
    if (held_.fetch_add(1) >= options_.maxHeld) {
      held_.fetch_sub(1);
      return queueText(c, MHD_HTTP_SERVICE_UNAVAILABLE, "too many requests held; try again shortly\n",
                       "text/plain; charset=utf-8", "1");
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait);
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stopping_ && m.sequence <= after && std::chrono::steady_clock::now() < deadline) {
      // Woken by a change, else every second: a change the watch missed
      // (a directory on a network file system) is seen within a second.
      std::uint64_t seen = generation_;
      changed_.wait_until(hold, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(1)),
                          [&] { return stopping_ || generation_ != seen; });
      hold.unlock();
      m = readManifest(dirFd_);
      hold.lock();
    }
    hold.unlock();
    held_.fetch_sub(1);
  }
  if (!m.present) return queueText(c, MHD_HTTP_NOT_FOUND, "no manifest published yet\n");
  return queueText(c, MHD_HTTP_OK, m.text, "application/json");
}

SnapshotServer::SnapshotServer(SnapshotServerOptions options, std::function<void(std::string const&)> log)
    : options_(std::move(options)), log_(std::move(log)) {}

SnapshotServer::~SnapshotServer() { stop(); }

void SnapshotServer::notify() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++generation_;
  }
  changed_.notify_all();
}

bool SnapshotServer::start(std::string& error) {
  if (daemon_ != nullptr) return true;
  dirFd_ = ::open(options_.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd_ < 0) {
    error = "cannot open the publish directory " + options_.dir + ": " + std::strerror(errno);
    return false;
  }
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  sockaddr const* where = nullptr;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ERROR_LOG;
  if (::inet_pton(AF_INET, options_.address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(options_.port);
    where = reinterpret_cast<sockaddr const*>(&v4);
  } else if (::inet_pton(AF_INET6, options_.address.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(options_.port);
    where = reinterpret_cast<sockaddr const*>(&v6);
    flags |= MHD_USE_IPv6;
  } else {
    error = "\"" + options_.address + "\" is not an IPv4 or IPv6 address";
    return false;
  }
  // Changes to the manifest (a publisher renames its new one into place)
  // wake the held requests at once.
  inotifyFd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd_ < 0 || ::inotify_add_watch(inotifyFd_, options_.dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE) < 0 ||
      ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    error = "cannot watch " + options_.dir + ": " + std::strerror(errno);
    return false;
  }
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &Hooks::answer, this, MHD_OPTION_SOCK_ADDR, where,
                             MHD_OPTION_CONNECTION_LIMIT, options_.connectionLimit, MHD_OPTION_CONNECTION_TIMEOUT,
                             static_cast<unsigned>(options_.maxWaitSeconds + 30), MHD_OPTION_END);
  if (daemon_ == nullptr) {
    error = "cannot serve snapshots on " + options_.address + ":" + std::to_string(options_.port) +
            " (address in use or not available)";
    return false;
  }
  MHD_DaemonInfo const* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info != nullptr ? info->port : options_.port;
  watcher_ = std::thread([this] { watch(); });
  return true;
}

void SnapshotServer::watch() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    bool manifest = false;
    ssize_t n;
    while ((n = ::read(inotifyFd_, buffer, sizeof buffer)) > 0) {
      for (char* p = buffer; p < buffer + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        if (e->len > 0 && std::strcmp(e->name, kManifest) == 0) manifest = true;
        p += sizeof(inotify_event) + e->len;
      }
    }
    if (manifest) notify();
  }
}

void SnapshotServer::stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (stopPipe_[1] >= 0) {
    char byte = 0;
    [[maybe_unused]] ssize_t n = ::write(stopPipe_[1], &byte, 1);
  }
  if (watcher_.joinable()) watcher_.join();
  if (daemon_ != nullptr) {
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
  for (int* fd : {&dirFd_, &inotifyFd_, &stopPipe_[0], &stopPipe_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

}  // namespace gxpolicyd
