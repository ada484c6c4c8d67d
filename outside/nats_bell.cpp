#include "outside/nats_bell.h"

#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace hxnats {

namespace {

bool subjectChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool validSubject(std::string_view s) {
  if (s.empty() || s.size() > 255) return false;
  bool tokenStart = true;
  for (char c : s) {
    if (c == '.') {
      if (tokenStart) return false;  // an empty token
      tokenStart = true;
    } else if (subjectChar(c)) {
      tokenStart = false;
    } else {
      return false;
    }
  }
  return !tokenStart;
}

std::string describe(natsStatus s) {
  char const* text = natsStatus_GetText(s);
  std::string out = text != nullptr ? text : "error";
  char const* last = nats_GetLastError(nullptr);
  if (last != nullptr && *last != '\0' && out != last) out += std::string(": ") + last;
  return out;
}

// Owns a natsOptions for the length of a scope.
struct OptionsHolder {
  natsOptions* opts = nullptr;
  ~OptionsHolder() {
    if (opts != nullptr) natsOptions_Destroy(opts);
  }
};

}  // namespace

bool parseUrl(std::string const& url, Address& out, std::string& error) {
  constexpr std::string_view scheme = "nats://";
  if (url.rfind(scheme, 0) != 0) {
    error = "\"" + url + "\" is not a nats://HOST:PORT/SUBJECT URL";
    return false;
  }
  std::string_view rest = std::string_view(url).substr(scheme.size());
  std::size_t slash = rest.find('/');
  std::string_view host = rest.substr(0, slash);
  std::string_view subject = slash == std::string_view::npos ? std::string_view(kDefaultSubject) : rest.substr(slash + 1);
  if (host.empty() || host.find_first_of("@?# ") != std::string_view::npos) {
    error = "\"" + url + "\" names no server (nats://HOST:PORT/SUBJECT)";
    return false;
  }
  if (subject.empty()) subject = kDefaultSubject;
  if (!validSubject(subject)) {
    error = "\"" + std::string(subject) + "\" is not a subject of letters, digits, '-', '_' and dots";
    return false;
  }
  out.server = "nats://" + std::string(host);
  out.subject = std::string(subject);
  return true;
}

bool parseSequence(std::string_view payload, std::uint64_t& out) {
  if (payload.empty() || payload.size() > 10) return false;
  std::uint64_t v = 0;
  for (char c : payload) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  out = v;
  return true;
}

bool announce(std::string const& url, std::uint64_t sequence, int timeoutMs, std::string& error) {
  Address address;
  if (!parseUrl(url, address, error)) return false;
  OptionsHolder options;
  natsStatus s = natsOptions_Create(&options.opts);
  if (s == NATS_OK) s = natsOptions_SetURL(options.opts, address.server.c_str());
  if (s == NATS_OK) s = natsOptions_SetTimeout(options.opts, std::max(1, timeoutMs));
  if (s == NATS_OK) s = natsOptions_SetAllowReconnect(options.opts, false);
  natsConnection* nc = nullptr;
  if (s == NATS_OK) s = natsConnection_Connect(&nc, options.opts);
  if (s == NATS_OK) s = natsConnection_PublishString(nc, address.subject.c_str(), std::to_string(sequence).c_str());
  if (s == NATS_OK) s = natsConnection_FlushTimeout(nc, std::max(1, timeoutMs));
  if (s != NATS_OK) error = "cannot announce on " + address.server + " (" + address.subject + "): " + describe(s);
  if (nc != nullptr) natsConnection_Destroy(nc);
  return s == NATS_OK;
}

// What the client library's threads reach through their closure. It is
// never freed: the library gives no point after which none of its threads
// can still call back, so a stopped listener's few bytes stay behind with
// stopped set.
struct Shared {
  std::mutex mutex;
  bool stopped = false;  // under mutex
  std::function<void(std::uint64_t)> heard;
  std::function<void(std::string const&)> log;
  std::string name;
  std::atomic<std::uint64_t> received{0};
  std::atomic<bool> connected{false};

  void ring(std::uint64_t n) {
    std::lock_guard<std::mutex> hold(mutex);
    if (!stopped && heard) heard(n);
  }
  void say(std::string const& line) {
    std::lock_guard<std::mutex> hold(mutex);
    if (!stopped && log) log(line);
  }
};

