// Transactions: pending changes, the commit's swap and write passes,
// failed items, observers, and one update transaction at a time.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "GxCore/GxAcl.h"
#include "GxCore/db/daCachedStore.h"
#include "test_support.h"

namespace {

class Transactions : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("tx.db");
    unsigned long st;
    daLocalStore creator("d", path_.c_str());
    creator.createStore(st);
    store_ = std::make_unique<daCachedStore>("d", path_.c_str(), 1, 0);
    store_->openStore(0, st);
    ASSERT_EQ(st, 0u);
  }
  unsigned long seq() {
    unsigned long s, st;
    store_->getSeqNum(s, st);
    return s;
  }
  bool inFile(daStoreObjectName const& n) {
    gxobj_t rec{};
    unsigned long s, st;
    store_->getObject(n.getFullName(), rec, s, st);
    hxAsnFreeObj(rec);
    return st == 0;
  }
  struct Counter : ZObserverInterface_6_0 {
    int calls = 0;
    void update(ZAbstractObservable_6_0&, ZObservedParm_6_0 const&) override { ++calls; }
  };

  gxtest::TempDir dir_;
  std::string path_;
  std::unique_ptr<daCachedStore> store_;
};

TEST_F(Transactions, CommittedSetIsTheVeryObjectOldHandlesStayValidAndDeletesAreCached) {
  unsigned long st;
  store_->setObject(daAclName("a"), new GxACL(), st);
  ASSERT_EQ(st, 0u);
  Handle<daStoreObject> old;
  store_->getObject(daAclName("a"), old, st);
  ASSERT_EQ(st, 0u);
  auto* replacement = new GxACL();
  store_->setObject(daAclName("a"), replacement, st);
  ASSERT_EQ(st, 0u);
  Handle<daStoreObject> now;
  store_->getObject(daAclName("a"), now, st);
  EXPECT_EQ(now.get(), replacement);
  EXPECT_NE(old.get(), replacement);
  EXPECT_EQ(old.entry->removed, 1);
  old.release();  // deletes the replaced entry (ASan checks)
  EXPECT_TRUE(inFile(daAclName("a")));

  // A committed delete is answered from the cache: put back behind the
  // cache's back, the record stays absent to readers.
  now.release();
  store_->deleteObject(daAclName("a"), 0, st);
  ASSERT_EQ(st, 0u);
  EXPECT_FALSE(inFile(daAclName("a")));
  gxtest::putAcl(*store_, "a");
  store_->getObject(daAclName("a"), now, st);
  EXPECT_EQ(st, 0x132792F1u);
}

TEST_F(Transactions, SetThenDeleteCommitsOnlyTheDelete) {
  unsigned long st;
  daTransaction t;
  store_->beginTransaction(t, daTransactionMode::update, st);
  st = 0xdead;
  store_->setObject(t, daAclName("a"), new GxACL(), st);
  EXPECT_EQ(st, 0u);  // staging a new name succeeds
  Handle<daStoreObject> pending;
  store_->getObject(t, daAclName("a"), pending, st);
  EXPECT_EQ(st, 0u);
  pending.release();
  store_->deleteObject(t, daAclName("a"), 0, st);
  store_->getObject(t, daAclName("a"), pending, st);
  EXPECT_EQ(st, 0x132792F1u);
  unsigned long before = seq();
  store_->commitTransaction(t, st);
  EXPECT_EQ(st, 0x1005B1CAu);  // the delete found nothing in the file
  EXPECT_EQ(seq(), before);
  EXPECT_FALSE(inFile(daAclName("a")));
  EXPECT_EQ(t.getStore(), nullptr);
}

