// The local policy replica: file moves and copies, database replacement and
// rebuild with backups, the opening checks, the monitor, and replication
// from a master file with daFileReplicatedClient.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/MrDomainMan.h"
#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/db/daReplicaRegistry.h"
#include "outside/hxdigest.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using gxtest::hasAcl;
using gxtest::inChild;
using gxtest::MessageCapture;
using gxtest::putAcl;
using gxtest::readFile;
using gxtest::TempDir;

unsigned int modeOf(std::string const& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

// A policy database with the default catalogue, version information (none
// when version is 0) and one ACL per name.
void makeDb(std::string const& path, std::vector<std::string> const& acls, uint32_t version = 0x600) {
  gxtest::makePolicyDb(path, acls, version, "lp");
}

unsigned long seqOf(std::string const& path) {
  daLocalStore s("lp", path.c_str());
  unsigned long st = 0, seq = daLocalStore::invalidSeqnum;
  s.openStore(1, st);
  s.getLocalSeqNum(seq);
  return seq;
}

// A replica at path fed by client (none: no replication), opened.
std::unique_ptr<daLocalPolicy> openReplica(std::string const& path, daAbstractReplicatedClient* client,
                                           int cacheEnabled = 1) {
  auto p = std::make_unique<daLocalPolicy>("lp", path.c_str(), cacheEnabled, 0);
  p->setReplicatedClient(client);
  unsigned long st = 1;
  p->openPolicy(1, st);
  EXPECT_EQ(st, 0u);
  return p;
}

// A client driven by the test: it reports the master at sequence 0 and,
// asked to replicate, copies source to the target (when set) and answers
// replicateStatus.
class ScriptedClient : public daAbstractReplicatedClient {
 public:
  void getMasterSeqNum(unsigned long& seq, unsigned long& status) override {
    seq = 0;
    status = 0;
  }
  void replicateTo(unsigned long&, char const* path, unsigned long& status) override {
    status = 0;
    if (!source.empty()) copyFile(source.c_str(), path, status);
    if (status == 0) status = replicateStatus;
  }
  unsigned long replicateStatus = 0;
  std::string source;
};

class LocalPolicy : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("replica.db");
    makeDb(path_, {"old"});
    original_ = readFile(path_);
  }
  // A policy on the replica; with openIt its store is opened (read-only).
  std::unique_ptr<daLocalPolicy> open(int cacheEnabled = 0, ScriptedClient* client = nullptr, bool openIt = false) {
    auto p = std::make_unique<daLocalPolicy>("lp", path_.c_str(), cacheEnabled, 0);
    p->setReplicatedClient(client);
    unsigned long st = 0;
    if (openIt) p->openStore(1, st);
    EXPECT_EQ(st, 0u);
    return p;
  }
  // Points the client at a fresh master copy holding these ACLs.
  void giveSource(ScriptedClient& client, std::vector<std::string> const& acls) {
    client.source = dir_.file("fresh.db");
    fs::remove(client.source);
    makeDb(client.source, acls);
  }
  static unsigned long rebuild(daLocalPolicy& p) {
    unsigned long st = 1;
    p.rebuildDatabase(st);
    return st;
  }
  std::string tmp() const { return path_ + ".tmp"; }
  std::string backup() const { return path_ + ".backup"; }

  MessageCapture quiet_;  // rebuilds report progress; keep it off the test output
  TempDir dir_;
  std::string path_;
  std::string original_;  // the replica file's first contents
};

// ---- file work ----------------------------------------------------------------------

