#include "tools/gxpolicyd/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <thread>

namespace gxpolicyd {

// What the library keeps per request between the calls of onRequest.
struct HttpServer::Exchange {
  std::string body;
  bool tooLarge = false;
  bool overBudget = false;
  std::size_t reserved = 0;  // bytes of the server's body budget this exchange holds
};

namespace {

void logLibrary(void* self, char const* fmt, va_list ap) {
  char line[512];
  std::vsnprintf(line, sizeof line, fmt, ap);
  std::size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
  auto* log = static_cast<std::function<void(std::string const&)>*>(self);
  if (*log) (*log)(std::string("http: ") + line);
}

}  // namespace

struct HttpServer::Hooks {
  static void connection(void* self, MHD_Connection*, void**, MHD_ConnectionNotificationCode what) {
    auto* server = static_cast<HttpServer*>(self);
    if (what == MHD_CONNECTION_NOTIFY_STARTED) server->connections_.fetch_add(1, std::memory_order_relaxed);
    else server->connections_.fetch_sub(1, std::memory_order_relaxed);
  }

  static void completed(void* self, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    auto* server = static_cast<HttpServer*>(self);
    auto* exchange = static_cast<Exchange*>(*state);
    if (exchange == nullptr) return;
    server->bodyBytes_.fetch_sub(exchange->reserved, std::memory_order_relaxed);
    delete exchange;
    *state = nullptr;
    server->inFlight_.fetch_sub(1, std::memory_order_relaxed);
  }

  static MHD_Result answer(MHD_Connection* c, Response const& r) {
    // An empty body (most /v1/auth answers) is not copied.
    static char empty[1] = "";
    MHD_Response* response =
        r.body.empty() ? MHD_create_response_from_buffer(0, empty, MHD_RESPMEM_PERSISTENT)
                       : MHD_create_response_from_buffer(r.body.size(), const_cast<char*>(r.body.data()),
                                                         MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.contentType);
    for (auto const& [name, value] : r.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(r.status), response);
    MHD_destroy_response(response);
    return ok;
  }

