// The process's registry access: bind, replicas, options and the lookups
// through registry handles, against the test directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "outside/rqa.h"
#include "slapd_fixture.h"

namespace {

using gxtest::Slapd;

// Every test starts and ends with an unconfigured, unbound process registry.
class Rqa : public gxtest::SlapdTest {
 protected:
  void SetUp() override {
    gxtest::SlapdTest::SetUp();
    rqa_reset();
  }
  void TearDown() override { rqa_reset(); }
  int bind(char const* password = Slapd::bindPassword, int* detail = nullptr) {
    rqa_set_suffixes(Slapd::people, Slapd::groups);
    return rqa_rgy_init_utf8("127.0.0.1", slapd().port(), Slapd::bindDn, password, nullptr, nullptr, nullptr,
                             detail);
  }
};

struct Freed {
  void operator()(char* p) const { std::free(p); }
};
using Text = std::unique_ptr<char, Freed>;

TEST_F(Rqa, BindInstallsTheRegistryBehindUdirHandles) {
  EXPECT_FALSE(udir_is_registry());
  int detail = -1;
  ASSERT_EQ(bind(Slapd::bindPassword, &detail), 0);
  EXPECT_EQ(detail, 0);
  EXPECT_TRUE(udir_is_registry());
  udir_handle_t h = nullptr;
  ASSERT_EQ(udir_create_domain_handle(&h, "", "d1"), 0u);
  ASSERT_NE(h, nullptr);

  hx_uuid_t alice{}, webteam{};
  EXPECT_EQ(util_lookup_user_uuid("alice", &alice, "d1", h), 0u);
  EXPECT_EQ(util_lookup_group_uuid("webteam", &webteam, "d1", h), 0u);
  char* raw = nullptr;
  EXPECT_EQ(util_lookup_user(&alice, &raw, "d1", h), 0u);
  Text name(raw);
  ASSERT_TRUE(name);
  EXPECT_STREQ(name.get(), "alice");
  raw = nullptr;
  EXPECT_EQ(util_lookup_group(&webteam, &raw, "d1", h), 0u);
  name.reset(raw);
  EXPECT_STREQ(name.get(), "webteam");

  // Failures leave the out-parameters alone.
  raw = nullptr;
  EXPECT_EQ(util_lookup_group(&alice, &raw, "d1", h), reg_s_no_such_group);
  EXPECT_EQ(raw, nullptr);
  hx_uuid_t kept = alice;
  EXPECT_EQ(util_lookup_user_uuid("nobody", &kept, "d1", h), reg_s_no_such_user);
  EXPECT_EQ(std::memcmp(&kept, &alice, sizeof kept), 0);
  EXPECT_EQ(util_lookup_user_uuid(nullptr, &kept, "d1", h), reg_s_bad_name);
  EXPECT_EQ(util_lookup_user(&alice, nullptr, "d1", h), reg_s_bad_name);
  EXPECT_EQ(util_lookup_user_uuid("alice", &kept, "d1", nullptr), reg_s_unavailable);

  Text user(rqa_dn_to_user_utf8(nullptr, Slapd::bindDn));
  ASSERT_TRUE(user);
  EXPECT_STREQ(user.get(), "gxbind");
  EXPECT_EQ(rqa_dn_to_user_utf8(nullptr, Slapd::rootDn), nullptr);

  // A handle outlives the unbind; the udir table is put back.
  rqa_reg_unbind();
  EXPECT_FALSE(udir_is_registry());
  EXPECT_EQ(rqa_dn_to_user_utf8(nullptr, Slapd::bindDn), nullptr);
  EXPECT_EQ(util_lookup_user_uuid("bob", &kept, "d1", h), 0u);
  udir_handle_free(h);
}

TEST_F(Rqa, RefusedBindLeavesNoRegistryAndGivesTheLdapResult) {
  int detail = 0;
  EXPECT_EQ(bind("wrong", &detail), static_cast<int>(udir_s_bind_refused));
  EXPECT_EQ(detail, 49);  // invalid credentials
  EXPECT_FALSE(rqa_get_state().bound);
  EXPECT_FALSE(udir_is_registry());
  EXPECT_EQ(rqa_rgy_init_utf8(nullptr, 389, "", "", nullptr, nullptr, nullptr, &detail),
            static_cast<int>(udir_s_config_unreadable));
  EXPECT_EQ(rqa_rgy_init_utf8("127.0.0.1", gxtest::freeLoopbackPort(), Slapd::bindDn, "x", nullptr, nullptr,
                              nullptr, &detail),
            static_cast<int>(reg_s_unavailable));
}

TEST_F(Rqa, ReplicasNeedABindAndAServerText) {
  EXPECT_EQ(rqa_handle_server_add_from_string("127.0.0.1:1"), rqa_e_not_bound);
  ASSERT_EQ(bind(), 0);
  EXPECT_EQ(rqa_handle_server_add_from_string("replica.example.com"), 0);
  EXPECT_EQ(rqa_handle_server_add_from_string("ldaps://r2.example.com:1636"), 0);
  EXPECT_EQ(rqa_handle_server_add_from_string("http://r3"), rqa_e_bad_server_text);
  EXPECT_EQ(rqa_handle_server_add_from_string("r4:99999"), rqa_e_bad_server_text);
  EXPECT_EQ(rqa_get_state().replicas,
            (std::vector<std::string>{"ldap://replica.example.com:389", "ldaps://r2.example.com:1636"}));
}

// Kept values are read back through LDAPClient's test; here the refusals.
TEST_F(Rqa, UnknownOptionNumbersAreRefused) {
  int v = 5, out = 0;
  EXPECT_EQ(rqa_set_option(3, &v), rqa_e_bad_option);
  EXPECT_EQ(rqa_set_option(rqa_opt_timeout, nullptr), rqa_e_bad_option);
  EXPECT_EQ(rqa_get_option(13, &out), rqa_e_bad_option);
}

}  // namespace
