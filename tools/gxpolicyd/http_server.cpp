#include "tools/gxpolicyd/http_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <strings.h>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace gxpolicyd {

// What the library keeps per request between the calls of onRequest.
struct HttpServer::Exchange {
  std::string body;
  std::string clientName;  // a verified client certificate's common name
  bool tooLarge = false;
  bool overBudget = false;
  bool noMemory = false;     // the body could not be held: answered 503, the rest unread
  std::size_t reserved = 0;  // bytes of the server's body budget this exchange holds
};

namespace {

constexpr char kOutOfMemoryBody[] = "{\"error\":\"the server ran out of memory for this request; try again shortly\"}\n";
constexpr char kInternalErrorBody[] = "{\"error\":\"internal error\"}\n";

// A response whose body is static text, to be queued any number of times.
MHD_Response* cannedResponse(char const* body, bool retry) {
  MHD_Response* r = MHD_create_response_from_buffer(std::strlen(body), const_cast<char*>(body), MHD_RESPMEM_PERSISTENT);
  if (r == nullptr) return nullptr;
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
  if (retry) MHD_add_response_header(r, MHD_HTTP_HEADER_RETRY_AFTER, "1");
  return r;
}

// Descriptors open in this process now (the one that lists them not
// counted); 0 when /proc cannot tell.
unsigned openDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  unsigned n = 0;
  while (dirent* e = ::readdir(dir))
    if (e->d_name[0] != '.') ++n;
  ::closedir(dir);
  return n > 0 ? n - 1 : 0;
}

// The library's messages, each kind of them (its text without digits) at
// most once per kRepeatSeconds: a resource limit met on every accept makes
// one line a burst, not one per attempt. The lines held back are counted
// in the next one let through. Never throws (a line that cannot be made
// is dropped).
class LibraryLog {
 public:
  static constexpr int kRepeatSeconds = 10;
  explicit LibraryLog(std::function<void(std::string const&)> const& log) : log_(log) {}

  void line(char const* text) noexcept {
    try {
      std::string kind;
      for (char const* c = text; *c != '\0' && kind.size() < 200; ++c)
        if (!std::isdigit(static_cast<unsigned char>(*c))) kind += *c;
      auto now = std::chrono::steady_clock::now();
      unsigned held = 0;
      {
        std::lock_guard<std::mutex> hold(lock_);
        if (seen_.size() > 64) seen_.clear();
        auto [at, fresh] = seen_.try_emplace(kind, Seen{now, 0});
        if (!fresh) {
          if (now - at->second.last < std::chrono::seconds(kRepeatSeconds)) {
            ++at->second.held;
            return;
          }
          held = std::exchange(at->second.held, 0);
          at->second.last = now;
        }
      }
      if (log_)
        log_(std::string("http: ") + text +
             (held == 0 ? "" : " (" + std::to_string(held) + " more like it in the last seconds not shown)"));
    } catch (...) {
    }
  }

 private:
  struct Seen {
    std::chrono::steady_clock::time_point last;
    unsigned held = 0;
  };
  std::function<void(std::string const&)> const& log_;
  std::mutex lock_;
  std::unordered_map<std::string, Seen> seen_;  // under lock_
};

void logLibrary(void* self, char const* fmt, va_list ap) {
  char line[512];
  std::vsnprintf(line, sizeof line, fmt, ap);
  std::size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = '\0';
  static_cast<LibraryLog*>(self)->line(line);
}

// log(text), or nothing when the line cannot be made: called from the
// library's threads, where no exception may go.
void logQuietly(std::function<void(std::string const&)> const& log, std::string const& text) noexcept {
  try {
    if (log) log(text);
  } catch (...) {
  }
}

}  // namespace

