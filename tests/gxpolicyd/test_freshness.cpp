// Freshness of replicas: the doorbell (a long-poll on the master's
// manifest, or a NATS broker) brings a published change within
// milliseconds without an idle replica polling, a broker that is down or
// lies costs only freshness, and read-your-writes: every answer says the
// sequence number it was decided on and a request can demand one (wait,
// then 409), within bounds.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <sstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "GxCore/remote/daSnapshot.h"
#include "daemon_process.h"
#include "http_client.h"
#include "nats_fixture.h"
#include "outside/nats_bell.h"
#include "readme_recipe.h"
#include "test_support.h"
#include "tools/gxpolicyd/admin_publish.h"
#include "tools/gxpolicyd/metrics.h"
#include "tools/gxpolicyd/replica.h"
#include "tools/gxpolicyd/service.h"
#include "tools/gxpolicyd/snapshot_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using gxtest::within;

long millisSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A master database published to www and served by a SnapshotServer, and
// a replica of it; the doorbell is the test's to choose.
class Freshness : public ::testing::Test {
 protected:
  void SetUp() override {
    gxtest::makePolicyDb(master_, {"m0"}, 0x600, "d");
    first_ = publish();
    gxpolicyd::SnapshotServerOptions o;
    o.dir = www_;
    o.port = 0;
    o.maxHeld = 2;
    server_ = std::make_unique<gxpolicyd::SnapshotServer>(o, [](std::string const&) {});
    std::string error;
    ASSERT_TRUE(server_->start(error)) << error;
  }

  unsigned long publish() {
    daSnapshotPublishResult published;
    unsigned long st = 0;
    daPublishSnapshot(master_.c_str(), www_.c_str(), "d", 3, published, st);
    EXPECT_EQ(st, 0u);
    return published.manifest.sequence;
  }
  unsigned long change(std::string const& acl) {
    gxtest::addAcls(master_, {acl}, "d");
    return publish();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(server_->port()) + "/snapshots"; }

  // A replica that asks the master only when rung (or asked).
  std::unique_ptr<gxpolicyd::ServedReplica> replica(std::string const& doorbell, long waitSeconds = 30) {
    gxpolicyd::ReplicaOptions ro;
    ro.db = dir_.file(("replica" + std::to_string(++replicas_) + ".db").c_str());
    ro.master = base();
    ro.domain = "d";
    ro.refreshSeconds = 3600;
    ro.doorbell = doorbell;
    ro.doorbellWaitSeconds = waitSeconds;
    auto r = std::make_unique<gxpolicyd::ServedReplica>(ro, [](std::string const&) {});
    std::string error;
    EXPECT_EQ(r->open(error), 0u) << error;
    r->start();
    return r;
  }

  gxtest::TempDir dir_;
  std::string master_ = dir_.file("master.db"), www_ = dir_.file("www");
  std::unique_ptr<gxpolicyd::SnapshotServer> server_;
  int replicas_ = 0;
  unsigned long first_ = 0;  // the sequence number published first
};

// ---- the long-poll served on the master ------------------------------------------------

