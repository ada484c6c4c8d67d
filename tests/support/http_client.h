// A tiny blocking HTTP/1.1 client for the tests that talk to servers on
// loopback (gxpolicyd, nginx): one request and its response at a time on a
// socket, every response carrying a Content-Length.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

namespace gxtest {

// A descriptor closed at scope end.
struct Socket {
  explicit Socket(int fd = -1) : fd(fd) {}
  Socket(Socket&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
  Socket& operator=(Socket&&) = delete;
  ~Socket() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

struct Reply {
  int status = 0;                              // 0: no complete response
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// Parses the response at the front of buf (every server here sends a
// Content-Length). False while bytes are missing.
inline bool parseReply(std::string const& buf, Reply& out) {
  std::size_t end = buf.find("\r\n\r\n");
  if (end == std::string::npos || buf.compare(0, 7, "HTTP/1.") != 0 || end < 12) return false;
  Reply r;
  r.status = std::atoi(buf.c_str() + 9);
  for (std::size_t at = buf.find("\r\n") + 2; at < end;) {
    std::size_t eol = buf.find("\r\n", at), colon = buf.find(':', at);
    if (colon < eol) {
      std::string name = buf.substr(at, colon - at);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::size_t value = buf.find_first_not_of(' ', colon + 1);
      r.headers[name] = buf.substr(value, eol - value);
    }
    at = eol + 2;
  }
  std::size_t want = std::stoul(r.headers.count("content-length") ? r.headers["content-length"] : "0");
  if (buf.size() < end + 4 + want) return false;
  r.body = buf.substr(end + 4, want);
  out = std::move(r);
  return true;
}

inline sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// Sends request on the blocking fd and reads one response (status 0 when
// none came whole); reads give up after 20 s.
inline Reply roundTrip(int fd, std::string const& request) {
  timeval limit{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  for (std::size_t sent = 0; sent < request.size();) {
    ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may answer (413) before it reads everything
    sent += static_cast<std::size_t>(n);
  }
  std::string buf;
  Reply r;
  char chunk[16384];
  for (ssize_t n; !parseReply(buf, r) && (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
    buf.append(chunk, static_cast<std::size_t>(n));
  return r;
}

// One request on a connection of its own.
inline Reply requestOnce(int port, std::string const& request) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = loopback(port);
  if (::connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
  return roundTrip(s.fd, request);
}

// One request on a connection of its own to the unix-domain socket at path.
inline Reply requestOnUnixSocket(std::string const& path, std::string const& request) {
  Socket s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) return {};
  path.copy(a.sun_path, path.size());
  if (::connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {};
  return roundTrip(s.fd, request);
}

inline std::string httpRequest(std::string const& method, std::string const& path, std::string const& headers = "",
                        std::string const& body = "", bool keepAlive = false) {
  std::string r = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
  if (method == "POST") r += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  return r + (keepAlive ? "" : "Connection: close\r\n") + "\r\n" + body;
}

// Whether a server on the loopback port answers GET /healthz with 200.
inline bool healthy(int port) { return requestOnce(port, httpRequest("GET", "/healthz")).status == 200; }

}  // namespace gxtest
