// Who an administration request comes from; see admin_auth.h.
#include "tools/gxpolicyd/admin_auth.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <utility>

namespace gxpolicyd {
namespace {

// Standard base64 (RFC 4648) to bytes; none for anything that is not.
std::optional<std::string> decodeBase64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  unsigned bits = 0, buffer = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '=') {
      // Padding only at the end, at most two.
      if (text.size() - i > 2 || text.find_first_not_of('=', i) != std::string_view::npos) return std::nullopt;
      break;
    }
    int v = value(text[i]);
    if (v < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

// The credentials after "SCHEME " (scheme compared without regard to case),
// or none.
std::optional<std::string_view> credentials(char const* header, std::string_view scheme) {
  if (header == nullptr) return std::nullopt;
  std::string_view h(header);
  if (h.size() <= scheme.size() || !Request::sameName(h.substr(0, scheme.size()), scheme) || h[scheme.size()] != ' ')
    return std::nullopt;
  h.remove_prefix(scheme.size() + 1);
  while (!h.empty() && h.front() == ' ') h.remove_prefix(1);
  while (!h.empty() && h.back() == ' ') h.remove_suffix(1);
  if (h.empty()) return std::nullopt;
  return h;
}

}  // namespace

std::string peerText(Request const& request) {
  if (request.peer == nullptr) return "unknown";
  char text[INET6_ADDRSTRLEN] = "";
  if (request.peer->sa_family == AF_INET) {
    auto const* in = reinterpret_cast<sockaddr_in const*>(request.peer);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) return text;
  } else if (request.peer->sa_family == AF_INET6) {
    auto const* in6 = reinterpret_cast<sockaddr_in6 const*>(request.peer);
    if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) != nullptr) return text;
  } else if (request.peer->sa_family == AF_UNIX) {
    return "local";
  }
  return "unknown";
}

AdminAuthenticator::AdminAuthenticator(AdminAuthOptions options) : options_(std::move(options)) {}

bool AdminAuthenticator::anyConfigured() const {
  return (options_.tokens && !options_.tokens->tokens().empty()) || static_cast<bool>(options_.checkPassword) ||
         options_.clientCertificates;
}

std::vector<std::string> AdminAuthenticator::challenges() const {
  std::vector<std::string> out;
  if (options_.tokens) out.emplace_back("Bearer realm=\"gxpolicyd administration\"");
  if (options_.checkPassword) out.emplace_back("Basic realm=\"gxpolicyd administration\"");
  return out;
}

std::optional<std::string> AdminAuthenticator::certificateName(Request const& request) const {
  if (!options_.clientCertificates || request.clientName.empty()) return std::nullopt;
  return std::string(request.clientName);
}

std::optional<std::string> AdminAuthenticator::check(Request const& request) const {
  unsigned const headers = request.headerCount("Authorization");
  // A browser attaches its certificate to requests that any page makes
  // (another site's form included): from a browser, only a console
  // session, with its CSRF token, stands for the administrator.
  bool const browser = request.header("Origin") != nullptr || request.header("Sec-Fetch-Site") != nullptr;
  if (headers == 0 && !browser)
    if (std::optional<std::string> name = certificateName(request)) return name;
  // Without an Authorization header, a console session may say who it is.
  if (headers == 0 && options_.session) return options_.session(request);
  // One Authorization header: two would leave which one counts to chance.
  if (headers != 1) return std::nullopt;
  char const* header = request.header("Authorization");
  if (auto token = credentials(header, "Bearer"); token && options_.tokens) return options_.tokens->who(*token);
  if (auto basic = credentials(header, "Basic"); basic && options_.checkPassword) {
    std::optional<std::string> pair = decodeBase64(*basic);
    if (!pair) return std::nullopt;
    std::size_t colon = pair->find(':');
    if (colon == 0 || colon == std::string::npos || colon + 1 == pair->size()) return std::nullopt;
    std::string user = pair->substr(0, colon);
    if (user.find('\0') != std::string::npos || pair->find('\0', colon) != std::string::npos) return std::nullopt;
    if (options_.checkPassword(user, pair->substr(colon + 1)) != 0) return std::nullopt;
    return user;
  }
  return std::nullopt;
}

bool AdminAuthenticator::waiting(std::string const& address, Clock::time_point now, unsigned& retryAfter) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = failures_.find(address);
  if (it == failures_.end() || now >= it->second.until) return false;
  auto left = std::chrono::duration_cast<std::chrono::seconds>(it->second.until - now).count() + 1;
  retryAfter = static_cast<unsigned>(left);
  return true;
}

void AdminAuthenticator::failed(std::string const& address, Clock::time_point now, unsigned& retryAfter) {
  std::lock_guard<std::mutex> hold(lock_);
  if (failures_.size() >= options_.maxTracked && failures_.find(address) == failures_.end()) {
    // Forget the addresses whose wait is over; when none is, the oldest
    // waits are the first forgotten.
    for (auto it = failures_.begin(); it != failures_.end();)
      it = now >= it->second.until ? failures_.erase(it) : std::next(it);
    if (failures_.size() >= options_.maxTracked) {
      auto oldest = std::min_element(failures_.begin(), failures_.end(),
                                     [](auto const& a, auto const& b) { return a.second.until < b.second.until; });
      failures_.erase(oldest);
    }
  }
  Failures& f = failures_[address];
  f.count = std::min(f.count + 1, 30u);
  auto wait = options_.firstBackoff * (1LL << std::min(f.count - 1, 20u));
  if (wait > options_.maxBackoff) wait = options_.maxBackoff;
  f.until = now + wait;
  retryAfter = static_cast<unsigned>(std::max<long long>(1, std::chrono::ceil<std::chrono::seconds>(wait).count()));
}

void AdminAuthenticator::succeeded(std::string const& address) {
  std::lock_guard<std::mutex> hold(lock_);
  failures_.erase(address);
}

std::optional<std::string> AdminAuthenticator::authenticate(Request const& request, unsigned& retryAfter,
                                                            Clock::time_point now) {
  // Only a request that offers a secret (an Authorization header) tries to
  // guess one: it alone waits out and counts toward its address's back-off.
  // A certificate or a console session is checked as it comes (neither can
  // be guessed), and a request that offers nothing -- a browser's favicon,
  // a probe -- is refused without slowing the address's administrators.
  if (request.headerCount("Authorization") == 0) return check(request);
  std::string address = peerText(request);
  if (waiting(address, now, retryAfter)) return std::nullopt;
  std::optional<std::string> who = check(request);
  if (who) succeeded(address);
  else failed(address, now, retryAfter);
  return who;
}

}  // namespace gxpolicyd
