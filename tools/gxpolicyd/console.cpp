// The web console's pages and sessions; see console.h.
#include "tools/gxpolicyd/console.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/common/json_fields.h"
#include "tools/gxpolicyd/request_body.h"

namespace gxpolicyd {
namespace {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using gxpolicy::Problem;

constexpr char kCookie[] = "gx_session";
constexpr char const* kFiles[] = {"console.html", "console.js", "console.css"};

// No inline script or style, nothing from another host, never framed.
constexpr char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "form-action 'self'; base-uri 'none'; frame-ancestors 'none'";

Response withGuards(Response r) {
  r.headers.emplace_back("Content-Security-Policy", kPolicy);
  r.headers.emplace_back("X-Content-Type-Options", "nosniff");
  r.headers.emplace_back("Referrer-Policy", "no-referrer");
  r.headers.emplace_back("Cache-Control", "no-store");
  return r;
}

Response answer(int status, ojson const& body) { return withGuards(jsonResponse(status, body)); }
Response refused(int status, std::string message) {
  return withGuards(jsonResponse(status, problemJson(Problem(std::move(message)))));
}

std::string readFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the console's page file " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// 32 random bytes as 64 hexadecimal digits.
std::string randomText() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("the system's random generator failed");
  static char const digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool sameSecret(std::string const& a, char const* b) {
  return b != nullptr && a.size() == std::strlen(b) && CRYPTO_memcmp(a.data(), b, a.size()) == 0;
}

// The value of the session cookie: none when absent or given twice.
std::optional<std::string> cookieOf(Request const& request) {
  std::optional<std::string> found;
  for (HeaderField const& h : request.headers) {
    if (!Request::sameName(h.name, "Cookie")) continue;
    std::string_view rest = h.value;
    while (!rest.empty()) {
      std::size_t end = rest.find(';');
      std::string_view pair = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
      std::size_t eq = pair.find('=');
      if (eq == std::string_view::npos || pair.substr(0, eq) != kCookie) continue;
      if (found) return std::nullopt;
      found = std::string(pair.substr(eq + 1));
    }
  }
  return found;
}

std::string cookieHeader(std::string const& value, bool secure, bool expire) {
  std::string c = std::string(kCookie) + "=" + value + "; Path=/; HttpOnly; SameSite=Strict";
  if (secure) c += "; Secure";
  if (expire) c += "; Max-Age=0";
  return c;
}

std::string base64(std::string const& text) {
  std::vector<unsigned char> out(4 * ((text.size() + 2) / 3) + 1);
  int n = EVP_EncodeBlock(out.data(), reinterpret_cast<unsigned char const*>(text.data()), static_cast<int>(text.size()));
  return std::string(reinterpret_cast<char const*>(out.data()), static_cast<std::size_t>(n));
}

bool changes(Request const& request) { return request.method != "GET" && request.method != "HEAD"; }

// A request a browser made for a page of another site: such a page must
// neither sign its visitor in nor out.
bool fromAnotherSite(Request const& request) {
  char const* site = request.header("Sec-Fetch-Site");
  return site != nullptr && std::string_view(site) != "same-origin" && std::string_view(site) != "none";
}

// The Authorization header equal to the sign-in's body (user and password,
// or token); empty for a certificate's sign-in. Throws Problem when the
// body is none of those.
std::string signInCredentials(json const& body, bool& certificate) {
  gxpolicy::JsonFields f(body, "");
  f.requireObject("the sign-in");
  f.onlyKnown({"user", "password", "token", "certificate"});
  std::string user = f.string("user", false), password = f.string("password", false), token = f.string("token", false);
  certificate = body.contains("certificate");
  if (certificate && body["certificate"] != true) throw Problem("\"certificate\" is true or left out", 0, "", "certificate");
  bool const pair = !user.empty() || !password.empty();
  if (certificate && token.empty() && !pair) return "";
  if (!certificate && !token.empty() && !pair) return "Bearer " + token;
  if (!certificate && token.empty() && !user.empty() && !password.empty() && user.find(':') == std::string::npos)
    return "Basic " + base64(user + ":" + password);
  throw Problem("give a user name and password, a token, or the certificate");
}

}  // namespace

ConsoleService::ConsoleService(ConsoleOptions options, AdminAuthenticator& auth) : options_(std::move(options)), auth_(auth) {
  for (char const* name : kFiles) files_[name] = readFile(options_.dir + "/" + name);
}

Response ConsoleService::handle(Request const& request) {
  try {
    std::string_view path = request.path;
    path.remove_prefix(std::min(path.size(), sizeof kConsolePrefix - 1));
    if (path.empty() || path == "/") return request.method == "GET" ? file("console.html") : refused(405, "method not allowed");
    if (path == "/login") return request.method == "POST" ? login(request) : refused(405, "method not allowed");
    if (path == "/logout") return request.method == "POST" ? logout(request) : refused(405, "method not allowed");
    if (path == "/session") return request.method == "GET" ? current(request) : refused(405, "method not allowed");
    if (request.method != "GET") return refused(405, "method not allowed");
    std::string name(path.substr(1));
    if (name == "console.html" || files_.count(name) == 0) return refused(404, "no such page");
    return file(name);
  } catch (std::exception const& e) {
    return refused(500, e.what());
  }
}

Response ConsoleService::file(std::string const& name) {
  Response r;
  r.body = files_.at(name);
  r.contentType = name.ends_with(".js")    ? "text/javascript; charset=utf-8"
                  : name.ends_with(".css") ? "text/css; charset=utf-8"
                                           : "text/html; charset=utf-8";
  return withGuards(std::move(r));
}

Response ConsoleService::login(Request const& request) {
  json body;
  Problem problem;
  if (fromAnotherSite(request)) return refused(403, "a sign-in from another site's page is refused");
  if (request.bodyTooLarge || request.body.size() > 4096) return refused(413, "the body is too large");
  if (!parseJsonBody(request.body, body, problem)) return answer(400, problemJson(problem));
  std::string authorization;
  bool certificate = false;
  try {
    authorization = signInCredentials(body, certificate);
  } catch (Problem const& p) {
    return answer(400, problemJson(p));
  }
  std::optional<std::string> admin;
  unsigned retryAfter = 1;
  if (certificate) {
    admin = auth_.certificateName(request);
  } else {
    // The API's own check, with its slowing of failures per address.
    HeaderField header{"Authorization", authorization.c_str()};
    Request asked = request;
    asked.headers = std::span<HeaderField const>(&header, 1);
    admin = auth_.authenticate(asked, retryAfter);
  }
  if (!admin) {
    Response r = refused(401, "the name and password, the token or the certificate are not accepted");
    r.headers.emplace_back("Retry-After", std::to_string(retryAfter));
    return r;
  }
  std::string id = randomText(), csrf = randomText();
  Clock::time_point now = Clock::now();
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (sessions_.size() >= options_.maxSessions) {
      auto oldest = sessions_.begin();
      for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
        if (it->second.used < oldest->second.used) oldest = it;
      sessions_.erase(oldest);
    }
    sessions_[id] = Session{*admin, csrf, now, now};
  }
  Response r = answer(200, ojson{{"admin", *admin}, {"csrf", csrf}});
  r.headers.emplace_back("Set-Cookie", cookieHeader(id, options_.secureCookies, false));
  return r;
}

