// The local store: the database file, its bookkeeping records and the
// record operations under hierarchical keys.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "GxCore/db/daLocalStore.h"
#include "test_support.h"

namespace {

using gxtest::MessageCapture;
using gxtest::TempDir;

// A record holding text as its encoded bytes (the store does not decode).
struct Rec {
  gxobj_t r{};
  explicit Rec(char const* text, uint32_t type = 1287) {
    r.type = type;
    r.length = static_cast<uint32_t>(std::strlen(text));
    r.data = reinterpret_cast<unsigned char*>(const_cast<char*>(text));
  }
};

class LocalStore : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("policy.db");
    daLocalStore creator("d1", path_.c_str());
    unsigned long st;
    creator.createStore(st);
    ASSERT_EQ(st, 0u);
    store_ = std::make_unique<daLocalStore>("d1", path_.c_str());
    store_->openStore(0, st);
    ASSERT_EQ(st, 0u);
  }
  unsigned long put(char const* key, char const* text = "x") {
    unsigned long seq, st;
    store_->setObject(GxObjectName(key), Rec(text).r, seq, st);
    EXPECT_EQ(st, 0u) << key;
    return seq;
  }
  unsigned long seq() {
    unsigned long s, st;
    store_->getSeqNum(s, st);
    return s;
  }
  std::set<std::string> names(char const* prefix, bool recursive) {
    gxobj_name_list_s_t list;
    unsigned long s, st;
    store_->listObjects(GxObjectName(prefix), recursive, list, s, st);
    EXPECT_EQ(st, 0u);
    std::set<std::string> out;
    for (unsigned long i = 0; i < list.count; ++i) out.insert(list.names[i]);
    EXPECT_EQ(out.size(), list.count) << "a name was listed twice";
    freeNameList(list);
    return out;
  }
  // Writes a raw value under key straight into the file, the store closed
  // meanwhile.
  void writeRaw(char const* key, std::string const& bytes, bool reopen = true) {
    unsigned long st;
    store_->closeStore(st);
    ASSERT_EQ(gxtest::putRawValues(path_, {{key, bytes}}), 0);
    if (!reopen) return;
    store_->openStore(0, st);
    ASSERT_EQ(st, 0u);
  }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<daLocalStore> store_;
};

