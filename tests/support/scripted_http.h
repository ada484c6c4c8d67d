// A loopback HTTP/1.1 server whose answers a test writes: each request
// (method, path, headers, body) is recorded and answered by the test's
// handler, one request per connection. For the exchanges no real server can
// be made to show here: the exact request a client signed, or an instance
// metadata service.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gxtest {

struct ScriptedRequest {
  std::string method, path, raw;          // raw: the request line and headers as sent
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};
struct ScriptedAnswer {
  int status = 200;
  std::string body;
  std::vector<std::string> headers;  // "Name: value"
};

class ScriptedHttpServer {
 public:
  using Handler = std::function<ScriptedAnswer(ScriptedRequest const&)>;
  explicit ScriptedHttpServer(Handler handler) : handler_(std::move(handler)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 16) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedHttpServer() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  ScriptedHttpServer(ScriptedHttpServer const&) = delete;
  ScriptedHttpServer& operator=(ScriptedHttpServer const&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<ScriptedRequest> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      answer(c);
      ::close(c);
    }
  }
  static bool readMore(int c, std::string& in) {
    pollfd p{c, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return false;
    char buf[4096];
    ssize_t n = ::read(c, buf, sizeof buf);
    if (n <= 0) return false;
    in.append(buf, static_cast<size_t>(n));
    return in.size() < (1u << 20);
  }
  void answer(int c) {
    std::string in;
    while (in.find("\r\n\r\n") == std::string::npos)
      if (!readMore(c, in)) return;
    ScriptedRequest r;
    size_t end = in.find("\r\n\r\n");
    r.raw = in.substr(0, end);
    size_t lineEnd = r.raw.find("\r\n");
    std::string first = r.raw.substr(0, lineEnd);
    r.method = first.substr(0, first.find(' '));
    r.path = first.substr(first.find(' ') + 1, first.rfind(' ') - first.find(' ') - 1);
    for (size_t at = lineEnd; at != std::string::npos && at < r.raw.size();) {
      size_t next = r.raw.find("\r\n", at + 2);
      std::string line = r.raw.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
      auto colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::tolower(ch); });
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        r.headers[name] = value;
      }
      at = next;
    }
    size_t want = r.headers.count("content-length") ? std::stoul(r.headers["content-length"]) : 0;
    r.body = in.substr(end + 4);
    while (r.body.size() < want) {
      std::string more;
      if (!readMore(c, more)) break;
      r.body += more;
    }
    ScriptedAnswer a = handler_(r);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(r);
    }
    std::string out = "HTTP/1.1 " + std::to_string(a.status) + " X\r\nConnection: close\r\nContent-Length: " +
                      std::to_string(a.body.size()) + "\r\n";
    for (auto const& h : a.headers) out += h + "\r\n";
    out += "\r\n" + a.body;
    for (size_t sent = 0; sent < out.size();) {
      ssize_t n = ::write(c, out.data() + sent, out.size() - sent);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  Handler handler_;
  int fd_ = -1;
  int port_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<ScriptedRequest> requests_;
  std::thread thread_;
};

}  // namespace gxtest
