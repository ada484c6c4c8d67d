// The registry a command or the daemon opens for a policy database
// (tools/common/registry_open), and names in policy documents resolved
// through a registry (tools/common/policy_import, policy_export).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "GxCore/GxAcl.h"
#include "GxCore/db/daCachedStore.h"
#include "outside/file_registry.h"
#include "registry_uuids.h"
#include "test_support.h"
#include "tools/common/policy_export.h"
#include "tools/common/policy_import.h"
#include "tools/common/registry_open.h"

namespace {

using gxreg::FileRegistry;
using gxtest::TempDir;
using namespace gxtest::registry_sample;
using json = nlohmann::json;

json sampleRegistry() {
  return {{"users",
           {{{"name", "alice"}, {"uuid", kAlice}, {"groups", {"web"}}},
            {{"name", "bob"}, {"uuid", kBob}, {"groups", {"web"}}}}},
          {"groups", {{{"name", "web"}, {"uuid", kWeb}}}}};
}

TEST(RegistryOpen, FifoGivenOrBesideTheDatabaseIsRefusedWithoutBlocking) {
  TempDir dir;
  std::string fifo = dir.file("fifo.json");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string message;
  auto started = std::chrono::steady_clock::now();
  // The registry a command or the daemon is given (a stanza file is read
  // for an [ldap] stanza first), and the one beside a database.
  unsigned long st = 0;
  EXPECT_FALSE(gxpolicy::openRegistryFor(dir.file("p.db"), fifo, {}, st, message));
  EXPECT_EQ(st, reg_s_unavailable);
  EXPECT_NE(message.find("is not a regular file"), std::string::npos) << message;
  ASSERT_EQ(::mkfifo(dir.file("p.db.registry.json").c_str(), 0600), 0);
  EXPECT_FALSE(gxpolicy::openRegistryFor(dir.file("p.db"), "", {}, st, message, true));
  EXPECT_EQ(st, reg_s_unavailable);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// Policy documents whose entries name their subjects.
class RegistryNames : public ::testing::Test {
 protected:
  void SetUp() override {
    gxtest::createPolicyDb(dir_.file("p.db"));
    store_ = std::make_unique<daCachedStore>("d", dir_.file("p.db").c_str(), 1, 0);
    unsigned long st;
    store_->openStore(0, st);
    ASSERT_EQ(st, 0u);
    std::string message;
    ASSERT_EQ(FileRegistry::parse(sampleRegistry().dump(), "reg.json", reg_, message), 0u) << message;
  }

  static json aclWith(json entries) { return {{"acls", {{"a1", {{"entries", std::move(entries)}}}}}}; }

  bool import(json const& doc, gxreg::Registry* registry) {
    gxpolicy::ImportOptions options;
    options.registry = registry;
    std::string text = doc.dump();
    gxpolicy::DocumentSource source = [text] { return std::make_unique<std::istringstream>(text); };
    gxpolicy::ImportCounts counts;
    return gxpolicy::importPolicyDocument(*store_, source, options, counts, problem_);
  }

  TempDir dir_;
  std::unique_ptr<daCachedStore> store_;
  std::unique_ptr<FileRegistry> reg_;
  gxpolicy::Problem problem_;
};

TEST_F(RegistryNames, NameAloneIsResolvedAndExportWritesNames) {
  ASSERT_TRUE(import(aclWith({{{"type", "user"}, {"name", "alice"}, {"actions", "Tr"}},
                              {{"type", "group"}, {"name", "web"}, {"id", kWeb}, {"actions", "Tr"}},
                              {{"type", "user"}, {"id", "2b3c4d5e-6f70-4812-9a3b-4c5d6e7f8091"}, {"actions", "Tr"}}}),
                     reg_.get()))
      << gxpolicy::describe(problem_);
  Handle<daStoreObject> h;
  unsigned long st;
  store_->getObject(daAclName("a1"), h, st);
  ASSERT_EQ(st, 0u);
  auto const* acl = dynamic_cast<GxACL const*>(h.get());
  ASSERT_NE(acl, nullptr);
  ASSERT_EQ(acl->numEntries(), 3u);
  EXPECT_EQ(text(acl->entry(0).id), kAlice);
  EXPECT_EQ(acl->entry(0).entry_type, acl_e_user);
  EXPECT_EQ(text(acl->entry(1).id), kWeb);

  json doc;
  ASSERT_TRUE(gxpolicy::exportPolicyDocument(*store_, doc, problem_, nullptr, reg_.get()));
  json const& entries = doc["acls"]["a1"]["entries"];
  EXPECT_EQ(entries[0]["name"], "alice");
  EXPECT_EQ(entries[0]["id"], kAlice);
  EXPECT_EQ(entries[1]["name"], "web");
  EXPECT_FALSE(entries[2].contains("name"));  // a uuid the registry does not know
  ASSERT_TRUE(gxpolicy::exportPolicyDocument(*store_, doc, problem_));
  EXPECT_FALSE(doc["acls"]["a1"]["entries"][0].contains("name"));
}

TEST_F(RegistryNames, UnknownOrDisagreeingNamesAreProblemsOfTheirEntry) {
  // A user's name given as a group is unknown: the kinds are separate.
  EXPECT_FALSE(import(aclWith({{{"type", "user"}, {"name", "bob"}, {"actions", "Tr"}},
                               {{"type", "group"}, {"name", "alice"}, {"actions", "Tr"}}}),
                      reg_.get()));
  EXPECT_EQ(problem_.where, "acls.a1.entries[1].name");
  EXPECT_EQ(problem_.status, reg_s_no_such_group);

  EXPECT_FALSE(import(aclWith({{{"type", "user"}, {"name", "carol"}, {"id", kAlice}, {"actions", "Tr"}}}), reg_.get()));
  EXPECT_EQ(problem_.where, "acls.a1.entries[0].name");
  EXPECT_EQ(problem_.status, reg_s_no_such_user);

  EXPECT_FALSE(import(aclWith({{{"type", "user"}, {"name", "alice"}, {"id", kBob}, {"actions", "Tr"}}}), reg_.get()));
  EXPECT_EQ(problem_.where, "acls.a1.entries[0].id");
  EXPECT_NE(problem_.message.find(kAlice), std::string::npos) << problem_.message;

  // Without a registry a name is only a label, and cannot stand for the id.
  EXPECT_TRUE(import(aclWith({{{"type", "user"}, {"name", "carol"}, {"id", kBob}, {"actions", "Tr"}}}), nullptr));
  EXPECT_FALSE(import(aclWith({{{"type", "user"}, {"name", "alice"}, {"actions", "Tr"}}}), nullptr));
  EXPECT_EQ(problem_.where, "acls.a1.entries[0]");
  EXPECT_NE(problem_.message.find("registry"), std::string::npos) << problem_.message;

  // Nothing of the refused documents was written.
  Handle<daStoreObject> h;
  unsigned long st;
  store_->getObject(daAclName("a1"), h, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(text(dynamic_cast<GxACL const*>(h.get())->entry(0).id), kBob);
}

}  // namespace
