// LDAPClient: the registry settings read from a main and a server file,
// handed to the process registry and bound against the test directory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/LDAPClient.h"
#include "outside/rqa.h"
#include "outside/stanza.h"
#include "slapd_fixture.h"

namespace {

using gxtest::MessageCapture;
using gxtest::Slapd;

class LDAPClientTest : public gxtest::SlapdTest {
 protected:
  void SetUp() override {
    gxtest::SlapdTest::SetUp();
    rqa_reset();
  }
  void TearDown() override { rqa_reset(); }

  // Writes the two files; main gets the line naming the server file first.
  ZUTF8String_6_0 files(std::string const& server, std::string const& main) {
    std::string serverPath = dir_.file("ldap.conf");
    std::string mainPath = dir_.file("host.conf");
    std::ofstream(serverPath) << "[ldap]\n" << server;
    std::ofstream(mainPath) << "[ldap]\nldap-server-config = " << serverPath << "\n" << main;
    return ZUTF8String_6_0(mainPath.c_str());
  }
  std::string live() const { return "enabled = yes\nhost = 127.0.0.1\nport = " + std::to_string(slapd().port()) + "\n"; }
  static std::string bindLines() {
    return std::string("bind-dn = ") + Slapd::bindDn + "\nbind-pwd = " + Slapd::bindPassword + "\n";
  }
  int option(int n) {
    int v = 12345;
    EXPECT_EQ(rqa_get_option(n, &v), 0);
    return v;
  }

