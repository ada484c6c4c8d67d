// Cache entries of the cached store and the counting rules behind its
// handles. A daCachedStoreEntry holds one decoded object (or records that
// the database has none), the number of counted handles on it and its load
// state. The free functions daAttachCountedHandle and daReleaseCountedHandle
// are the bodies of the store's Container operations: the store passes its
// reference lock and its read-only flag.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "GxCore/daStoreObject.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/handle.h"
#include "outside/ZObject.h"
#include "outside/ZThread.h"

class daCachedStoreEntry : public ZObject_6_0 {
 public:
  enum entrystate : int {
    absent = 0,    // the name has no object (or a pending delete in a change list)
    loading = 1,   // one thread is reading and decoding the object; others wait
    building = 2,  // handed to one caller that will complete the entry; others wait
    ready = 3,     // the object is valid and shared
  };

  // A ready entry with no object, no count and no flags.
  daCachedStoreEntry() = default;
  // A ready entry that takes ownership of object.
  explicit daCachedStoreEntry(daStoreObject* obj) : object(obj) {}
  daCachedStoreEntry(daCachedStoreEntry const&) = delete;
  daCachedStoreEntry& operator=(daCachedStoreEntry const&) = delete;
  // Deletes the object.
  ~daCachedStoreEntry() override;

  // The cached object, owned by the entry; null for an absent object.
  daStoreObject* object = nullptr;
  // Number of counted handles; changed only under the store's reference
  // lock, and only on a writable store.
  std::uint32_t refCount = 0;
  // Set when the entry has left the table while handles still refer to it;
  // the last release deletes it.
  std::int32_t removed = 0;
  // Recursive-delete flag of a pending delete in a transaction's change list.
  std::int32_t recursive = 0;
  entrystate state = ready;
  // 1 when the content is final for policy resolution.
  std::int32_t resolved = 0;

  // Clear callback of a cache table: an entry that still has counted
  // handles, or that a loader is reading, is marked removed (its last
  // release, or the loader, deletes it); any other is deleted at once with
  // its object. Deleting an object can release counted handles it holds
  // (a policy map's remembered answer), which takes the reference lock, so
  // this form is for callers that do not hold it.
  static void retire(daStoreObjectName* key, daCachedStoreEntry* entry);
  // The same for a caller that holds the reference lock (so that no
  // release runs between the test and the mark): entries to delete are
  // moved to doomed, which the caller destroys after releasing the lock.
  static void retire(daCachedStoreEntry* entry, std::vector<std::unique_ptr<daCachedStoreEntry>>& doomed);
};

// Entries taken out of a cache table, deleted when the list goes, after the
// reference lock has been released.
using daRetiredEntries = std::vector<std::unique_ptr<daCachedStoreEntry>>;

using daStoreObjectHandle = Handle<daStoreObject>;
using daStoreObjectContainer = Container<daStoreObject>;

// Body of Container::doAttachHandle for the cached store. With no entry on h
// nothing happens. Otherwise, unless readOnly, adds 1 to the entry's count
// under refLock; then sets h to (self, the entry's current object, the
// entry). Takes refLock briefly.
void daAttachCountedHandle(daStoreObjectContainer* self, daStoreObjectHandle& h, ZLock_6_0& refLock, bool readOnly);

// Body of Container::doReleaseObject for the cached store. With no entry on
// h, the handle owned its object alone: the fields are cleared and the
// object deleted. With an entry, unless readOnly, 1 is taken from the
// entry's count under refLock; at 0 an entry marked removed is deleted with
// its object. The handle is empty afterwards in every case. An exception
// from the lock or a destructor is traced and swallowed. Takes refLock
// briefly (released before the entry is deleted).
void daReleaseCountedHandle(daStoreObjectHandle& h, ZLock_6_0& refLock, bool readOnly) noexcept;
