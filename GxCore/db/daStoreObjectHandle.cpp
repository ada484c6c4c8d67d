#include "GxCore/db/daStoreObjectHandle.h"

#include <mutex>

#include "outside/hxsvc.h"

daCachedStoreEntry::~daCachedStoreEntry() { delete object; }

void daCachedStoreEntry::retire(daStoreObjectName*, daCachedStoreEntry* entry) {
  if (entry == nullptr) return;
  // A loading entry belongs to its loader even on a read-only store, where
  // it has no count: the loader finds it marked and deletes it.
  if (entry->refCount != 0 || entry->state == loading) entry->removed = 1;
  else delete entry;
}

void daCachedStoreEntry::retire(daCachedStoreEntry* entry, daRetiredEntries& doomed) {
  if (entry == nullptr) return;
  if (entry->refCount != 0 || entry->state == loading) entry->removed = 1;
  else doomed.emplace_back(entry);
}

void daAttachCountedHandle(daStoreObjectContainer* self, daStoreObjectHandle& h, ZLock_6_0& refLock, bool readOnly) {
  daCachedStoreEntry* entry = h.entry;
  if (entry == nullptr) return;
  if (!readOnly) {
    std::lock_guard<ZLock_6_0> guard(refLock);
    ++entry->refCount;
  }
  h.container = self;
  h.object = entry->object;
  h.entry = entry;
}

void daReleaseCountedHandle(daStoreObjectHandle& h, ZLock_6_0& refLock, bool readOnly) noexcept {
  daCachedStoreEntry* entry = h.entry;
  if (entry == nullptr) {
    daStoreObject* owned = h.container != nullptr ? h.object : nullptr;
    h.clear();
    try {
      delete owned;
    } catch (...) {
      HX_TRACE(hx_ras_svc_handle, 0, 9, "%s Exception caught. \n", "Unspecified");
    }
    return;
  }
  if (!readOnly) {
    try {
      bool last = false;
      {
        std::lock_guard<ZLock_6_0> guard(refLock);
        last = entry->refCount != 0 && --entry->refCount == 0 && entry->removed != 0;
      }
      if (last) delete entry;
    } catch (...) {
      HX_TRACE(hx_ras_svc_handle, 0, 9, "%s Exception caught. \n", "Unspecified");
    }
  }
  h.clear();
}