  gxtest::TempDir dir_;
};

TEST_F(LDAPClientTest, DisabledRegistryReadsTheFilesAndTouchesNothingElse) {
  auto main = files("enabled = no\nhost = 127.0.0.1\nport = 1\n", bindLines() + "timeout = 5\ncache-enabled = yes\n");
  LDAPClient client;
  unsigned long st = 1;
  client.init(main, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(LDAPClient::enabled(), 0);
  rqa_state s = rqa_get_state();
  EXPECT_FALSE(s.bound);
  EXPECT_EQ(s.logger, nullptr);
  EXPECT_EQ(s.options[rqa_opt_timeout], -1);
  EXPECT_EQ(s.cacheEnabled, 0);
}

TEST_F(LDAPClientTest, EnabledRegistryBindsAndAppliesTheItems) {
  auto main = files(live() + "replica = replica.example.com:1389\nreplica = ldap://r2.example.com\n",
                    bindLines() +
                        "cache-enabled = yes\ncache-user-size = 10\ncache-group-expire-time = 30\n"
                        "cache-use-user-cache = no\ntimeout = 5\nauthn-timeout = -3\n"
                        "login-failures-persistent = yes\nauth-using-compare = yes\n"
                        "user-and-group-in-same-suffix = yes\n");
  LDAPClient client;
  unsigned long st = 1;
  client.init(main, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(LDAPClient::enabled(), 1);
  rqa_state s = rqa_get_state();
  EXPECT_TRUE(s.bound);
  EXPECT_EQ(s.logger, &ldap_down_logger);
  EXPECT_EQ(s.replicas,
            (std::vector<std::string>{"ldap://replica.example.com:1389", "ldap://r2.example.com:389"}));
  EXPECT_EQ(option(rqa_opt_timeout), 5);
  EXPECT_EQ(option(rqa_opt_authn_timeout), -1);    // negative: not set
  EXPECT_EQ(option(rqa_opt_search_timeout), -1);   // absent: not set
  EXPECT_EQ(option(rqa_opt_max_search_size), 0);   // always set
  EXPECT_EQ(option(rqa_opt_login_failures_persistent), 1);
  EXPECT_EQ(s.useCompare, 1);
  EXPECT_EQ(s.sameSuffix, 1);
  EXPECT_EQ(s.cacheEnabled, 1);
  EXPECT_EQ(s.userSize, 10);
  EXPECT_EQ(s.groupSize, -1);
  EXPECT_EQ(s.groupExpire, 30);
  EXPECT_EQ(s.useUserCache, 0);
  EXPECT_EQ(s.cacheGroupMembership, 1);

  // The bound registry answers through a domain handle.
  udir_handle_t h = nullptr;
  ASSERT_EQ(udir_create_domain_handle(&h, main.getChars(), "d"), 0u);
  hx_uuid_t u{};
  EXPECT_EQ(util_lookup_user_uuid("carol", &u, "d", h), 0u);
  udir_handle_free(h);

  // The bind identity as a user name, asked of the registry once.
  char* name = nullptr;
  char* password = nullptr;
  int length = 0;
  ASSERT_EQ(LDAPClient::getServerNamePasswd(name, password, length), 0u);
  EXPECT_STREQ(name, "gxbind");
  EXPECT_STREQ(password, Slapd::bindPassword);
  EXPECT_EQ(length, 10);
  std::free(name);
  std::free(password);
  client.cleanup(st);
  EXPECT_EQ(st, 0u);
  EXPECT_FALSE(rqa_get_state().bound);
  ASSERT_EQ(LDAPClient::getServerNamePasswd(name, password, length), 0u);  // remembered, not asked again
  EXPECT_STREQ(name, "gxbind");
  std::free(name);
  std::free(password);
}

// Many threads asking at once for the bind identity all get it, computed
// once under the class's mutex (the ThreadSanitizer run checks the rest).
class LDAPClientConcurrency : public LDAPClientTest {};

TEST_F(LDAPClientConcurrency, BindIdentityIsComputedOnceForConcurrentCallers) {
  auto main = files(live(), bindLines());
  LDAPClient client;
  unsigned long st = 1;
  client.init(main, st);
  ASSERT_EQ(st, 0u);
  std::vector<std::string> names(8);
  std::atomic<int> failures{0};
  {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < names.size(); ++i)
      threads.emplace_back([&, i] {
        char* name = nullptr;
        char* password = nullptr;
        int length = 0;
        if (LDAPClient::getServerNamePasswd(name, password, length) != 0) {
          ++failures;
          return;
        }
        names[i] = name;
        std::free(name);
        std::free(password);
      });
    for (auto& t : threads) t.join();
  }
  EXPECT_EQ(failures.load(), 0);
  for (auto const& n : names) EXPECT_EQ(n, "gxbind");
  client.cleanup(st);
}

TEST_F(LDAPClientTest, MissingServerSettingsAreNamed) {
  struct Case {
    std::string server, main;
  } const cases[] = {
      {"enabled = yes\nhost = 127.0.0.1\n", bindLines()},                   // no port
      {live(), std::string("bind-dn = ") + Slapd::bindDn + "\n"},           // no password
      {live() + "ssl-port = 0\n", bindLines() + "ssl-enabled = yes\n"},      // TLS without its port
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.server + c.main);
    rqa_reset();
    LDAPClient client;  // its destructor forgets the bind identity of the case before
    auto main = files(c.server, c.main);
    MessageCapture messages;
    unsigned long st = 0;
    client.init(main, st);
    EXPECT_EQ(st, ldc_s_settings_missing);
    EXPECT_EQ(messages.inserts(ldc_m_settings_missing),
              (std::vector<std::string>{main.getChars(), "ldap", "host", "port", "bind-dn", "bind-pwd"}));
    EXPECT_FALSE(rqa_get_state().bound);
  }
}

TEST_F(LDAPClientTest, RefusedBindTurnsTheRegistryOff) {
  auto main = files(live(), std::string("bind-dn = ") + Slapd::bindDn + "\nbind-pwd = wrong\n");
  LDAPClient client;
  MessageCapture messages;
  unsigned long st = 0;
  client.init(main, st);
  EXPECT_EQ(st, ldc_s_registry_failed);
  EXPECT_EQ(LDAPClient::enabled(), 0);
  auto inserts = messages.inserts(ldc_m_init_failed);
  ASSERT_EQ(inserts.size(), 5u);
  EXPECT_EQ(inserts[0], "127.0.0.1");
  EXPECT_EQ(inserts[1], std::to_string(slapd().port()));
  EXPECT_EQ(inserts[2], Slapd::bindDn);
  EXPECT_EQ(std::stoul(inserts[3]), udir_s_bind_refused);
  EXPECT_EQ(inserts[4], "49");
  char* name = nullptr;
  char* password = nullptr;
  int length = 0;
  EXPECT_EQ(LDAPClient::getServerNamePasswd(name, password, length), ldc_s_registry_failed);
  EXPECT_EQ(name, nullptr);
}

TEST_F(LDAPClientTest, BadReplicaStopsTheReplicasWithItsStatus) {
  auto main = files(live() + "replica = r1.example.com\nreplica = http://r2\nreplica = r3.example.com\n", bindLines());
  LDAPClient client;
  MessageCapture messages;
  unsigned long st = 0;
  client.init(main, st);
  EXPECT_EQ(st, ldc_s_replica_text);
  EXPECT_EQ(messages.inserts(ldc_m_replica_text), (std::vector<std::string>{"http://r2"}));
  EXPECT_EQ(rqa_get_state().replicas, (std::vector<std::string>{"ldap://r1.example.com:389"}));
}

TEST_F(LDAPClientTest, FileErrorsAreTheLoadersStatus) {
  LDAPClient client;
  unsigned long st = 0;
  ZUTF8String_6_0 absent(dir_.file("none.conf").c_str());
  client.init(absent, st);
  EXPECT_EQ(st, stz_s_file_unreadable);
  auto main = files("enabled = perhaps\n", bindLines());
  MessageCapture messages;
  client.init(main, st);
  EXPECT_EQ(st, stz_s_bad_value);
  EXPECT_EQ(messages.inserts(stz_s_bad_value)[0], dir_.file("ldap.conf"));
  EXPECT_EQ(messages.inserts(stz_s_bad_value)[1], "2");
  std::ofstream(main.getChars()) << "[ldap]\nbind-dn = x\n";  // names no server file
  client.init(main, st);
  EXPECT_EQ(st, stz_s_missing_item);
  EXPECT_FALSE(rqa_get_state().bound);
}

TEST(LdapDownLogger, StateSelectsTheMessage) {
  MessageCapture messages;
  ldap_down_logger(0, "ldap://a:389");
  ldap_down_logger(1, "ldap://b:389");
  EXPECT_EQ(messages.inserts(ldc_m_server_down), (std::vector<std::string>{"ldap://a:389"}));
  EXPECT_EQ(messages.inserts(ldc_m_server_up), (std::vector<std::string>{"ldap://b:389"}));
  auto all = messages.all();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].attributes, 48);
}

}  // namespace
