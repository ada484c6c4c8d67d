// The database file service: files, records, iteration, map growth, damaged
// files and the process lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "outside/hxdb.h"
#include "test_support.h"

namespace {

using gxtest::inChild;
using gxtest::TempDir;

using Handle = gxtest::DbHandle;

struct RecordFree {
  void operator()(gxobj_t* r) const {
    unsigned long st;
    hx_db_data_free(hx_db_free_all, r, st);
  }
};
using Fetched = std::unique_ptr<gxobj_t, RecordFree>;

std::string lockName() {
  return std::string(MrProcessLockFactory::policyserverPrefix) + "hxdbtest" + std::to_string(getpid());
}

Handle open(std::string const& path, int mode, unsigned long& st) {
  return Handle(hx_db_lock_open(path.c_str(), mode, 2, MrProcessLockFactory::newLock(lockName().c_str()), st));
}

Handle mustOpen(std::string const& path, int mode = hx_db_mode_open) {
  unsigned long st = 1;
  Handle h = open(path, mode, st);
  EXPECT_EQ(st, 0u) << path;
  return h;
}

void put(hx_db_handle* h, std::string const& key, std::string const& bytes, uint32_t value = 0, uint32_t type = 7) {
  gxobj_t r{nullptr, value, type, static_cast<uint32_t>(bytes.size()),
            reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
  unsigned long st = 1;
  hx_db_store(h, key.c_str(), r, st);
  ASSERT_EQ(st, 0u) << key;
}

std::string get(hx_db_handle* h, std::string const& key) {
  unsigned long st = 1;
  Fetched r(hx_db_fetch(h, key.c_str(), st));
  if (!r) return "<status " + std::to_string(st) + ">";
  return std::string(reinterpret_cast<char*>(r->data), r->length);
}

unsigned long count(hx_db_handle* h) {
  unsigned long n = 0, st = 1;
  hx_db_inq_count(h, n, st);
  EXPECT_EQ(st, 0u);
  return n;
}

std::vector<std::string> keysOf(hx_db_handle* h) {
  std::vector<std::string> keys;
  unsigned long st;
  hx_db_iter_start(h, st);
  while (char const* k = hx_db_iter_next(h, st)) keys.push_back(k);
  EXPECT_EQ(st, hx_db_s_end_of_iteration);
  hx_db_iter_done(h, st);
  return keys;
}

// The bytes of these 32-bit words, as the record header stores them.
std::string raw(std::initializer_list<uint32_t> words) {
  std::string out;
  for (uint32_t w : words) out.append(reinterpret_cast<char const*>(&w), sizeof w);
  return out;
}

// Sets the initial map size for the test's scope.
struct InitialMapSize {
  explicit InitialMapSize(size_t bytes) { hx_db_set_initial_map_size(bytes); }
  ~InitialMapSize() { hx_db_set_initial_map_size(size_t{64} << 20); }
};

class HxDb : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string path_ = dir_.file("policy.db");
};

TEST_F(HxDb, CreateOpenAndRefusals) {
  unsigned long st;
  EXPECT_FALSE(open(path_, hx_db_mode_open, st));
  EXPECT_EQ(st, hx_db_s_open_failed);
  { Handle h = mustOpen(path_, hx_db_mode_create); }
  struct stat sb;
  ASSERT_EQ(stat(path_.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0600u);
  EXPECT_FALSE(open(path_, hx_db_mode_create, st));
  EXPECT_EQ(st, hx_db_s_exists);
  EXPECT_FALSE(open(path_, 3, st));
  EXPECT_EQ(st, hx_db_s_bad_argument);
  EXPECT_FALSE(open(dir_.file("nodir/x.db"), hx_db_mode_create, st));
  EXPECT_EQ(st, hx_db_s_open_failed);
  EXPECT_TRUE(mustOpen(path_));
}

TEST_F(HxDb, PlantedLinkAsLockFileIsRefusedAndItsTargetLeftAlone) {
  { Handle h = mustOpen(path_, hx_db_mode_create); }
  std::string target = dir_.file("victim");
  { std::ofstream(target) << "precious"; }
  std::string lock = hx_db_lock_file(path_.c_str());
  ASSERT_EQ(std::remove(lock.c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0);
  unsigned long st;
  EXPECT_FALSE(open(path_, hx_db_mode_open, st));
  EXPECT_EQ(st, hx_db_s_open_failed);
  EXPECT_EQ(gxtest::readFile(target), "precious");
}

TEST_F(HxDb, RecordsRoundTripAndDelete) {
  Handle h = mustOpen(path_, hx_db_mode_create);
  std::string bytes("\x30\x03\x02\x01\x00\xff", 6);
  put(h.get(), "/a/b", bytes, 0xdeadbeef, 1287);
  put(h.get(), "/empty", "", 5, 6);
  unsigned long st;
  Fetched r(hx_db_fetch(h.get(), "/a/b", st)), e(hx_db_fetch(h.get(), "/empty", st));
  ASSERT_TRUE(r && e);
  EXPECT_STREQ(r->key, "/a/b");
  EXPECT_TRUE(r->value == 0xdeadbeefu && r->type == 1287u && e->value == 5u && e->length == 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r->data), r->length), bytes);
  put(h.get(), "/a/b", "new");
  EXPECT_EQ(get(h.get(), "/a/b"), "new");
  EXPECT_FALSE(hx_db_fetch(h.get(), "/none", st));
  EXPECT_EQ(st, hx_db_s_not_found);

  EXPECT_EQ(count(h.get()), 2u);
  hx_db_delete(h.get(), "/a/b", st);
  EXPECT_EQ(st, 0u);
  hx_db_delete(h.get(), "/a/b", st);
  EXPECT_EQ(st, hx_db_s_delete_not_found);
  EXPECT_EQ(count(h.get()), 1u);
  r.reset();
  e.reset();
  h.reset();
  h = mustOpen(path_);  // durable across close
  EXPECT_EQ(get(h.get(), "/empty"), "");
  EXPECT_EQ(get(h.get(), "/a/b"), "<status " + std::to_string(hx_db_s_not_found) + ">");
}

hx_db_op putOp(char const* key, gxobj_t const& r) { return hx_db_op{hx_db_op_kind::put, key, &r}; }
hx_db_op removeOp(char const* key) { return hx_db_op{hx_db_op_kind::remove, key}; }

TEST_F(HxDb, BatchIsOneTransactionWhoseBadItemsFailAloneAndWhoseCounterSkipsTheInvalidValue) {
  Handle h = mustOpen(path_, hx_db_mode_create);
  put(h.get(), "seq", "", 0xFFFFFFFDu, 0);
  for (char const* k : {"/gone", "/t", "/t/x", "/t/y", "/tx", "/u/1", "/u/2", "/u/keep"}) put(h.get(), k, "v");
  std::string longKey(600, 'k');  // over LMDB's key limit
  std::string bytes("abc");
  gxobj_t r{nullptr, 9, 7, 3, reinterpret_cast<unsigned char*>(bytes.data())};
  gxobj_t huge{nullptr, 0, 7, gxobj_max_encoded_length + 1, reinterpret_cast<unsigned char*>(bytes.data())};
  auto notKeep = [](char const* key, void*) { return std::string(key) != "/u/keep"; };
  hx_db_op ops[] = {putOp("/new", r),
                    removeOp("/missing"),
                    putOp(longKey.c_str(), r),
                    removeOp("/gone"),
                    hx_db_op{hx_db_op_kind::remove_prefix, "/t"},
                    putOp("/huge", huge),
                    hx_db_op{hx_db_op_kind::remove_prefix, "/u/", nullptr, +notKeep},
                    hx_db_op{hx_db_op_kind::remove_prefix, "/nothing"}};
  constexpr size_t n = sizeof ops / sizeof ops[0];
  unsigned long itemStatus[n], st = 1;
  hx_db_counter counter{"seq", 0xFFFFFFFFu};
  unsigned long before = hx_db_write_transactions(h.get());
  hx_db_write_batch(h.get(), ops, n, itemStatus, &counter, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(hx_db_write_transactions(h.get()), before + 1);
  unsigned long expected[n] = {0, hx_db_s_delete_not_found, hx_db_s_bad_argument, 0, 0, hx_db_s_bad_argument, 0, 0};
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(itemStatus[i], expected[i]) << "item " << i;
  // Five items written: 0xFFFFFFFD + 5 steps, never 0xFFFFFFFF.
  EXPECT_EQ(counter.value, 3u);
  Fetched seq(hx_db_fetch(h.get(), "seq", st));
  ASSERT_TRUE(seq);
  EXPECT_TRUE(seq->value == 3u && seq->type == 0u && seq->length == 0u);
  EXPECT_EQ(get(h.get(), "/new"), "abc");
  EXPECT_EQ(keysOf(h.get()), (std::vector<std::string>{"/new", "/u/keep", "seq"}));  // "/t" took "/tx" too

  // A counter record that is not a counter fails the transaction: every
  // item gets the status and nothing is written.
  put(h.get(), "seq", "bytes");
  hx_db_op two[] = {putOp("/a", r), removeOp("/new")};
  unsigned long twoStatus[2];
  hx_db_write_batch(h.get(), two, 2, twoStatus, &counter, st);
  EXPECT_EQ(st, hx_db_s_corrupt);
  EXPECT_TRUE(twoStatus[0] == hx_db_s_corrupt && twoStatus[1] == hx_db_s_corrupt);
  EXPECT_EQ(keysOf(h.get()), (std::vector<std::string>{"/new", "/u/keep", "seq"}));
}

TEST_F(HxDb, BatchThatFillsTheMapIsRetriedWholeAndCountedOnce) {
  InitialMapSize small(1 << 20);
  Handle h = mustOpen(path_, hx_db_mode_create);
  constexpr int kItems = 64;  // 4 MiB of records into a 1 MiB map
  std::string big(64 * 1024, 'b');
  gxobj_t r{nullptr, 0, 7, static_cast<uint32_t>(big.size()), reinterpret_cast<unsigned char*>(big.data())};
  std::vector<std::string> keys;
  std::vector<hx_db_op> ops;
  for (int i = 0; i < kItems; ++i) keys.push_back("/big/" + std::to_string(i));
  for (auto const& k : keys) ops.push_back(putOp(k.c_str(), r));
  std::vector<unsigned long> itemStatus(kItems, 1);
  hx_db_counter counter{"seq", 0xFFFFFFFFu};  // absent: counts from 0
  unsigned long st = 1, before = hx_db_write_transactions(h.get());
  hx_db_write_batch(h.get(), ops.data(), ops.size(), itemStatus.data(), &counter, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(itemStatus, std::vector<unsigned long>(kItems, 0));
  EXPECT_EQ(counter.value, static_cast<uint32_t>(kItems));  // not advanced again by the retries
  EXPECT_EQ(hx_db_write_transactions(h.get()), before + 1);
  EXPECT_EQ(count(h.get()), kItems + 1u);
}

// A write group is one transaction: its writes are seen by its own thread
// at once, by other handles and threads only after the commit; abandoning
// it (or closing the handle that began it) leaves nothing; writes of other
// threads wait for it.
TEST_F(HxDb, WriteGroupIsOneTransactionSeenByItsThreadAndAllOrNothing) {
  Handle h = mustOpen(path_, hx_db_mode_create);
  Handle other = mustOpen(path_);
  unsigned long st = 1, commits = hx_db_write_transactions(h.get());
  hx_db_group_begin(h.get(), 1 << 20, st);
  ASSERT_EQ(st, 0u);
  hx_db_group_begin(h.get(), 0, st);
  EXPECT_EQ(st, hx_db_s_bad_argument);  // no nesting
  put(h.get(), "/a", "one");
  put(h.get(), "/b", "two");
  EXPECT_EQ(get(h.get(), "/a"), "one");
  std::string seenElsewhere;
  std::thread([&] { seenElsewhere = get(other.get(), "/a"); }).join();
  EXPECT_EQ(seenElsewhere, "<status " + std::to_string(hx_db_s_not_found) + ">");

  std::atomic<bool> written{false};
  std::thread writer([&] {
    put(other.get(), "/c", "three");
    written = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(written.load());  // waits for the group
  hx_db_group_end(h.get(), true, st);
  EXPECT_EQ(st, 0u);
  writer.join();
  EXPECT_EQ(get(other.get(), "/b"), "two");
  EXPECT_EQ(hx_db_write_transactions(h.get()) - commits, 2u);  // the group, then the waiting write

  hx_db_group_begin(h.get(), 1 << 20, st);
  put(h.get(), "/d", "four");
  hx_db_delete(h.get(), "/a", st);
  hx_db_group_end(h.get(), false, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(get(h.get(), "/a"), "one");
  EXPECT_EQ(count(h.get()), 3u);
  hx_db_group_end(h.get(), true, st);
  EXPECT_EQ(st, hx_db_s_bad_argument);  // none open

  {
    Handle third = mustOpen(path_);
    hx_db_group_begin(third.get(), 1 << 20, st);
    put(third.get(), "/e", "five");
  }  // closed with its group open: abandoned, and the lock released
  put(h.get(), "/f", "six");
  EXPECT_EQ(count(h.get()), 4u);
}

TEST_F(HxDb, HandlesOnOnePathShareOneEnvironmentAndAReplacedFileIsRefused) {
  Handle a = mustOpen(path_, hx_db_mode_create);
  Handle b = mustOpen(dir_.path().string() + "/./policy.db");
  put(a.get(), "/k", "from a");
  EXPECT_EQ(get(b.get(), "/k"), "from a");
  put(b.get(), "/k", "from b");
  EXPECT_EQ(get(a.get(), "/k"), "from b");
  a.reset();
  put(b.get(), "/k2", "still open");
  b.reset();
  Handle old = mustOpen(path_);
  EXPECT_EQ(get(old.get(), "/k2"), "still open");

  // A file replaced under open handles would share the old environment's
  // lock file.
  std::string other = dir_.file("other.db");
  { Handle h = mustOpen(other, hx_db_mode_create); }
  std::filesystem::rename(other, path_);
  unsigned long st;
  EXPECT_FALSE(open(path_, hx_db_mode_open, st));
  EXPECT_EQ(st, hx_db_s_open_failed);
  old.reset();
  EXPECT_TRUE(mustOpen(path_));
}

TEST_F(HxDb, MapGrownByAnotherProcessIsAdopted) {
  InitialMapSize small(1 << 20);
  Handle h = mustOpen(path_, hx_db_mode_create);
  put(h.get(), "/mine", "parent");
  // A separate process with its own environment fills the file past the
  // parent's map.
  std::string big = raw({0x01525847, 0, 7, 64 * 1024}) + std::string(64 * 1024, 0);
  std::vector<std::pair<std::string, std::string>> records;
  for (int i = 0; i < 64; ++i) records.emplace_back("/child/" + std::to_string(i), big);
  ASSERT_EQ(inChild([&] { return gxtest::putRawValues(path_, records, 16 << 20); }), 0);
  EXPECT_EQ(get(h.get(), "/child/63").size(), 64u * 1024);
  put(h.get(), "/after", "grown");
  EXPECT_EQ(keysOf(h.get()).size(), 66u);
}

TEST_F(HxDb, DamagedRecordsAreReported) {
  {
    Handle h = mustOpen(path_, hx_db_mode_create);
    put(h.get(), "/good", "ok");
  }
  std::string const longer = raw({0x01525847, 0, 7, 100, 0});  // claims 100 bytes, has 4
  ASSERT_EQ(gxtest::putRawValues(path_, {{"/short", longer.substr(0, 3)},
                                         {"/length", longer},
                                         {"/magic", raw({0x12345678, 0, 7, 0})}}),
            0);
  Handle h = mustOpen(path_);
  unsigned long st;
  for (char const* key : {"/short", "/length", "/magic"}) {
    EXPECT_FALSE(hx_db_fetch(h.get(), key, st)) << key;
    EXPECT_EQ(st, hx_db_s_corrupt) << key;
  }
  EXPECT_EQ(get(h.get(), "/good"), "ok");
}

TEST_F(HxDb, DamagedFilesAreRefused) {
  unsigned long st;
  std::string garbage = dir_.file("garbage.db"), empty = dir_.file("empty.db");
  std::ofstream(garbage, std::ios::binary) << std::string(20000, 'g');
  std::ofstream(empty, std::ios::binary).flush();
  for (auto const& p : {garbage, empty}) {
    EXPECT_FALSE(open(p, hx_db_mode_open, st)) << p;
    EXPECT_EQ(st, hx_db_s_open_failed) << p;
  }
  EXPECT_FALSE(open(dir_.path().string(), hx_db_mode_open, st));  // a directory
  EXPECT_EQ(st, hx_db_s_open_failed);

  {
    Handle h = mustOpen(path_, hx_db_mode_create);
    for (int i = 0; i < 16; ++i) put(h.get(), "/k" + std::to_string(i), std::string(6000, 'v'));
  }
  auto size = std::filesystem::file_size(path_);
  for (auto cut : {size / 2, size_t{4096 + 100}, size_t{200}}) {
    std::filesystem::resize_file(path_, cut);
    EXPECT_FALSE(open(path_, hx_db_mode_open, st)) << cut;
    EXPECT_EQ(st, hx_db_s_corrupt) << cut;
  }
}

TEST_F(HxDb, CopyIsCompactPrivateAndRefusesExistingTargets) {
  Handle h = mustOpen(path_, hx_db_mode_create);
  for (int i = 0; i < 30; ++i) put(h.get(), "/k" + std::to_string(i), std::string(3000, 'v'));
  unsigned long st;
  for (int i = 0; i < 30; i += 2) hx_db_delete(h.get(), ("/k" + std::to_string(i)).c_str(), st);
  std::string copy = dir_.file("copy.db");
  hx_db_copy(h.get(), copy.c_str(), st);
  ASSERT_EQ(st, 0u);
  struct stat sb;
  ASSERT_EQ(stat(copy.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0600u);
  EXPECT_LE(std::filesystem::file_size(copy), std::filesystem::file_size(path_));
  hx_db_copy(h.get(), copy.c_str(), st);
  EXPECT_EQ(st, hx_db_s_exists);
  hx_db_copy(h.get(), dir_.file("nodir/copy.db").c_str(), st);
  EXPECT_EQ(st, hx_db_s_open_failed);
  Handle c = mustOpen(copy);
  EXPECT_EQ(count(c.get()), 15u);
  EXPECT_EQ(get(c.get(), "/k1"), std::string(3000, 'v'));
}

// Points the lock directory at a fresh directory for the test's scope.
class HxDbLock : public ::testing::Test {
 protected:
  void SetUp() override {
    char const* old = std::getenv("GXCORE_LOCK_DIR");
    if (old) old_ = old;
    setenv("GXCORE_LOCK_DIR", (dir_.path() / "locks").c_str(), 1);
  }
  void TearDown() override {
    if (old_.empty())
      unsetenv("GXCORE_LOCK_DIR");
    else
      setenv("GXCORE_LOCK_DIR", old_.c_str(), 1);
  }
  std::string lockFile() const {
    for (auto const& e : std::filesystem::directory_iterator(dir_.path() / "locks")) return e.path().string();
    return {};
  }
  TempDir dir_;
  std::string old_;
};

TEST_F(HxDbLock, ExcludesOtherProcesses) {
  auto lock = MrProcessLockFactory::newLock("policyserver_a/b c");  // not a file name as it is
  struct stat sb;
  ASSERT_EQ(stat((dir_.path() / "locks").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0700u);
  std::string file = lockFile();
  ASSERT_FALSE(file.empty());
  auto tryLock = [&] {
    int fd = ::open(file.c_str(), O_RDWR);
    return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1;
  };
  lock->lock();
  EXPECT_EQ(inChild(tryLock), 1);
  lock->unlock();
  EXPECT_EQ(inChild(tryLock), 0);
}

TEST_F(HxDbLock, DirectoryOthersMayWriteIsRefused) {
  std::filesystem::create_directories(dir_.path() / "locks");
  ASSERT_EQ(chmod((dir_.path() / "locks").c_str(), 0777), 0);
  auto lock = MrProcessLockFactory::newLock("policyserver_x");
  lock->lock();  // excludes this process's threads only
  lock->unlock();
  EXPECT_TRUE(lockFile().empty());  // nothing was created in it
}

TEST(HxDbConcurrency, ReadersWritersAndGrowthOnOneFile) {
  InitialMapSize small(1 << 20);
  TempDir dir;
  std::string path = dir.file("policy.db");
  { Handle h = mustOpen(path, hx_db_mode_create); }
  constexpr int kWriters = 2, kPerWriter = 24;
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      Handle h = mustOpen(path);
      std::string big(32 * 1024, static_cast<char>('a' + w));
      for (int i = 0; i < kPerWriter; ++i) {
        gxobj_t r{nullptr, 0, 7, static_cast<uint32_t>(big.size()), reinterpret_cast<unsigned char*>(big.data())};
        unsigned long st;
        hx_db_store(h.get(), ("/w" + std::to_string(w) + "/" + std::to_string(i)).c_str(), r, st);
        if (st != 0) ++failures;
      }
    });
  Handle shared = mustOpen(path);  // fetched through by both readers
  for (int r = 0; r < 2; ++r)
    threads.emplace_back([&] {
      Handle own = mustOpen(path);  // iterated by this reader only
      while (!done) {
        unsigned long st;
        hx_db_iter_start(own.get(), st);
        while (char const* k = hx_db_iter_next(own.get(), st)) {
          Fetched rec(hx_db_fetch(shared.get(), k, st));
          if (!rec || rec->length != 32 * 1024) ++failures;
        }
        if (st != hx_db_s_end_of_iteration) ++failures;
        hx_db_iter_done(own.get(), st);
      }
    });
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  done = true;
  for (size_t i = kWriters; i < threads.size(); ++i) threads[i].join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(count(shared.get()), static_cast<unsigned long>(kWriters * kPerWriter));
}

// A process may fork just after opening a large file (its pages mapped
// ahead by a thread), and the child may open files -- a large one, with a
// thread of its own that its close joins, and a small one, mapped during
// the open with no thread -- and exit with the small one open. Under a
// thread sanitizer a thread running at the fork, or one left to be joined
// at exit, fails the child.
TEST(HxDbConcurrency, ForkJustAfterAnOpenAndAnExitWithFilesOpenLeaveNoThreadBehind) {
  TempDir dir;
  std::string large = dir.file("large.db"), small = dir.file("small.db");
  {
    Handle h = mustOpen(large, hx_db_mode_create);
    for (int i = 0; i < 40; ++i) put(h.get(), "/r/" + std::to_string(i), std::string(64 * 1024, 'x'));
  }
  {
    Handle h = mustOpen(small, hx_db_mode_create);
    put(h.get(), "/a", "x");
  }
  for (int round = 0; round < 3; ++round) {
    Handle parent = mustOpen(large);
    EXPECT_EQ(inChild([&] {
                unsigned long a = 1, b = 1;
                {
                  Handle child = open(large, hx_db_mode_open, a);
                }
                hx_db_lock_open(small.c_str(), hx_db_mode_open, 2, MrProcessLockFactory::newLock(lockName().c_str()), b);
                return a == 0 && b == 0 ? 0 : 1;
              }),
              0)
        << "round " << round;
  }
}

}  // namespace
