// Foundation containers of ZObject_6_0 pointers. An owning container deletes
// its elements when they are removed or when it is destroyed; a non-owning
// one only keeps the pointers. Neither is synchronised: callers lock.
#pragma once

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

#include "outside/ZObject.h"

// Orders two elements for ZAbstractList_6_0::sort.
class ZSortCompare_6_0 {
 public:
  virtual ~ZSortCompare_6_0() = default;
  virtual int sortCompare(ZObject_6_0 const* a, ZObject_6_0 const* b) const = 0;
};

class ZAbstractList_6_0 : public ZObject_6_0 {
 public:
  virtual unsigned int size() const = 0;
  virtual ZObject_6_0* get(unsigned int i) const = 0;
  virtual void sort(ZSortCompare_6_0 const& cmp) = 0;
};

class ZArrayList_6_0 : public ZAbstractList_6_0 {
 public:
  explicit ZArrayList_6_0(unsigned int capacity = 10, bool owns = true) : owns_(owns) {
    items_.reserve(capacity);
  }
  ZArrayList_6_0(ZArrayList_6_0 const& o) : ZAbstractList_6_0(o), owns_(true) { addList(o); }
  ZArrayList_6_0& operator=(ZArrayList_6_0 const& o) {
    if (this != &o) { removeAll(); owns_ = true; addList(o); }
    return *this;
  }
  ~ZArrayList_6_0() override { removeAll(); }
  ZObject_6_0* clone() const override { return new ZArrayList_6_0(*this); }

  // Stores a clone of the element (the list then owns the clone only when it
  // is an owning list; a non-owning list should use addNoCopy).
  void add(ZObject_6_0 const& o) { items_.push_back(o.clone()); }
  // Stores the pointer itself; an owning list takes ownership.
  void addNoCopy(ZObject_6_0* o) { items_.push_back(o); }
  void addList(ZArrayList_6_0 const& o) {
    for (auto* p : o.items_) items_.push_back(p ? p->clone() : nullptr);
  }
  ZObject_6_0* get(unsigned int i) const override { return i < items_.size() ? items_[i] : nullptr; }
  unsigned int size() const override { return static_cast<unsigned int>(items_.size()); }
  bool contains(ZObject_6_0 const& o) const {
    return std::any_of(items_.begin(), items_.end(), [&](ZObject_6_0* p) { return p && p->equals(o); });
  }
  // Removes (and, when owning, deletes) element i.
  void removeAt(unsigned int i) {
    if (i >= items_.size()) return;
    if (owns_) delete items_[i];
    items_.erase(items_.begin() + i);
  }
  void removeAll() {
    if (owns_) for (auto* p : items_) delete p;
    items_.clear();
  }
  void sort(ZSortCompare_6_0 const& cmp) override {
    std::stable_sort(items_.begin(), items_.end(),
                     [&](ZObject_6_0* a, ZObject_6_0* b) { return cmp.sortCompare(a, b) < 0; });
  }
  bool ownsElements() const { return owns_; }

 private:
  bool owns_;
  std::vector<ZObject_6_0*> items_;
};

class ZListIterator_6_0 {
 public:
  explicit ZListIterator_6_0(ZAbstractList_6_0 const& list) : list_(list) {}
  bool hasMore() const { return next_ < list_.size(); }
  ZObject_6_0* getNext() { return hasMore() ? list_.get(next_++) : nullptr; }

 private:
  ZAbstractList_6_0 const& list_;
  unsigned int next_ = 0;
};

// Map keyed by hash()/equals() of the key objects. The map keeps its own
// clone of every key; an owning map also owns (and deletes) the values.
class ZHashKeyMap_6_0 : public ZObject_6_0 {
 public:
  explicit ZHashKeyMap_6_0(unsigned int buckets = 31, bool owns = true)
      : owns_(owns), map_(buckets) {}
  ZHashKeyMap_6_0(ZHashKeyMap_6_0 const&) = delete;
  ZHashKeyMap_6_0& operator=(ZHashKeyMap_6_0 const&) = delete;
  ~ZHashKeyMap_6_0() override { removeAll(); }

  // Stores value under key, replacing (and, when owning, deleting) the value
  // stored before.
  void putEntry(ZObject_6_0 const& key, ZObject_6_0* value) {
    auto it = map_.find(Key{&key});
    if (it != map_.end()) {
      if (owns_ && it->second != value) delete it->second;
      it->second = value;
      return;
    }
    ZObject_6_0* copy = key.clone();
    map_.emplace(Key{copy, true}, value);
  }
  // The value stored under key, or null.
  ZObject_6_0* getEntry(ZObject_6_0 const& key) const {
    auto it = map_.find(Key{&key});
    return it == map_.end() ? nullptr : it->second;
  }
  // Removes the entry; returns its value when the map does not own it (an
  // owning map deletes it and returns null).
  ZObject_6_0* removeEntry(ZObject_6_0 const& key) {
    auto it = map_.find(Key{&key});
    if (it == map_.end()) return nullptr;
    ZObject_6_0* v = it->second;
    Key k = it->first;
    map_.erase(it);
    delete k.obj;
    if (owns_) { delete v; return nullptr; }
    return v;
  }
  void removeAll() {
    for (auto& [k, v] : map_) {
      delete k.obj;
      if (owns_) delete v;
    }
    map_.clear();
  }
  unsigned int size() const { return static_cast<unsigned int>(map_.size()); }
  // Fills list with clones of the keys / values.
  void listKeys(ZArrayList_6_0& list) const { for (auto& e : map_) list.add(*e.first.obj); }
  void listObjects(ZArrayList_6_0& list) const {
    for (auto& e : map_) if (e.second) list.add(*e.second);
  }
  void putAll(ZHashKeyMap_6_0 const& o) {
    for (auto& e : o.map_) putEntry(*e.first.obj, e.second ? e.second->clone() : nullptr);
  }

 private:
  struct Key {
    ZObject_6_0 const* obj;
    bool owned = false;
    bool operator==(Key const& o) const { return obj->equals(*o.obj); }
  };
  struct KeyHash {
    size_t operator()(Key const& k) const { return k.obj->hash(); }
  };
  bool owns_;
  std::unordered_map<Key, ZObject_6_0*, KeyHash> map_;
};