TEST_F(Transactions, FailedItemIsReportedOthersWrittenObserversTold) {
  Counter observer;
  store_->addStoreAvailableObserver(&observer);
  unsigned long st, before = seq();
  unsigned long writes = hx_db_write_transactions(store_->getDBHandle());
  daTransaction t;
  store_->beginTransaction(t, daTransactionMode::update, st);
  store_->setObject(t, daAclName("x"), new GxACL(), st);
  store_->deleteObject(t, daAclName("missing"), 0, st);
  store_->setObject(t, daAclName("y"), new GxACL(), st);
  store_->commitTransaction(t, st);
  EXPECT_EQ(st, 0x1005B1CAu);
  EXPECT_TRUE(inFile(daAclName("x")));
  EXPECT_TRUE(inFile(daAclName("y")));
  EXPECT_EQ(seq(), before + 2);  // one number per record written
  EXPECT_EQ(hx_db_write_transactions(store_->getDBHandle()), writes + 1);
  EXPECT_EQ(observer.calls, 1);
  // A key too long for the file fails alone too.
  store_->beginTransaction(t, daTransactionMode::update, st);
  store_->setObject(t, daAclName(std::string(600, 'k').c_str()), new GxACL(), st);
  store_->deleteObject(t, daAclName("x"), 0, st);
  store_->commitTransaction(t, st);
  EXPECT_EQ(st, hx_db_s_bad_argument);
  EXPECT_FALSE(inFile(daAclName("x")));
  EXPECT_EQ(observer.calls, 2);
  // An empty update transaction writes nothing and tells nobody.
  writes = hx_db_write_transactions(store_->getDBHandle());
  store_->beginTransaction(t, daTransactionMode::update, st);
  store_->commitTransaction(t, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(hx_db_write_transactions(store_->getDBHandle()), writes);
  EXPECT_EQ(observer.calls, 2);
  store_->deleteStoreAvailableObserver(&observer);
}

TEST_F(Transactions, ThousandChangesAndARecursiveDeleteCommitInOneDatabaseTransaction) {
  unsigned long st;
  for (char const* k : {"/a", "/a/b", "/a/b/c", "/ab"}) gxtest::putObject(*store_, daPObjName(k), GxACL());
  auto name = [](int i) { return daAclName(("acl" + std::to_string(i)).c_str()); };
  daTransaction t;
  store_->beginTransaction(t, daTransactionMode::update, st);
  for (int i = 0; i < 200; ++i) store_->setObject(t, name(i), new GxACL(), st);
  store_->commitTransaction(t, st);
  ASSERT_EQ(st, 0u);

  unsigned long before = seq(), writes = hx_db_write_transactions(store_->getDBHandle());
  store_->beginTransaction(t, daTransactionMode::update, st);
  for (int i = 0; i < 100; ++i) store_->deleteObject(t, name(i), 0, st);
  for (int i = 200; i < 1099; ++i) store_->setObject(t, name(i), new GxACL(), st);
  store_->deleteObject(t, daPObjName("/a"), 1, st);
  store_->commitTransaction(t, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(hx_db_write_transactions(store_->getDBHandle()), writes + 1);
  EXPECT_EQ(seq(), before + 1000);
  unsigned long count;
  store_->getObjectCount(count, st);
  EXPECT_EQ(count, 2u + 1099 - 100 + 1);  // bookkeeping, ACLs, "/ab"
  EXPECT_FALSE(inFile(name(99)));
  EXPECT_TRUE(inFile(name(100)) && inFile(name(1098)));
  EXPECT_FALSE(inFile(daPObjName("/a")) || inFile(daPObjName("/a/b/c")));
  EXPECT_TRUE(inFile(daPObjName("/ab")));
}

// Another process commits into the file while this one has it open; the
// next commit here must take a sequence number after the other's, read
// from the file inside the write, not this process's stale copy.
TEST(TransactionProcesses, SequenceNumbersContinueAcrossProcesses) {
  gxtest::TempDir dir;
  std::string path = dir.file("shared.db");
  unsigned long st;
  daLocalStore("d", path.c_str()).createStore(st);
  ASSERT_EQ(st, 0u);
  int go[2], result[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(result), 0);
  // Forked before this process opens the file: the child opens its own
  // environment.
  pid_t pid = fork();
  if (pid == 0) {
    char c;
    if (read(go[0], &c, 1) != 1) _exit(2);
    daCachedStore store("d", path.c_str(), 1, 0);
    unsigned long s;
    store.openStore(0, s);
    if (s == 0) store.setObject(daAclName("child"), new GxACL(), s);
    unsigned long seqNum = 0;
    if (s == 0) store.getSeqNum(seqNum, s);
    _exit(s == 0 && write(result[1], &seqNum, sizeof seqNum) == sizeof seqNum ? 0 : 1);
  }
  daCachedStore store("d", path.c_str(), 1, 0);
  store.openStore(0, st);
  ASSERT_EQ(st, 0u);
  store.setObject(daAclName("parent1"), new GxACL(), st);
  unsigned long mine = 0, childs = 0;
  store.getSeqNum(mine, st);
  EXPECT_EQ(write(go[1], "g", 1), 1);
  EXPECT_EQ(read(result[0], &childs, sizeof childs), static_cast<ssize_t>(sizeof childs));
  int ws = 0;
  waitpid(pid, &ws, 0);
  ASSERT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
  EXPECT_EQ(childs, mine + 1);
  store.setObject(daAclName("parent2"), new GxACL(), st);
  ASSERT_EQ(st, 0u);
  store.getSeqNum(mine, st);
  EXPECT_EQ(mine, childs + 1);
  Handle<daStoreObject> h;
  store.getObject(daAclName("child"), h, st);
  EXPECT_EQ(st, 0u);
  for (int fd : {go[0], go[1], result[0], result[1]}) close(fd);
}

// A writer process killed at random moments, 200 times (50 under the
// sanitizers): every transaction it reported committed is there whole, and
// no transaction is there in part. The parent opens the file only at the
// end, so every writer opens its own environment.
TEST(TransactionProcesses, KilledWriterLeavesWholeTransactionsOnly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kRounds = 50, kMaxDelayUs = 80000;  // a writer starts slowly there
#else
  constexpr int kRounds = 200, kMaxDelayUs = 20000;
#endif
  constexpr int kRecords = 20;
  gxtest::TempDir dir;
  std::string path = dir.file("killed.db");
  unsigned long st;
  daLocalStore("d", path.c_str()).createStore(st);
  ASSERT_EQ(st, 0u);
  auto key = [](int round, int t) { return "w" + std::to_string(round) + "t" + std::to_string(t) + "r"; };
  std::set<std::string> reported;
  std::mt19937 rng(42);
  for (int round = 0; round < kRounds; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      daCachedStore store("d", path.c_str(), 1, 0);
      unsigned long s;
      store.openStore(0, s);
      for (int t = 0; s == 0; ++t) {
        daTransaction tx;
        store.beginTransaction(tx, daTransactionMode::update, s);
        for (int r = 0; r < kRecords; ++r) store.setObject(tx, daAclName((key(round, t) + std::to_string(r)).c_str()), new GxACL(), s);
        store.commitTransaction(tx, s);
        if (s == 0 && write(fds[1], &t, sizeof t) != sizeof t) _exit(1);
      }
      _exit(1);
    }
    close(fds[1]);
    // Every other round the kill waits for a first commit, so that commits
    // happen however slowly a loaded machine starts the writer.
    if (round % 2 == 1) {
      int first;
      if (read(fds[0], &first, sizeof first) == sizeof first) reported.insert(key(round, first));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % kMaxDelayUs));
    kill(pid, SIGKILL);
    int ws = 0;
    waitpid(pid, &ws, 0);
    EXPECT_TRUE(WIFSIGNALED(ws)) << "the writer stopped by itself in round " << round;
    int t;
    while (read(fds[0], &t, sizeof t) == sizeof t) reported.insert(key(round, t));
    close(fds[0]);
  }

  daLocalStore store("d", path.c_str());
  store.openStore(1, st);
  ASSERT_EQ(st, 0u);
  gxobj_name_list_s_t names{};
  unsigned long seq;
  store.listObjects(GxObjectName(daAclName::aclbasename_), 1, names, seq, st);
  ASSERT_EQ(st, 0u);
  std::map<std::string, int> found;  // transaction -> records present
  for (unsigned long i = 0; i < names.count; ++i) {
    std::string k = names.names[i];
    size_t r = k.rfind('r');
    if (r != std::string::npos && k.find("/w") != std::string::npos) ++found[k.substr(k.rfind('/') + 1, r - k.rfind('/'))];
  }
  freeNameList(names);
  for (auto const& [transaction, count] : found) EXPECT_EQ(count, kRecords) << transaction << " is there in part";
  for (auto const& transaction : reported) EXPECT_EQ(found[transaction], kRecords) << transaction << " was reported committed";
  EXPECT_FALSE(reported.empty());  // the writers did get to commit
}

