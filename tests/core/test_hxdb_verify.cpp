// The database-file verifier over a corpus of damaged files made here: every
// targeted damage to a page header, node, child reference, overflow page or
// meta page is reported with its page, and no file the verifier accepts
// (random bit flips included) makes a process that opens and reads it die
// of a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "GxCore/db/daFileReplicatedClient.h"
#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/db/daLocalStore.h"
#include "GxCore/db/daReplicaRegistry.h"
#include "outside/hxdb.h"
#include "outside/hxdb_verify.h"
#include "outside/hxdigest.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using gxtest::readFile;
using gxtest::TempDir;

using Handle = gxtest::DbHandle;

Handle open(std::string const& path, unsigned long& st) {
  std::string lock = std::string(MrProcessLockFactory::policyserverPrefix) + "verifytest" + std::to_string(getpid());
  return Handle(hx_db_lock_open(path.c_str(), hx_db_mode_open, 2, MrProcessLockFactory::newLock(lock.c_str()), st));
}

void writeFile(std::string const& path, std::string const& bytes) {
  std::filesystem::remove(path);
  std::filesystem::remove(hx_db_lock_file(path.c_str()));
  std::ofstream(path, std::ios::binary) << bytes;
}

// A file of records of many sizes (some on overflow pages), written in
// several transactions with deletions so that the free-space tree has lists.
void makeDatabase(std::string const& path, bool compact) {
  std::string raw = compact ? path + ".raw" : path;
  unsigned long st = 1;
  Handle h(hx_db_lock_open(raw.c_str(), hx_db_mode_create, 2,
                           MrProcessLockFactory::newLock("verifytest-create"), st));
  ASSERT_EQ(st, 0u);
  std::mt19937 rng(7);
  for (int batch = 0; batch < 6; ++batch) {
    std::vector<std::string> keys, bytes;
    std::vector<gxobj_t> records;
    std::vector<hx_db_op> ops;
    for (int i = 0; i < 400; ++i) {
      keys.push_back("/web/dir" + std::to_string(i % 37) + "/page" + std::to_string(batch * 1000 + i));
      size_t size = i % 50 == 0 ? 9000 : 20 + rng() % 400;
      bytes.emplace_back(size, static_cast<char>('a' + i % 26));
    }
    for (size_t i = 0; i < keys.size(); ++i) {
      records.push_back(gxobj_t{nullptr, 0, 7, static_cast<uint32_t>(bytes[i].size()),
                                reinterpret_cast<unsigned char*>(bytes[i].data())});
    }
    for (size_t i = 0; i < keys.size(); ++i) {
      hx_db_op op{};
      op.kind = hx_db_op_kind::put;
      op.key = keys[i].c_str();
      op.record = &records[i];
      ops.push_back(op);
    }
    std::vector<unsigned long> itemStatus(ops.size());
    hx_db_write_batch(h.get(), ops.data(), ops.size(), itemStatus.data(), nullptr, st);
    ASSERT_EQ(st, 0u);
    ops.clear();
    for (size_t i = 0; i < keys.size(); i += 3) ops.push_back(hx_db_op{hx_db_op_kind::remove, keys[i].c_str()});
    hx_db_write_batch(h.get(), ops.data(), ops.size(), itemStatus.data(), nullptr, st);
    ASSERT_EQ(st, 0u);
  }
  if (compact) {
    hx_db_copy(h.get(), path.c_str(), st);
    ASSERT_EQ(st, 0u);
  }
}

// Opens the file in a child process and reads every record; true when the
// child ended by itself (whatever the statuses), false when a signal killed it.
bool readsWithoutSignal(std::string const& path) {
  pid_t pid = ::fork();
  if (pid == 0) {
    unsigned long st = 0;
    Handle h = open(path, st);
    if (!h) _exit(1);
    std::vector<std::string> keys;
    hx_db_iter_start(h.get(), st);
    while (char const* k = hx_db_iter_next(h.get(), st)) keys.emplace_back(k);
    hx_db_iter_done(h.get(), st);
    for (auto const& k : keys) {
      gxobj_t* r = hx_db_fetch(h.get(), k.c_str(), st);
      if (r) hx_db_data_free(hx_db_free_all, r, st);
    }
    _exit(0);
  }
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  return WIFEXITED(ws);
}

