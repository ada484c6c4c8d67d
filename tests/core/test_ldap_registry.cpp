// The LDAP back end of the user registry against a real directory: lookups
// both ways, memberships, unknown and awkward names, bind failures,
// failover, time-outs and the cache.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "outside/hxsvc.h"
#include "outside/ldap_registry.h"
#include "outside/stanza.h"
#include "outside/udir.h"
#include "slapd_fixture.h"

namespace {

using gxreg::LdapOptions;
using gxreg::LdapRegistry;
using gxreg::LdapSettings;
using gxtest::SilentServer;
using gxtest::Slapd;

std::string text(hx_uuid_t const& u) {
  char t[37];
  unsigned long st;
  hx_uuid_to_string(u, t, st);
  return t;
}

struct ServerEvents {
  std::mutex m;
  std::vector<std::pair<int, std::string>> events;
  gxreg::LdapServerLogger logger() {
    return [this](int state, std::string const& server) {
      std::lock_guard<std::mutex> g(m);
      events.emplace_back(state, server);
    };
  }
};

class LdapRegistryTest : public gxtest::SlapdTest {
 protected:
  LdapSettings settings(std::vector<std::string> servers = {}) {
    LdapSettings s;
    s.servers = servers.empty() ? std::vector<std::string>{slapd().uri()} : servers;
    s.bindDn = Slapd::bindDn;
    s.bindPassword = Slapd::bindPassword;
    s.userSuffix = Slapd::people;
    s.groupSuffix = Slapd::groups;
    return s;
  }
  std::unique_ptr<LdapRegistry> open(LdapSettings const& s, LdapOptions const& o = {},
                                     gxreg::LdapServerLogger logger = {}) {
    std::unique_ptr<LdapRegistry> reg;
    std::string message;
    unsigned long st = LdapRegistry::open(s, o, logger, reg, message);
    EXPECT_EQ(st, 0u) << message;
    return reg;
  }
  hx_uuid_t userUuid(LdapRegistry& r, std::string const& name) {
    hx_uuid_t u{};
    EXPECT_EQ(r.userUuid(name, u), 0u) << name;
    return u;
  }
  hx_uuid_t groupUuid(LdapRegistry& r, std::string const& name) {
    hx_uuid_t u{};
    EXPECT_EQ(r.groupUuid(name, u), 0u) << name;
    return u;
  }
};

TEST_F(LdapRegistryTest, NamesAndEntryUuidsResolveBothWays) {
  auto reg = open(settings());
  ASSERT_TRUE(reg);
  for (char const* name : {"alice", "bob", "carol", "gxbind"}) {
    hx_uuid_t u = userUuid(*reg, name);
    std::string back;
    EXPECT_EQ(reg->userName(u, back), 0u);
    EXPECT_EQ(back, name);
  }
  for (char const* name : {"webteam", "admins", "web (ops)*"}) {
    hx_uuid_t u = groupUuid(*reg, name);
    std::string back;
    EXPECT_EQ(reg->groupName(u, back), 0u);
    EXPECT_EQ(back, name);
  }
  // The directory's matching rule for uid ignores case; the name given back
  // is the entry's own.
  EXPECT_EQ(text(userUuid(*reg, "ALICE")), text(userUuid(*reg, "alice")));
  std::set<std::string> distinct{text(userUuid(*reg, "alice")), text(userUuid(*reg, "bob")),
                                 text(groupUuid(*reg, "webteam"))};
  EXPECT_EQ(distinct.size(), 3u);
}

TEST_F(LdapRegistryTest, UserGroupsAreTheGroupsListingTheUsersDn) {
  auto reg = open(settings());
  ASSERT_TRUE(reg);
  auto groupsOf = [&](char const* user) {
    std::vector<hx_uuid_t> gs;
    EXPECT_EQ(reg->userGroups(userUuid(*reg, user), gs), 0u);
    std::set<std::string> names;
    for (auto const& g : gs) {
      std::string n;
      EXPECT_EQ(reg->groupName(g, n), 0u);
      names.insert(n);
    }
    EXPECT_EQ(names.size(), gs.size());
    return names;
  };
  EXPECT_EQ(groupsOf("alice"), (std::set<std::string>{"webteam", "admins"}));
  EXPECT_EQ(groupsOf("bob"), (std::set<std::string>{"webteam"}));
  EXPECT_EQ(groupsOf("carol"), (std::set<std::string>{"web (ops)*"}));
  EXPECT_TRUE(groupsOf("gxbind").empty());
}

TEST_F(LdapRegistryTest, UnknownOrWrongKindOrBadNamesAreRefused) {
  auto reg = open(settings());
  ASSERT_TRUE(reg);
  hx_uuid_t u{};
  std::string name;
  EXPECT_EQ(reg->userUuid("nobody", u), reg_s_no_such_user);
  EXPECT_EQ(reg->groupUuid("nogroup", u), reg_s_no_such_group);
  // Filter characters are matched literally, not as wildcards.
  EXPECT_EQ(reg->userUuid("*", u), reg_s_no_such_user);
  EXPECT_EQ(reg->groupUuid("web*", u), reg_s_no_such_group);
  EXPECT_EQ(reg->userUuid("alice)(uid=*", u), reg_s_no_such_user);
  // A group is not a user and the other way round.
  EXPECT_EQ(reg->userUuid("webteam", u), reg_s_no_such_user);
  EXPECT_EQ(reg->groupName(userUuid(*reg, "alice"), name), reg_s_no_such_group);
  EXPECT_EQ(reg->userName(groupUuid(*reg, "admins"), name), reg_s_no_such_user);
  std::vector<hx_uuid_t> gs;
  EXPECT_EQ(reg->userGroups(groupUuid(*reg, "admins"), gs), reg_s_no_such_user);
  unsigned long st;
  hx_uuid_t fresh{};
  hx_uuid_create(fresh, st);
  EXPECT_EQ(reg->userName(fresh, name), reg_s_no_such_user);
  for (std::string bad : {std::string(), std::string("a\0b", 3), std::string("\xff\xfe")})
    EXPECT_EQ(reg->userUuid(bad, u), reg_s_bad_name);
  EXPECT_EQ(name, "");  // untouched on failure
}

TEST_F(LdapRegistryTest, DnOfAUserEntryGivesItsName) {
  auto reg = open(settings());
  ASSERT_TRUE(reg);
  std::string name;
  EXPECT_EQ(reg->userNameOfDn(Slapd::bindDn, name), 0u);
  EXPECT_EQ(name, "gxbind");
  EXPECT_EQ(reg->userNameOfDn(Slapd::rootDn, name), reg_s_no_such_user);  // no entry
  EXPECT_EQ(reg->userNameOfDn("cn=webteam,ou=groups,dc=example,dc=com", name), reg_s_no_such_user);
  EXPECT_EQ(reg->userNameOfDn("not a dn", name), reg_s_bad_name);
}

// Adds an entry (one value per attribute) as the directory's
// administrator; the LDAP result code.
int addEntry(std::string const& dn, std::vector<std::pair<std::string, std::string>> const& attrs) {
  LDAP* ld = nullptr;
  if (int rc = ldap_initialize(&ld, gxtest::Slapd::shared().uri().c_str()); rc != LDAP_SUCCESS) return rc;
  int v3 = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v3);
  berval cred{static_cast<ber_len_t>(std::strlen(Slapd::rootPassword)), const_cast<char*>(Slapd::rootPassword)};
  int rc = ldap_sasl_bind_s(ld, Slapd::rootDn, LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr);
  std::vector<std::array<char*, 2>> values;
  std::vector<LDAPMod> mods;
  for (auto const& [name, value] : attrs) values.push_back({const_cast<char*>(value.c_str()), nullptr});
  for (std::size_t i = 0; i < attrs.size(); ++i)
    mods.push_back(LDAPMod{LDAP_MOD_ADD, const_cast<char*>(attrs[i].first.c_str()), {values[i].data()}});
  std::vector<LDAPMod*> list;
  for (auto& m : mods) list.push_back(&m);
  list.push_back(nullptr);
  if (rc == LDAP_SUCCESS) rc = ldap_add_ext_s(ld, dn.c_str(), list.data(), nullptr, nullptr);
  ldap_unbind_ext_s(ld, nullptr, nullptr);
  return rc;
}

