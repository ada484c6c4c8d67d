// A throw-away LDAP directory for the registry tests: slapd started on a
// free loopback port with its own configuration and MDB database in a
// temporary folder, loaded from tests/data/registry.ldif, and stopped when
// the test program ends (or dies: it is asked to end with its parent).
// One directory serves every test of a process. When slapd cannot be
// started the tests fail with the reason (SlapdTest's SetUp).
//
// Also: a port nothing listens on, and a server that accepts connections
// but never answers, for the failover and time-out cases.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <ldap.h>
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

class Slapd {
 public:
  static constexpr char const* suffix = "dc=example,dc=com";
  static constexpr char const* people = "ou=people,dc=example,dc=com";
  static constexpr char const* groups = "ou=groups,dc=example,dc=com";
  static constexpr char const* bindDn = "uid=gxbind,ou=people,dc=example,dc=com";
  static constexpr char const* bindPassword = "bindsecret";
  static constexpr char const* rootDn = "cn=admin,dc=example,dc=com";
  static constexpr char const* rootPassword = "adminsecret";

  // The process's directory, started on first use.
  static Slapd& shared() {
    static Slapd instance;
    return instance;
  }

  bool running() const { return pid_ > 0; }
  std::string const& error() const { return error_; }
  std::string uri() const { return "ldap://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

  // Changes behind the registry's back, as the directory's administrator.
  // Each returns the LDAP result code.
  int addUser(std::string const& uid) {
    std::string dn = "uid=" + uid + "," + people;
    char* oc[] = {const_cast<char*>("inetOrgPerson"), nullptr};
    char* uidv[] = {const_cast<char*>(uid.c_str()), nullptr};
    char* sn[] = {const_cast<char*>(uid.c_str()), nullptr};
    LDAPMod m1{LDAP_MOD_ADD, const_cast<char*>("objectClass"), {oc}};
    LDAPMod m2{LDAP_MOD_ADD, const_cast<char*>("uid"), {uidv}};
    LDAPMod m3{LDAP_MOD_ADD, const_cast<char*>("cn"), {sn}};
    LDAPMod m4{LDAP_MOD_ADD, const_cast<char*>("sn"), {sn}};
    LDAPMod* mods[] = {&m1, &m2, &m3, &m4, nullptr};
    return admin([&](LDAP* ld) { return ldap_add_ext_s(ld, dn.c_str(), mods, nullptr, nullptr); });
  }
  int deleteEntry(std::string const& dn) {
    return admin([&](LDAP* ld) { return ldap_delete_ext_s(ld, dn.c_str(), nullptr, nullptr); });
  }

  // A directory of its own (same entries, other entryUUIDs), for tests
  // that stop it.
  Slapd() {
    for (int attempt = 0; attempt < 3 && !running(); ++attempt) start();
  }
  ~Slapd() { stop(); }
  Slapd(Slapd const&) = delete;
  Slapd& operator=(Slapd const&) = delete;

  void stop() { gxtest::stopServer(pid_); }

 private:
  template <class F>
  int admin(F f) {
    LDAP* ld = nullptr;
    int rc = ldap_initialize(&ld, uri().c_str());
    if (rc != LDAP_SUCCESS) return rc;
    int v3 = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v3);
    berval cred{static_cast<ber_len_t>(std::strlen(rootPassword)), const_cast<char*>(rootPassword)};
    rc = ldap_sasl_bind_s(ld, rootDn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
    if (rc == LDAP_SUCCESS) rc = f(ld);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return rc;
  }

  // Runs argv with stdout and stderr to log; the exit status, or -1.
  static int run(std::vector<std::string> const& argv, std::string const& log, bool wait, pid_t* child) {
    std::vector<char*> args;
    for (auto const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
      }
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    if (child) *child = pid;
    if (!wait) return 0;
    int st = 0;
    if (::waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  void start() {
    error_.clear();
    std::string dir = dir_.path().string();
    std::string db = dir + "/db";
    std::filesystem::create_directories(db);
    std::filesystem::remove_all(db);
    std::filesystem::create_directories(db);
    std::string conf = dir + "/slapd.conf";
    std::string log = dir + "/slapd.log";
    {
      std::ofstream c(conf);
      c << "include /etc/ldap/schema/core.schema\n"
           "include /etc/ldap/schema/cosine.schema\n"
           "include /etc/ldap/schema/inetorgperson.schema\n"
           "modulepath /usr/lib/ldap\n"
           "moduleload back_mdb\n"
           "pidfile " << dir << "/slapd.pid\n"
           "database mdb\n"
           "maxsize 10485760\n"
           "suffix \"" << suffix << "\"\n"
           "rootdn \"" << rootDn << "\"\n"
           "rootpw " << rootPassword << "\n"
           "directory " << db << "\n"
           "access to attrs=userPassword by anonymous auth by * none\n"
           "access to * by users read by * none\n";
    }
    if (::access("/usr/sbin/slapd", X_OK) != 0 || ::access("/usr/sbin/slapadd", X_OK) != 0) {
      error_ = "slapd is not installed (/usr/sbin/slapd, /usr/sbin/slapadd); run scripts/setup";
      return;
    }
    std::string ldif = std::string(GXCORE_SOURCE_DIR) + "/tests/data/registry.ldif";
    if (run({"/usr/sbin/slapadd", "-f", conf, "-l", ldif}, log, true, nullptr) != 0) {
      error_ = "slapadd could not load " + ldif + ": " + readFile(log);
      return;
    }
    port_ = freeLoopbackPort();
    pid_t pid = -1;
    if (port_ <= 0 || run({"/usr/sbin/slapd", "-d", "0", "-f", conf, "-h", uri() + "/"}, log, false, &pid) != 0) {
      error_ = "slapd could not be started";
      return;
    }
    pid_ = pid;
    // Ready when it accepts a connection; give up after ten seconds.
    for (int i = 0; i < 200; ++i) {
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        error_ = "slapd ended at start: " + readFile(log);
        return;
      }
      if (acceptsConnections(port_)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop();
    error_ = "slapd did not accept connections on port " + std::to_string(port_) + ": " + readFile(log);
  }

  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = -1;
  std::string error_;
};

// Tests that need the directory; they fail, not skip, without it.
class SlapdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Slapd& s = Slapd::shared();
    ASSERT_TRUE(s.running()) << "the test LDAP directory is not available: " << s.error();
  }
  static Slapd& slapd() { return Slapd::shared(); }
};

}  // namespace gxtest
