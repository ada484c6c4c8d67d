// Debian's docker-registry on a loopback port, for the tests of snapshots
// published to and replicated from an OCI registry.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "daemon_process.h"
#include "loopback.h"
#include "test_support.h"

namespace gxtest {

// docker-registry on a loopback port, user "gx" with password "s3cret"
// (htpasswd), or, given a token block, trusting the tokens of an issuer.
class OciRegistry {
 public:
  explicit OciRegistry(std::string tokenAuth = "") {
    if (::access("/usr/bin/docker-registry", X_OK) != 0 || ::access("/usr/bin/htpasswd", X_OK) != 0) {
      error_ = "docker-registry or htpasswd is missing: run scripts/setup";
      return;
    }
    port_ = gxtest::freeLoopbackPort();
    std::string d = dir_.path().string();
    if (std::system(("htpasswd -Bbn gx s3cret > '" + d + "/htpasswd' 2>/dev/null").c_str()) != 0) {
      error_ = "htpasswd failed";
      return;
    }
    gxtest::writeFile(d + "/config.yml", "version: 0.1\nlog:\n  level: error\nstorage:\n  filesystem:\n"
                                         "    rootdirectory: " + d + "/data\n  delete:\n    enabled: true\n"
                                         "http:\n  addr: 127.0.0.1:" + std::to_string(port_) + "\n"
                                         "auth:\n" +
                                         (tokenAuth.empty() ? "  htpasswd:\n    realm: gx-registry\n    path: " + d + "/htpasswd\n"
                                                            : tokenAuth));
    if (!server_.start({"/usr/bin/docker-registry", "serve", d + "/config.yml"}, d + "/registry.log",
                       std::chrono::seconds(10), [this] { return gxtest::acceptsConnections(port_); }))
      error_ = "docker-registry did not start: " + gxtest::readFile(d + "/registry.log");
  }
  bool running() { return !server_.exited(); }
  std::string const& error() const { return error_; }
  std::string url(std::string const& repoTag) const { return "oci://127.0.0.1:" + std::to_string(port_) + "/" + repoTag; }
  // What the registry wrote to its log: errors, and a line per request.
  std::string log() const { return gxtest::readFile(dir_.path().string() + "/registry.log"); }

 private:
  TempDir dir_;
  int port_ = -1;
  gxtest::DaemonProcess server_;
  std::string error_;
};

}  // namespace gxtest