  // Takes bytes from the server's body budget for exchange; false when
  // they are not left.
  static bool reserve(HttpServer* server, Exchange* exchange, std::size_t bytes) {
    std::size_t held = server->bodyBytes_.load(std::memory_order_relaxed);
    do {
      if (held + bytes > server->options_.maxBodiesTotal) return false;
    } while (!server->bodyBytes_.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
    exchange->reserved += bytes;
    return true;
  }

  // The request's headers, gathered in one pass over the connection's.
  static MHD_Result collectHeader(void* cls, MHD_ValueKind, char const* key, std::size_t keySize, char const* value,
                                  std::size_t) {
    auto* fields = static_cast<std::vector<HeaderField>*>(cls);
    if (key != nullptr && value != nullptr) fields->push_back(HeaderField{std::string_view(key, keySize), value});
    return MHD_YES;
  }
  static std::span<HeaderField const> headersOf(MHD_Connection* c) {
    // One list per thread, reused: a request's headers cost no allocation
    // once the list has grown to the most a request has brought.
    thread_local std::vector<HeaderField> fields;
    fields.clear();
    MHD_get_connection_values_n(c, MHD_HEADER_KIND, &collectHeader, &fields);
    return fields;
  }

  // Called once with the headers, then once per piece of body, then once
  // with nothing more to read: the request is answered then.
  static MHD_Result request(void* self, MHD_Connection* c, char const* url, char const* method, char const*,
                            char const* upload, std::size_t* uploadSize, void** state) {
    auto* server = static_cast<HttpServer*>(self);
    auto* exchange = static_cast<Exchange*>(*state);
    if (exchange == nullptr) {
      // Once stop has begun, a new request on a kept-alive connection is
      // not taken (the connection closes unanswered, as a new one would be
      // refused): stop then waits for exactly the requests it will answer,
      // and no request is decided whose answer the stop would cut off. The
      // count goes up before the flag is read, and stop sets the flag
      // before it reads the count (both in one total order): one of the two
      // sees the other.
      server->inFlight_.fetch_add(1);
      if (server->stopping_.load()) {
        server->inFlight_.fetch_sub(1);
        return MHD_NO;
      }
      exchange = new Exchange();
      *state = exchange;
      char const* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
      // Announced too large: answered before the body is read (the library
      // then closes the connection). Any other request is answered once it
      // has been read whole: an answer given earlier costs the keep-alive.
      // An announced body takes its budget now, all of it, or is answered
      // 503 unread.
      unsigned long long announced = length == nullptr ? 0 : std::strtoull(length, nullptr, 10);
      if (announced > server->options_.maxBody) exchange->tooLarge = true;
      else if (announced > 0 && !reserve(server, exchange, static_cast<std::size_t>(announced))) exchange->overBudget = true;
      else {
        exchange->body.reserve(static_cast<std::size_t>(announced));
        return MHD_YES;
      }
    } else if (*uploadSize > 0) {
      if (exchange->body.size() + *uploadSize > server->options_.maxBody) exchange->tooLarge = true;
      std::size_t more = exchange->body.size() + *uploadSize > exchange->reserved
                             ? exchange->body.size() + *uploadSize - exchange->reserved
                             : 0;
      if (!exchange->tooLarge && !exchange->overBudget && more > 0 && !reserve(server, exchange, more))
        exchange->overBudget = true;
      if (!exchange->tooLarge && !exchange->overBudget) exchange->body.append(upload, *uploadSize);
      *uploadSize = 0;
      return MHD_YES;
    }
    Request r;
    r.method = method;
    r.path = url;
    r.body = exchange->body;
    r.bodyTooLarge = exchange->tooLarge;
    r.bodyOverBudget = exchange->overBudget && !exchange->tooLarge;
    r.headers = headersOf(c);
    return answer(c, server->handler_(r));
  }
};

HttpServer::HttpServer(HttpOptions options, Handler handler, std::function<void(std::string const&)> log)
    : options_(std::move(options)), handler_(std::move(handler)), log_(std::move(log)) {}

HttpServer::~HttpServer() { stop(0); }

int HttpServer::listenUnix(std::string& error) {
  std::string const& path = options_.socketPath;
  sockaddr_un where{};
  if (path.size() >= sizeof where.sun_path) {
    error = "the socket path is longer than " + std::to_string(sizeof where.sun_path - 1) + " bytes: " + path;
    return -1;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = path + " exists and is not a socket";
      return -1;
    }
    ::unlink(path.c_str());  // left by an earlier run
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  where.sun_family = AF_UNIX;
  std::memcpy(where.sun_path, path.c_str(), path.size() + 1);
  // Created closed to everyone but the owner, then opened to socketMode:
  // no moment where others may connect that should not.
  mode_t before = ::umask(0177);
  int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where);
  ::umask(before);
  if (bound != 0 || ::chmod(path.c_str(), options_.socketMode & 0777) != 0 || ::listen(fd, 4096) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

bool HttpServer::inetAddress(sockaddr_storage& where, unsigned& flags, std::string& error) const {
  if (options_.address.find(':') != std::string::npos) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&where);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(options_.port);
    if (::inet_pton(AF_INET6, options_.address.c_str(), &a6->sin6_addr) != 1) {
      error = "not an IPv6 address: " + options_.address;
      return false;
    }
    flags |= MHD_USE_IPv6;
    return true;
  }
  auto* a4 = reinterpret_cast<sockaddr_in*>(&where);
  a4->sin_family = AF_INET;
  a4->sin_port = htons(options_.port);
  if (::inet_pton(AF_INET, options_.address.c_str(), &a4->sin_addr) != 1) {
    error = "not an IPv4 address: " + options_.address;
    return false;
  }
  return true;
}

bool HttpServer::start(std::string& error) {
  if (daemon_ != nullptr) {
    error = "already started";
    return false;
  }
  sockaddr_storage where{};
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_USE_ERROR_LOG | MHD_USE_TURBO;
  // Where to listen: a unix-domain socket made here, or an address the library binds.
  MHD_OptionItem listen[2] = {{MHD_OPTION_END, 0, nullptr}, {MHD_OPTION_END, 0, nullptr}};
  int unixSocket = -1;
  if (!options_.socketPath.empty()) {
    if ((unixSocket = listenUnix(error)) < 0) return false;
    listen[0] = {MHD_OPTION_LISTEN_SOCKET, unixSocket, nullptr};
  } else {
    if (!inetAddress(where, flags, error)) return false;
    listen[0] = {MHD_OPTION_SOCK_ADDR, 0, &where};
  }
  unsigned threads = options_.threads == 0 ? 1 : options_.threads;
  daemon_ = MHD_start_daemon(
      flags, options_.port, nullptr, nullptr, &Hooks::request, this,
      MHD_OPTION_EXTERNAL_LOGGER, &logLibrary, &log_,
      MHD_OPTION_ARRAY, listen,
      MHD_OPTION_THREAD_POOL_SIZE, threads,
      MHD_OPTION_CONNECTION_LIMIT, options_.connectionLimit,
      MHD_OPTION_CONNECTION_TIMEOUT, options_.idleTimeoutSeconds,
      // Headers only: bodies are kept by the exchange, so a small pool per
      // connection lets many thousands of keep-alive clients stay connected.
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<std::size_t>(16 * 1024),
      MHD_OPTION_LISTEN_BACKLOG_SIZE, 4096u,
      MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u,
      MHD_OPTION_NOTIFY_COMPLETED, &Hooks::completed, this,
      MHD_OPTION_NOTIFY_CONNECTION, &Hooks::connection, this,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    if (unixSocket >= 0) {
      ::close(unixSocket);
      ::unlink(options_.socketPath.c_str());
      error = "cannot serve on " + options_.socketPath;
    } else {
      error = "cannot listen on " + options_.address + ":" + std::to_string(options_.port) +
              " (address in use, or not an address of this host)";
    }
    return false;
  }
  return true;
}

void HttpServer::stop(unsigned graceMs) {
  if (daemon_ == nullptr) return;
  stopping_.store(true);
  listenSocket_ = MHD_quiesce_daemon(daemon_);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  while (inFlight_.load() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  if (listenSocket_ >= 0) ::close(listenSocket_);
  listenSocket_ = -1;
  if (!options_.socketPath.empty()) ::unlink(options_.socketPath.c_str());
}


}  // namespace gxpolicyd
