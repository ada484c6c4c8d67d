// The cache table: bucket count, lookup by full name equality, chain and
// walk order, value ownership and clearing.
#include <gtest/gtest.h>

#include <algorithm>
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

TEST(HashTableTest, RemovingHeadOrMiddleKeepsChainOrder) {
  Table t(0, 0);  // one bucket: every key shares the chain
  std::vector<daCachedStoreEntry> e(4);
  for (int i = 0; i < 4; ++i) t.put(daRuleName(("r" + std::to_string(i)).c_str()), &e[i]);
  t.remove(daRuleName("r3"));
  t.remove(daRuleName("r1"));
  EXPECT_EQ(walk(t), (std::vector<daCachedStoreEntry*>{&e[2], &e[0]}));
}