template <typename T>
void poke(std::string& file, size_t offset, T value) {
  if (offset + sizeof value <= file.size()) std::memcpy(&file[offset], &value, sizeof value);
}
template <typename T>
T peek(std::string const& file, size_t offset) {
  T v{};
  if (offset + sizeof v <= file.size()) std::memcpy(&v, &file[offset], sizeof v);
  return v;
}

constexpr size_t kPage = 4096;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kFlipRounds = 40;
#else
constexpr int kFlipRounds = 120;
#endif

class HxDbVerify : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(static_cast<size_t>(sysconf(_SC_PAGESIZE)), kPage) << "the corpus assumes 4 KiB pages";
    makeDatabase(base_, /*compact=*/true);
    pristine_ = readFile(base_);
    ASSERT_EQ(pristine_.size() % kPage, 0u);
  }

  unsigned long verify(std::string const& bytes, hx_db_verify_report& report) {
    writeFile(damaged_, bytes);
    unsigned long st = 1;
    hx_db_verify_file(damaged_.c_str(), report, st);
    return st;
  }

  TempDir dir_;
  std::string base_ = dir_.file("base.db");
  std::string damaged_ = dir_.file("damaged.db");
  std::string pristine_;
};

TEST_F(HxDbVerify, SoundFilesPassWithTheirCounts) {
  hx_db_verify_report report;
  unsigned long st = 1;
  hx_db_verify_file(base_.c_str(), report, st);
  EXPECT_EQ(st, 0u) << report.problem;
  EXPECT_EQ(report.entries, 6u * (400 - 134));  // every third record of each batch deleted
  EXPECT_EQ(report.pages, pristine_.size() / kPage);

  // The uncompacted original has free-space lists and older pages.
  std::string raw = base_ + ".raw";
  hx_db_verify_file(raw.c_str(), report, st);
  EXPECT_EQ(st, 0u) << report.problem;
  EXPECT_EQ(report.entries, 6u * (400 - 134));

  hx_db_verify_file(dir_.file("missing.db").c_str(), report, st);
  EXPECT_EQ(st, hx_db_s_open_failed);
}

// Each damage a tree page can suffer, applied to every branch, leaf and
// overflow page of the file in turn, is found and named by its page.
TEST_F(HxDbVerify, EveryTargetedPageDamageIsReportedWithItsPage) {
  size_t pages = pristine_.size() / kPage, tried = 0;
  for (size_t p = 2, next = 3; p < pages; p = next) {
    size_t at = p * kPage;
    uint16_t flags = peek<uint16_t>(pristine_, at + 10);
    // An overflow run's later pages are raw data without a header.
    next = p + ((flags & 0x04) ? peek<uint32_t>(pristine_, at + 12) : 1);
    uint16_t lower = peek<uint16_t>(pristine_, at + 12);
    std::vector<std::pair<char const*, std::function<void(std::string&)>>> damages = {
        {"page number", [=](std::string& f) { poke<uint64_t>(f, at, p + 1); }},
        {"page type", [=](std::string& f) { poke<uint16_t>(f, at + 10, 0x0040); }},
    };
    if (flags & 0x03) {  // branch or leaf
      uint16_t first = peek<uint16_t>(pristine_, at + 16);
      damages.insert(damages.end(), {
          {"bounds", [=](std::string& f) { poke<uint16_t>(f, at + 12, 5000); }},
          {"node offset", [=](std::string& f) { poke<uint16_t>(f, at + 16, 4093); }},
          {"odd node offset", [=](std::string& f) { poke<uint16_t>(f, at + 16, first + 1); }},
          {"key size", [=](std::string& f) { poke<uint16_t>(f, at + first + 6, 0xFFFF); }},
      });
      if ((flags & 0x01) && lower > 16)
        damages.insert(damages.end(), {
            {"child past the end", [=](std::string& f) { poke<uint16_t>(f, at + first + 2, 0x7FFF); }},
            {"child is a meta page", [=](std::string& f) { poke<uint32_t>(f, at + first, 1); }},
            {"child is itself", [=](std::string& f) { poke<uint32_t>(f, at + first, static_cast<uint32_t>(p)); }},
        });
    }
    if (flags & 0x04) damages.push_back({"overflow count", [=](std::string& f) { poke<uint32_t>(f, at + 12, 0); }});
    for (auto const& [what, damage] : damages) {
      std::string bytes = pristine_;
      damage(bytes);
      hx_db_verify_report report;
      EXPECT_EQ(verify(bytes, report), hx_db_s_corrupt) << what << " on page " << p;
      EXPECT_LT(report.page, pages) << what;
      EXPECT_FALSE(report.problem.empty()) << what;
      ++tried;
    }
  }
  EXPECT_GT(tried, 100u);
}