struct Listener::State {
  Address address;
  Shared* shared = new Shared;
  natsConnection* nc = nullptr;
  natsSubscription* sub = nullptr;
};

namespace {

void onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
  auto* shared = static_cast<Shared*>(closure);
  shared->received.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t n = 0;
  bool ok = parseSequence(std::string_view(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg))), n);
  natsMsg_Destroy(msg);
  if (ok && n != 0) shared->ring(n);
}

void onConnected(natsConnection*, void* closure) {
  auto* shared = static_cast<Shared*>(closure);
  shared->connected.store(true, std::memory_order_relaxed);
  shared->say(shared->name + ": connected");
  shared->ring(0);
}

void onDisconnected(natsConnection*, void* closure) {
  auto* shared = static_cast<Shared*>(closure);
  shared->connected.store(false, std::memory_order_relaxed);
  shared->say(shared->name + ": disconnected; reconnecting");
}

// 100 ms doubling to 10 s: a broker that is down costs a reconnect every
// 10 s, not a busy loop.
int64_t reconnectDelay(natsConnection*, int attempts, void*) {
  int shift = std::clamp(attempts - 1, 0, 7);
  return std::min<int64_t>(10000, int64_t{100} << shift);
}

}  // namespace

Listener::Listener(Address address, std::function<void(std::uint64_t)> heard,
                   std::function<void(std::string const&)> log)
    : state_(std::make_unique<State>()) {
  state_->address = std::move(address);
  state_->shared->heard = std::move(heard);
  state_->shared->log = std::move(log);
  state_->shared->name = "doorbell " + state_->address.server + "/" + state_->address.subject;
}

Listener::~Listener() { stop(); }

bool Listener::start(std::string& error) {
  if (state_->nc != nullptr) return true;
  OptionsHolder options;
  Shared* shared = state_->shared;
  natsStatus s = natsOptions_Create(&options.opts);
  if (s == NATS_OK) s = natsOptions_SetURL(options.opts, state_->address.server.c_str());
  if (s == NATS_OK) s = natsOptions_SetTimeout(options.opts, 2000);
  if (s == NATS_OK) s = natsOptions_SetMaxReconnect(options.opts, -1);
  if (s == NATS_OK) s = natsOptions_SetCustomReconnectDelay(options.opts, reconnectDelay, nullptr);
  if (s == NATS_OK) s = natsOptions_SetRetryOnFailedConnect(options.opts, true, onConnected, shared);
  if (s == NATS_OK) s = natsOptions_SetReconnectedCB(options.opts, onConnected, shared);
  if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(options.opts, onDisconnected, shared);
  if (s != NATS_OK) {
    error = "cannot set up the NATS client: " + describe(s);
    return false;
  }
  s = natsConnection_Connect(&state_->nc, options.opts);
  if (s != NATS_OK && s != NATS_NOT_YET_CONNECTED) {
    error = "cannot start the NATS client for " + state_->address.server + ": " + describe(s);
    state_->nc = nullptr;
    return false;
  }
  if (s == NATS_OK) {
    shared->connected.store(true, std::memory_order_relaxed);
    shared->say(shared->name + ": connected");
  } else {
    shared->say(shared->name + ": not reachable yet; retrying");
  }
  s = natsConnection_Subscribe(&state_->sub, state_->nc, state_->address.subject.c_str(), onMessage, shared);
  if (s != NATS_OK) {
    error = "cannot subscribe to " + state_->address.subject + ": " + describe(s);
    natsConnection_Destroy(state_->nc);
    state_->nc = nullptr;
    return false;
  }
  return true;
}

void Listener::stop() {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> hold(state_->shared->mutex);
    state_->shared->stopped = true;
  }
  state_->shared->connected.store(false, std::memory_order_relaxed);
  if (state_->sub != nullptr) {
    natsSubscription_Unsubscribe(state_->sub);
    natsSubscription_Destroy(state_->sub);
    state_->sub = nullptr;
  }
  if (state_->nc != nullptr) {
    natsConnection_Close(state_->nc);
    natsConnection_Destroy(state_->nc);
    state_->nc = nullptr;
  }
}

std::uint64_t Listener::received() const { return state_->shared->received.load(std::memory_order_relaxed); }

bool Listener::connected() const {
  std::lock_guard<std::mutex> hold(state_->shared->mutex);
  return !state_->shared->stopped && state_->shared->connected.load(std::memory_order_relaxed);
}

}  // namespace hxnats
