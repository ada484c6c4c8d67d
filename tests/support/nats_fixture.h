// A throw-away NATS broker (Debian's nats-server) on a loopback port, for
// the tests of the replicas' doorbell. A test that cannot start it fails.
#pragma once

#include <unistd.h>

#include <chrono>
#include <string>

#include "daemon_process.h"
#include "loopback.h"
#include "test_support.h"

namespace gxtest {

class NatsServer {
 public:
  // port 0: a free one.
  explicit NatsServer(int port = 0) : port_(port > 0 ? port : freeLoopbackPort()) {
    static constexpr char const* binary = "/usr/sbin/nats-server";
    if (::access(binary, X_OK) != 0) {
      error_ = std::string(binary) + " is missing: run scripts/setup (package nats-server)";
      return;
    }
    std::string log = dir_.file("nats.log");
    if (!process_.start({binary, "-a", "127.0.0.1", "-p", std::to_string(port_)}, log, std::chrono::seconds(5),
                        [this] { return acceptsConnections(port_); }))
      error_ = "nats-server did not start on port " + std::to_string(port_) + ": " + readFile(log);
  }
  NatsServer(NatsServer const&) = delete;
  NatsServer& operator=(NatsServer const&) = delete;

  bool running() { return !process_.exited(); }
  std::string const& error() const { return error_; }
  std::string url(std::string const& subject) const {
    return "nats://127.0.0.1:" + std::to_string(port_) + "/" + subject;
  }

 private:
  TempDir dir_;
  int port_;
  DaemonProcess process_;
  std::string error_;
};

}  // namespace gxtest