ConsoleService::Session* ConsoleService::find(Request const& request, Clock::time_point now, std::string* id) {
  std::optional<std::string> cookie = cookieOf(request);
  if (!cookie) return nullptr;
  auto it = sessions_.find(*cookie);
  if (it == sessions_.end()) return nullptr;
  Session& s = it->second;
  if (now - s.used > options_.idle || now - s.started > options_.lifetime) {
    sessions_.erase(it);
    return nullptr;
  }
  if (changes(request) && !sameSecret(s.csrf, request.header("X-CSRF-Token"))) return nullptr;
  s.used = now;
  if (id) *id = it->first;
  return &s;
}

std::optional<std::string> ConsoleService::sessionOf(Request const& request, Clock::time_point now) {
  std::lock_guard<std::mutex> hold(lock_);
  Session* s = find(request, now, nullptr);
  return s ? std::optional<std::string>(s->admin) : std::nullopt;
}

Response ConsoleService::current(Request const& request) {
  std::lock_guard<std::mutex> hold(lock_);
  Session* s = find(request, Clock::now(), nullptr);
  if (s) return answer(200, ojson{{"admin", s->admin}, {"csrf", s->csrf}});
  std::optional<std::string> certificate = auth_.certificateName(request);
  return answer(401, ojson{{"error", "not signed in"}, {"certificate", certificate ? json(*certificate) : json(nullptr)}});
}

Response ConsoleService::logout(Request const& request) {
  if (fromAnotherSite(request)) return refused(403, "a sign-out from another site's page is refused");
  std::lock_guard<std::mutex> hold(lock_);
  std::string id;
  if (!find(request, Clock::now(), &id)) return refused(401, "not signed in");
  sessions_.erase(id);
  Response r = answer(200, ojson{{"signed_out", true}});
  r.headers.emplace_back("Set-Cookie", cookieHeader("", options_.secureCookies, true));
  return r;
}

}  // namespace gxpolicyd
