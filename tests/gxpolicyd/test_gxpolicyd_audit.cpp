// gxpolicyd's audit trail: the JSON line of a record (hostile text
// included), the file it goes to (what is refused), the queue between the
// deciding threads and the writer (block loses nothing, drop counts, strict
// waits for its write and shares it), rotation, and the daemon itself
// stopped with SIGTERM or SIGKILL under load.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daDecision.h"
#include "GxCore/db/daLocalPolicy.h"
#include "daemon_process.h"
#include "example_policy.h"
#include "http_client.h"
#include "loopback.h"
#include "outside/hxdigest.h"
#include "test_support.h"
#include "tools/common/audit_record.h"
#include "tools/gxpolicyd/audit.h"

namespace {

using json = nlohmann::json;
using gxpolicyd::AuditCounters;
using gxpolicyd::AuditFull;
using gxpolicyd::AuditOptions;
using gxpolicyd::AuditTrail;

std::vector<std::string> lines(std::string const& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// Every line of the files, each parsed (a test failure for one that is not
// JSON). A last line without its newline is a record a killed process cut
// short, and is not read.
std::vector<json> records(std::vector<std::string> const& files) {
  std::vector<json> out;
  for (auto const& f : files) {
    std::string const text = gxtest::readFile(f);
    for (auto const& l : lines(text.substr(0, text.rfind('\n') + 1))) {
      json j = json::parse(l, nullptr, false);
      EXPECT_FALSE(j.is_discarded()) << f << ": " << l;
      out.push_back(std::move(j));
    }
  }
  return out;
}

// A record of a failed decision about object: all a queue test needs.
daAuditRecord failed(std::string const& object) {
  daAuditRecord r;
  r.object = object;
  r.actions = "r";
  r.status = 0x1005B1C9;
  r.sequence = 7;
  return r;
}

TEST(AuditLine, GrantNamesCallerPolicyInForceSequenceAndDigest) {
  gxtest::TempDir dir;
  std::string db = dir.file("p.db");
  gxtest::makePolicyDb(db, {}, 0, "Default");
  auto names = gxtest::exampleRegistry();
  gxtest::importDocument(db, "Default", gxtest::exampleFile("web.json"), names.get());
  daCachedStore store("Default", db.c_str(), 1, 0);
  unsigned long st = 0;
  store.openStore(1, st);
  ASSERT_EQ(st, 0u);
  daDecision d;
  store.decide("/web/docs", nullptr, "r", nullptr, d, st);
  ASSERT_EQ(st, 0u);
  ASSERT_TRUE(d.granted());

  std::vector<std::string_view> groups = {"g-1", "g-2"};
  daAuditRecord r;
  r.timeSeconds = 1'700'000'000;
  r.userUuid = "u-1";
  r.userName = "alice";
  r.groups = &groups;
  r.address = "10.0.0.7";
  r.object = "/web/docs";
  r.actions = "r";
  r.authLevel = 2;
  r.protection = daProtection::privacy;
  r.decision = &d;
  r.sequence = 42;
  std::string out;
  gxpolicy::appendAuditLine(out, r, 1'700'000'000'123, "ab12");
  ASSERT_EQ(out.back(), '\n');
  json j = json::parse(out);
  EXPECT_EQ(j["time"], "2023-11-14T22:13:20.123Z");
  EXPECT_FALSE(j.contains("requestTime"));  // asked about now
  EXPECT_EQ(j["user"], json({{"uuid", "u-1"}, {"name", "alice"}, {"groups", {"g-1", "g-2"}}}));
  EXPECT_EQ(j["address"], "10.0.0.7");
  EXPECT_EQ(j["object"], "/web/docs");
  EXPECT_EQ(j["authLevel"], 2);
  EXPECT_EQ(j["protection"], "privacy");
  EXPECT_EQ(j["result"], "granted");
  EXPECT_EQ(j["cause"], "granted");
  EXPECT_FALSE(j.contains("warning"));
  EXPECT_EQ(j["acl"]["name"], d.aclName());
  EXPECT_EQ(j["acl"]["at"], d.aclLocation());
  EXPECT_EQ(j["sequence"], 42);
  EXPECT_EQ(j["digest"], "ab12");

  // A what-if about another time says which; a failure says why.
  r.timeSeconds = 0;
  r.decision = nullptr;
  r.status = 0x1005B1C9;
  out.clear();
  gxpolicy::appendAuditLine(out, r, 1'700'000'000'123, "");
  j = json::parse(out);
  EXPECT_EQ(j["requestTime"], "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(j["result"], "error");
  EXPECT_NE(j["error"].get<std::string>().find("0x1005b1c9"), std::string::npos) << j.dump();
  EXPECT_FALSE(j.contains("digest"));
}

TEST(AuditLine, HostileTextCannotForgeALineOrBreakTheJson) {
  // A caller who controls a name or path must not add a record of its own.
  std::string forged = "x\"}\n{\"result\":\"granted\",\"object\":\"/etc\\";
  std::string binary("a\0b\x01\x7f\xff\xc3(\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82\xac", 18);
  daAuditRecord r = failed(forged);
  r.userName = binary;
  r.actions = "r\r\n";
  std::string out;
  gxpolicy::appendAuditLine(out, r, 0, "");
  ASSERT_EQ(lines(out).size(), 1u) << out;
  json j = json::parse(out);
  EXPECT_EQ(j["object"], forged);
  EXPECT_EQ(j["actions"], "r\r\n");
  // Invalid UTF-8 becomes U+FFFD; valid sequences (the euro sign) stay.
  std::string bad = "\xef\xbf\xbd";  // U+FFFD, one per byte that starts no valid sequence
  EXPECT_EQ(j["user"]["name"], std::string("a\0b\x01\x7f", 5) + bad + bad + "(" + bad + bad + bad + bad + bad + bad +
                                   bad + "\xe2\x82\xac");
}

class AuditFile : public ::testing::Test {
 protected:
  std::unique_ptr<AuditTrail> open(AuditOptions o, std::string& error) {
    return AuditTrail::open(o, counters_, [this](std::string const& m) { log_ += m + "\n"; }, error);
  }
  // The trail on o.file; null, with a test failure, when it cannot be opened.
  std::unique_ptr<AuditTrail> opened(AuditOptions const& o) {
    std::string error;
    auto trail = open(o, error);
    EXPECT_NE(trail, nullptr) << error;
    return trail;
  }
  std::string refusal(std::string const& path) {
    AuditOptions o;
    o.file = path;
    std::string error;
    auto trail = open(o, error);
    EXPECT_EQ(trail, nullptr) << path;
    EXPECT_EQ(gxpolicyd::checkAuditFile(path), error);
    return error;
  }
  gxtest::TempDir dir_;
  AuditCounters counters_;
  std::string log_;
};

TEST_F(AuditFile, SymlinkDirectoryFifoSharedModeAndHardLinkAreRefused) {
  std::string target = dir_.file("target.log"), link = dir_.file("link.log");
  gxtest::writeFile(target, "");
  ::chmod(target.c_str(), 0600);
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  EXPECT_NE(refusal(link).find("symbolic link"), std::string::npos);
  // A dangling link is refused too: nothing is created where it points.
  std::string dangling = dir_.file("dangling.log");
  ASSERT_EQ(::symlink(dir_.file("elsewhere.log").c_str(), dangling.c_str()), 0);
  EXPECT_NE(refusal(dangling).find("symbolic link"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("elsewhere.log")));

  EXPECT_NE(refusal(dir_.path().string()).find("is a directory"), std::string::npos);
  std::string fifo = dir_.file("fifo.log");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_NE(refusal(fifo).find("not a regular file"), std::string::npos);

  std::string shared = dir_.file("shared.log");
  gxtest::writeFile(shared, "");
  ASSERT_EQ(::chmod(shared.c_str(), 0640), 0);
  EXPECT_NE(refusal(shared).find("chmod 600"), std::string::npos);

  std::string hard = dir_.file("hard.log");
  ASSERT_EQ(::link(target.c_str(), hard.c_str()), 0);
  EXPECT_NE(refusal(hard).find("hard links"), std::string::npos);

  std::filesystem::create_directory(dir_.file("open"));
  ::chmod(dir_.file("open").c_str(), 0777);
  EXPECT_NE(refusal(dir_.file("open") + "/audit.log").find("may be written by anyone"), std::string::npos);
}

// A trail that a killed process left with its last record cut short: the
// cut record is ended with a newline at open, so the next record is a line
// of its own. The start-up check (--check-config) leaves it as it is.
TEST_F(AuditFile, ACutLastRecordIsEndedBeforeTheNextIsWritten) {
  AuditOptions o;
  o.file = dir_.file("audit.log");
  std::string cut = "{\"object\":\"/o/whole\"}\n{\"object\":\"/o/cu";
  gxtest::writeFile(o.file, cut);
  ::chmod(o.file.c_str(), 0600);
  EXPECT_EQ(gxpolicyd::checkAuditFile(o.file), "");
  EXPECT_EQ(gxtest::readFile(o.file), cut);
  auto trail = opened(o);
  ASSERT_NE(trail, nullptr);
  trail->record(failed("/o/next"));
  trail->stop();
  auto l = lines(gxtest::readFile(o.file));
  ASSERT_EQ(l.size(), 3u) << gxtest::readFile(o.file);
  EXPECT_EQ(l[1], "{\"object\":\"/o/cu");
  EXPECT_EQ(json::parse(l[2], nullptr, false).value("object", ""), "/o/next") << l[2];
}

// Records from several threads at once; the number each thread made.
void recordFrom(AuditTrail& trail, int threads, int each) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < each; ++i) trail.record(failed("/o/" + std::to_string(t) + "/" + std::to_string(i)));
    });
  for (auto& w : workers) w.join();
}