TEST_F(Transactions, DiscardAndReadTransactionsChangeNothing) {
  unsigned long st;
  unsigned long before = seq();
  {
    daTransaction t;
    store_->beginTransaction(t, daTransactionMode::update, st);
    store_->setObject(t, daAclName("a"), new GxACL(), st);
  }  // destroyed while bound: discarded, its object deleted
  daTransaction r;
  store_->beginTransaction(r, daTransactionMode::read, st);
  store_->setObject(r, daAclName("b"), new GxACL(), st);
  EXPECT_NE(st, 0u);
  store_->commitTransaction(r, st);
  EXPECT_EQ(r.getStore(), nullptr);
  EXPECT_EQ(seq(), before);
  EXPECT_FALSE(inFile(daAclName("a")));
}

TEST_F(Transactions, ConcurrencySecondUpdateWaitsForTheFirst) {
  unsigned long st;
  daTransaction first;
  store_->beginTransaction(first, daTransactionMode::update, st);
  std::atomic<bool> secondBegan{false};
  std::thread other([&] {
    unsigned long s;
    daTransaction second;
    store_->beginTransaction(second, daTransactionMode::update, s);
    secondBegan = true;
    store_->setObject(second, daAclName("b"), new GxACL(), s);
    store_->commitTransaction(second, s);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(secondBegan.load());
  store_->setObject(first, daAclName("a"), new GxACL(), st);
  store_->commitTransaction(first, st);
  other.join();
  EXPECT_TRUE(secondBegan.load());
  EXPECT_TRUE(inFile(daAclName("a")));
  EXPECT_TRUE(inFile(daAclName("b")));
}

TEST_F(Transactions, ConcurrencyReadersRacingCommitsSeeOldOrNew) {
  unsigned long st;
  for (int i = 0; i < 8; ++i) store_->setObject(daAclName(("n" + std::to_string(i)).c_str()), new GxACL(), st);
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        for (int i = 0; i < 8; ++i) {
          unsigned long s;
          Handle<daStoreObject> h;
          store_->getObject(daAclName(("n" + std::to_string(i)).c_str()), h, s);
          if (s == 0) ASSERT_NE(dynamic_cast<GxACL*>(h.get()), nullptr);
          else ASSERT_EQ(s, 0x132792F1u);
        }
      }
    });
  }
  for (int round = 0; round < 40; ++round) {
    std::string n = "n" + std::to_string(round % 8);
    if (round % 3 == 0) store_->deleteObject(daAclName(n.c_str()), 0, st);
    else store_->setObject(daAclName(n.c_str()), new GxACL(), st);
  }
  stop = true;
  for (auto& th : readers) th.join();
}

}  // namespace
