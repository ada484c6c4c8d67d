// daActionQuickMap: converts action strings such as "Tr[mygroup]ab" to
// permission sets and back without decoding the action catalogue on every
// call. It is built once from the stored catalogue (GxActionGroups), indexed
// by group name (one hash lookup) and by the action letter's byte (one array
// index), and dropped when the catalogue changes. Each daCachedStore owns
// one and forwards mapAction/mapBitmap/invalidateQuickMap to it.
//
// Letters before any "[" name actions of the default group "primary";
// "[" group "]" switches to that group for the letters that follow. The map
// is built from the catalogue's actions: a group enters it with its first
// action, so a group without actions is unknown to it (and a "primary"
// without actions is missing).
//
// Locking: mapLock guards populated, groupMaps, primaryMap and the lookup
// index. Conversions take it shared (none at all on a read-only store once
// populated); builds and invalidations take it exclusively. The WithoutLock
// variants are for a caller that already excludes every other user of the
// store (the local policy while it holds the store's state lock
// exclusively).
#pragma once

#include <atomic>
#include <cstddef>
#include <string_view>
#include <vector>

#include "GxCore/dastatus.h"
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
  // Those of the name.
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
  // Those of the group name.
  unsigned int hash() const override;
  int compare(ZObject_6_0 const& other) const override;
  ZObject_6_0* clone() const override { return new ActionMap(*this); }

  // Enters the action named name (its first byte picks the element) with
  // bitmask, replacing whatever that element held. An empty name changes
  // nothing.
  void setAction(char const* name, unsigned int bitmask);
  // The bytes whose elements hold an action (non-zero bitmask), ascending;
  // kept by setAction so that rendering a permission set visits only them.
  std::string_view heldBytes() const { return {held_, heldCount_}; }

  ZUTF8String_6_0 name;
  unsigned int groupIndex;
  ActionNameBitmask actions[slots];

 private:
  char held_[slots] = {};
  std::size_t heldCount_ = 0;
};

class daActionQuickMap {
 public:
  daActionQuickMap();
  daActionQuickMap(daActionQuickMap const&) = delete;
  daActionQuickMap& operator=(daActionQuickMap const&) = delete;
  // Invalidates the map (no lock: nobody else may use it any more).
  virtual ~daActionQuickMap();

  // perms receives the permissions named by actions (cleared first; on a
  // failed conversion it keeps the bits set before the failing byte; a null
  // actions reads as ""). Returns 0; 0x1005B2F1 unknown letter or group (or
  // an empty group name), 0x1005B1D5 "[" without "]", 0x1005B30C group name
  // at the end of the string, or the store's status when the catalogue
  // cannot be read (0x132792F2 when the record under the catalogue's key is
  // not a catalogue). Builds the map on first use (throws
  // ZInvalidParameterException_6_0 when the catalogue has no "primary"
  // group holding an action). Lock: none on a populated read-only store,
  // else the map lock shared (exclusive while building).
  unsigned int mapAction(daCachedStore& store, char const* actions, GxACLPermset& perms);
  // Appends to out the action string for perms ("primary" letters first,
  // then "[group]letters" per other group with granted actions, groups in
  // ascending slot order, letters in byte order). Bits that name no action
  // write nothing. Statuses, exceptions and locking as mapAction; out is
  // unchanged on failure.
  unsigned int mapBitmap(daCachedStore& store, GxACLPermset const& perms, ZAbstractMutableString_6_0& out);

  // Back to unpopulated and empty; the next conversion rebuilds from the
  // store. Takes the map lock exclusively (the WithoutLock form does not).
  void invalidateQuickMap();
  void invalidateQuickMapWithoutLock();
  // Builds the map from the store's catalogue unless already populated.
  // Returns 0 or the store's read status (map left unpopulated); throws
  // ZInvalidParameterException_6_0 when no action of a "primary" group
  // entered the map (populated stays 0, the map empty). populateQuickMap takes the map lock exclusively; the
  // WithoutLock form takes none.
  unsigned int populateQuickMap(daCachedStore& store);
  unsigned int populateQuickMapWithoutLock(daCachedStore& store);

  // The conversions on a built map, with no locking of their own (the caller
  // holds the map lock shared, or the map cannot change). Statuses as
  // mapAction / mapBitmap; on an unbuilt map every letter is unknown and
  // no permission set renders anything.
  unsigned int lookupInQuickMap(char const* actions, GxACLPermset& perms) const;
  unsigned int lookupInQuickMap(GxACLPermset const& perms, ZAbstractMutableString_6_0& out) const;
  // Enters one action (its name's first byte picks the element); creates
  // the group's ActionMap on first sight (an existing one keeps its index).
  // An empty or null action name only enters the group. Throws
  // ZOutOfMemoryException_6_0 when the group cannot be entered (the map is
  // then as before). No locking: the caller holds the map lock exclusively
  // (or owns the map alone).
  void storeIntoQuickMap(char const* groupName, unsigned int groupIndex, char const* actionName,
                         unsigned int bitmask);

  int isPopulated() const { return populated.load(std::memory_order_acquire); }

 private:
  // One slot of the open-addressed group index: the name's hash and the
  // group (null when the slot is free).
  struct IndexSlot {
    unsigned int hash = 0;
    ActionMap* map = nullptr;
  };

  // The group called name, or null; one probe sequence, no allocation.
  ActionMap* findGroup(std::string_view name) const;
  // Adds a new group to the index and to the rendering order; may throw
  // std::bad_alloc.
  void indexGroup(ActionMap* map);
  void rehashIndex(std::size_t slotCount);
  void buildFromCatalogue(daCachedStore& store, unsigned long& status);
  // Runs conversion under the lock protocol of mapAction.
  template <class Conversion>
  unsigned int convert(daCachedStore& store, Conversion&& conversion);

  // Atomic because a read-only store reads it without the lock; it is set
  // (release) only after the map is complete.
  std::atomic<int> populated{0};
  ZHashKeyMap_6_0 groupMaps{32, true};
  ActionMap* primaryMap = nullptr;
  ZReadWriteLock_6_0 mapLock;
  // Lookup index over the ActionMaps owned by groupMaps: a power-of-two
  // table at most half full, and every group in ascending slot order for
  // rendering.
  std::vector<IndexSlot> index_;
  std::size_t indexed_ = 0;
  std::vector<ActionMap*> renderOrder_;
};
