// A throw-away nginx serving a folder as static files on a loopback port,
// for the tests of replicas fed over HTTP.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "test_support.h"

namespace gxtest {

// nginx in the foreground (daemon off, one process) on a free loopback
// port, serving root, with its configuration, pid, logs and temporary
// paths in a folder of its own. Stopped by stop() or the destructor, and
// asked to end with the test process if that dies first.
class StaticNginx {
 public:
  struct Options {
    std::string certFile, keyFile;  // both given: https with this certificate
    std::string token;              // not empty: requests without "Bearer <token>" get 401
    std::string extra;              // more directives for the server block
  };
  explicit StaticNginx(std::string root, Options options = {}) : root_(std::move(root)), options_(std::move(options)) {
    for (int attempt = 0; attempt < 3 && pid_ <= 0; ++attempt) start();
  }
  ~StaticNginx() { stop(); }
  StaticNginx(StaticNginx const&) = delete;
  StaticNginx& operator=(StaticNginx const&) = delete;

  bool running() const { return pid_ > 0; }
  std::string const& error() const { return error_; }
  std::string url() const {
    return (options_.certFile.empty() ? "http" : "https") + std::string("://127.0.0.1:") + std::to_string(port_) + "/";
  }
  // Lines "<status> <body bytes> <request line>", one per request.
  // nginx writes a request's log line after the response has gone out, so a
  // client can read its answer before the line exists: wait (briefly) for the
  // number of lines the caller expects.
  std::vector<std::string> accessLog(size_t expected = 0) const {
    std::vector<std::string> lines;
    for (int tries = 0; tries < 200; ++tries) {
      lines.clear();
      std::ifstream in(dir_.file("access.log"));
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      if (lines.size() >= expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lines;
  }

  void stop() { gxtest::stopServer(pid_); }

 private:
  void start() {
    static constexpr char const* binary = "/usr/sbin/nginx";
    if (::access(binary, X_OK) != 0) {
      error_ = std::string(binary) + " is missing: run scripts/setup (package nginx-light)";
      return;
    }
    port_ = gxtest::freeLoopbackPort();
    std::string d = dir_.path().string();
    std::string conf = d + "/nginx.conf";
    {
      std::ofstream c(conf);
      c << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "pid " << d << "/nginx.pid;\nerror_log " << d << "/error.log;\n"
        << "events { worker_connections 64; }\n"
        << "http {\n  default_type application/octet-stream;\n"
        << "  log_format gx '$status $body_bytes_sent \"$request\"';\n"
        << "  access_log " << d << "/access.log gx;\n";
      for (char const* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        c << "  " << t << "_temp_path " << d << "/" << t << ";\n";
      c << "  server {\n    listen 127.0.0.1:" << port_ << (options_.certFile.empty() ? "" : " ssl") << ";\n"
        << "    root " << root_ << ";\n";
      if (!options_.certFile.empty())
        c << "    ssl_certificate " << options_.certFile << ";\n    ssl_certificate_key " << options_.keyFile << ";\n";
      if (!options_.token.empty())
        c << "    if ($http_authorization != \"Bearer " << options_.token << "\") { return 401; }\n";
      c << options_.extra << "  }\n}\n";
    }
    std::string log = d + "/error.log";
    pid_t pid = ::fork();
    if (pid < 0) {
      error_ = "fork failed";
      return;
    }
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      ::execl(binary, binary, "-p", (d + "/").c_str(), "-c", conf.c_str(), "-e", log.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Ready once it accepts connections; gone means it failed to start.
    for (int i = 0; i < 200; ++i) {
      int st = 0;
      if (::waitpid(pid, &st, WNOHANG) == pid) {
        error_ = "nginx exited at start: " + readFile(log);
        return;
      }
      if (gxtest::acceptsConnections(port_)) {
        pid_ = pid;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    error_ = "nginx did not accept connections on port " + std::to_string(port_) + ": " + readFile(log);
  }

  TempDir dir_;
  std::string root_;
  Options options_;
  int port_ = -1;
  pid_t pid_ = -1;
  std::string error_;
};

}  // namespace gxtest