class AuditQueueConcurrency : public AuditFile {};

TEST_F(AuditQueueConcurrency, FullQueueInBlockModeLosesNoRecord) {
  AuditOptions o;
  o.file = dir_.file("audit.log");
  o.queue = 4;
  auto trail = opened(o);
  ASSERT_NE(trail, nullptr);
  recordFrom(*trail, 6, 500);
  trail->stop();
  std::set<std::string> objects;
  for (auto const& j : records({o.file})) objects.insert(j["object"].get<std::string>());
  EXPECT_EQ(objects.size(), 3000u);
  EXPECT_EQ(counters_.written.load(), 3000u);
  EXPECT_EQ(counters_.dropped.load(), 0u);
  EXPECT_EQ(counters_.queued.load(), 0u);
}

TEST_F(AuditQueueConcurrency, FullQueueInDropModeCountsEveryDrop) {
  AuditOptions o;
  o.file = dir_.file("audit.log");
  o.queue = 8;
  o.full = AuditFull::drop;
  o.flush = std::chrono::milliseconds(10000);  // the writer wakes only when half full
  auto trail = opened(o);
  ASSERT_NE(trail, nullptr);
  recordFrom(*trail, 4, 2000);
  trail->stop();
  std::size_t written = records({o.file}).size();
  EXPECT_EQ(written, counters_.written.load());
  EXPECT_GT(counters_.dropped.load(), 0u);
  EXPECT_EQ(written + counters_.dropped.load(), 8000u);
}