TEST_F(Freshness, LongPollIsHeldUntilTheManifestPassesAfterOrTheWaitEnds) {
  unsigned long seq = first_;
  int port = server_->port();
  auto get = [port](std::string const& target) {
    return gxtest::requestOnce(port, gxtest::httpRequest("GET", "/snapshots/" + target));
  };
  // Behind: answered at once.
  auto t = Clock::now();
  gxtest::Reply r = get("manifest.json?after=" + std::to_string(seq - 1) + "&wait=10");
  EXPECT_EQ(r.status, 200);
  EXPECT_LT(millisSince(t), 1000);
  EXPECT_NE(r.body.find("\"sequence\""), std::string::npos);
  // Current: held for the wait, then the same manifest.
  t = Clock::now();
  r = get("manifest.json?after=" + std::to_string(seq) + "&wait=1");
  EXPECT_EQ(r.status, 200);
  EXPECT_GE(millisSince(t), 900);
  // Woken by a publish well before its wait ends.
  auto held = std::async(std::launch::async, [&] { return get("manifest.json?after=" + std::to_string(seq) + "&wait=20"); });
  std::this_thread::sleep_for(200ms);
  t = Clock::now();
  unsigned long next = change("m1");
  gxtest::Reply woken = held.get();
  EXPECT_EQ(woken.status, 200);
  EXPECT_LT(millisSince(t), 1500);
  daSnapshotManifest m;
  unsigned long st = 0;
  daSnapshotManifestParse(woken.body, m, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(m.sequence, next);
}

TEST_F(Freshness, ServerRefusesPathTricksBadArgumentsAndHoldsABoundedNumber) {
  int port = server_->port();
  auto status = [port](std::string const& method, std::string const& target) {
    return gxtest::requestOnce(port, gxtest::httpRequest(method, target)).status;
  };
  ASSERT_EQ(::symlink("/etc/passwd", (www_ + "/snapshots/link").c_str()), 0);
  gxtest::writeFile(www_ + "/.private", "secret");
  for (char const* bad : {"/snapshots/../master.db", "/snapshots/snapshots/../manifest.json", "/snapshots/.private",
                          "/snapshots/snapshots/link", "/snapshots/%2e%2e/master.db", "/snapshots/", "/master.db",
                          "/snapshots/snapshots/x/y"})
    EXPECT_EQ(status("GET", bad), 404) << bad;
  EXPECT_EQ(status("GET", "/snapshots/manifest.json"), 200);
  EXPECT_EQ(status("GET", "/snapshots/manifest.json?after=x&wait=1"), 400);
  EXPECT_EQ(status("GET", "/snapshots/manifest.json?after=1&wait=-1"), 400);
  EXPECT_EQ(status("GET", "/snapshots/manifest.json?after=99999999999"), 400);
  EXPECT_EQ(status("POST", "/snapshots/manifest.json"), 405);

  // Two held at most (the fixture's bound): a third is turned away at once.
  std::string held = "/snapshots/manifest.json?after=4000000000&wait=3";
  auto a = std::async(std::launch::async, [&] { return status("GET", held); });
  auto b = std::async(std::launch::async, [&] { return status("GET", held); });
  ASSERT_TRUE(within(2000ms, [&] { return server_->held() == 2; }));
  auto t = Clock::now();
  EXPECT_EQ(status("GET", held), 503);
  EXPECT_LT(millisSince(t), 1000);
  // Stopping does not wait for the held requests' waits to end.
  t = Clock::now();
  server_->stop();
  a.get();
  b.get();
  EXPECT_LT(millisSince(t), 2000);
}

// ---- the doorbell on the replica --------------------------------------------------------

TEST_F(Freshness, LongPollDoorbellBringsAChangeInMillisecondsAndAnIdleReplicaOnlyHoldsItsPoll) {
  auto r = replica(base(), 2);
  ASSERT_TRUE(within(2000ms, [&] { return server_->held() == 1; }));
  auto t = Clock::now();
  unsigned long next = change("m1");
  ASSERT_TRUE(within(2000ms, [&] { return r->servedSequence() == next; }));
  EXPECT_LT(millisSince(t), 1000) << "publish -> replica current (its poll is an hour)";
  EXPECT_TRUE(gxtest::hasAcl(r->store(), "m1"));

  // Idle for 3 s with the master held for 2 s at a time: the doorbell's
  // one or two requests, and no question about the manifest besides them.
  ASSERT_TRUE(within(2000ms, [&] { return server_->held() == 1; }));
  std::uint64_t before = server_->requests(), checks = r->checks();
  std::this_thread::sleep_for(3s);
  EXPECT_LE(server_->requests() - before, 2u);
  EXPECT_EQ(r->checks(), checks);

  // The metrics page shows the doorbell: answering, the ring heard, its
  // requests.
  gxpolicyd::Metrics metrics;
  gxpolicyd::DecisionService service(*r, nullptr, gxpolicyd::ServiceOptions{}, metrics);
  gxpolicyd::Request get;
  get.method = "GET";
  get.path = "/metrics";
  std::string const page = service.handle(get).body;
  EXPECT_NE(page.find("gxpolicyd_doorbell_up 1\n"), std::string::npos) << page;
  for (char const* counter : {"\ngxpolicyd_doorbell_rings_total ", "\ngxpolicyd_doorbell_requests_total "}) {
    std::size_t at = page.find(counter);
    ASSERT_NE(at, std::string::npos) << page;
    EXPECT_GE(std::stoul(page.substr(at + std::strlen(counter))), 1u) << counter;
  }
  r->stop();
  EXPECT_FALSE(r->doorbellAnswering());
}

// The administration service's publisher rings the doorbell after each
// publication, and a broker that is gone costs only a log line.
TEST_F(Freshness, AdminPublicationsRingTheNatsDoorbell) {
  gxtest::NatsServer nats;
  ASSERT_TRUE(nats.running()) << nats.error();
  std::string bell = nats.url("gx.admin");
  auto r = replica(bell);
  unsigned long have = r->servedSequence();
  ASSERT_TRUE(within(5000ms, [&] { return r->checks() >= 1; }));
  gxtest::addAcls(master_, {"m2"}, "d");
  gxpolicy::PublishRequest publish;
  publish.master = master_;
  publish.destination = www_;
  publish.domain = "d";
  gxtest::LogLines lines;
  gxpolicyd::AdminPublisher publisher(publish, 0ms, lines.log());
  publisher.announceTo(bell);
  auto t = Clock::now();
  publisher.start();  // publishes the master as it is at start
  ASSERT_TRUE(within(3000ms, [&] { return r->servedSequence() > have; }));
  EXPECT_LT(millisSince(t), 2000) << "publication -> replica current (its poll is an hour)";
  EXPECT_TRUE(gxtest::hasAcl(r->store(), "m2"));
  publisher.stop();
  r->stop();

  gxpolicyd::AdminPublisher orphan(publish, 0ms, lines.log());
  orphan.announceTo("nats://127.0.0.1:" + std::to_string(gxtest::freeLoopbackPort()) + "/gx.admin");
  gxtest::addAcls(master_, {"m3"}, "d");
  orphan.start();
  ASSERT_TRUE(within(5000ms, [&] { return lines.has("cannot announce"); }));
  orphan.stop();
}

#ifdef GXPOLICY_BINARY
TEST_F(Freshness, NatsDoorbellRingsARefreshAndALyingBrokerChangesNothing) {
  gxtest::NatsServer nats;
  ASSERT_TRUE(nats.running()) << nats.error();
  std::string bell = nats.url("gx.published");
  auto r = replica(bell);
  unsigned long have = r->servedSequence();
  ASSERT_TRUE(within(5000ms, [&] { return r->checks() >= 1; }));  // the first look, and the connection's

  // gxpolicy publish --announce rings once the manifest is in place.
  gxtest::addAcls(master_, {"m1"}, "d");
  auto t = Clock::now();
  std::string out = dir_.file("publish.out");
  ASSERT_EQ(std::system((std::string(GXPOLICY_BINARY) + " publish --domain d " + master_ + " " + www_ +
                         " --announce " + bell + " > " + out + " 2>&1").c_str()),
            0);
  ASSERT_NE(gxtest::readFile(out).find("announced sequence"), std::string::npos) << gxtest::readFile(out);
  ASSERT_TRUE(within(2000ms, [&] { return r->servedSequence() > have; }));
  EXPECT_LT(millisSince(t), 1500) << "publish -> replica current";
  unsigned long next = r->servedSequence();
  std::string error;

  // A sequence number that does not exist, and garbage: one look at the
  // master for the number, nothing for the garbage, the policy unchanged.
  std::uint64_t checks = r->checks();
  ASSERT_TRUE(hxnats::announce(bell, 4000000000u, 2000, error)) << error;
  ASSERT_TRUE(within(2000ms, [&] { return r->checks() == checks + 1; }));
  EXPECT_EQ(r->servedSequence(), next);
  EXPECT_TRUE(gxtest::hasAcl(r->store(), "m1"));
  r->stop();
}
#endif

TEST_F(Freshness, NatsDoorbellSurvivesABrokerThatIsDownAtStartAndComesBack) {
  int port = gxtest::freeLoopbackPort();
  std::string bell = "nats://127.0.0.1:" + std::to_string(port) + "/gx.published";
  auto r = replica(bell);
  ASSERT_TRUE(within(5000ms, [&] { return r->checks() >= 1; }));  // its first look at the master
  EXPECT_FALSE(r->doorbellAnswering());
  std::string error;
  EXPECT_FALSE(hxnats::announce(bell, 1, 500, error));
  EXPECT_NE(error.find("cannot announce"), std::string::npos);
  gxtest::addAcls(master_, {"m1"}, "d");
#ifndef GXPOLICY_BINARY
  change("m2");
#else
  // Publishing goes on without the broker: a warning, status 0.
  std::string out = dir_.file("publish.out");
  EXPECT_EQ(std::system((std::string(GXPOLICY_BINARY) + " publish --domain d " + master_ + " " + www_ +
                         " --announce " + bell + " > " + out + " 2>&1").c_str()),
            0);
  EXPECT_NE(gxtest::readFile(out).find("warning: cannot announce"), std::string::npos) << gxtest::readFile(out);
#endif
  // Decisions go on meanwhile; the broker then starts on that port.
  EXPECT_TRUE(r->isOpen());
  // Published while the broker was down: the replica has not heard of it.
  daSnapshotManifest published;
  unsigned long st = 0;
  daSnapshotManifestParse(gxtest::readFile(www_ + "/manifest.json"), published, st);
  ASSERT_EQ(st, 0u);
  unsigned long next = published.sequence;
  EXPECT_LT(r->servedSequence(), next);
  auto nats = std::make_unique<gxtest::NatsServer>(port);
  ASSERT_TRUE(nats->running()) << nats->error();
  // The reconnection rings by itself (announcements in the gap are lost).
  ASSERT_TRUE(within(8000ms, [&] { return r->servedSequence() == next; }));
  EXPECT_TRUE(r->doorbellAnswering());
  nats.reset();  // the broker goes away again
  EXPECT_TRUE(within(5000ms, [&] { return !r->doorbellAnswering(); }));
  r->stop();
}

TEST(NatsBell, UrlsAndMessagesAreReadStrictly) {
  hxnats::Address a;
  std::string error;
  ASSERT_TRUE(hxnats::parseUrl("nats://h:4222/gx.pub-1", a, error));
  EXPECT_EQ(a.server, "nats://h:4222");
  EXPECT_EQ(a.subject, "gx.pub-1");
  ASSERT_TRUE(hxnats::parseUrl("nats://h:4222", a, error));
  EXPECT_EQ(a.subject, hxnats::kDefaultSubject);
  for (char const* bad : {"http://h/x", "nats:///x", "nats://h/a..b", "nats://h/a.*", "nats://h/a b", "nats://u@h/x"})
    EXPECT_FALSE(hxnats::parseUrl(bad, a, error)) << bad;
  std::uint64_t n = 0;
  EXPECT_TRUE(hxnats::parseSequence("42", n));
  EXPECT_EQ(n, 42u);
  for (char const* bad : {"", "-1", "4294967296", "12345678901", "1 ", "0x10"})
    EXPECT_FALSE(hxnats::parseSequence(bad, n)) << bad;
}

// ---- read your writes -------------------------------------------------------------------

class ReadYourWrites : public Freshness {
 protected:
  void SetUp() override {
    Freshness::SetUp();
    replica_ = replica("");
    options_.freshnessWait = 400ms;
    options_.maxFreshnessWaiters = 1;
    service_ = std::make_unique<gxpolicyd::DecisionService>(*replica_, nullptr, options_, metrics_);
  }
  gxpolicyd::Response post(char const* path, std::string const& body, std::string const& minSequence = "") {
    gxpolicyd::Request r;
    r.method = "POST";
    r.path = path;
    r.body = body;
    std::vector<gxpolicyd::HeaderField> fields;
    if (!minSequence.empty()) fields.push_back({"X-Gx-Min-Sequence", minSequence.c_str()});
    r.headers = fields;
    return service_->handle(r);
  }
  static std::string header(gxpolicyd::Response const& r, std::string const& name) {
    for (auto const& [n, v] : r.headers)
      if (n == name) return v;
    return "";
  }

  gxpolicyd::ServiceOptions options_;
  gxpolicyd::Metrics metrics_;
  std::unique_ptr<gxpolicyd::ServedReplica> replica_;
  std::unique_ptr<gxpolicyd::DecisionService> service_;
};

constexpr char kCheck[] = R"({"object":"/web","actions":"r"})";

TEST_F(ReadYourWrites, EveryDecisionAnswerSaysItsSequenceNumber) {
  std::string seq = std::to_string(replica_->servedSequence());
  ASSERT_NE(seq, "0");
  for (auto [path, body] : std::vector<std::pair<char const*, std::string>>{
           {"/v1/check", kCheck},
           {"/v1/check", R"({"object":"/web","actions":"r","detail":true})"},
           {"/v1/check/batch", std::string("[") + kCheck + "]"},
           {"/v1/check/batch", std::string(R"({"compact":true,"checks":[)") + kCheck + "]}"},
           {"/access/v1/evaluation",
            R"({"subject":{"type":"unauthenticated","id":"-"},"action":{"name":"r"},"resource":{"type":"page","id":"/web"}})"},
           {"/access/v1/evaluations",
            R"({"subject":{"type":"unauthenticated","id":"-"},"action":{"name":"r"},"evaluations":[{"resource":{"type":"page","id":"/web"}}]})"}}) {
    gxpolicyd::Response r = post(path, body);
    ASSERT_EQ(r.status, 200) << path << " " << r.body;
    EXPECT_EQ(header(r, "X-Gx-Sequence"), seq) << path;
    auto j = nlohmann::json::parse(r.body);
    EXPECT_EQ(j["sequence"].get<unsigned long>(), replica_->servedSequence()) << path << " " << r.body;
  }
}

TEST_F(ReadYourWrites, AMinimumSequenceWaitsForTheReplicaThenAnswersOr409) {
  // Published before the question: the wait asks the master at once (the
  // replica would otherwise look an hour later).
  unsigned long next = change("m1");
  gxpolicyd::Response r = post("/v1/check", std::string(R"({"object":"/web","actions":"r","min_sequence":)") +
                                                std::to_string(next) + "}");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(header(r, "X-Gx-Sequence"), std::to_string(next));
  EXPECT_TRUE(gxtest::hasAcl(replica_->store(), "m1"));

  // A number the master never reaches: 409 after the bound, saying what
  // the replica has.
  auto t = Clock::now();
  r = post("/v1/check/batch", std::string("[") + kCheck + "]", std::to_string(next + 5));
  EXPECT_EQ(r.status, 409) << r.body;
  EXPECT_GE(millisSince(t), 350);
  EXPECT_LT(millisSince(t), 1500);
  auto j = nlohmann::json::parse(r.body);
  EXPECT_EQ(j["sequence"].get<unsigned long>(), next);
  EXPECT_EQ(header(r, "X-Gx-Sequence"), std::to_string(next));
}

TEST_F(ReadYourWrites, MalformedMinimumsAre400AndWaitersAreBounded) {
  for (std::string bad : {"abc", "-1", "99999999999", " 1", "1.5"})
    EXPECT_EQ(post("/v1/check", kCheck, bad).status, 400) << bad;
  for (std::string bad : {"\"5\"", "-1", "1.5", "4294967296", "null"})
    EXPECT_EQ(post("/v1/check", std::string(R"({"object":"/web","actions":"r","min_sequence":)") + bad + "}").status,
              400)
        << bad;
  EXPECT_EQ(post("/v1/check/batch", std::string(R"({"min_sequence":"x","checks":[)") + kCheck + "]}").status, 400);
  {
    gxpolicyd::Request r;
    r.method = "POST";
    r.path = "/v1/check";
    r.body = kCheck;
    std::vector<gxpolicyd::HeaderField> twice{{"X-Gx-Min-Sequence", "1"}, {"x-gx-min-sequence", "1"}};
    r.headers = twice;
    EXPECT_EQ(service_->handle(r).status, 400);
  }
  // One waiter at most (the fixture's bound): a second is told at once.
  std::string never = "4000000000";
  auto first = std::async(std::launch::async, [&] { return post("/v1/check", kCheck, never).status; });
  std::this_thread::sleep_for(100ms);
  auto t = Clock::now();
  gxpolicyd::Response second = post("/v1/check", kCheck, never);
  EXPECT_EQ(second.status, 503);
  EXPECT_LT(millisSince(t), 200);
  EXPECT_EQ(first.get(), 409);
  // A number the replica has is answered without waiting.
  EXPECT_EQ(post("/v1/check", kCheck, std::to_string(replica_->servedSequence())).status, 200);
}

#ifdef GXPOLICY_BINARY
TEST_F(Freshness, CheckJsonSaysTheSequenceNumberDecidedOn) {
  std::string out = dir_.file("check.json");
  std::string cmd = std::string(GXPOLICY_BINARY) + " check " + master_ + " /web r --unauthenticated --json > " + out;
  [[maybe_unused]] int rc = std::system(cmd.c_str());
  auto j = nlohmann::json::parse(gxtest::readFile(out));
  daLocalStore s("d", master_.c_str());
  unsigned long st = 0, seq = 0;
  s.openStore(1, st);
  ASSERT_EQ(st, 0u);
  s.getLocalSeqNum(seq);
  EXPECT_EQ(j["sequence"].get<unsigned long>(), seq);
}
#endif

#if defined(GXPOLICY_BINARY) && defined(GXPOLICYD_BINARY)
using gxtest::readmeRecipe;

std::vector<std::string> words(std::string const& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  // A lone backslash ends a line the shell continues.
  for (std::string w; in >> w;)
    if (w != "\\") out.push_back(out.empty() ? std::string(GXPOLICYD_BINARY) : w);
  return out;
}

// The README's doorbell recipe run as it is: the master's folder served
// with the long-poll, a replica ringing on it; a publish reaches the
// replica well before its 300 s poll, and a check demanding the published
// number is answered from it.
TEST(GxpolicydDoorbellReadme, APublishReachesTheReplicaAndIsReadBack) {
  gxtest::TempDir dir;
  std::string const d = dir.path().string(), master = d + "/master.db", www = d + "/www";
  gxtest::makePolicyDb(master, {"m0"}, 0x600, "Default");
  auto publish = [&] {
    std::string out = d + "/publish.out";
    EXPECT_EQ(std::system((std::string(GXPOLICY_BINARY) + " publish " + master + " " + www + " > " + out).c_str()), 0);
    std::string text = gxtest::readFile(out);
    std::size_t at = text.find("sequence ");
    return at == std::string::npos ? 0ul : std::stoul(text.substr(at + 9));
  };
  ASSERT_NE(publish(), 0u);
  int const sp = gxtest::freeLoopbackPort(), rp = gxtest::freeLoopbackPort();
  std::string const snapshots = "127.0.0.1:" + std::to_string(sp);
  gxtest::DaemonProcess server, replica;
  auto serverArgs = words(readmeRecipe("doorbell master", {{"/srv/policy", www}, {"0.0.0.0:8282", snapshots}}));
  ASSERT_GT(serverArgs.size(), 1u);
  ASSERT_TRUE(server.start(serverArgs, d + "/server.log", 10s, [&] { return gxtest::acceptsConnections(sp); }))
      << gxtest::readFile(d + "/server.log");
  auto replicaArgs = words(readmeRecipe("doorbell replica", {{"replica.db", d + "/replica.db"},
                                                             {"master:8282", snapshots},
                                                             {"127.0.0.1:8181", "127.0.0.1:" + std::to_string(rp)}}));
  ASSERT_GT(replicaArgs.size(), 1u);
  ASSERT_TRUE(replica.start(replicaArgs, d + "/replica.log", 30s, [&] { return gxtest::healthy(rp); }))
      << gxtest::readFile(d + "/replica.log");

  auto check = [&](std::string const& headers) {
    return gxtest::requestOnce(rp, gxtest::httpRequest("POST", "/v1/check", headers, kCheck));
  };
  gxtest::addAcls(master, {"m1"}, "Default");
  auto t = Clock::now();
  unsigned long next = publish();
  ASSERT_TRUE(within(3000ms, [&] { return check("").headers["x-gx-sequence"] == std::to_string(next); }))
      << gxtest::readFile(d + "/replica.log");
  EXPECT_LT(millisSince(t), 1500);
  gxtest::addAcls(master, {"m2"}, "Default");
  next = publish();
  gxtest::Reply r = check("X-Gx-Min-Sequence: " + std::to_string(next) + "\r\n");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.headers["x-gx-sequence"], std::to_string(next));
}
#endif

}  // namespace