struct HttpServer::Prepared {
  explicit Prepared(std::function<void(std::string const&)> const& log) : library(log) {}
  ~Prepared() {
    if (outOfMemory != nullptr) MHD_destroy_response(outOfMemory);
    if (internalError != nullptr) MHD_destroy_response(internalError);
  }
  MHD_Response* outOfMemory = nullptr;    // 503 with Retry-After
  MHD_Response* internalError = nullptr;  // 500
  LibraryLog library;
};

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

  // Closes a connection past the cap as soon as it is accepted; the first
  // refusal of a run and the first admission after it are logged.
  static MHD_Result admit(void* self, sockaddr const*, socklen_t) {
    auto* server = static_cast<HttpServer*>(self);
    unsigned cap = server->connectionCap_.load(std::memory_order_relaxed);
    if (server->connections_.load(std::memory_order_relaxed) >= cap) {
      server->refused_.fetch_add(1, std::memory_order_relaxed);
      if (!server->refusing_.exchange(true))
        logQuietly(server->log_, "at the limit of " + std::to_string(cap) +
                                     " open connections: new ones are closed until some close");
      return MHD_NO;
    }
    if (server->refusing_.load(std::memory_order_relaxed) && server->refusing_.exchange(false))
      logQuietly(server->log_, "accepting connections again (" + std::to_string(server->refused_.load()) +
                                   " refused since start)");
    return MHD_YES;
  }

  // Queues a canned response; MHD_NO (the connection closes) when there is none.
  static MHD_Result answerCanned(MHD_Connection* c, MHD_Response* canned, unsigned status) {
    if (canned == nullptr) return MHD_NO;
    return MHD_queue_response(c, status, canned);
  }

  static MHD_Result answer(HttpServer* server, MHD_Connection* c, Response const& r) {
    // An empty body (most /v1/auth answers) is not copied.
    static char empty[1] = "";
    MHD_Response* response =
        r.body.empty() ? MHD_create_response_from_buffer(0, empty, MHD_RESPMEM_PERSISTENT)
                       : MHD_create_response_from_buffer(r.body.size(), const_cast<char*>(r.body.data()),
                                                         MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return answerCanned(c, server->prepared_->outOfMemory, MHD_HTTP_SERVICE_UNAVAILABLE);
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

  // The request's query arguments, gathered as the headers are (a list per
  // thread); hasNul is set when a value decoded to a NUL byte.
  struct Arguments {
    std::vector<HeaderField> fields;
    bool hasNul = false;
  };
  static MHD_Result collectArgument(void* cls, MHD_ValueKind, char const* key, std::size_t keySize, char const* value,
                                    std::size_t valueSize) {
    auto* args = static_cast<Arguments*>(cls);
    if (key == nullptr || value == nullptr) return MHD_YES;
    args->hasNul = args->hasNul || std::strlen(value) != valueSize || std::strlen(key) != keySize;
    args->fields.push_back(HeaderField{std::string_view(key, keySize), value});
    return MHD_YES;
  }
  static Arguments const& argumentsOf(MHD_Connection* c) {
    thread_local Arguments args;
    args.fields.clear();
    args.hasNul = false;
    MHD_get_connection_values_n(c, MHD_GET_ARGUMENT_KIND, &collectArgument, &args);
    return args;
  }

  // The library's request callback: takeRequest, with no exception let
  // out into the library. Memory that runs out is answered 503 from the
  // canned response (allocating nothing), anything else 500.
  static MHD_Result request(void* self, MHD_Connection* c, char const* url, char const* method, char const* version,
                            char const* upload, std::size_t* uploadSize, void** state) {
    auto* server = static_cast<HttpServer*>(self);
    try {
      return takeRequest(server, c, url, method, version, upload, uploadSize, state);
    } catch (std::bad_alloc const&) {
      return answerCanned(c, server->prepared_->outOfMemory, MHD_HTTP_SERVICE_UNAVAILABLE);
    } catch (...) {
      return answerCanned(c, server->prepared_->internalError, MHD_HTTP_INTERNAL_SERVER_ERROR);
    }
  }

  // Called once with the headers, then once per piece of body, then once
  // with nothing more to read: the request is answered then. Throws
  // std::bad_alloc only where nothing is held that request would lose.
  static MHD_Result takeRequest(HttpServer* server, MHD_Connection* c, char const* url, char const* method,
                                char const*, char const* upload, std::size_t* uploadSize, void** state) {
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
      exchange = new (std::nothrow) Exchange();
      if (exchange == nullptr) {
        server->inFlight_.fetch_sub(1);
        return answerCanned(c, server->prepared_->outOfMemory, MHD_HTTP_SERVICE_UNAVAILABLE);
      }
      *state = exchange;
      char const* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
      // Announced too large: answered before the body is read (the library
      // then closes the connection). Any other request is answered once it
      // has been read whole: an answer given earlier costs the keep-alive.
      // An announced body takes its budget and its memory now, all of it,
      // or is answered 503 unread.
      unsigned long long announced = length == nullptr ? 0 : std::strtoull(length, nullptr, 10);
      if (announced > server->options_.maxBody) exchange->tooLarge = true;
      else if (announced > 0 && !reserve(server, exchange, static_cast<std::size_t>(announced))) exchange->overBudget = true;
      else if (!holdBody(exchange, static_cast<std::size_t>(announced))) exchange->noMemory = true;
      else return MHD_YES;
    } else if (*uploadSize > 0) {
      if (exchange->body.size() + *uploadSize > server->options_.maxBody) exchange->tooLarge = true;
      std::size_t more = exchange->body.size() + *uploadSize > exchange->reserved
                             ? exchange->body.size() + *uploadSize - exchange->reserved
                             : 0;
      bool taking = !exchange->tooLarge && !exchange->overBudget && !exchange->noMemory;
      if (taking && more > 0 && !reserve(server, exchange, more)) exchange->overBudget = true;
      else if (taking && !holdBody(exchange, exchange->body.size() + *uploadSize)) exchange->noMemory = true;
      else if (taking) exchange->body.append(upload, *uploadSize);
      *uploadSize = 0;
      return MHD_YES;
    }
    Request r;
    r.method = method;
    r.path = url;
    r.body = exchange->body;
    r.bodyTooLarge = exchange->tooLarge;
    r.bodyOverBudget = exchange->overBudget && !exchange->tooLarge;
    r.bodyNoMemory = exchange->noMemory && !exchange->tooLarge && !exchange->overBudget;
    r.headers = headersOf(c);
    if (MHD_ConnectionInfo const* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
      r.peer = info->client_addr;
    if (!server->options_.clientCaPem.empty()) {
      exchange->clientName = verifiedClientName(c);
      r.clientName = exchange->clientName;
    }
    Arguments const& args = argumentsOf(c);
    r.query = args.fields;
    r.queryHasNul = args.hasNul;
    return answer(server, c, server->handler_(r));
  }

  // The common name of the client's certificate when it verifies against
  // the trusted CAs (chain, dates, signatures) for a TLS client -- one
  // whose extended key usage leaves clients out, a server's say, names
  // nobody -- and its subject holds exactly one common name (with two,
  // which of them names the administrator would be the reader's guess);
  // "" otherwise, and for a name with a control character.
  static std::string verifiedClientName(MHD_Connection* c) {
    MHD_ConnectionInfo const* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (info == nullptr || info->tls_session == nullptr) return {};
    auto session = static_cast<gnutls_session_t>(info->tls_session);
    gnutls_typed_vdata_st purpose{};
    purpose.type = GNUTLS_DT_KEY_PURPOSE_OID;
    purpose.data = reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_CLIENT));
    unsigned verdict = 0;
    if (gnutls_certificate_verify_peers(session, &purpose, 1, &verdict) != GNUTLS_E_SUCCESS || verdict != 0) return {};
    unsigned count = 0;
    gnutls_datum_t const* chain = gnutls_certificate_get_peers(session, &count);
    if (chain == nullptr || count == 0) return {};
    gnutls_x509_crt_t raw = nullptr;
    if (gnutls_x509_crt_init(&raw) != GNUTLS_E_SUCCESS) return {};
    std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, void (*)(gnutls_x509_crt_t)> const cert(raw, gnutls_x509_crt_deinit);
    if (gnutls_x509_crt_import(cert.get(), &chain[0], GNUTLS_X509_FMT_DER) != GNUTLS_E_SUCCESS) return {};
    char cn[256];
    std::size_t size = sizeof cn;
    if (gnutls_x509_crt_get_dn_by_oid(cert.get(), GNUTLS_OID_X520_COMMON_NAME, 0, 0, cn, &size) != GNUTLS_E_SUCCESS)
      return {};
    char second[256];
    std::size_t secondSize = sizeof second;
    if (gnutls_x509_crt_get_dn_by_oid(cert.get(), GNUTLS_OID_X520_COMMON_NAME, 1, 0, second, &secondSize) !=
        GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE)
      return {};
    std::string name(cn, size);
    for (char ch : name)
      if (static_cast<unsigned char>(ch) < 0x20) return {};
    return name;
  }

  // Makes room for bytes of body in exchange; false when memory ran out
  // (the body held so far is then let go).
  static bool holdBody(Exchange* exchange, std::size_t bytes) noexcept {
    try {
      exchange->body.reserve(bytes);
      return true;
    } catch (std::bad_alloc const&) {
      std::string().swap(exchange->body);
      return false;
    }
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
  MHD_OptionItem tls[4] = {{MHD_OPTION_END, 0, nullptr}, {MHD_OPTION_END, 0, nullptr},
                           {MHD_OPTION_END, 0, nullptr}, {MHD_OPTION_END, 0, nullptr}};
  if (!options_.tlsCertPem.empty()) {
    flags |= MHD_USE_TLS;
    tls[0] = {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(options_.tlsCertPem.c_str())};
    tls[1] = {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(options_.tlsKeyPem.c_str())};
    if (!options_.clientCaPem.empty())
      tls[2] = {MHD_OPTION_HTTPS_MEM_TRUST, 0, const_cast<char*>(options_.clientCaPem.c_str())};
  }
  int unixSocket = -1;
  if (!options_.socketPath.empty()) {
    if ((unixSocket = listenUnix(error)) < 0) return false;
    listen[0] = {MHD_OPTION_LISTEN_SOCKET, unixSocket, nullptr};
  } else {
    if (!inetAddress(where, flags, error)) return false;
    listen[0] = {MHD_OPTION_SOCK_ADDR, 0, &where};
  }
  unsigned threads = options_.threads == 0 ? 1 : options_.threads;
  prepared_ = std::make_unique<Prepared>(log_);
  prepared_->outOfMemory = cannedResponse(kOutOfMemoryBody, true);
  prepared_->internalError = cannedResponse(kInternalErrorBody, false);
  // The cap is kept here (admit): the library shares its own limit out
  // among its threads, so it gets enough for one thread to hold them all.
  connectionCap_.store(options_.connectionLimit);
  unsigned libraryLimit = options_.connectionLimit > UINT_MAX / threads ? UINT_MAX : options_.connectionLimit * threads;
  daemon_ = MHD_start_daemon(
      flags, options_.port, &Hooks::admit, this, &Hooks::request, this,
      MHD_OPTION_EXTERNAL_LOGGER, &logLibrary, &prepared_->library,
      MHD_OPTION_ARRAY, listen,
      MHD_OPTION_ARRAY, tls,
      MHD_OPTION_THREAD_POOL_SIZE, threads,
      MHD_OPTION_CONNECTION_LIMIT, libraryLimit,
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
              (options_.tlsCertPem.empty() ? " (address in use, or not an address of this host)"
                                           : " (address in use, not an address of this host, or a TLS certificate, "
                                             "key or client CA that cannot be used)");
    }
    prepared_.reset();
    return false;
  }
  // Counted with the library's threads, sockets and event descriptors open.
  unsigned cap = capUnderDescriptorLimit();
  if (cap == 0) {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    error = "the descriptor limit of " + std::to_string(lim.rlim_cur) + " leaves no room for connections beside the " +
            std::to_string(openDescriptors()) + " descriptors open and " + std::to_string(kDescriptorReserve) +
            " kept in reserve; raise it (ulimit -n, or LimitNOFILE= for a systemd service)";
    stop(0);
    return false;
  }
  if (cap < options_.connectionLimit) {
    connectionCap_.store(cap);
    logQuietly(log_, "the descriptor limit leaves room for " + std::to_string(cap) + " connections at once, fewer than the " +
                         std::to_string(options_.connectionLimit) + " allowed; more are refused");
  }
  return true;
}

unsigned HttpServer::capUnderDescriptorLimit() const {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return options_.connectionLimit;
  unsigned long long used = static_cast<unsigned long long>(openDescriptors()) + kDescriptorReserve;
  if (lim.rlim_cur <= used) return 0;
  return static_cast<unsigned>(std::min<unsigned long long>(lim.rlim_cur - used, options_.connectionLimit));
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
  prepared_.reset();
  if (listenSocket_ >= 0) ::close(listenSocket_);
  listenSocket_ = -1;
  if (!options_.socketPath.empty()) ::unlink(options_.socketPath.c_str());
}


}  // namespace gxpolicyd