TEST_F(AuditQueueConcurrency, StrictRecordReturnsOnceWrittenAndSharesWrites) {
  AuditOptions o;
  o.file = dir_.file("audit.log");
  o.strict = true;
  o.fsync = std::chrono::milliseconds(0);
  o.flush = std::chrono::milliseconds(60000);  // strict does not wait for the interval
  auto trail = opened(o);
  ASSERT_NE(trail, nullptr);
  auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    trail->record(failed("/one/" + std::to_string(i)));
    EXPECT_EQ(lines(gxtest::readFile(o.file)).size(), static_cast<std::size_t>(i + 1));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  // Many deciding threads at once: fewer writes than records (group commit).
  recordFrom(*trail, 8, 300);
  EXPECT_EQ(lines(gxtest::readFile(o.file)).size(), 2403u);
  EXPECT_LT(counters_.batches.load(), counters_.written.load());
}

TEST_F(AuditQueueConcurrency, RotationKeepsItsFilesAndSplitsNoLine) {
  // Rotated by size, records from four threads (about 150 bytes each):
  // every record is in exactly one file, whole, and no file passes the size.
  auto run = [&](char const* name, unsigned keep) {
    AuditOptions o;
    o.file = dir_.file(name);
    o.maxBytes = 16 << 10;
    o.keep = keep;
    o.flush = std::chrono::milliseconds(1);
    auto trail = opened(o);
    if (trail) {
      recordFrom(*trail, 4, 300);
      trail->stop();
    }
    std::vector<std::string> files = {o.file};
    for (unsigned i = 1; std::filesystem::exists(o.file + "." + std::to_string(i)); ++i)
      files.push_back(o.file + "." + std::to_string(i));
    for (auto const& f : files) {
      struct stat st {};
      EXPECT_EQ(::stat(f.c_str(), &st), 0) << f;
      EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
      EXPECT_LE(static_cast<std::uint64_t>(st.st_size), o.maxBytes) << f;
    }
    return files;
  };
  auto all = run("all.log", 100);
  EXPECT_GT(all.size(), 5u);
  std::set<std::string> objects;
  for (auto const& j : records(all)) objects.insert(j["object"].get<std::string>());
  EXPECT_EQ(objects.size(), 1200u);

  auto three = run("three.log", 3);
  EXPECT_EQ(three.size(), 4u);  // the file and three rotated ones; older ones are gone
  EXPECT_FALSE(std::filesystem::exists(dir_.file("three.log.4")));
  EXPECT_EQ(counters_.lost.load(), 0u);
}