TEST_F(LocalStore, NewFileStartsAtSequenceOneAndSerialNumbersWrapTo1000) {
  EXPECT_EQ(seq(), 1u);
  unsigned int serial;
  unsigned long st;
  store_->getNextSSLSerNum(serial, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(serial, 1001u);
  store_->getNextSSLSerNum(serial, st);
  EXPECT_EQ(serial, 1002u);
  unsigned long count;
  store_->getObjectCount(count, st);
  EXPECT_EQ(count, 2u);  // the two bookkeeping records
  store_->writeSSLSerNum(0xFFFFFFFFu, st);
  store_->getNextSSLSerNum(serial, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(serial, 1000u);
}

TEST_F(LocalStore, CreateRefusesAnExistingFileAndOpenAMissingOne) {
  MessageCapture messages;
  daLocalStore again("d1", path_.c_str());
  unsigned long st;
  again.createStore(st);
  EXPECT_NE(st, 0u);
  EXPECT_EQ(messages.count(0x1327925A), 1u);
  EXPECT_EQ(seq(), 1u);  // the existing file is untouched

  std::string missing = dir_.file("missing.db");
  daLocalStore s("d1", missing.c_str());
  s.openStore(1, st);
  EXPECT_NE(st, 0u);
  EXPECT_FALSE(s.isStoreOpen());
  ASSERT_EQ(messages.count(0x13279258), 1u);
  auto inserts = messages.inserts(0x13279258);
  ASSERT_EQ(inserts.size(), 2u);
  EXPECT_EQ(inserts[0], missing);
  for (int i = 0; i < 2; ++i) {  // closing a closed store is harmless
    s.closeStore(st);
    EXPECT_EQ(st, 0u);
  }
  // The process lock is named after the domain, or a default.
  std::string prefix = MrProcessLockFactory::policyserverPrefix;
  EXPECT_EQ(std::string(createLock(nullptr)->name()), prefix + "Defaultmp");
  EXPECT_EQ(std::string(createLock("d1")->name()), prefix + "d1mp");
}

TEST_F(LocalStore, SequenceNumberSkipsInvalidAndWrapsToZero) {
  unsigned long st, s;
  store_->writeSeqNum(0xFFFFFFFEul, st);
  ASSERT_EQ(st, 0u);
  s = put("/auth/pop/p1");
  EXPECT_EQ(s, 0u);
  EXPECT_EQ(seq(), 0u);
  EXPECT_EQ(put("/auth/pop/p2"), 1u);
  // The value persists across a reopen.
  store_->closeStore(st);
  store_->openStore(1, st);
  EXPECT_EQ(seq(), 1u);
}

TEST_F(LocalStore, OldFormatOrUndecodableHeaderFailsTheOpen) {
  gxobj_db_header_s_t header{7, 0x500, 0};
  hx_asn_buffer_t buf{};
  ASSERT_EQ(hxAsnEncodeObj(buf, header), 0u);
  gxobj_t rec{nullptr, 0, 0, buf.length, buf.data};
  unsigned long s, st;
  store_->setObject(GxObjectName("dbinfo"), rec, s, st);
  hx_asn_buffer_free(buf);
  ASSERT_EQ(st, 0u);
  store_->closeStore(st);
  daLocalStore old("d1", path_.c_str());
  old.openStore(1, st);
  EXPECT_EQ(st, 0x13279264u);
  EXPECT_FALSE(old.isStoreOpen());

  writeRaw("dbinfo", std::string("\x00\x01garbage", 9), false);  // not even a valid record value
  MessageCapture messages;
  old.openStore(1, st);
  EXPECT_NE(st, 0u);
  EXPECT_FALSE(old.isStoreOpen());
}

TEST_F(LocalStore, MissingSequenceRecordKeepsHandleButFails) {
  unsigned long s, st;
  store_->deleteObject(GxObjectName("dbobject"), 0, s, st);
  ASSERT_EQ(st, 0u);  // the delete itself rewrites "dbobject"...
  store_->closeStore(st);
  {
    unsigned long ost;
    hx_db_handle* h = hx_db_lock_open(path_.c_str(), 17, 2, createLock("d1"), ost);
    ASSERT_NE(h, nullptr);
    hx_db_delete(h, "dbobject", ost);  // ...so remove it underneath the store
    ASSERT_EQ(ost, 0u);
    hx_db_close(h, ost);
  }
  MessageCapture messages;
  daLocalStore broken("d1", path_.c_str());
  broken.openStore(1, st);
  EXPECT_EQ(st, 0x14601008u);
  EXPECT_TRUE(broken.isStoreOpen());
  EXPECT_EQ(messages.count(0x1327925B), 1u);
  EXPECT_EQ(messages.inserts(0x1327925B).at(0), "dbobject");
}

TEST_F(LocalStore, RecordsRoundTripAndMissingKeysLeaveTheSequence) {
  gxobj_t rec{};
  rec.length = 5;
  unsigned long s = 0, st;
  store_->getObject(GxObjectName("/auth/pop/none"), rec, s, st);
  EXPECT_EQ(st, 0x132792F1u);
  EXPECT_EQ(rec.length, 0u);
  EXPECT_EQ(rec.data, nullptr);
  EXPECT_EQ(s, 1u);  // the current number
  store_->deleteObject(GxObjectName("/auth/pop/none"), 0, s, st);
  EXPECT_EQ(st, 0x1005B1CAu);
  EXPECT_EQ(s, daLocalStore::invalidSeqnum);
  EXPECT_EQ(seq(), 1u);

  EXPECT_EQ(put("/auth/pop/p1", "payload"), 2u);
  unsigned long rs;
  store_->getObject(GxObjectName("/auth/pop/p1"), rec, rs, st);
  ASSERT_EQ(st, 0u);
  EXPECT_EQ(rs, 2u);
  EXPECT_EQ(rec.type, 1287u);
  ASSERT_EQ(rec.length, 7u);
  EXPECT_EQ(std::memcmp(rec.data, "payload", 7), 0);
  EXPECT_STREQ(rec.key, "/auth/pop/p1");
  hxAsnFreeObj(rec);
}

TEST_F(LocalStore, RecursiveDeleteTakesWholeElementsAndKeepsBookkeeping) {
  put("/auth/pobject/a");
  put("/auth/pobject/a/b");
  put("/auth/pobject/ab");
  unsigned long s, st;
  store_->deleteObject(GxObjectName("/auth/pobject/a"), 1, s, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(s, 5u);
  EXPECT_EQ(names("/auth/pobject", true), (std::set<std::string>{"/auth/pobject/ab"}));
  // Nothing matched: still a success that advances the sequence number.
  store_->deleteObject(GxObjectName("/auth/pobject/zz"), 1, s, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(s, 6u);
  // Everything under the root goes, but not the bookkeeping records.
  put("/auth/pop/p1");
  unsigned long count;
  store_->deleteObject(GxObjectName("/"), 1, s, st);
  EXPECT_EQ(st, 0u);
  store_->getObjectCount(count, st);
  EXPECT_EQ(count, 2u);
  unsigned int serial;
  store_->getNextSSLSerNum(serial, st);
  EXPECT_EQ(serial, 1001u);
}

TEST_F(LocalStore, ListingsShowEachChildOnceAndRecursiveObjectsIncludeThePrefix) {
  put("/auth/pobject/a/b/c");
  put("/auth/pobject/a", "base");
  put("/auth/pobject/a/x", "one");
  put("/auth/pobject/ab", "other");
  put("/auth/pobject");
  EXPECT_EQ(names("/auth/pobject", false), (std::set<std::string>{"/auth/pobject/a", "/auth/pobject/ab"}));
  EXPECT_EQ(names("/auth/pobject", true).size(), 5u);

  // Objects wanted without names: deeper keys are skipped.
  gxobj_list_s_t list;
  unsigned long s, st;
  store_->getObjects(GxObjectName("/auth/pobject/ab"), 0, list, s, st);
  EXPECT_EQ(st, 0u);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(list.objects, nullptr);
  store_->getObjects(GxObjectName("/auth/pobject/a"), 0, list, s, st);
  ASSERT_EQ(list.count, 1u);
  EXPECT_STREQ(list.objects[0].key, "/auth/pobject/a/x");
  freeObjectList(list);
  store_->getObjects(GxObjectName("/auth/pobject/a"), 1, list, s, st);
  ASSERT_EQ(st, 0u);
  ASSERT_EQ(list.count, 3u);
  EXPECT_STREQ(list.objects[0].key, "/auth/pobject/a");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(list.objects[2].data), list.objects[2].length), "one");
  EXPECT_EQ(s, seq());
  freeObjectList(list);
}

TEST_F(LocalStore, EnumerationNeedsAListAndGrowsPastItsFirstBuffer) {
  unsigned long s, st;
  store_->enumObjects(GxObjectName("/"), 1, 1, nullptr, 0, nullptr, s, st);
  EXPECT_EQ(st, 0x132792EEu);
  for (int i = 0; i < 600; ++i) put(("/auth/pop/p" + std::to_string(i)).c_str());
  EXPECT_EQ(names("/auth/pop", false).size(), 600u);
  gxobj_list_s_t list;
  store_->getObjects(GxObjectName("/auth/pop"), 1, list, s, st);
  EXPECT_EQ(list.count, 600u);
  freeObjectList(list);
}

TEST_F(LocalStore, CorruptRecordGivesAStatusNotACrash) {
  put("/auth/pop/good");
  writeRaw("/auth/pop/bad", "\x01");
  MessageCapture messages;
  gxobj_t rec{};
  unsigned long s, st;
  store_->getObject(GxObjectName("/auth/pop/bad"), rec, s, st);
  EXPECT_NE(st, 0u);
  EXPECT_NE(st, 0x132792F1u);
  EXPECT_EQ(rec.data, nullptr);
  gxobj_list_s_t list;
  store_->getObjects(GxObjectName("/auth/pop"), 1, list, s, st);
  EXPECT_NE(st, 0u);
  EXPECT_EQ(list.count, 0u);
  EXPECT_GE(messages.count(0x1327925B), 2u);
  // The good record is still there.
  store_->getObject(GxObjectName("/auth/pop/good"), rec, s, st);
  EXPECT_EQ(st, 0u);
  hxAsnFreeObj(rec);
}

TEST_F(LocalStore, ConcurrencyWritersAndReadersKeepSequenceExact) {
  constexpr int kThreads = 4, kOps = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kOps; ++i) {
        std::string key = "/auth/pop/t" + std::to_string(t) + "_" + std::to_string(i);
        unsigned long s, st;
        store_->setObject(GxObjectName(key.c_str()), Rec("v").r, s, st);
        ASSERT_EQ(st, 0u);
        gxobj_t rec{};
        store_->getObject(GxObjectName(key.c_str()), rec, s, st);
        ASSERT_EQ(st, 0u);
        hxAsnFreeObj(rec);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(seq(), 1u + kThreads * kOps);
}

}  // namespace
