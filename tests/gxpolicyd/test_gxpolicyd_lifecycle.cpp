// gxpolicyd's life as a process: what it picks up while it runs (the user
// registry beside its database, commits to a database it serves without a
// master), how it starts and stops when its master never answers, and what
// it does with a FIFO where a file should be. Decisions are asked of
// /v1/check on the example web estate (examples/policy).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "GxCore/db/daLocalPolicy.h"
#include "daemon_process.h"
#include "example_policy.h"
#include "http_client.h"
#include "loopback.h"
#include "outside/file_registry.h"
#include "small_fs.h"
#include "test_support.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using gxtest::readFile;
using gxtest::within;

char const* const kDaemon = gxtest::kGxpolicydBinary;

// The example estate (without the clock-dependent rule) in DB, its
// registry beside it, and gxpolicyd as a child process.
class GxpolicydLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kDaemon == nullptr) GTEST_SKIP() << "gxpolicyd is not built in this tree (tools are off)";
    db_ = dir_.file("p.db");
    registry_ = db_ + ".registry.json";
    gxtest::writeFile(registry_, gxtest::exampleFile("web.registry.json"));
  }
  void TearDown() override {
    if (daemon_.pid() > 0) EXPECT_EQ(stop(std::chrono::seconds(30)), 0) << log();
  }

  static void makeDb(std::string const& path) { gxtest::makeExampleDb(path, true); }

  // Starts gxpolicyd with args after --listen.
  void launch(std::vector<std::string> const& args) {
    port_ = gxtest::freeLoopbackPort();
    std::vector<std::string> argv = {kDaemon, "--listen", "127.0.0.1:" + std::to_string(port_), "--threads", "2"};
    argv.insert(argv.end(), args.begin(), args.end());
    daemon_.launch(argv, dir_.file("gxpolicyd.log"));
  }
  bool healthy() { return gxtest::healthy(port_); }
  bool start(std::vector<std::string> const& args) {
    launch(args);
    return within(std::chrono::seconds(20), [&] { return exited() || healthy(); }) && !exited();
  }
  bool exited() { return daemon_.exited(); }
  // SIGTERM, then the exit status; -1 (after SIGKILL) when it had not ended within limit.
  int stop(std::chrono::milliseconds limit) { return daemon_.signal(SIGTERM, limit); }
  std::string log() { return readFile(dir_.file("gxpolicyd.log")); }

  // The decision on object for actions asked by user: "granted", "denied",
  // or the HTTP status when there is none.
  std::string decision(std::string const& user, std::string const& object, std::string const& actions) {
    json ask = {{"object", object}, {"actions", actions}};
    if (!user.empty()) ask["user"] = user;
    gxtest::Reply r = gxtest::requestOnce(port_, gxtest::httpRequest("POST", "/v1/check", "", ask.dump()));
    json body = json::parse(r.body, nullptr, false);
    if (r.status == 200 && body.contains("decision")) return body["decision"].get<std::string>();
    return std::to_string(r.status);
  }

  template <class Edit>
  void editRegistry(Edit edit) {
    std::unique_ptr<gxreg::FileRegistry> reg;
    std::string message;
    ASSERT_EQ(gxreg::FileRegistry::load(registry_, true, reg, message), 0u) << message;
    edit(*reg);
    ASSERT_EQ(reg->save(message), 0u) << message;
  }

  // Registry edits as gxpolicy makes them; each must show within two seconds.
  void expectRegistryChangesFollowed() {
    ASSERT_EQ(decision("bob", "/web/docs", "m"), "granted");
    ASSERT_EQ(decision("dave", "/web/docs", "r"), "granted");
    ASSERT_NE(decision("frank", "/web/docs", "r"), "granted");
    auto changed = Clock::now();
    editRegistry([](gxreg::FileRegistry& r) {
      EXPECT_EQ(r.removeMember("bob", "webteam"), 0u);
      EXPECT_EQ(r.removeUser("dave"), 0u);
      EXPECT_EQ(r.addUser("frank", nullptr, {"webteam"}), 0u);
    });
    auto follows = [&] {
      return decision("bob", "/web/docs", "m") == "denied" && decision("dave", "/web/docs", "r") != "granted" &&
             decision("frank", "/web/docs", "m") == "granted";
    };
    EXPECT_TRUE(within(std::chrono::seconds(4), follows)) << log();
    EXPECT_LT(Clock::now() - changed, std::chrono::milliseconds(2500));
    EXPECT_EQ(decision("bob", "/web/docs", "r"), "granted");  // still anyone's right
  }

  gxtest::TempDir dir_;
  std::string db_, registry_;
  gxtest::DaemonProcess daemon_;
  int port_ = -1;
};