char const* const kDaemon = gxtest::kGxpolicydBinary;

// Clients asking /v1/check on connections of their own (kept alive) until
// told to stop or until the daemon no longer accepts; every question names
// an object of its own, so answers and records can be matched.
class Load {
 public:
  Load(int port, int threads) {
    for (int t = 0; t < threads; ++t) workers_.emplace_back([this, port, t] { ask(port, t); });
  }
  ~Load() { finish(); }
  // Stops the clients (those still running) and waits for them.
  void finish() {
    stop_ = true;
    for (auto& w : workers_)
      if (w.joinable()) w.join();
  }
  // The objects whose decision reached a client.
  std::set<std::string> const& answered() const { return answered_; }

 private:
  void ask(int port, int t) {
    std::vector<std::string> mine;
    std::optional<gxtest::Socket> s;
    for (int i = 0; !stop_; ++i) {
      if (!s) {
        s.emplace(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = gxtest::loopback(port);
        if (::connect(s->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) break;  // no longer accepting
      }
      std::string object = "/web/docs/t" + std::to_string(t) + "/" + std::to_string(i);
      json ask = {{"object", object}, {"actions", "r"}};
      gxtest::Reply r = gxtest::roundTrip(s->fd, gxtest::httpRequest("POST", "/v1/check", "", ask.dump(), true));
      if (r.status == 200 && r.body.find("\"decision\"") != std::string::npos) mine.push_back(object);
      else s.reset();
    }
    std::lock_guard<std::mutex> hold(lock_);
    answered_.insert(mine.begin(), mine.end());
  }

  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::set<std::string> answered_;
  std::vector<std::thread> workers_;
};

// gxpolicyd on the example estate, recording every decision in a file.
class GxpolicydAudit : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kDaemon == nullptr) GTEST_SKIP() << "gxpolicyd is not built in this tree (tools are off)";
    db_ = dir_.file("p.db");
    trail_ = dir_.file("audit.log");
    gxtest::writeFile(db_ + ".registry.json", gxtest::exampleFile("web.registry.json"));
    gxtest::makeExampleDb(db_, false);  // a master a replica takes
  }
  bool start(std::vector<std::string> const& extra) {
    port_ = gxtest::freeLoopbackPort();
    std::vector<std::string> argv = {kDaemon, "--db", served_.empty() ? db_ : served_, "--listen", "127.0.0.1:" + std::to_string(port_),
                                     "--threads", "2", "--audit-level", "all"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return daemon_.start(argv, dir_.file("gxpolicyd.log"), std::chrono::seconds(20), [this] { return gxtest::healthy(port_); });
  }
  std::string log() { return gxtest::readFile(dir_.file("gxpolicyd.log")); }
  // The objects of the records in the trail.
  std::multiset<std::string> recorded() {
    std::multiset<std::string> out;
    for (auto const& j : records({trail_})) out.insert(j["object"].get<std::string>());
    return out;
  }
  // Answers lacking a record.
  std::size_t unrecorded(std::set<std::string> const& answered) {
    auto have = recorded();
    std::size_t missing = 0;
    for (auto const& o : answered) missing += have.count(o) == 0;
    return missing;
  }
  std::string metrics() { return gxtest::requestOnce(port_, gxtest::httpRequest("GET", "/metrics")).body; }

  gxtest::TempDir dir_;
  gxtest::DaemonProcess daemon_;
  std::string db_, trail_;
  std::string served_;  // the database gxpolicyd serves when not db_
  int port_ = -1;
};