TEST_F(LdapRegistryTest, GroupNamedWithAnotherGroupsUuidIsNotThatGroup) {
  auto reg = open(settings());
  ASSERT_TRUE(reg);
  hx_uuid_t admins = groupUuid(*reg, "admins");
  // A group whose cn is admins' uuid, with carol as its member.
  std::string dn = "cn=" + text(admins) + "," + Slapd::groups;
  int rc = addEntry(dn, {{"objectClass", "groupOfNames"}, {"cn", text(admins)},
                         {"member", "uid=carol," + std::string(Slapd::people)}});
  ASSERT_TRUE(rc == LDAP_SUCCESS || rc == LDAP_ALREADY_EXISTS) << ldap_err2string(rc);
  hx_uuid_t found{};
  EXPECT_EQ(reg->groupUuid(text(admins), found), reg_s_no_such_group);
  EXPECT_EQ(reg->userUuid(text(userUuid(*reg, "alice")), found), reg_s_no_such_user);
  // carol's memberships hold that group's own uuid, not admins'.
  std::vector<hx_uuid_t> groups;
  ASSERT_EQ(reg->userGroups(userUuid(*reg, "carol"), groups), 0u);
  for (auto const& g : groups) EXPECT_NE(text(g), text(admins));
  slapd().deleteEntry(dn);
}