// The callers resolved before a registry change are forgotten with it,
// however long --caller-ttl is.
TEST_F(GxpolicydLifecycle, RegistryEditsReachDecisionsWithinTwoSecondsWhateverTheCallerTtl) {
  makeDb(db_);
  ASSERT_TRUE(start({"--db", db_, "--caller-ttl", "600"})) << log();
  expectRegistryChangesFollowed();
  // A registry broken meanwhile: the last good one stays, said once.
  gxtest::writeFile(registry_ + ".new", "{\"users\": [");
  ASSERT_EQ(::rename((registry_ + ".new").c_str(), registry_.c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(decision("frank", "/web/docs", "m"), "granted");
  std::string text = log();
  std::size_t first = text.find("not valid JSON");
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_EQ(text.find("not valid JSON", first + 1), std::string::npos) << text;
}

TEST_F(GxpolicydLifecycle, RegistryThatAppearsAfterTheStartIsPickedUp) {
  makeDb(db_);
  std::string later = readFile(registry_);
  ASSERT_EQ(::unlink(registry_.c_str()), 0);
  ASSERT_TRUE(start({"--db", db_, "--caller-ttl", "1"})) << log();
  EXPECT_NE(decision("bob", "/web/docs", "m"), "granted");
  gxtest::writeFile(registry_ + ".new", later);
  ASSERT_EQ(::rename((registry_ + ".new").c_str(), registry_.c_str()), 0);
  EXPECT_TRUE(within(std::chrono::seconds(3), [&] { return decision("bob", "/web/docs", "m") == "granted"; })) << log();
}

TEST_F(GxpolicydLifecycle, CommitsToItsDatabaseWithoutMasterReachDecisions) {
  makeDb(db_);
  ASSERT_TRUE(start({"--db", db_, "--refresh", "0.2"})) << log();
  ASSERT_EQ(decision("", "/web/docs/guide.html", "r"), "granted");
  // Another process (gxpolicy) takes the unauthenticated entry off the docs.
  json doc = json::parse(gxtest::exampleFile("web.json"));
  json docsAcl = {{"acls", {{"web-docs", doc["acls"]["web-docs"]}}}};
  docsAcl["acls"]["web-docs"]["entries"].erase(3);
  auto names = gxtest::exampleRegistry();
  gxtest::importDocument(db_, "Default", docsAcl.dump(), names.get());
  EXPECT_TRUE(within(std::chrono::seconds(3), [&] { return decision("", "/web/docs/guide.html", "r") == "denied"; }))
      << log();
  // SIGHUP says what it does: there is no master to ask.
  ::kill(daemon_.pid(), SIGHUP);
  EXPECT_TRUE(within(std::chrono::seconds(3), [&] { return log().find("SIGHUP: re-reading the database") != std::string::npos; }))
      << log();
  EXPECT_EQ(log().find("asking the master"), std::string::npos) << log();
}

// A database and its registry shipped on a read-only file system (a real
// tmpfs remounted read-only): served without a lock file, decisions answered.
TEST_F(GxpolicydLifecycle, DatabaseOnAReadOnlyFileSystemIsServed) {
  gxtest::SmallFileSystem fs(size_t{4} << 20);
  std::string db = fs.file("p.db");
  makeDb(db);
  gxtest::writeFile(db + ".registry.json", readFile(registry_));
  ::unlink(hx_db_lock_file(db.c_str()).c_str());
  fs.remount(true);
  ASSERT_TRUE(start({"--db", db})) << log();
  EXPECT_EQ(decision("bob", "/web/docs", "m"), "granted");
  EXPECT_EQ(decision("", "/web/docs/guide.html", "r"), "granted");
  EXPECT_FALSE(std::filesystem::exists(hx_db_lock_file(db.c_str())));
  EXPECT_EQ(stop(std::chrono::seconds(10)), 0) << log();
}

TEST_F(GxpolicydLifecycle, MasterThatNeverAnswersDelaysNeitherStartNorStop) {
  std::string master = dir_.file("master.db"), replica = dir_.file("replica.db");
  makeDb(master);
  // A good replica, made from a file master.
  ASSERT_TRUE(start({"--db", replica, "--master", master})) << log();
  ASSERT_EQ(stop(std::chrono::seconds(10)), 0) << log();

  gxtest::SilentServer silent;
  auto started = Clock::now();
  ASSERT_TRUE(start({"--db", replica, "--registry", registry_, "--master", silent.url("http", "/snapshots"),
                     "--master-timeout", "30", "--connect-timeout", "30"}))
      << log();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(decision("bob", "/web/docs", "m"), "granted");
  ::kill(daemon_.pid(), SIGHUP);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(healthy());
  auto stopping = Clock::now();
  EXPECT_EQ(stop(std::chrono::seconds(10)), 0) << log();
  EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(6));
}

TEST_F(GxpolicydLifecycle, WithoutReplicaAStalledMasterFailsTheStartInBoundedTime) {
  gxtest::SilentServer silent;
  std::vector<std::string> args = {"--db", dir_.file("replica.db"), "--master", silent.url("http", "/snapshots"),
                                   "--master-timeout", "0.5", "--connect-timeout", "0.5"};
  // It gives up after the time-outs (and the client's retries), saying why.
  launch(args);
  EXPECT_TRUE(within(std::chrono::seconds(15), [&] { return exited(); }));
  EXPECT_EQ(daemon_.status(), 2) << log();
  EXPECT_NE(log().find("cannot open the replica"), std::string::npos) << log();
  // Told to stop meanwhile, it stops at once.
  args[5] = "60";
  launch(args);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto stopping = Clock::now();
  EXPECT_EQ(stop(std::chrono::seconds(10)), 0) << log();
  EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(2));
}

