// A chained hash table from store object names to cache entries, used as
// the cached store's cache table and as a transaction's change list.
//
// What callers see is fixed: the bucket count ((sizeHint * 3) / 2, at least
// one) never changes and the chains never rehash; new nodes go to the head
// of their chain, so the latest insert is found first; the iterator and the
// clears walk bucket by bucket in index order and each chain from its head.
// Each node keeps its own copy of the key and the 32-bit name hash that
// chose its bucket.
//
// That name hash covers only the last quarter of a name's text, so names
// that end alike ("/dN/index.html") share a bucket and chains grow with the
// estate. Lookups therefore do not walk chains: beside them the table keeps
// an index over the whole key, an open-addressing array (linear probing,
// power-of-two capacity kept at most half full, backward-shift deletion) of
// the nodes keyed by a 64-bit hash of the type id, the base text and the
// whole name text. find, put and remove are O(1) whatever the chains look
// like; chains are doubly linked so a node found through the index is
// unlinked without walking its chain. Equality stays K::equals.
//
// The table has no lock: its owner guards it (the store's cache lock, or
// the single thread that runs a transaction).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

template <class K, class V>
class hashTableIterator;

// The 64-bit hash of a whole key: its type id, base text and name text,
// each text with its length so that the fields cannot run into each other.
// Keys that are equal (same type id, same base text or both without one,
// same name text) hash alike.
template <class K>
struct hashTableKeyHash {
  static std::uint64_t of(K const& key) {
    std::uint64_t h = mix(0x9E3779B97F4A7C15ull ^ static_cast<std::uint32_t>(key.getTypeID()));
    char const* base = key.getBaseName();
    h = base != nullptr ? text(h, base, std::strlen(base)) : mix(h ^ 0xB5);
    return text(h, key.getChars(), key.getLength());
  }

 private:
  static std::uint64_t mix(std::uint64_t x) {  // a full-avalanche finaliser
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    x ^= x >> 33;
    return x;
  }
  static std::uint64_t text(std::uint64_t h, char const* p, std::size_t n) {
    h = mix(h ^ n);
    for (; n >= 8; p += 8, n -= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      h = (h ^ w) * 0x9FB21C651E98DF25ull;
      h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    return mix(h ^ tail);
  }
};

template <class K, class V>
class hashTable {
 public:
  struct Node {
    std::uint32_t hash;  // the name hash: bucket = hash % bucketCount
    K key;
    V* value;
    Node* next;
    Node* prev;             // null at the head of the chain
    std::uint64_t keyHash;  // hashTableKeyHash of the key: the index's slot
  };

  // An empty table of (sizeHint * 3) / 2 buckets (unsigned 32-bit), at least
  // one. When ownsValues is set, replacing or removing a value deletes the
  // old one. Allocation failure throws std::bad_alloc.
  hashTable(unsigned char ownsValues, unsigned int sizeHint)
      : ownsValues(ownsValues), bucketCount(static_cast<std::uint32_t>(sizeHint * 3u) >> 1) {
    if (bucketCount == 0) bucketCount = 1;
    buckets.reset(new Node*[bucketCount]());
    slots_.reset(new Slot[kFirstCapacity]());
    capacity_ = kFirstCapacity;
  }
  // Destroys every node; values are deleted only when the table owns them.
  ~hashTable() { clear(ownsValues); }
  hashTable(hashTable const&) = delete;
  hashTable& operator=(hashTable const&) = delete;

  // The value stored under a key equal to key, or null.
  V* find(K const& key) const {
    Node* n = findNode(key, static_cast<std::uint32_t>(key.hash()), hashTableKeyHash<K>::of(key));
    return n != nullptr ? n->value : nullptr;
  }

  // Stores value under key. An existing equal key keeps its node and gets
  // the new value (the old one is deleted when the table owns its values,
  // count unchanged); otherwise a node with a copy of key is linked at the
  // head of its chain. Allocation failure throws std::bad_alloc and leaves
  // the table unchanged.
  void put(K const& key, V* value) {
    std::uint32_t h = static_cast<std::uint32_t>(key.hash());
    std::uint64_t kh = hashTableKeyHash<K>::of(key);
    if (Node* n = findNode(key, h, kh)) {
      if (n->value != value) {
        if (ownsValues && n->value != nullptr) delete n->value;
        n->value = value;
      }
      return;
    }
    reserveIndexFor(static_cast<std::size_t>(count) + 1);  // may throw; nothing changed yet
    Node*& head = buckets[h % bucketCount];
    Node* n = new Node{h, K(key), value, head, nullptr, kh};
    if (head != nullptr) head->prev = n;
    head = n;
    indexInsert(n);
    ++count;
  }

