// Handles on cached store objects and the container interface that counts
// them. A caller never owns a cached object directly: it holds a Handle, a
// plain value naming the container that issued it, the object, and the
// cache entry that keeps the object alive. Copying a handle goes through
// attachHandle (the container counts one more reference); releasing goes
// through the container's doReleaseObject. A handle is not thread-safe:
// each thread keeps its own and attaches copies for other threads.
#pragma once

#include <utility>

class daCachedStoreEntry;

template <class T>
class Handle;

// What a handle calls when it is attached or released. The cached store is
// the implementation; the interface holds no data.
template <class T>
class Container {
 public:
  Container() = default;
  Container(Container const&) = delete;
  Container& operator=(Container const&) = delete;
  virtual ~Container() = default;

  // Drops the reference the handle holds and empties the handle (all three
  // fields null). Reports nothing; never throws.
  virtual void doReleaseObject(Handle<T>& handle) = 0;
  // Counts one more reference for a handle that already carries copies of
  // another handle's fields, and refreshes its fields from the entry.
  virtual void doAttachHandle(Handle<T>& handle) = 0;
};

// A counted reference to an object kept by a Container. Empty when all three
// fields are null. Copies are made with attachHandle, never implicitly, so
// that each copy is counted; moves transfer the reference unchanged.
template <class T>
class Handle {
 public:
  // The container that issued the handle; null when the handle is empty.
  Container<T>* container = nullptr;
  // The designated object; may be null with a container set (an entry that
  // records an absent object). Owned by the entry, or by this handle alone
  // when entry is null.
  T* object = nullptr;
  // The cache entry that keeps the object; null for an uncached object.
  daCachedStoreEntry* entry = nullptr;

  Handle() = default;
  Handle(Container<T>* c, T* o, daCachedStoreEntry* e) : container(c), object(o), entry(e) {}
  ~Handle() { release(); }

  Handle(Handle const&) = delete;
  Handle& operator=(Handle const&) = delete;

  // Takes over other's reference; other is left empty. No count changes.
  Handle(Handle&& other) noexcept : container(other.container), object(other.object), entry(other.entry) {
    other.clear();
  }
  // Releases this handle's reference, then takes over other's; other is left
  // empty. No count changes for the reference moved.
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      release();
      container = other.container;
      object = other.object;
      entry = other.entry;
      other.clear();
    }
    return *this;
  }

  // Makes target a second counted reference to what this handle designates:
  // releases target's reference, copies the three fields into it, and lets
  // this handle's container count it. Attaching an empty handle only empties
  // the target. Attaching a handle to itself changes nothing. The locks taken
  // are the container's (the cached store's reference lock).
  void attachHandle(Handle& target) const {
    if (&target == this) return;
    if (target.container != nullptr) target.container->doReleaseObject(target);
    target.container = container;
    target.object = object;
    target.entry = entry;
    if (container != nullptr) container->doAttachHandle(target);
  }

  // Drops the reference through the container; the handle is empty after.
  void release() noexcept {
    if (container != nullptr) container->doReleaseObject(*this);
    clear();
  }

  // The object seen through the handle: null when empty.
  T* get() const { return container != nullptr ? object : nullptr; }
  T* operator->() const { return get(); }
  bool isEmpty() const { return container == nullptr; }

  // Sets the three fields to null without telling the container; for
  // containers emptying a handle they have just released.
  void clear() noexcept {
    container = nullptr;
    object = nullptr;
    entry = nullptr;
  }
};
