// The example web estate (examples/policy) served by a decision service
// with its file registry and a review token, for the tests of the review
// and AuthZEN routes; requests are handed to the service as the transport
// would hand them.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/db/daAccessReview.h"
#include "GxCore/db/daLocalPolicy.h"
#include "example_policy.h"
#include "test_support.h"
#include "tools/gxpolicyd/service.h"

namespace gxtest {

inline std::string const kReviewToken = "review-token-0123456789";

// The example estate imported into a new database at dir/web.db and served
// from it (domain "d"); null after a test failure says why.
inline std::unique_ptr<gxpolicyd::ServedReplica> serveExample(TempDir& dir, gxreg::Registry* registry) {
  std::string const db = dir.file("web.db");
  makePolicyDb(db, {}, daLocalPolicy::minimumDatabaseVersion);
  importDocument(db, "d", exampleFile("web.json"), registry);
  if (::testing::Test::HasFailure()) return nullptr;
  gxpolicyd::ReplicaOptions o;
  o.db = db;
  o.domain = "d";
  auto replica = std::make_unique<gxpolicyd::ServedReplica>(o, [](std::string const&) {});
  std::string error;
  if (replica->open(error) != 0) {
    ADD_FAILURE() << error;
    return nullptr;
  }
  return replica;
}

class ExampleService : public ::testing::Test {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;

  void SetUp() override {
    registry_ = exampleRegistry();
    ASSERT_TRUE(registry_);
    replica_ = serveExample(dir_, registry_.get());
    ASSERT_TRUE(replica_);
    options_.maxBody = 8192;
    options_.maxBatch = 4;
    options_.review.token = kReviewToken;
    options_.review.maxPage = 50;
    service_ = std::make_unique<gxpolicyd::DecisionService>(*replica_, registry_.get(), options_, metrics_);
  }

  daCachedStore& store() { return replica_->store(); }

  // POST body to path with headers (the review token unless told otherwise).
  gxpolicyd::Response post(char const* path, std::string const& body, Headers const& headers = {{"Authorization", "Bearer " + kReviewToken}},
                           gxpolicyd::DecisionService* service = nullptr, char const* method = "POST") {
    gxpolicyd::Request r;
    r.method = method;
    r.path = path;
    r.body = body;
    std::vector<gxpolicyd::HeaderField> fields;
    for (auto const& [n, v] : headers) fields.push_back({n, v.c_str()});
    r.headers = fields;
    return (service ? *service : *service_).handle(r);
  }
  // GET path with query arguments (in order) and the review token.
  gxpolicyd::Response get(char const* path, Headers const& query, bool queryHasNul = false) {
    gxpolicyd::Request r;
    r.method = "GET";
    r.path = path;
    std::string const authorization = "Bearer " + kReviewToken;
    gxpolicyd::HeaderField const header{"Authorization", authorization.c_str()};
    r.headers = {&header, 1};
    std::vector<gxpolicyd::HeaderField> args;
    for (auto const& [n, v] : query) args.push_back({n, v.c_str()});
    r.query = args;
    r.queryHasNul = queryHasNul;
    return service_->handle(r);
  }
  // The objects user may read at under and below, as the library lists them.
  std::vector<std::string> objectsOf(char const* user, char const* under) {
    gxpolicy::Caller caller;
    gxpolicy::Problem problem;
    EXPECT_TRUE(gxpolicy::resolveCaller({gxpolicy::CallerSpec::Form::user, user, {}, {}}, registry_.get(), caller, problem));
    std::vector<std::string> out;
    unsigned long st = 0;
    daWhatCanObjects(store(), caller.pa(), "r", under, nullptr, [&](char const* o, bool) { return out.push_back(o), true; }, st);
    EXPECT_EQ(st, 0u);
    return out;
  }
  // The JSON of a 200 answer (a test failure otherwise).
  nlohmann::json answer(char const* path, nlohmann::json const& body) {
    gxpolicyd::Response r = post(path, body.dump());
    EXPECT_EQ(r.status, 200) << path << " " << body.dump() << " -> " << r.body;
    return r.status == 200 ? nlohmann::json::parse(r.body) : nlohmann::json();
  }

  TempDir dir_;
  std::unique_ptr<gxreg::FileRegistry> registry_;
  std::unique_ptr<gxpolicyd::ServedReplica> replica_;
  gxpolicyd::ServiceOptions options_;
  gxpolicyd::Metrics metrics_;
  std::unique_ptr<gxpolicyd::DecisionService> service_;
};

}  // namespace gxtest
