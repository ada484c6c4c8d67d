// gxpolicyd at the limits of the machine, run as a child process: at its
// connection cap and at the process's descriptor limit it closes new
// connections at once (no backlog wait, no busy loop, one log line per run
// of refusals) and takes them again when some close; a request that runs
// out of memory under an address-space limit is answered 503 and the
// daemon goes on serving.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <nlohmann/json.hpp>
#include <string>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "GxCore/db/daLocalPolicy.h"
#include "daemon_process.h"
#include "outside/registry.h"
#include "tools/gxpolicyd/registry_watch.h"
#include "example_policy.h"
#include "http_client.h"
#include "loopback.h"
#include "sanitized.h"
#include "test_support.h"

namespace {

using json = nlohmann::json;
using gxtest::within;

char const* const kDaemon = gxtest::kGxpolicydBinary;
#ifdef GXPOLICY_BINARY
char const* const kGxpolicy = GXPOLICY_BINARY;
#else
char const* const kGxpolicy = nullptr;
#endif

using gxtest::kSanitized;

// How a fresh connection fares: answered (status), closed by the server
// without an answer, or left waiting.
enum class Fate { answered, closed, waiting };

class GxpolicydLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kDaemon == nullptr) GTEST_SKIP() << "gxpolicyd is not built in this tree (tools are off)";
    db_ = dir_.file("p.db");
    gxtest::writeFile(db_ + ".registry.json", gxtest::exampleFile("web.registry.json"));
    gxtest::makeExampleDb(db_, true);
  }
  void TearDown() override {
    if (daemon_.pid() > 0) EXPECT_EQ(daemon_.signal(SIGTERM, std::chrono::seconds(30)), 0) << log();
  }

  // Starts gxpolicyd (through prefix, e.g. prlimit) with args; true once it answers.
  bool start(std::vector<std::string> const& args, std::vector<std::string> prefix = {}) {
    port_ = gxtest::freeLoopbackPort();
    prefix.insert(prefix.end(), {kDaemon, "--db", db_, "--listen", "127.0.0.1:" + std::to_string(port_)});
    prefix.insert(prefix.end(), args.begin(), args.end());
    daemon_.launch(prefix, dir_.file("gxpolicyd.log"));
    return within(std::chrono::seconds(20), [&] {
             return daemon_.exited() || gxtest::requestOnce(port_, gxtest::httpRequest("GET", "/healthz")).status == 200;
           }) &&
           !daemon_.exited();
  }
  std::string log() { return gxtest::readFile(dir_.file("gxpolicyd.log")); }
  std::size_t count(std::string const& text) {
    std::string all = log();
    std::size_t n = 0;
    for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }

  // Connects and asks /healthz, keeping the connection: its fate within
  // two seconds. An answered connection is kept in open_.
  Fate connectAndAsk() {
    gxtest::Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = gxtest::loopback(port_);
    if (::connect(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fate::closed;
    timeval limit{2, 0};
    ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string ask = gxtest::httpRequest("GET", "/healthz", "", "", true);
    ::send(s.fd, ask.data(), ask.size(), MSG_NOSIGNAL);
    char buf[512];
    ssize_t n = ::recv(s.fd, buf, sizeof buf, 0);
    if (n > 0) {
      open_.push_back(std::move(s));
      return Fate::answered;
    }
    return n == 0 || errno == ECONNRESET ? Fate::closed : Fate::waiting;
  }
  // Whether the first kept connection still answers.
  bool keptConnectionAnswers() {
    return !open_.empty() &&
           gxtest::roundTrip(open_.front().fd, gxtest::httpRequest("GET", "/healthz", "", "", true)).status == 200;
  }
  // CPU seconds the daemon has used.
  double cpuSeconds() {
    std::string stat = gxtest::readFile("/proc/" + std::to_string(daemon_.pid()) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skipped;
    double user = 0, system = 0;
    for (int i = 0; i < 11; ++i) fields >> skipped;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  // The refusals of a full server, its kept connection, and its recovery.
  void expectRefusedCleanlyThenRecovers(int admittedAtMost) {
    int admitted = 0;
    Fate fate = Fate::answered;
    while (admitted <= admittedAtMost && (fate = connectAndAsk()) == Fate::answered) ++admitted;
    ASSERT_EQ(fate, Fate::closed) << "admitted " << admitted << " (waiting: left in the backlog); " << log();
    EXPECT_GT(admitted, 0);
    EXPECT_LE(admitted, admittedAtMost);
    // More attempts while full: each closed at once, no busy loop, one log line.
    double before = cpuSeconds();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(connectAndAsk(), Fate::closed);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(cpuSeconds() - before, 0.3);
    EXPECT_TRUE(keptConnectionAnswers());
    EXPECT_EQ(count("new ones are closed until some close"), 1u) << log();
    // Closed: taken again.
    open_.clear();
    EXPECT_TRUE(within(std::chrono::seconds(5), [&] { return connectAndAsk() == Fate::answered; })) << log();
    EXPECT_TRUE(within(std::chrono::seconds(5), [&] { return count("accepting connections again") == 1; })) << log();
    // Counted: the first refusal, the 20 after it, and any retry above.
    std::string metrics = gxtest::requestOnce(port_, gxtest::httpRequest("GET", "/metrics")).body;
    std::size_t at = metrics.find("\ngxpolicyd_connections_refused_total ");
    ASSERT_NE(at, std::string::npos) << metrics;
    EXPECT_GE(std::stoul(metrics.substr(at + 37)), 21u) << metrics.substr(at);
    EXPECT_EQ(count("Too many open files"), 0u) << log();
  }

  gxtest::TempDir dir_;
  std::string db_;
  gxtest::DaemonProcess daemon_;
  int port_ = -1;
  std::vector<gxtest::Socket> open_;
};

TEST_F(GxpolicydLimits, AtTheConnectionCapNewConnectionsAreClosedAtOnceAndTakenAgainWhenSomeClose) {
  ASSERT_TRUE(start({"--threads", "2", "--connections", "4"})) << log();
  expectRefusedCleanlyThenRecovers(4);
}

TEST_F(GxpolicydLimits, AtTheDescriptorLimitNewConnectionsAreClosedAtOnceAndTakenAgainWhenSomeClose) {
  ASSERT_TRUE(start({"--threads", "2"}, {"/usr/bin/prlimit", "--nofile=64:64"})) << log();
  EXPECT_EQ(count("the descriptor limit leaves room for"), 1u) << log();
  expectRefusedCleanlyThenRecovers(64);
}

TEST_F(GxpolicydLimits, ADescriptorLimitWithNoRoomForConnectionsStopsTheStartWithAMessage) {
  EXPECT_FALSE(start({"--threads", "2"}, {"/usr/bin/prlimit", "--nofile=36:36"}));
  EXPECT_EQ(daemon_.status(), 2) << log();
  EXPECT_NE(log().find("leaves no room for connections"), std::string::npos) << log();
}

// Descriptors used up by something else than connections: the HTTP
// library meets "too many open files" at every accept, and says so at most
// once per kind of message; the connections that waited meanwhile are
// answered once descriptors are free again.
TEST_F(GxpolicydLimits, WhenAcceptMeetsTheDescriptorLimitTheLibraryMessagesAreLoggedOncePerKind) {
  ASSERT_TRUE(start({"--threads", "1"})) << log();
  for (int i = 0; i < 8; ++i) ASSERT_EQ(connectAndAsk(), Fate::answered);
  std::string fds = "/proc/" + std::to_string(daemon_.pid()) + "/fd";
  auto open = static_cast<rlim_t>(
      std::distance(std::filesystem::directory_iterator(fds), std::filesystem::directory_iterator{}));
  rlimit lim{};
  ASSERT_EQ(::prlimit(daemon_.pid(), RLIMIT_NOFILE, nullptr, &lim), 0);
  rlimit lowered{open, lim.rlim_max};
  ASSERT_EQ(::prlimit(daemon_.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0);
  std::vector<gxtest::Socket> waiting;
  for (int i = 0; i < 5; ++i) {
    waiting.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = gxtest::loopback(port_);
    ASSERT_EQ(::connect(waiting.back().fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Each connection that closes makes the library try again: a run of failures.
  while (!open_.empty()) {
    open_.pop_back();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(::prlimit(daemon_.pid(), RLIMIT_NOFILE, &lim, nullptr), 0);
  for (auto& s : waiting)
    EXPECT_EQ(gxtest::roundTrip(s.fd, gxtest::httpRequest("GET", "/healthz")).status, 200) << log();
  EXPECT_EQ(count("Too many open files"), 1u) << log();
}

// The daemon's address space, in bytes, as the kernel counts it.
std::size_t addressSpace(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmSize:", 0) == 0) return std::stoul(line.substr(7)) * 1024;
  return 0;
}

void limitAddressSpace(pid_t pid, rlim_t bytes) {
  rlimit lim{bytes, RLIM_INFINITY};  // the soft limit: it can be raised again
  ASSERT_EQ(::prlimit(pid, RLIMIT_AS, &lim, nullptr), 0);
}

TEST_F(GxpolicydLimits, ARequestThatRunsOutOfMemoryIsAnswered503AndServingGoesOn) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer cannot run under an address-space limit";
  ASSERT_TRUE(start({"--threads", "1", "--max-body", "400000000", "--max-bodies-total", "800000000",
                     "--max-batch", "1000000"}))
      << log();
  auto check = [&] {
    return gxtest::requestOnce(port_, gxtest::httpRequest("POST", "/v1/check", "",
                                                          R"({"object":"/web/docs","actions":"r","user":"bob"})"));
  };
  ASSERT_EQ(check().status, 200);
  // Batches far larger than the memory left, but within every other limit.
  auto batchOf = [](int n) {
    std::string batch = "[";
    for (int i = 0; i < n; ++i) batch += std::string(i ? "," : "") + R"({"object":"/web/docs","actions":"r"})";
    return batch + "]";
  };
  ASSERT_EQ(gxtest::requestOnce(port_, gxtest::httpRequest("POST", "/v1/check/batch", "", batchOf(100))).status, 200);
  std::string batch = batchOf(40000);

  limitAddressSpace(daemon_.pid(), addressSpace(daemon_.pid()) + (8 << 20));
  // A compact batch: refused before it is parsed, the memory its
  // document may need not being free (a parse that failed would free the
  // document by allocating, in a destructor).
  gxtest::Reply compact = gxtest::requestOnce(
      port_, gxtest::httpRequest("POST", "/v1/check/batch", "", R"({"compact": true, "checks": )" + batchOf(200000) + "}"));
  EXPECT_EQ(compact.status, 503) << compact.body;
  // A body announced larger than memory can hold: 503 before it is read.
  gxtest::Reply big = gxtest::requestOnce(
      port_, "POST /v1/check HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 300000000\r\n\r\n");
  EXPECT_EQ(big.status, 503);
  EXPECT_NE(big.body.find("out of memory"), std::string::npos) << big.body;
  EXPECT_EQ(big.headers["retry-after"], "1");
  // A batch whose checks do not fit: 503 (not a 500, not an abort).
  gxtest::Reply huge = gxtest::requestOnce(port_, gxtest::httpRequest("POST", "/v1/check/batch", "", batch));
  EXPECT_EQ(huge.status, 503) << huge.body;
  EXPECT_NE(huge.body.find("out of memory"), std::string::npos) << huge.body;
  // The daemon goes on: small requests are still answered.
  EXPECT_EQ(check().status, 200) << log();
  limitAddressSpace(daemon_.pid(), RLIM_INFINITY);
  EXPECT_EQ(check().status, 200) << log();
}

// gxpolicy under the same kind of limit: an import whose document does not
// fit (one ACL of three million entries) exits 2 with a message, and the
// database keeps what it had.
TEST_F(GxpolicydLimits, AnImportThatDoesNotFitInMemoryExitsWithAStatusAndLeavesTheDatabaseAsItWas) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer cannot run under an address-space limit";
  if (kGxpolicy == nullptr) GTEST_SKIP() << "gxpolicy is not built in this tree";
  std::string doc = dir_.file("huge.json");
  {
    std::ofstream out(doc);
    out << R"({"acls": {"a": {"description": "x", "entries": [{})";
    for (int i = 1; i < 3 << 20; ++i) out << ",{}";
    out << "]}}}";
  }
  auto run = [&](std::vector<std::string> argv) {
    gxtest::DaemonProcess command;
    command.launch(std::move(argv), dir_.file("gxpolicy.log"));
    EXPECT_TRUE(within(std::chrono::seconds(60), [&] { return command.exited(); }));
    return command.status();
  };
  ASSERT_EQ(run({kGxpolicy, "stat", db_}), 0);
  std::string before = gxtest::readFile(dir_.file("gxpolicy.log"));
  ::unlink(dir_.file("gxpolicy.log").c_str());
  EXPECT_EQ(run({"/usr/bin/prlimit", "--as=" + std::to_string(512 << 20), kGxpolicy, "import", db_, doc}), 2);
  std::string said = gxtest::readFile(dir_.file("gxpolicy.log"));
  EXPECT_NE(said.find("gxpolicy: "), std::string::npos) << said;
  ::unlink(dir_.file("gxpolicy.log").c_str());
  ASSERT_EQ(run({kGxpolicy, "stat", db_}), 0);
  EXPECT_EQ(gxtest::readFile(dir_.file("gxpolicy.log")), before);
}

// A registry whose refresh runs out of memory the first times it is asked.
class StarvedRegistry final : public gxreg::Registry {
 public:
  unsigned long userUuid(std::string const&, hx_uuid_t&) override { return reg_s_no_such_user; }
  unsigned long groupUuid(std::string const&, hx_uuid_t&) override { return reg_s_no_such_group; }
  unsigned long userName(hx_uuid_t const&, std::string&) override { return reg_s_no_such_user; }
  unsigned long groupName(hx_uuid_t const&, std::string&) override { return reg_s_no_such_group; }
  unsigned long userGroups(hx_uuid_t const&, std::vector<hx_uuid_t>&) override { return reg_s_no_such_user; }
  unsigned long refresh(std::string& message) override {
    message.clear();
    if (++calls <= 3) throw std::bad_alloc();
    return 0;
  }
  std::atomic<int> calls{0};
};

TEST(RegistryWatchLimits, ACheckThatRunsOutOfMemoryIsLoggedOnceAndTheWatchGoesOn) {
  StarvedRegistry registry;
  std::vector<std::string> lines;
  std::mutex linesLock;
  gxpolicyd::RegistryWatch watch(registry, "r.json", std::chrono::milliseconds(10), [&](std::string const& line) {
    std::lock_guard<std::mutex> hold(linesLock);
    lines.push_back(line);
  });
  watch.start();
  EXPECT_TRUE(within(std::chrono::seconds(5), [&] { return registry.calls.load() > 5; }));
  watch.stop();
  std::lock_guard<std::mutex> hold(linesLock);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("out of memory"), std::string::npos) << lines[0];
}

}  // namespace
