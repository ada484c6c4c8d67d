// The cache table: bucket count, lookup by full name equality, chain and
// walk order, value ownership and clearing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "GxCore/db/daStoreObjectHandle.h"
#include "GxCore/hashTable.h"

namespace {

using Table = hashTable<daStoreObjectName, daCachedStoreEntry>;

std::vector<daCachedStoreEntry*> walk(Table const& t) {
  std::vector<daCachedStoreEntry*> out;
  hashTableIterator<daStoreObjectName, daCachedStoreEntry> it(t);
  for (it.findNextElement(0); it.current() != nullptr; it.findNextElement(1)) out.push_back(it.value());
  return out;
}

std::vector<daCachedStoreEntry*>* g_handed = nullptr;
void hand(daStoreObjectName*, daCachedStoreEntry* v) { g_handed->push_back(v); }

}  // namespace

TEST(HashTableTest, BucketCountIsHalfAgainTheHintInUnsigned32Bits) {
  EXPECT_EQ(Table(0, 0).getBucketCount(), 1u);
  EXPECT_EQ(Table(0, 1).getBucketCount(), 1u);
  EXPECT_EQ(Table(0, 20).getBucketCount(), 30u);
  EXPECT_EQ(Table(0, 32768 / 2).getBucketCount(), 24576u);
  EXPECT_EQ(Table(0, 0xAAAAAAABu).getBucketCount(), 1u);  // the product wraps to 1
}

TEST(HashTableTest, KeysMatchByKindAndTextAndOwnedValuesAreDeleted) {
  Table t(1, 20);
  auto* acl = new daCachedStoreEntry(new daStoreObject);
  t.put(daAclName("x"), new daCachedStoreEntry);
  t.put(daAclName("x"), acl);  // replaces (and deletes) the first value
  t.put(daPObjName("/x"), nullptr);
  EXPECT_EQ(t.getCount(), 2u);
  EXPECT_EQ(t.find(daAclName("x")), acl);
  EXPECT_EQ(t.find(daPopName("x")), nullptr);  // same text, other kind
  t.remove(daAclName("y"));
  t.remove(daAclName("x"));
  EXPECT_EQ(t.getCount(), 1u);
  EXPECT_EQ(t.find(daAclName("x")), nullptr);

  daCachedStoreEntry first, second;
  Table borrowing(0, 4);
  borrowing.put(daAclName("a"), &first);
  borrowing.put(daAclName("a"), &second);  // first stays alive (stack-owned)
  EXPECT_EQ(borrowing.getCount(), 1u);
  borrowing.clear(0);
  EXPECT_EQ(borrowing.find(daAclName("a")), nullptr);
}

TEST(HashTableTest, WalkIsByBucketThenNewestFirstAndCallbackClearFollowsIt) {
  Table t(0, 20);  // 30 buckets, 200 names
  std::vector<daCachedStoreEntry> entries(200);
  std::vector<std::pair<unsigned, int>> order;
  for (int i = 0; i < 200; ++i) {
    daPObjName name(("/o/" + std::to_string(i)).c_str());
    t.put(name, &entries[i]);
    order.emplace_back(name.hash() % 30u, -i);
  }
  for (int i = 0; i < 200; ++i) EXPECT_EQ(t.find(daPObjName(("/o/" + std::to_string(i)).c_str())), &entries[i]);
  std::sort(order.begin(), order.end());
  std::vector<daCachedStoreEntry*> expected;
  for (auto const& o : order) expected.push_back(&entries[-o.second]);
  EXPECT_EQ(walk(t), expected);

  std::vector<daCachedStoreEntry*> handed;
  g_handed = &handed;
  t.clearWithCallback(&hand);
  EXPECT_EQ(handed, expected);
  EXPECT_EQ(t.getCount(), 0u);
  EXPECT_TRUE(walk(t).empty());
}

TEST(HashTableTest, RemovingHeadMiddleOrTailKeepsChainOrder) {
  Table t(0, 0);  // one bucket: every key shares the chain
  std::vector<daCachedStoreEntry> e(6);
  for (int i = 0; i < 6; ++i) t.put(daRuleName(("r" + std::to_string(i)).c_str()), &e[i]);
  t.remove(daRuleName("r5"));  // head
  t.remove(daRuleName("r2"));  // middle
  t.remove(daRuleName("r0"));  // tail
  EXPECT_EQ(walk(t), (std::vector<daCachedStoreEntry*>{&e[4], &e[3], &e[1]}));
  t.put(daRuleName("r2"), &e[2]);  // back in, at the head
  t.remove(daRuleName("r1"));      // the new tail's predecessor link is right
  EXPECT_EQ(walk(t), (std::vector<daCachedStoreEntry*>{&e[2], &e[4], &e[3]}));
  EXPECT_EQ(t.getCount(), 3u);
}

// Names that end alike share their name hash and so one chain; the table
// must still find, replace and remove each of them by its whole key, and
// keep their chain in head-insertion order.
TEST(HashTableTest, HundredThousandNamesWithOneTailAreEachFoundReplacedAndRemoved) {
  constexpr int kNames = 100000;
  auto name = [](int i) {
    char text[32];
    std::snprintf(text, sizeof text, "/d%06d/index.html", i);  // equal lengths: equal last quarters
    return daPObjName(text);
  };
  ASSERT_EQ(name(1).hash(), name(99999).hash());
  Table t(1, 1000);
  std::vector<daCachedStoreEntry*> values(kNames);
  for (int i = 0; i < kNames; ++i) t.put(name(i), values[i] = new daCachedStoreEntry);
  ASSERT_EQ(t.getCount(), static_cast<std::uint32_t>(kNames));
  std::vector<daCachedStoreEntry*> newestFirst(values.rbegin(), values.rend());
  EXPECT_EQ(walk(t), newestFirst);  // one chain, newest at the head

  for (int i = 0; i < kNames; ++i) ASSERT_EQ(t.find(name(i)), values[i]) << i;
  EXPECT_EQ(t.find(daPObjName("/d100000/index.html")), nullptr);
  EXPECT_EQ(t.find(daAclName("/d000007/index.html")), nullptr);  // same text, other kind
  for (int i = 0; i < kNames; i += 2) t.put(name(i), values[i] = new daCachedStoreEntry);  // owned: old deleted
  for (int i = 0; i < kNames; i += 3) t.remove(name(i));
  std::vector<daCachedStoreEntry*> left;
  for (int i = kNames - 1; i >= 0; --i)
    if (i % 3 != 0) left.push_back(values[i]);
  EXPECT_EQ(walk(t), left);  // replacing keeps a node's place in its chain
  EXPECT_EQ(t.getCount(), left.size());
  for (int i = 0; i < kNames; ++i) ASSERT_EQ(t.find(name(i)), i % 3 != 0 ? values[i] : nullptr) << i;
  for (int i = 0; i < kNames; ++i) t.remove(name(i));
  EXPECT_EQ(t.getCount(), 0u);
  EXPECT_TRUE(walk(t).empty());
  t.put(name(5), new daCachedStoreEntry);  // usable again after emptying
  EXPECT_NE(t.find(name(5)), nullptr);
}