TEST(LocalPolicyFiles, MoveFileReplacesAnExistingTargetAndReportsAMissingSourceQuietly) {
  TempDir dir;
  gxtest::writeFile(dir.file("a"), "new");
  gxtest::writeFile(dir.file("b"), "old");
  MessageCapture messages;
  unsigned long st = 1;
  moveFile(dir.file("a").c_str(), dir.file("b").c_str(), st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(readFile(dir.file("b")), "new");
  EXPECT_FALSE(fs::exists(dir.file("a")));
  moveFile(dir.file("a").c_str(), dir.file("c").c_str(), st);
  EXPECT_EQ(st, 0x1354A2F6u);
  EXPECT_TRUE(messages.all().empty());
}

// ---- replacement and rebuild -------------------------------------------------------

TEST_F(LocalPolicy, FailedClientLeavesTheDatabaseAndBacksItUp) {
  ScriptedClient client;
  giveSource(client, {"new"});
  client.replicateStatus = 0x1234;  // writes the copy, then reports failure
  auto p = open(0, &client, true);
  EXPECT_EQ(rebuild(*p), 0x1234u);
  EXPECT_EQ(readFile(path_), original_);
  EXPECT_FALSE(fs::exists(tmp()));
  EXPECT_EQ(readFile(backup()), original_);
  EXPECT_EQ(modeOf(backup()), 0600u);
  EXPECT_TRUE(hasAcl(*p, "old"));
}

TEST_F(LocalPolicy, FreshFileThatCannotBeMovedInPutsThePreviousBack) {
  ScriptedClient client;  // reports success but writes nothing
  auto p = open(0, &client, true);
  MessageCapture messages;
  EXPECT_EQ(rebuild(*p), 0x1354A2F6u);
  EXPECT_EQ(messages.count(0x13279425), 1u);
  EXPECT_TRUE(p->isStoreOpen());
  EXPECT_TRUE(hasAcl(*p, "old"));
  EXPECT_EQ(readFile(path_), original_);
  EXPECT_FALSE(fs::exists(backup()));
}

TEST_F(LocalPolicy, RebuildLocksTheCurrentDomainsReplicaOrThisStore) {
  struct Manager : MrDomainMan {
    unsigned long openDomains() override { return 0; }
    unsigned long closeDomains() override { return 0; }
    unsigned long refreshDomain(char const*) override { return 0; }
  } manager;
  MrDomainMan::setDomainManager(&manager);
  ScriptedClient client;
  giveSource(client, {"new"});
  auto p = open(0, &client, true);
  EXPECT_EQ(rebuild(*p), 0u);  // no current domain: must not throw
  EXPECT_TRUE(hasAcl(*p, "new"));

  // Working for the domain whose replica this is: its lock is taken.
  daLocalDomain domain("lp", p.get());
  manager.addDomain(&domain);
  manager.setCurrentDomainName("lp");
  giveSource(client, {"newest"});
  EXPECT_EQ(rebuild(*p), 0u);
  EXPECT_TRUE(hasAcl(*p, "newest"));
  manager.clearCurrentDomainName();
}  // the manager uninstalls itself

// ---- opening -------------------------------------------------------------------------

TEST_F(LocalPolicy, OldOrUnversionedDatabaseIsRefusedButTheStoreStaysOpen) {
  struct { uint32_t version; unsigned long status; std::vector<std::string> inserts; } const cases[] = {
      {0x5FF, 0x1005B1C5, {"1535", "1536"}}, {0, 0x1005B1C7, {}}};
  for (auto const& c : cases) {
    SCOPED_TRACE(c.version);
    fs::remove(path_);
    makeDb(path_, {"old"}, c.version);
    ScriptedClient client;
    auto p = open(0, &client);
    MessageCapture messages;
    unsigned long st = 0;
    p->openStore(1, st);
    EXPECT_EQ(st, c.status);
    EXPECT_TRUE(p->isStoreOpen());
    EXPECT_EQ(messages.count(c.status), 1u);
    EXPECT_EQ(messages.inserts(c.status), c.inserts);
    // Without a client the version is not examined.
    daLocalPolicy plain("lp", path_.c_str(), 0, 0);
    plain.openStore(1, st);
    EXPECT_EQ(st, 0u);
  }
}

// ---- monitor ---------------------------------------------------------------------------

// The monitor tests run a thread of the store's own.
class LocalPolicyMonitorConcurrency : public LocalPolicy {};

TEST_F(LocalPolicyMonitorConcurrency, MonitorRunsOnlyWithACacheAndStopsTwiceHarmlessly) {
  unsigned long st = 1;
  auto uncached = open(0);
  uncached->openPolicy(1, st);
  EXPECT_EQ(st, 0u);
  EXPECT_FALSE(uncached->isMonitorRunning());
  uncached->closePolicy(st);
  EXPECT_FALSE(uncached->isMonitorRunning());

  auto p = open(1);
  p->openPolicy(1, st);
  ASSERT_TRUE(p->isMonitorRunning());
  p->stopMonitorThread();
  EXPECT_FALSE(p->isMonitorRunning());
  p->stopMonitorThread();
  EXPECT_FALSE(p->isMonitorRunning());
  p->closePolicy(st);
}

TEST_F(LocalPolicyMonitorConcurrency, MonitorClearsAFullCacheAndStopsPromptly) {
  daLocalPolicy p("lp", path_.c_str(), 1, 256);  // the smallest cache
  unsigned long st = 0;
  p.openPolicy(1, st);
  ASSERT_EQ(st, 0u);
  ASSERT_TRUE(p.isMonitorRunning());
  {
    // Names the database does not have fill the cache as absent entries.
    daCacheStateLock shared(p, daCachedStore::open);
    for (int i = 0; i < 256; ++i) {
      Handle<daStoreObject> h;
      p.getObject(daAclName(("a" + std::to_string(i)).c_str()), h, st);
      ASSERT_EQ(st, 0x132792F1u);
    }
  }
  // The monitor wakes every 30 ms; allow it plenty of rounds.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (p.getCacheCount() >= 256 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_LT(p.getCacheCount(), 256u);

  auto started = std::chrono::steady_clock::now();
  p.closePolicy(st);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
  EXPECT_FALSE(p.isMonitorRunning());
}

// ---- replication from a master file ---------------------------------------------------

class LocalPolicyReplication : public LocalPolicy {
 protected:
  void SetUp() override {
    LocalPolicy::SetUp();
    master_ = dir_.file("master.db");
    makeDb(master_, {"m0", "m1", "shared"});
  }
  // Installs the master into replica (no cache) and closes it again.
  static void installAndClose(daLocalPolicy& replica, daFileReplicatedClient& client) {
    replica.setReplicatedClient(&client);
    unsigned long st = 1;
    replica.openPolicy(1, st);
    ASSERT_EQ(st, 0u);
    replica.closePolicy(st);
  }
  // Writes bytes as a record of type under key into the master, as a raw
  // put does: nothing checks that they decode.
  void putRawRecord(char const* key, uint32_t type, std::string bytes) {
    daLocalStore writer("lp", master_.c_str());
    unsigned long st = 0, seq = 0;
    writer.openStore(0, st);
    gxobj_t rec{nullptr, 0, type, static_cast<uint32_t>(bytes.size()), reinterpret_cast<unsigned char*>(bytes.data())};
    writer.setObject(ZUTF8String_6_0(key), rec, seq, st);
    ASSERT_EQ(st, 0u);
  }
  std::string master_;
};

TEST_F(LocalPolicyReplication, ReplicaBuiltFromTheMasterAnswersWithItsData) {
  daFileReplicatedClient client(master_.c_str(), "lp");
  // The master stays open for writing in this process meanwhile.
  daLocalStore writer("lp", master_.c_str());
  unsigned long st = 0;
  writer.openStore(0, st);
  ASSERT_EQ(st, 0u);
  putAcl(writer, "m2");

  daLocalPolicy replica("lp", path_.c_str(), 1, 0);
  replica.setReplicatedClient(&client);
  EXPECT_EQ(replica.isStoreCurrent(), 0u);
  replica.openPolicy(1, st);
  ASSERT_EQ(st, 0u);
  EXPECT_TRUE(hasAcl(replica, "m2"));
  EXPECT_TRUE(hasAcl(replica, "shared"));
  EXPECT_FALSE(hasAcl(replica, "old"));
  EXPECT_EQ(replica.isStoreCurrent(), 1u);
  EXPECT_TRUE(fs::exists(backup()));
  EXPECT_FALSE(fs::exists(tmp()));

  // Current now: reopening does not replicate again.
  std::string installed = readFile(path_);
  replica.closePolicy(st);
  replica.openPolicy(1, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(readFile(path_), installed);
}

// Two writer processes on one master: every write gets a number of its own,
// read and advanced inside its database transaction, so a long-running
// writer's next write moves the master past what a replica has seen and
// the replica picks it up.
TEST_F(LocalPolicyReplication, WritersInTwoProcessesNeverReuseASequenceNumber) {
  unsigned long st = 0;
  unsigned long before = seqOf(master_);
  daLocalStore longRunning("lp", master_.c_str());
  longRunning.openStore(0, st);
  ASSERT_EQ(st, 0u);
  putAcl(longRunning, "first");
  auto writer = [&](char const* prefix) {
    daLocalStore w("lp", master_.c_str());
    unsigned long ws = 0;
    w.openStore(0, ws);
    for (int i = 0; ws == 0 && i < 100; ++i) putAcl(w, (prefix + std::to_string(i)).c_str());
    return ws == 0 && !::testing::Test::HasFailure() ? 0 : 1;
  };
  pid_t a = ::fork();
  if (a == 0) ::_exit(writer("a"));
  EXPECT_EQ(inChild([&] { return writer("b"); }), 0);
  int ws = 0;
  ::waitpid(a, &ws, 0);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
  EXPECT_EQ(seqOf(master_), before + 201);  // one number per write, none reused

  daFileReplicatedClient client(master_.c_str(), "lp");
  {
    auto replica = openReplica(path_, &client);
    EXPECT_TRUE(hasAcl(*replica, "a99"));
    EXPECT_TRUE(hasAcl(*replica, "b99"));
  }
  putAcl(longRunning, "last");  // the writer that opened first writes again
  EXPECT_TRUE(hasAcl(*openReplica(path_, &client), "last"));
}

TEST_F(LocalPolicyReplication, FileClientAnswersCurrentAndHandsOverNoCopyAReplicaWouldRefuse) {
  daFileReplicatedClient client(master_.c_str(), "lp");
  unsigned long seq = 0, st = 0;
  client.getMasterSeqNum(seq, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(seq, seqOf(master_));
  client.replicateTo(seq, tmp().c_str(), st);
  EXPECT_EQ(st, 0x13279262u);
  EXPECT_FALSE(fs::exists(tmp()));

  daFileReplicatedClient missing(dir_.file("none.db").c_str(), "lp");
  missing.getMasterSeqNum(seq, st);
  EXPECT_NE(st, 0u);
  EXPECT_EQ(seq, daLocalStore::invalidSeqnum);

  for (auto [version, status] : {std::pair<uint32_t, unsigned long>{0x5FF, 0x1005B1C5}, {0, 0x1005B1C7}}) {
    std::string old = dir_.file(("master-" + std::to_string(version) + ".db").c_str());
    makeDb(old, {"m0"}, version);
    seq = daLocalStore::invalidSeqnum;
    daFileReplicatedClient(old.c_str(), "lp").replicateTo(seq, tmp().c_str(), st);
    EXPECT_EQ(st, status) << version;
    EXPECT_FALSE(fs::exists(tmp()));
  }
}

TEST_F(LocalPolicyReplication, CorruptMasterIsRefusedAndTheReplicaKeepsServing) {
  putRawRecord(daAclName("broken").getFullName().getChars(), 0x50D, "\x30\x05garbage");
  daFileReplicatedClient client(master_.c_str(), "lp");
  MessageCapture messages;
  auto replica = openReplica(path_, &client, 0);  // the old replica is still usable
  EXPECT_EQ(messages.count(0x1327925B), 1u);
  EXPECT_EQ(messages.count(0x13279261), 1u);
  EXPECT_TRUE(hasAcl(*replica, "old"));
  EXPECT_FALSE(hasAcl(*replica, "m0"));
  EXPECT_FALSE(fs::exists(tmp()) || fs::exists(tmp() + "-lock"));

  unsigned long seq = 0, st = 0;
  client.replicateTo(seq, dir_.file("copy.db").c_str(), st);
  EXPECT_NE(st, 0u);
  EXPECT_FALSE(fs::exists(dir_.file("copy.db")));
}

// Writes bytes at offset of the file at path, in place.
void overwrite(std::string const& path, size_t offset, std::string const& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// An offset inside the free space of page 2 (between its node pointers and
// its nodes): changing it alters the file's digest but nothing a reader uses.
size_t unusedByte(std::string const& path) {
  std::string file = readFile(path);
  uint16_t lower = 0, upper = 0;
  std::memcpy(&lower, &file[2 * 4096 + 12], 2);
  std::memcpy(&upper, &file[2 * 4096 + 14], 2);
  return 2 * 4096 + (lower + upper) / 2;
}

// Rot under an unchanged identity: bytes that change while the file's
// times stay as they were (the disk's own damage). Writing through the file
// system moves the change time, so the record is made to name the file's
// identity now, its digest staying the one of the intact file.
void rotUnderTheRecord(std::string const& path) {
  std::string record = path + daLocalPolicy::digestSuffix;
  hx_digest_record r;
  unsigned long st = 0;
  hx_digest_read(record.c_str(), r, st);
  ASSERT_EQ(st, 0u);
  overwrite(path, unusedByte(path), "rot");
  hx_file_identify(path.c_str(), r.file, st);
  ASSERT_EQ(st, 0u);
  hx_digest_write(record.c_str(), r, st);
  ASSERT_EQ(st, 0u);
}

TEST_F(LocalPolicyReplication, DamagedReplicaAtTheMastersNumberIsSetAsideAndRebuilt) {
  daFileReplicatedClient client(master_.c_str(), "lp");
  daLocalPolicy replica("lp", path_.c_str(), 0, 0);
  installAndClose(replica, client);
  unsigned long st = 1;
  std::string digest = path_ + daLocalPolicy::digestSuffix, damaged = path_ + daLocalPolicy::damagedSuffix;
  ASSERT_TRUE(fs::exists(digest));

  // Bytes changed at rest, the sequence number untouched: the digest tells.
  rotUnderTheRecord(path_);
  std::string rotten = readFile(path_);
  MessageCapture messages;
  replica.openPolicy(1, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(messages.count(0x13279430), 1u);
  EXPECT_EQ(readFile(damaged), rotten);
  EXPECT_TRUE(hasAcl(replica, "m0"));
  replica.closePolicy(st);

  // No digest record: the structure is verified; a sound file is kept and
  // gets a record, a damaged one is set aside.
  std::string installed = readFile(path_);
  fs::remove(digest);
  replica.openPolicy(1, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(readFile(path_), installed);
  EXPECT_TRUE(fs::exists(digest));
  replica.closePolicy(st);
  fs::remove(digest);
  fs::resize_file(path_, fs::file_size(path_) / 2);
  replica.openPolicy(1, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(messages.count(0x13279430), 2u);
  EXPECT_TRUE(hasAcl(replica, "shared"));
}

TEST_F(LocalPolicyReplication, CheckReplicaRebuildsAnOpenReplicaThatNoLongerMatches) {
  daFileReplicatedClient client(master_.c_str(), "lp");
  auto replica = openReplica(path_, &client);
  unsigned long st = 1;
  replica->checkReplica(st);
  EXPECT_EQ(st, 0u);
  EXPECT_FALSE(fs::exists(path_ + daLocalPolicy::damagedSuffix));

  rotUnderTheRecord(path_);
  MessageCapture messages;
  replica->checkReplica(st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(messages.count(0x13279430), 1u);
  EXPECT_TRUE(fs::exists(path_ + daLocalPolicy::damagedSuffix));
  EXPECT_TRUE(replica->isStoreOpen());
  EXPECT_TRUE(hasAcl(*replica, "m1"));
}

// A replica file replaced outside the library by a sound database, written
// into the same inode (as copying over it does): the old record names the
// inode but not the file's times, so the file is verified, kept and
// recorded anew, not condemned. The master is gone, so a rebuild would
// fail: the replaced file must serve, with P.backup a copy of it.
TEST_F(LocalPolicyReplication, SoundReplicaReplacedUnderTheSameInodeIsKeptAndRecordedAnew) {
  daFileReplicatedClient client(master_.c_str(), "lp");
  daLocalPolicy replica("lp", path_.c_str(), 0, 0);
  installAndClose(replica, client);
  unsigned long st = 1;
  std::string record = path_ + daLocalPolicy::digestSuffix;
  ASSERT_TRUE(fs::exists(record));
  struct stat before {};
  ::stat(path_.c_str(), &before);

  std::string other = dir_.file("other.db");
  makeDb(other, {"swapped"});
  std::ofstream(path_, std::ios::binary | std::ios::trunc) << readFile(other);
  struct stat after {};
  ::stat(path_.c_str(), &after);
  ASSERT_EQ(after.st_ino, before.st_ino);
  fs::remove(master_);

  MessageCapture messages;
  replica.openPolicy(1, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(messages.count(0x13279430), 0u);
  EXPECT_FALSE(fs::exists(path_ + daLocalPolicy::damagedSuffix));
  EXPECT_TRUE(hasAcl(replica, "swapped"));
  EXPECT_EQ(readFile(backup()), readFile(other));
  hx_digest_record r;
  hx_digest_read(record.c_str(), r, st);
  ASSERT_EQ(st, 0u);
  hx_file_identity now;
  hx_file_identify(path_.c_str(), now, st);
  EXPECT_TRUE(r.file == now);
}

// A master file put back from an older copy: the replica keeps its newer
// database (rollback refused, P.backup a copy of it) unless the client is
// told to accept it.
TEST_F(LocalPolicyReplication, OlderMasterIsRefusedUnlessARollbackIsAllowed) {
  std::string older = dir_.file("older.db");
  fs::copy_file(master_, older);
  gxtest::addAcls(master_, {"granted-later"}, "lp");
  daFileReplicatedClient client(master_.c_str(), "lp");
  auto replica = openReplica(path_, &client, 0);
  ASSERT_TRUE(hasAcl(*replica, "granted-later"));
  unsigned long newer = seqOf(path_);

  fs::copy_file(older, master_, fs::copy_options::overwrite_existing);
  fs::remove(hx_db_lock_file(master_.c_str()));
  unsigned long st = 1;
  replica->rebuildDatabase(st);
  EXPECT_EQ(st, daAbstractReplicatedClient::s_replica_rollback);
  EXPECT_EQ(replica->lastRebuildStatus(), daAbstractReplicatedClient::s_replica_rollback);
  EXPECT_EQ(seqOf(path_), newer);
  EXPECT_TRUE(hasAcl(*replica, "granted-later"));
  EXPECT_EQ(readFile(backup()), readFile(path_));

  client.setAllowRollback(true);
  replica->rebuildDatabase(st);
  EXPECT_EQ(st, 0u);
  EXPECT_FALSE(hasAcl(*replica, "granted-later"));
  EXPECT_TRUE(hasAcl(*replica, "m0"));
  EXPECT_TRUE(daAbstractReplicatedClient::isOlderSequence(0xFFFFFFFEul, 0ul));  // the numbers wrap
  EXPECT_FALSE(daAbstractReplicatedClient::isOlderSequence(0ul, 0xFFFFFFFEul));
}

// A record of a type no class decodes (as a raw put writes) is carried to
// the replica; it does not stop the rest of the policy from replicating.
// A master that is itself a replica fed by deltas holds its contents'
// digest under a bookkeeping key: carried like the sequence number, without
// the unknown-type warning a policy record of no known type gets.
TEST_F(LocalPolicyReplication, RecordOfAnUnknownTypeDoesNotStopReplication) {
  putRawRecord("/note", 1286, "a note");
  putRawRecord(daLocalStore::dbDigestName, 1286, std::string(36, 'd'));
  gxtest::addAcls(master_, {"after-the-note"}, "lp");
  daFileReplicatedClient client(master_.c_str(), "lp");
  gxtest::MessageCapture messages;
  auto replica = openReplica(path_, &client, 0);
  EXPECT_TRUE(hasAcl(*replica, "after-the-note"));
  EXPECT_EQ(seqOf(path_), seqOf(master_));
  EXPECT_EQ(messages.count(da_m_read_failed), 1u);  // the note's, not the digest's
}

// The master's user registry travels with it, atomically and owner-only; a
// damaged one is refused and the replica's kept, the policy replicating
// regardless.
TEST_F(LocalPolicyReplication, MastersRegistryIsCopiedBesideTheReplicaAndADamagedOneRefused) {
  std::string good = R"({"users": [{"name": "alice", "uuid": "6f1c2a3e-0b1d-4c2e-9f00-000000000001", )"
                     R"("groups": ["hr"]}], "groups": [{"name": "hr", "uuid": "6f1c2a3e-0b1d-4c2e-9f00-000000000002"}]})";
  gxtest::writeFile(master_ + ".registry.json", good);
  daFileReplicatedClient client(master_.c_str(), "lp");
  auto replica = openReplica(path_, &client, 0);
  std::string beside = path_ + ".registry.json";
  EXPECT_EQ(readFile(beside), good);
  EXPECT_EQ(modeOf(beside), 0600u);

  gxtest::writeFile(master_ + ".registry.json", "{\"users\": [{\"name\": \"\"}]}");
  gxtest::addAcls(master_, {"m9"}, "lp");
  unsigned long st = 1;
  replica->rebuildDatabase(st);
  EXPECT_EQ(st, 0u);
  EXPECT_TRUE(hasAcl(*replica, "m9"));
  EXPECT_EQ(readFile(beside), good);
  client.afterReplication(path_.c_str(), st);
  EXPECT_EQ(st, da_s_snapshot_bad_registry);
}

TEST_F(LocalPolicyReplication, StructurallyDamagedMasterIsNeverMapped) {
  daFileReplicatedClient client(master_.c_str(), "lp");
  unsigned long seq = 0, st = 0;
  client.getMasterSeqNum(seq, st);
  ASSERT_EQ(st, 0u);
  overwrite(master_, 2 * 4096 + 12, std::string("\xff\xff", 2));  // page 2's bounds run past the page
  MessageCapture messages;
  client.getMasterSeqNum(seq, st);
  EXPECT_EQ(st, hx_db_s_corrupt);
  EXPECT_EQ(seq, daLocalStore::invalidSeqnum);
  seq = daLocalStore::invalidSeqnum;
  client.replicateTo(seq, tmp().c_str(), st);
  EXPECT_EQ(st, hx_db_s_corrupt);
  EXPECT_FALSE(fs::exists(tmp()));

  EXPECT_TRUE(hasAcl(*openReplica(path_, &client, 0), "old"));  // the last good copy goes on serving
}

// ---- readers during a rebuild ------------------------------------------------------------

TEST(LocalPolicyConcurrency, ReadersKeepReadingWhileARebuildSwapsTheFile) {
  MessageCapture quiet;
  TempDir dir;
  std::string path = dir.file("replica.db");
  std::string master = dir.file("master.db");
  makeDb(path, {"shared", "old"});
  makeDb(master, {"shared", "new", "m1", "m2"});
  daFileReplicatedClient client(master.c_str(), "lp");
  daLocalPolicy replica("lp", path.c_str(), 1, 0);
  unsigned long st = 0;
  replica.openPolicy(1, st);  // no client yet: the old file is served
  ASSERT_EQ(st, 0u);
  replica.setReplicatedClient(&client);

  std::atomic<bool> stop{false};
  std::atomic<int> failures{0}, reads{0}, sawNew{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        // Back-to-back requests: the waiting rebuild must still get the
        // state lock (a reader-preferring lock would starve it).
        daCacheStateLock shared(replica, daCachedStore::open);
        Handle<daStoreObject> h;
        unsigned long rs = 0;
        replica.getObject(daAclName("shared"), h, rs);
        if (rs != 0 || h.isEmpty() || h->getName().isEmpty()) ++failures;
        Handle<daStoreObject> n;
        replica.getObject(daAclName("new"), n, rs);
        if (rs == 0) ++sawNew;
        ++reads;
      }
    });
  }
  while (reads.load() < 50) std::this_thread::yield();
  replica.rebuildDatabase(st);
  EXPECT_EQ(st, 0u);
  int before = sawNew.load();
  while (sawNew.load() < before + 10) std::this_thread::yield();
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(hasAcl(replica, "m2"));
  EXPECT_FALSE(hasAcl(replica, "old"));
}


// Hosts run many processes on one replica. One keeps reading the file it
// opened across 20 rebuilds done by another; after each rebuild a new
// process opens the replica and finds the master's latest policy.
TEST(LocalPolicyProcesses, OthersSurviveRebuildsAndNewOnesOpenTheNewFile) {
  TempDir dir;
  std::string master = dir.file("master.db"), replica = dir.file("replica.db"), stop = dir.file("stop"),
              ready = dir.file("ready");
  makeDb(master, {"v0"});
  auto refresh = [&] {
    daFileReplicatedClient client(master.c_str(), "lp");
    openReplica(replica, &client);  // rebuilt: the master has moved on
  };
  auto reads = [&](char const* acl) {
    daLocalPolicy r("lp", replica.c_str(), 1, 0);
    unsigned long st = 0;
    r.openPolicy(1, st);
    return st == 0 && hasAcl(r, acl);
  };
  refresh();
  // Transactions of the replica's own, so that its lock file records a
  // later transaction than any fresh copy will have.
  gxtest::addAcls(replica, std::vector<std::string>(5, "local"), "lp");
  // The master moves as far, so that the replica is not ahead of it (an
  // older master would be refused as a rollback).
  gxtest::addAcls(master, std::vector<std::string>(5, "ahead"), "lp");
  pid_t reader = ::fork();
  if (reader == 0) {
    ::alarm(120);
    daLocalPolicy r("lp", replica.c_str(), 1, 0);
    unsigned long st = 0;
    r.openPolicy(1, st);
    gxtest::writeFile(ready, "");
    int failures = st == 0 ? 0 : 1;
    while (!fs::exists(stop)) failures += hasAcl(r, "v0") ? 0 : 1;
    ::_exit(failures == 0 ? 0 : 1);
  }
  while (!fs::exists(ready)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (int i = 1; i <= 20; ++i) {
    std::string name = "v" + std::to_string(i);
    gxtest::addAcls(master, {name}, "lp");
    refresh();
    ASSERT_EQ(inChild([&] { return reads(name.c_str()) ? 0 : 1; }), 0) << "after rebuild " << i;
  }
  gxtest::writeFile(stop, "");
  int ws = 0;
  ::waitpid(reader, &ws, 0);
  EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0) << "the long-lived reader failed";
}

}  // namespace