TEST_F(GxpolicydLifecycle, FifoAsDatabaseOrRegistryIsRefusedAtOnce) {
  std::string fifo = dir_.file("fifo.db");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  launch({"--db", fifo});
  EXPECT_TRUE(within(std::chrono::seconds(5), [&] { return exited(); }));
  EXPECT_EQ(daemon_.status(), 2);
  EXPECT_NE(log().find(fifo + " is not a regular file"), std::string::npos) << log();

  makeDb(db_);
  ASSERT_EQ(::unlink(registry_.c_str()), 0);
  ASSERT_EQ(::mkfifo(registry_.c_str(), 0600), 0);
  launch({"--db", db_});
  EXPECT_TRUE(within(std::chrono::seconds(5), [&] { return exited(); }));
  EXPECT_EQ(daemon_.status(), 2);
  EXPECT_NE(log().find(registry_ + " is not a regular file"), std::string::npos) << log();
}

// Everything the command line says a configuration file can say; the
// command line overrides it, and a mistake stops the start naming the line.
TEST_F(GxpolicydLifecycle, AConfigurationFileIsReadCheckedAndOverriddenByTheCommandLine) {
  makeDb(db_);
  std::string conf = dir_.file("gxpolicyd.conf");
  gxtest::writeFile(conf, "db = " + db_ + "\nthreads = 1\nlisten = 127.0.0.1:1\n");
  auto run = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin(), kDaemon);
    gxtest::DaemonProcess check;
    check.launch(argv, dir_.file("check.log"));
    return check.wait();
  };
  EXPECT_EQ(run({"--config", conf, "--check-config"}), 0) << readFile(dir_.file("check.log"));
  EXPECT_NE(readFile(dir_.file("check.log")).find("the configuration is usable"), std::string::npos);
  // Served from the file's database, on the command line's address.
  ASSERT_TRUE(start({"--config", conf})) << log();
  EXPECT_EQ(decision("alice", "/web/docs", "r"), "granted");
  EXPECT_EQ(stop(std::chrono::seconds(30)), 0);
  gxtest::writeFile(conf, "db = " + db_ + "\nthreads = 1\nfront-secret-file = " + dir_.file("missing") + "\n");
  EXPECT_EQ(run({"--config", conf, "--check-config"}), 2);
  EXPECT_NE(readFile(dir_.file("check.log")).find("--front-secret-file: cannot open"), std::string::npos);
  gxtest::writeFile(conf, "db = " + db_ + "\nlisten-on = 8181\n");
  launch({"--config", conf});
  EXPECT_EQ(daemon_.wait(), 2);
  EXPECT_NE(log().find("gxpolicyd.conf:2: unknown key \"listen-on\""), std::string::npos) << log();
}

// Started by a service manager (NOTIFY_SOCKET): ready once it serves, and
// it says when it reloads and when it stops.
TEST_F(GxpolicydLifecycle, UnderAServiceManagerItSaysReadyReloadingAndStopping) {
  makeDb(db_);
  gxtest::Socket manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = dir_.file("notify");
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(manager.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval limit{20, 0};
  ::setsockopt(manager.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  auto next = [&] {
    char buf[512];
    ssize_t n = ::recv(manager.fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("(nothing)");
  };
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  launch({"--db", db_});
  ::unsetenv("NOTIFY_SOCKET");
  std::string ready = next();
  EXPECT_EQ(ready.rfind("READY=1\nSTATUS=serving at sequence ", 0), 0u) << ready;
  EXPECT_TRUE(healthy());  // ready means answering
  ::kill(daemon_.pid(), SIGHUP);
  EXPECT_EQ(next(), "RELOADING=1");
  EXPECT_EQ(next(), "READY=1");
  ::kill(daemon_.pid(), SIGTERM);
  EXPECT_EQ(next(), "STOPPING=1");
  EXPECT_EQ(daemon_.wait(), 0);
}

}  // namespace