TEST_F(LdapRegistryTest, NameHeldByTwoEntriesIsAmbiguousNotUnreachable) {
  auto reg = open(settings());
  ASSERT_TRUE(reg);
  std::string second = "cn=twin2," + std::string(Slapd::people);
  ASSERT_EQ(slapd().addUser("twin"), LDAP_SUCCESS);
  int rc = addEntry(second, {{"objectClass", "inetOrgPerson"}, {"uid", "twin"}, {"cn", "twin2"}, {"sn", "twin2"}});
  ASSERT_EQ(rc, LDAP_SUCCESS) << ldap_err2string(rc);
  hx_uuid_t u{};
  EXPECT_EQ(reg->userUuid("twin", u), reg_s_ambiguous);
  EXPECT_EQ(reg->userUuid("alice", u), 0u);  // the directory still answers
  char const* shown = hx_svc_status_text(reg_s_ambiguous);
  EXPECT_NE(std::string(shown ? shown : "").find("several"), std::string::npos);
  slapd().deleteEntry(second);
  slapd().deleteEntry("uid=twin," + std::string(Slapd::people));
  EXPECT_EQ(reg->userUuid("twin", u), reg_s_no_such_user);
}

TEST_F(LdapRegistryTest, WrongBindPasswordIsRefusedAndNotRetriedElsewhere) {
  ServerEvents events;
  auto s = settings({slapd().uri(), slapd().uri()});
  s.bindPassword = "wrong";
  std::unique_ptr<LdapRegistry> reg;
  std::string message;
  int rc = 0;
  EXPECT_EQ(LdapRegistry::open(s, {}, events.logger(), reg, message, &rc), udir_s_bind_refused);
  EXPECT_EQ(rc, LDAP_INVALID_CREDENTIALS);
  EXPECT_FALSE(reg);
  EXPECT_NE(message.find(Slapd::bindDn), std::string::npos) << message;
  EXPECT_TRUE(events.events.empty());
}

// An administrator's password, checked by binding as the user's entry: only
// the right one is accepted, and neither an empty password (an
// unauthenticated bind the directory would allow) nor a filter trick in the
// name gets in.
TEST_F(LdapRegistryTest, PasswordsAreCheckedByBindingAsTheUser) {
  auto reg = open(settings());
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->checkPassword("alice", "alice-secret"), 0u);
  EXPECT_EQ(reg->checkPassword("ALICE", "alice-secret"), 0u);
  for (auto const& [user, password] : std::vector<std::pair<std::string, std::string>>{
           {"alice", "wrong"}, {"alice", ""}, {"bob", ""}, {"bob", "alice-secret"}, {"nobody", "alice-secret"},
           {"*", "alice-secret"}, {"alice)(uid=*", "alice-secret"}})
    EXPECT_EQ(reg->checkPassword(user, password), udir_s_bind_refused) << user << " / " << password;
  // The registry's own connection is untouched by the users' binds.
  EXPECT_EQ(text(userUuid(*reg, "bob")).empty(), false);
}

