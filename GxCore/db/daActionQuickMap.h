// daActionQuickMap: converts action strings such as "Tr[mygroup]ab" to
// permission sets and back without decoding the action catalogue on every
// call. It is built once from the stored catalogue (GxActionGroups), indexed
// by group name (one hash lookup) and by the action letter's byte (one array
// index), and dropped when the catalogue changes. Each daCachedStore owns
// one and forwards mapAction/mapBitmap/invalidateQuickMap to it.
//
// Locking: mapLock guards populated, groupMaps and primaryMap. Conversions
// take it shared (none at all on a read-only store once populated); builds
// and invalidations take it exclusively. The WithoutLock variants are for a
// caller that already excludes every other user of the store (the local
// policy while it holds the store's state lock exclusively).
#pragma once

#include <atomic>

#include "GxCore/perm.h"
#include "outside/ZCollections.h"
#include "outside/ZObject.h"
#include "outside/ZString.h"
#include "outside/ZThread.h"

class daCachedStore;

// One action of a group: its one-letter name and its bit in the group's
// word. An empty slot has an empty name and bitmask 0.
class ActionNameBitmask : public ZObject_6_0 {
 public:
  ActionNameBitmask() = default;
  ActionNameBitmask(char const* name, unsigned int bitmask);
  unsigned int hash() const override;
  int compare(ZObject_6_0 const& other) const override;
  ZObject_6_0* clone() const override { return new ActionNameBitmask(*this); }

  ZUTF8String_6_0 name;
  unsigned int bitmask = 0;
};

// One action group: its name (the map key), its slot in the catalogue (its
// word in permission sets) and 256 slots, one per action-letter byte.
class ActionMap : public ZObject_6_0 {
 public:
  static constexpr int slots = 256;
  ActionMap(char const* groupName, unsigned int groupIndex);
  ActionMap(ActionMap const& other) = default;
  ActionMap& operator=(ActionMap const&) = delete;
  unsigned int hash() const override;
  int compare(ZObject_6_0 const& other) const override;
  ZObject_6_0* clone() const override { return new ActionMap(*this); }

  ZUTF8String_6_0 name;
  unsigned int groupIndex;
  ActionNameBitmask actions[slots];
};

class daActionQuickMap {
 public:
  daActionQuickMap();
  daActionQuickMap(daActionQuickMap const&) = delete;
  daActionQuickMap& operator=(daActionQuickMap const&) = delete;
  virtual ~daActionQuickMap();

  // perms receives the permissions named by actions (cleared first; on a
  // failed conversion it keeps the bits set before the failing byte).
  // Returns 0; 0x1005B2F1 unknown letter or group, 0x1005B1D5 "[" without
  // "]", 0x1005B30C group name at the end of the string, or the store's
  // status when the catalogue cannot be read. Builds the map on first use
  // (throws ZInvalidParameterException_6_0 when the catalogue has no
  // "primary" group). Lock: none on a populated read-only store, else the
  // map lock shared (exclusive while building).
  unsigned int mapAction(daCachedStore& store, char const* actions, GxACLPermset& perms);
  // Appends to out the action string for perms ("primary" letters first,
  // then "[group]letters" per other group with granted actions). Statuses
  // and locking as mapAction.
  unsigned int mapBitmap(daCachedStore& store, GxACLPermset const& perms, ZAbstractMutableString_6_0& out);

  // Back to unpopulated and empty; the next conversion rebuilds from the
  // store. Takes the map lock exclusively (the WithoutLock form does not).
  void invalidateQuickMap();
  void invalidateQuickMapWithoutLock();
  // Builds the map from the store's catalogue unless already populated.
  // Returns 0 or the store's read status (map unchanged); throws
  // ZInvalidParameterException_6_0 without a "primary" group (populated
  // stays 0).
  unsigned int populateQuickMap(daCachedStore& store);
  unsigned int populateQuickMapWithoutLock(daCachedStore& store);

  // The conversions on a built map, with no locking of their own.
  unsigned int lookupInQuickMap(char const* actions, GxACLPermset& perms) const;
  unsigned int lookupInQuickMap(GxACLPermset const& perms, ZAbstractMutableString_6_0& out) const;
  // Enters one action; creates the group's ActionMap on first sight (an
  // existing one keeps its index). Throws ZOutOfMemoryException_6_0 when the
  // group cannot be entered.
  void storeIntoQuickMap(char const* groupName, unsigned int groupIndex, char const* actionName,
                         unsigned int bitmask);

  int isPopulated() const { return populated.load(std::memory_order_acquire); }

 private:
  // Atomic because a read-only store reads it without the lock; it is set
  // (release) only after the map is complete.
  std::atomic<int> populated{0};
  ZHashKeyMap_6_0 groupMaps{32, true};
  ActionMap* primaryMap = nullptr;
  ZReadWriteLock_6_0 mapLock;
};
