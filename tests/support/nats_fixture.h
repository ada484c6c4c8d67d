// A throw-away NATS broker (Debian's nats-server) on a loopback port, for
// the tests of the replicas' doorbell. A test that cannot start it fails.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "loopback.h"

namespace gxtest {

class NatsServer {
 public:
  // port 0: a free one.
  explicit NatsServer(int port = 0) : port_(port > 0 ? port : freeLoopbackPort()) { start(); }
  ~NatsServer() { stop(); }
  NatsServer(NatsServer const&) = delete;
  NatsServer& operator=(NatsServer const&) = delete;

  bool running() const { return pid_ > 0; }
  std::string const& error() const { return error_; }
  int port() const { return port_; }
  std::string url(std::string const& subject) const {
    return "nats://127.0.0.1:" + std::to_string(port_) + "/" + subject;
  }
  void stop() { stopServer(pid_); }

 private:
  void start() {
    static constexpr char const* binary = "/usr/sbin/nats-server";
    if (::access(binary, X_OK) != 0) {
      error_ = std::string(binary) + " is missing: run scripts/setup (package nats-server)";
      return;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
      error_ = "fork failed";
      return;
    }
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      int quiet = ::open("/dev/null", O_WRONLY);
      if (quiet >= 0) ::dup2(quiet, 2);
      std::string port = std::to_string(port_);
      ::execl(binary, binary, "-a", "127.0.0.1", "-p", port.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 200; ++i) {
      int st = 0;
      if (::waitpid(pid, &st, WNOHANG) == pid) {
        error_ = "nats-server exited at start";
        return;
      }
      if (acceptsConnections(port_)) {
        pid_ = pid;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    error_ = "nats-server did not accept connections on port " + std::to_string(port_);
  }

  int port_;
  pid_t pid_ = -1;
  std::string error_;
};

}  // namespace gxtest