TEST_F(LdapRegistryTest, ServerLostBetweenLookupsFailsOverToTheNext) {
  Slapd first;
  ASSERT_TRUE(first.running()) << first.error();
  ServerEvents events;
  auto reg = open(settings({first.uri(), slapd().uri()}), {}, events.logger());
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->currentServer(), first.uri());
  hx_uuid_t before = userUuid(*reg, "bob");
  first.stop();
  hx_uuid_t after = userUuid(*reg, "bob");
  EXPECT_NE(text(before), text(after));  // each directory gave its entries their own uuids
  EXPECT_EQ(reg->currentServer(), slapd().uri());
  ASSERT_EQ(events.events.size(), 1u);
  EXPECT_EQ(events.events[0], std::make_pair(0, first.uri()));
}

TEST_F(LdapRegistryTest, ServerThatNeverAnswersTimesOut) {
  SilentServer silent;
  ServerEvents events;
  LdapOptions o;
  o.timeoutSeconds = 1;
  std::unique_ptr<LdapRegistry> reg;
  std::string message;
  int rc = 0;
  EXPECT_EQ(LdapRegistry::open(settings({silent.url("ldap")}), o, events.logger(), reg, message, &rc), reg_s_unavailable);
  EXPECT_EQ(rc, LDAP_TIMEOUT);
  EXPECT_FALSE(reg);
  ASSERT_EQ(events.events.size(), 1u);
  EXPECT_EQ(events.events[0].first, 0);

  events.events.clear();
  reg = open(settings({silent.url("ldap"), slapd().uri()}), o, events.logger());
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->currentServer(), slapd().uri());
  EXPECT_EQ(events.events.size(), 1u);
}

TEST_F(LdapRegistryTest, ConfigurationErrorsAreNamed) {
  std::unique_ptr<LdapRegistry> reg;
  std::string message;
  EXPECT_EQ(LdapRegistry::open(settings({"http://x"}), {}, {}, reg, message), udir_s_config_unreadable);
  EXPECT_NE(message.find("http://x"), std::string::npos);
  auto none = settings();
  none.servers.clear();
  EXPECT_EQ(LdapRegistry::open(none, {}, {}, reg, message), udir_s_config_unreadable);
  // StartTLS asked of a server that offers no TLS: that server is not used.
  auto tls = settings();
  tls.startTls = true;
  EXPECT_EQ(LdapRegistry::open(tls, {}, {}, reg, message), reg_s_unavailable);
  EXPECT_NE(message.find("TLS"), std::string::npos) << message;
  EXPECT_FALSE(reg);
}

TEST_F(LdapRegistryTest, EmptySuffixesSearchTheServersNamingContext) {
  auto s = settings();
  s.userSuffix.clear();
  s.groupSuffix.clear();
  auto reg = open(s);
  ASSERT_TRUE(reg);
  EXPECT_EQ(reg->userSuffix(), Slapd::suffix);
  EXPECT_EQ(reg->groupSuffix(), Slapd::suffix);
  userUuid(*reg, "bob");
  groupUuid(*reg, "webteam");
}