TEST_F(HxDbVerify, DamagedMetaPagesAndTruncationAreReported) {
  std::vector<std::pair<char const*, std::function<void(std::string&)>>> damages = {
      {"magic", [](std::string& f) { poke<uint32_t>(f, 16, 0x12345678); }},
      {"version", [](std::string& f) { poke<uint32_t>(f, kPage + 20, 2); }},
      {"page size", [](std::string& f) { poke<uint32_t>(f, 40, 3000); }},
      {"last page", [](std::string& f) {
         poke<uint64_t>(f, 136, 1);
         poke<uint64_t>(f, kPage + 136, 1);
       }},
      {"last page far past the end", [](std::string& f) {  // the walk must not size anything by it
         poke<uint64_t>(f, 136, uint64_t{1} << 34);
         poke<uint64_t>(f, kPage + 136, uint64_t{1} << 34);
       }},
      {"root past the end", [](std::string& f) {
         poke<uint64_t>(f, 88 + 40, 1u << 30);
         poke<uint64_t>(f, kPage + 88 + 40, 1u << 30);
       }},
      {"counts", [](std::string& f) {
         poke<uint64_t>(f, 88 + 32, 99);
         poke<uint64_t>(f, kPage + 88 + 32, 99);
       }},
      {"newest transaction on the meta page readers do not take for it", [](std::string& f) {
         uint64_t newest = std::max(peek<uint64_t>(f, 144), peek<uint64_t>(f, kPage + 144));
         poke<uint64_t>(f, 144, (newest + 1) | 1);  // odd: readers go to the second page
       }},
      {"truncated to half", [](std::string& f) { f.resize(f.size() / 2); }},
      {"truncated by a page", [](std::string& f) { f.resize(f.size() - kPage); }},
      {"truncated inside a meta page", [](std::string& f) { f.resize(100); }},
  };
  for (auto const& [what, damage] : damages) {
    std::string bytes = pristine_;
    damage(bytes);
    hx_db_verify_report report;
    EXPECT_EQ(verify(bytes, report), hx_db_s_corrupt) << what;
    EXPECT_FALSE(report.problem.empty()) << what;
  }
  // What the check prevents: a root page whose key count runs past the page
  // makes the engine itself read nodes that are not there: the reader dies.
  std::string bytes = pristine_;
  size_t meta = peek<uint64_t>(bytes, 144) < peek<uint64_t>(bytes, kPage + 144) ? kPage : 0;
  poke<uint16_t>(bytes, peek<uint64_t>(bytes, meta + 88 + 40) * kPage + 12, 5000);
  writeFile(damaged_, bytes);
  EXPECT_FALSE(readsWithoutSignal(damaged_));
}