  // Removes the node of a key equal to key, deleting its value when the
  // table owns its values. A missing key changes nothing.
  void remove(K const& key) {
    std::uint64_t kh = hashTableKeyHash<K>::of(key);
    std::size_t slot = findSlot(key, static_cast<std::uint32_t>(key.hash()), kh);
    if (slot == kNoSlot) return;
    Node* n = slots_[slot].node;
    indexErase(slot);
    unlink(n);
    if (ownsValues && n->value != nullptr) delete n->value;
    delete n;
    --count;
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
    std::fill_n(slots_.get(), capacity_, Slot{});
    count = 0;
  }

  // Removes every node, bucket by bucket in index order and in chain order
  // within a bucket, handing each key and value to callback just before the
  // node goes. The callback alone decides what happens to the value; the
  // key is valid only during the call. A bucket's nodes leave the table
  // (find no longer sees them) before the first of them is handed over.
  template <class Callback>
  void clearWithCallback(Callback&& callback) {
    for (std::uint32_t b = 0; b < bucketCount; ++b) {
      Node* n = buckets[b];
      buckets[b] = nullptr;
      for (Node* d = n; d != nullptr; d = d->next) indexErase(findSlotOf(d));
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

  // An index slot: the node's key hash beside it, so probes compare it
  // without touching the node. Empty when node is null.
  struct Slot {
    std::uint64_t keyHash = 0;
    Node* node = nullptr;
  };
  static constexpr std::size_t kFirstCapacity = 16;
  static constexpr std::size_t kNoSlot = ~std::size_t{0};

  Node* findNode(K const& key, std::uint32_t h, std::uint64_t kh) const {
    std::size_t slot = findSlot(key, h, kh);
    return slot != kNoSlot ? slots_[slot].node : nullptr;
  }

  // The slot of the node whose key equals key (same name hash, same key
  // hash and equal by K::equals, as a chain walk would match), or kNoSlot.
  std::size_t findSlot(K const& key, std::uint32_t h, std::uint64_t kh) const {
    std::size_t mask = capacity_ - 1;
    for (std::size_t i = kh & mask;; i = (i + 1) & mask) {
      Slot const& s = slots_[i];
      if (s.node == nullptr) return kNoSlot;
      if (s.keyHash == kh && s.node->hash == h && s.node->key.equals(key)) return i;
    }
  }

  // The slot holding node n, which is in the index.
  std::size_t findSlotOf(Node const* n) const {
    std::size_t mask = capacity_ - 1;
    std::size_t i = n->keyHash & mask;
    while (slots_[i].node != n) i = (i + 1) & mask;
    return i;
  }

  void indexInsert(Node* n) {
    std::size_t mask = capacity_ - 1;
    std::size_t i = n->keyHash & mask;
    while (slots_[i].node != nullptr) i = (i + 1) & mask;
    slots_[i] = Slot{n->keyHash, n};
  }

  // Empties slot i and shifts later members of its probe run back, so that
  // every node stays reachable from its home slot without tombstones.
  void indexErase(std::size_t i) {
    std::size_t mask = capacity_ - 1;
    std::size_t j = i;
    for (;;) {
      j = (j + 1) & mask;
      if (slots_[j].node == nullptr) break;
      std::size_t home = slots_[j].keyHash & mask;
      // Move j into the hole unless its home lies cyclically in (i, j].
      if (((j - home) & mask) >= ((j - i) & mask)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = Slot{};
  }

  // Grows the index (doubling) so that nodes entries keep it at most half
  // full. Throws std::bad_alloc with the index unchanged.
  void reserveIndexFor(std::size_t nodes) {
    if (nodes * 2 <= capacity_) return;
    std::size_t capacity = capacity_;
    while (nodes * 2 > capacity) capacity *= 2;
    std::unique_ptr<Slot[]> old(new Slot[capacity]());
    old.swap(slots_);
    std::size_t oldCapacity = capacity_;
    capacity_ = capacity;
    for (std::size_t i = 0; i < oldCapacity; ++i)
      if (old[i].node != nullptr) indexInsert(old[i].node);
  }

  void unlink(Node* n) {
    if (n->prev != nullptr) n->prev->next = n->next;
    else buckets[n->hash % bucketCount] = n->next;
    if (n->next != nullptr) n->next->prev = n->prev;
  }

  std::uint8_t ownsValues;
  std::uint32_t bucketCount;
  std::uint32_t count = 0;
  std::unique_ptr<Node*[]> buckets;
  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = 0;
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