TEST_F(LdapRegistryTest, ConfigFileOpensTheDirectoryItDescribesPastAServerThatIsDown) {
  gxtest::TempDir dir;
  std::string path = dir.file("registry.conf");
  int dead = gxtest::freeLoopbackPort();
  std::ofstream(path) << "# the test directory, after a server that is down\n[ldap]\nhost = 127.0.0.1\nport = " << dead
                      << "\nreplica = " << slapd().uri() << "\nbind-dn = " << Slapd::bindDn
                      << "\nbind-pwd = " << Slapd::bindPassword << "\nuser-suffix = " << Slapd::people
                      << "\ngroup-suffix = " << Slapd::groups << "\ntimeout = 5\ncache-enabled = yes\n";
  ServerEvents events;
  std::unique_ptr<LdapRegistry> reg;
  std::string message;
  ASSERT_EQ(gxreg::openLdapRegistryFile(path, events.logger(), reg, message), 0u) << message;
  std::string down = "ldap://127.0.0.1:" + std::to_string(dead);
  EXPECT_EQ(reg->servers(), (std::vector<std::string>{down, slapd().uri()}));
  EXPECT_EQ(reg->options().timeoutSeconds, 5);
  EXPECT_TRUE(reg->options().cacheEnabled);
  // The server that is down is reported so, and the next one serves.
  EXPECT_EQ(reg->currentServer(), slapd().uri());
  ASSERT_EQ(events.events.size(), 1u);
  EXPECT_EQ(events.events[0], std::make_pair(0, down));
  groupUuid(*reg, "admins");

  struct Case {
    std::string text;
    unsigned long status;
    std::string says;
  } const cases[] = {
      {"[ldap]\nport = 389\n", stz_s_missing_item, "host is missing"},
      {"[ldap]\nhost = h\nport = many\n", stz_s_bad_value, path + ":3"},
      {"[ldap]\nhost = http://h\n", udir_s_config_unreadable, "http://h"},
      {"[ldap]\nhost = 127.0.0.1:" + std::to_string(slapd().port()) + "\nbind-dn = " + Slapd::bindDn +
           "\nbind-pwd = nope\n",
       udir_s_bind_refused, path},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    std::ofstream(path) << c.text;
    gxtest::MessageCapture quiet;
    EXPECT_EQ(gxreg::openLdapRegistryFile(path, {}, reg, message), c.status);
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
  }
}

TEST(LdapServerUri, HostsPortsAndSchemes) {
  std::string uri;
  EXPECT_TRUE(gxreg::ldapServerUri("dir.example.com", false, 389, uri));
  EXPECT_EQ(uri, "ldap://dir.example.com:389");
  EXPECT_TRUE(gxreg::ldapServerUri("dir.example.com:1636", true, 636, uri));
  EXPECT_EQ(uri, "ldaps://dir.example.com:1636");
  EXPECT_TRUE(gxreg::ldapServerUri("LDAPS://[::1]:700/", false, 389, uri));
  EXPECT_EQ(uri, "ldaps://[::1]:700");
  for (char const* bad : {"", "ldap://", "http://h", "h:", "h:70000", "h:12a", "h/x", "ldap://h:0"})
    EXPECT_FALSE(gxreg::ldapServerUri(bad, false, 389, uri)) << bad;
}

TEST_F(LdapRegistryTest, CacheAnswersUntilTheEntryExpires) {
  ASSERT_EQ(slapd().addUser("erin"), LDAP_SUCCESS);
  auto now = std::chrono::steady_clock::now();
  LdapOptions o;
  o.cacheEnabled = true;
  o.userExpireSeconds = 60;
  o.clock = [&now] { return now; };
  auto cached = open(settings(), o);
  auto uncached = open(settings());
  ASSERT_TRUE(cached && uncached);
  hx_uuid_t erin = userUuid(*cached, "erin");
  std::string name;
  EXPECT_EQ(cached->userName(erin, name), 0u);

  ASSERT_EQ(slapd().deleteEntry("uid=erin," + std::string(Slapd::people)), LDAP_SUCCESS);
  hx_uuid_t u{};
  EXPECT_EQ(uncached->userUuid("erin", u), reg_s_no_such_user);
  now += std::chrono::seconds(59);
  EXPECT_EQ(cached->userUuid("erin", u), 0u);
  EXPECT_EQ(text(u), text(erin));
  EXPECT_EQ(cached->userName(erin, name), 0u);
  now += std::chrono::seconds(1);
  EXPECT_EQ(cached->userUuid("erin", u), reg_s_no_such_user);
  EXPECT_EQ(cached->userName(erin, name), reg_s_no_such_user);
}

class LdapRegistryConcurrency : public LdapRegistryTest {};

TEST_F(LdapRegistryConcurrency, ThreadsShareOneConnection) {
  LdapOptions o;
  o.cacheEnabled = true;
  auto reg = open(settings(), o);
  ASSERT_TRUE(reg);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      char const* names[] = {"alice", "bob", "carol", "gxbind"};
      for (int i = 0; i < 25; ++i) {
        hx_uuid_t u{};
        std::string back;
        if (reg->userUuid(names[(t + i) % 4], u) != 0 || reg->userName(u, back) != 0 || back != names[(t + i) % 4])
          ++wrong;
        if (i % 5 == 0) reg->clearCache();
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