// Random bit flips in the compacted and the uncompacted file: whatever the
// verifier accepts must be safe to open and read in full.
TEST_F(HxDbVerify, FilesItAcceptsNeverKillAReader) {
  std::mt19937 rng(2026);
  std::string raw = readFile(base_ + ".raw");
  int accepted = 0, rejected = 0;
  for (int round = 0; round < kFlipRounds; ++round) {
    std::string bytes = round % 2 ? pristine_ : raw;
    int flips = round % 3 == 0 ? 64 : 8;
    for (int i = 0; i < flips; ++i) bytes[rng() % bytes.size()] ^= static_cast<char>(1u << (rng() % 8));
    hx_db_verify_report report;
    if (verify(bytes, report) != 0) {
      ++rejected;
      continue;
    }
    ++accepted;
    EXPECT_TRUE(readsWithoutSignal(damaged_)) << "round " << round;
  }
  EXPECT_GT(rejected, 0);
  RecordProperty("accepted", accepted);
  // Files the fuzzer once found passing the verifier and then killing the reader.
  for (auto const& entry : std::filesystem::directory_iterator(GXCORE_SOURCE_DIR "/tests/data/fuzz_dbfile")) {
    hx_db_verify_report report;
    if (verify(readFile(entry.path().string()), report) == 0)
      EXPECT_TRUE(readsWithoutSignal(damaged_)) << entry.path();
  }
}


// A FIFO where a database, digest or registry file belongs: a plain open
// for reading would wait for a writer forever. Every reader refuses it at
// once. A call that does block is released by opening the FIFO's other
// end, so that the test fails instead of hanging.
TEST(NonRegularFiles, FifoInPlaceOfAFileIsRefusedWithoutBlocking) {
  TempDir dir;
  std::string fifo = dir.file("planted.db");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto returnsPromptly = [&](char const* what, std::function<unsigned long()> call, unsigned long expected) {
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
      ADD_FAILURE() << what << " blocked on the FIFO";
      while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (w >= 0) ::close(w);
      }
      return;
    }
    EXPECT_EQ(result.get(), expected) << what;
  };
  returnsPromptly("verify", [&] {
    hx_db_verify_report report;
    unsigned long st = 0;
    hx_db_verify_file(fifo.c_str(), report, st);
    EXPECT_EQ(report.problem, "not a regular file");
    return st;
  }, hx_db_s_open_failed);
  returnsPromptly("stamp", [&] {
    hx_db_file_stamp stamp;
    unsigned long st = 0;
    hx_db_stamp_file(fifo.c_str(), stamp, st);
    return st;
  }, hx_db_s_open_failed);
  returnsPromptly("digest", [&] {
    std::string hex;
    unsigned long st = 0;
    hx_file_sha256(fifo.c_str(), hex, st);
    return st;
  }, hx_db_s_open_failed);
  returnsPromptly("store", [&] {
    daLocalStore store("verifytest", fifo.c_str());
    unsigned long st = 0;
    store.openStore(1, st);
    return st == 0 ? 0ul : hx_db_s_open_failed;
  }, hx_db_s_open_failed);
  returnsPromptly("master of a file client", [&] {
    daFileReplicatedClient client(fifo.c_str(), "verifytest");
    unsigned long seq = 0, st = 0;
    client.getMasterSeqNum(seq, st);
    return st;
  }, hx_db_s_open_failed);
  returnsPromptly("replica", [&] {
    std::string master = dir.file("master.db");
    gxtest::makePolicyDb(master, {"m0"}, 0x600, "verifytest");
    daFileReplicatedClient client(master.c_str(), "verifytest");
    daLocalPolicy replica("verifytest", fifo.c_str(), 0, 0);
    replica.setReplicatedClient(&client);
    gxtest::MessageCapture quiet;
    unsigned long st = 0;
    replica.openPolicy(1, st);
    EXPECT_TRUE(fs::is_fifo(fifo));  // not moved aside and replaced
    return st;
  }, hx_db_s_open_failed);
  returnsPromptly("registry", [&] {
    std::string text;
    unsigned long st = 0;
    daReadRegistryFile(fifo, daMaxRegistryBytes, text, st);
    return st;
  }, hx_db_s_open_failed);
}

}  // namespace