TEST_F(GxpolicydAudit, SigtermUnderLoadWritesARecordForEveryAnswer) {
  ASSERT_TRUE(start({"--audit-file", trail_, "--audit-flush-ms", "50"})) << log();
  Load load(port_, 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(daemon_.signal(SIGTERM, std::chrono::seconds(20)), 0) << log();
  load.finish();
  ASSERT_GT(load.answered().size(), 100u);
  auto have = recorded();
  EXPECT_EQ(have.size(), load.answered().size());
  EXPECT_EQ(unrecorded(load.answered()), 0u);
  // Each record is whole and says what was decided.
  auto all = records({trail_});
  ASSERT_FALSE(all.empty());
  json first = all.front();
  EXPECT_EQ(first["result"], "granted") << first.dump();
  EXPECT_EQ(first["acl"]["name"], "web-docs") << first.dump();
}

TEST_F(GxpolicydAudit, SigkillInStrictModeLeavesNoAnswerUnrecorded) {
  ASSERT_TRUE(start({"--audit-file", trail_, "--audit-strict"})) << log();
  Load load(port_, 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(daemon_.signal(SIGKILL, std::chrono::seconds(10)), 100 + SIGKILL);
  load.finish();
  ASSERT_GT(load.answered().size(), 100u);
  EXPECT_EQ(unrecorded(load.answered()), 0u);
  EXPECT_GE(recorded().size(), load.answered().size());
}

TEST_F(GxpolicydAudit, SigkillWithoutStrictLosesAboutOneFlushInterval) {
  // Records wait up to --audit-flush-ms (5) in the queue: a SIGKILL loses
  // those. Asserted loosely (the machine is shared): no more than the
  // answers of 100 ms.
  ASSERT_TRUE(start({"--audit-file", trail_, "--audit-flush-ms", "5"})) << log();
  Load load(port_, 4);
  auto began = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(daemon_.signal(SIGKILL, std::chrono::seconds(10)), 100 + SIGKILL);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  load.finish();
  ASSERT_GT(load.answered().size(), 100u);
  double per100ms = static_cast<double>(load.answered().size()) / seconds / 10;
  EXPECT_LE(static_cast<double>(unrecorded(load.answered())), per100ms + 10) << load.answered().size();
}

TEST_F(GxpolicydAudit, FullQueueInDropModeIsCountedInMetrics) {
  ASSERT_TRUE(start({"--audit-file", trail_, "--audit-full", "drop", "--audit-queue", "2", "--audit-flush-ms",
                     "2000"}))
      << log();
  {
    Load load(port_, 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    load.finish();
    ASSERT_GT(load.answered().size(), 20u);
  }
  std::string page = metrics();
  const std::string dropped = "gxpolicyd_audit_records_total{result=\"dropped\"} ";
  std::size_t at = page.find(dropped);
  ASSERT_NE(at, std::string::npos) << page;
  EXPECT_GT(std::stoull(page.substr(at + dropped.size())), 0u) << page;
}

TEST_F(GxpolicydAudit, RecordOfAReplicaNamesItsSequenceAndDigest) {
  std::string replica = served_ = dir_.file("replica.db");
  ASSERT_TRUE(start({"--master", db_, "--registry", db_ + ".registry.json", "--audit-file", trail_}))
      << log();
  json ask = {{"object", "/web/docs"}, {"actions", "r"}, {"user", "bob"}};
  ASSERT_EQ(gxtest::requestOnce(port_, gxtest::httpRequest("POST", "/v1/check", "", ask.dump())).status, 200);
  EXPECT_EQ(daemon_.signal(SIGTERM, std::chrono::seconds(20)), 0) << log();
  hx_digest_record digest;
  unsigned long st = 0;
  hx_digest_read((replica + ".digest").c_str(), digest, st);
  ASSERT_EQ(st, 0u);
  auto all = records({trail_});
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]["digest"], digest.sha256) << all[0].dump();
  EXPECT_EQ(all[0]["user"]["name"], "bob") << all[0].dump();  // the caller as the question named it
  daCachedStore master("Default", db_.c_str(), 1, 0);
  unsigned long seq = 0;
  master.openStore(1, st);
  master.getLocalSeqNum(seq);
  EXPECT_EQ(all[0]["sequence"], seq);
  EXPECT_FALSE(all[0]["user"]["uuid"].get<std::string>().empty()) << all[0].dump();
}

// The test is the syslog daemon: a datagram socket of its own, named by
// --audit-syslog-socket. A message is one record, whole, behind the
// authpriv.info header; a daemon that is away loses records, counted.
TEST_F(GxpolicydAudit, SyslogMessagesCarryOneRecordEachAndLossesAreCounted) {
  std::string socketPath = dir_.file("log");
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer{fd};
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr const*>(&addr), sizeof addr), 0);
  timeval wait{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  ASSERT_TRUE(start({"--audit-syslog", "--audit-syslog-socket", socketPath})) << log();
  json ask = {{"object", "/web/docs"}, {"actions", "r"}, {"user", "bob"}};
  ASSERT_EQ(gxtest::requestOnce(port_, gxtest::httpRequest("POST", "/v1/check", "", ask.dump())).status, 200);
  char buffer[8192];
  ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  ASSERT_GT(n, 0) << log();
  std::string message(buffer, static_cast<std::size_t>(n));
  EXPECT_EQ(message.rfind("<86>", 0), 0u) << message;
  std::size_t body = message.find("gxpolicyd[");
  ASSERT_NE(body, std::string::npos) << message;
  json record = json::parse(message.substr(message.find("]: ", body) + 3));
  EXPECT_EQ(record["object"], "/web/docs");
  EXPECT_EQ(record["user"]["name"], "bob");

  ::close(std::exchange(closer.fd, -1));  // the syslog daemon goes away
  ::unlink(socketPath.c_str());
  ASSERT_EQ(gxtest::requestOnce(port_, gxtest::httpRequest("POST", "/v1/check", "", ask.dump())).status, 200);
  EXPECT_TRUE(gxtest::within(std::chrono::seconds(10), [&] {
    return metrics().find("gxpolicyd_audit_records_total{result=\"lost\"} 1") != std::string::npos;
  })) << metrics();
}

TEST_F(GxpolicydAudit, UnusableAuditFileStopsTheStart) {
  std::string elsewhere = dir_.file("elsewhere.log");
  ASSERT_EQ(::symlink(elsewhere.c_str(), trail_.c_str()), 0);
  EXPECT_FALSE(start({"--audit-file", trail_}));
  EXPECT_TRUE(daemon_.exited());
  EXPECT_EQ(daemon_.status(), 2);
  EXPECT_NE(log().find(trail_ + " is a symbolic link"), std::string::npos) << log();
  EXPECT_FALSE(std::filesystem::exists(elsewhere));
}

}  // namespace
