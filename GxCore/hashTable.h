// A chained hash table from store object names to cache entries, used as
// the cached store's cache table and as a transaction's change list. The
// bucket count is fixed at construction and the table never rehashes; new
// nodes go to the head of their chain, so the latest insert is found first.
// Each node keeps its own copy of the key. The table has no lock: its owner
// guards it (the store's cache lock, or the single thread that runs a
// transaction).
#pragma once

#include <cstdint>

template <class K, class V>
class hashTableIterator;

template <class K, class V>
class hashTable {
 public:
  struct Node {
    std::uint32_t hash;
    K key;
    V* value;
    Node* next;
  };

  // An empty table of (sizeHint * 3) / 2 buckets (unsigned 32-bit), at least
  // one. When ownsValues is set, replacing or removing a value deletes the
  // old one. Allocation failure throws std::bad_alloc.
  hashTable(unsigned char ownsValues, unsigned int sizeHint)
      : ownsValues(ownsValues), bucketCount(static_cast<std::uint32_t>(sizeHint * 3u) >> 1) {
    if (bucketCount == 0) bucketCount = 1;
    buckets = new Node*[bucketCount]();
  }
  // Destroys every node; values are deleted only when the table owns them.
  ~hashTable() {
    clear(ownsValues);
    delete[] buckets;
  }
  hashTable(hashTable const&) = delete;
  hashTable& operator=(hashTable const&) = delete;

  // The value stored under a key equal to key, or null.
  V* find(K const& key) const {
    Node* n = findNode(key, static_cast<std::uint32_t>(key.hash()));
    return n != nullptr ? n->value : nullptr;
  }

  // Stores value under key. An existing equal key keeps its node and gets
  // the new value (the old one is deleted when the table owns its values,
  // count unchanged); otherwise a node with a copy of key is linked at the
  // head of its chain. Allocation failure throws std::bad_alloc and leaves
  // the table unchanged.
  void put(K const& key, V* value) {
    std::uint32_t h = static_cast<std::uint32_t>(key.hash());
    if (Node* n = findNode(key, h)) {
      if (n->value != value) {
        if (ownsValues && n->value != nullptr) delete n->value;
        n->value = value;
      }
      return;
    }
    Node*& head = buckets[h % bucketCount];
    head = new Node{h, K(key), value, head};
    ++count;
  }

  // Removes the node of a key equal to key, deleting its value when the
  // table owns its values. A missing key changes nothing.
  void remove(K const& key) {
    std::uint32_t h = static_cast<std::uint32_t>(key.hash());
    Node** link = &buckets[h % bucketCount];
    for (Node* n = *link; n != nullptr; link = &n->next, n = n->next) {
      if (n->hash == h && n->key.equals(key)) {
        *link = n->next;
        if (ownsValues && n->value != nullptr) delete n->value;
        delete n;
        --count;
        return;
      }
    }
  }

  // Removes every node, bucket by bucket in index order, deleting each
  // non-null value first when deleteValues is set.
  void clear(unsigned char deleteValues) {
    for (std::uint32_t b = 0; b < bucketCount; ++b) {
      Node* n = buckets[b];
      buckets[b] = nullptr;
      while (n != nullptr) {
        Node* next = n->next;
        if (deleteValues && n->value != nullptr) delete n->value;
        delete n;
        n = next;
      }
    }
    count = 0;
  }

  // Removes every node, bucket by bucket in index order and in chain order
  // within a bucket, handing each key and value to callback just before the
  // node goes. The callback alone decides what happens to the value; the
  // key is valid only during the call.
  template <class Callback>
  void clearWithCallback(Callback&& callback) {
    for (std::uint32_t b = 0; b < bucketCount; ++b) {
      Node* n = buckets[b];
      buckets[b] = nullptr;
      while (n != nullptr) {
        Node* next = n->next;
        callback(&n->key, n->value);
        delete n;
        --count;
        n = next;
      }
    }
  }

  std::uint32_t getCount() const { return count; }
  std::uint32_t getBucketCount() const { return bucketCount; }
  bool ownsItsValues() const { return ownsValues != 0; }

 private:
  friend class hashTableIterator<K, V>;

  Node* findNode(K const& key, std::uint32_t h) const {
    for (Node* n = buckets[h % bucketCount]; n != nullptr; n = n->next)
      if (n->hash == h && n->key.equals(key)) return n;
    return nullptr;
  }

  std::uint8_t ownsValues;
  std::uint32_t bucketCount;
  std::uint32_t count = 0;
  Node** buckets;
};

// Walks a table bucket by bucket in index order and each chain from its
// head. The table must not change during a walk. Typical use:
//   hashTableIterator<K, V> it(table);
//   for (it.findNextElement(0); it.current() != nullptr; it.findNextElement(1)) ...
template <class K, class V>
class hashTableIterator {
 public:
  using Node = typename hashTable<K, V>::Node;

  // Positions at bucket 0 and its chain head; call findNextElement(0) before
  // reading the first element.
  explicit hashTableIterator(hashTable<K, V> const& table)
      : table_(table), bucket_(0), node_(table.buckets[0]) {}
  hashTableIterator(hashTableIterator const&) = delete;
  hashTableIterator& operator=(hashTableIterator const&) = delete;

  // With advance non-zero and a current node, steps to its successor in the
  // chain; then, while there is no current node, moves to the next bucket's
  // chain head until a non-empty bucket is found or the buckets run out.
  void findNextElement(unsigned char advance) {
    if (advance && node_ != nullptr) node_ = node_->next;
    if (node_ != nullptr) return;
    while (bucket_ < table_.bucketCount) {
      ++bucket_;
      if (bucket_ < table_.bucketCount) {
        node_ = table_.buckets[bucket_];
        if (node_ != nullptr) return;
      }
    }
  }

  // The current node's key and value; null once the walk has ended.
  Node const* current() const { return node_; }
  K const* key() const { return node_ != nullptr ? &node_->key : nullptr; }
  V* value() const { return node_ != nullptr ? node_->value : nullptr; }
  std::uint32_t bucket() const { return bucket_; }

 private:
  hashTable<K, V> const& table_;
  std::uint32_t bucket_;
  Node* node_;
};
