#include "GxCore/db/daActionQuickMap.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "GxCore/GxAction.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/dbtrace.h"

namespace {

constexpr char const* kSourceName = "GxCore/db/daActionQuickMap";
constexpr char const* kPrimaryGroup = "primary";

// Runs a callable when the scope ends, however it ends.
template <class F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(ScopeExit const&) = delete;
  ScopeExit& operator=(ScopeExit const&) = delete;

 private:
  F f_;
};

[[noreturn]] void throwOutOfMemory(int line) {
  hx_trace_exception(gxdmd_svc_handle, gxdmd_sub_store, "ZOutOfMemoryException");
  ZOutOfMemoryException_6_0().throwException(kSourceName, line);
}

// Appends group's granted actions to out, after "[name]" when header is set
// and at least one action is granted.
void appendGroup(ActionMap const& group, GxACLPermset const& perms, bool header, ZAbstractMutableString_6_0& out) {
  unsigned long const word = perms.actionGroup(group.groupIndex);
  if (word == 0) return;
  for (unsigned char c : group.heldBytes()) {
    ActionNameBitmask const& action = group.actions[c];
    if ((word & action.bitmask) != action.bitmask) continue;
    if (header) {
      out.append('[');
      out.append(group.name);
      out.append(']');
      header = false;
    }
    out.append(action.name);
  }
}

}  // namespace

// ---- ActionNameBitmask / ActionMap ----------------------------------------------

ActionNameBitmask::ActionNameBitmask(char const* name, unsigned int bitmask) : name(name), bitmask(bitmask) {}

unsigned int ActionNameBitmask::hash() const { return name.hash(); }

int ActionNameBitmask::compare(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<ActionNameBitmask const*>(&other);
  return o ? name.compareTo(o->name) : ZObject_6_0::compare(other);
}

ActionMap::ActionMap(char const* groupName, unsigned int groupIndex) : name(groupName), groupIndex(groupIndex) {}

unsigned int ActionMap::hash() const { return name.hash(); }

int ActionMap::compare(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<ActionMap const*>(&other);
  return o ? name.compareTo(o->name) : ZObject_6_0::compare(other);
}

void ActionMap::setAction(char const* actionName, unsigned int bitmask) {
  if (actionName == nullptr || actionName[0] == '\0') return;
  auto const c = static_cast<unsigned char>(actionName[0]);
  actions[c].name = actionName;
  actions[c].bitmask = bitmask;
  // held_ stays sorted by unsigned byte value; it never allocates.
  auto byteLess = [](char a, char b) { return static_cast<unsigned char>(a) < static_cast<unsigned char>(b); };
  char* const end = held_ + heldCount_;
  char* const at = std::lower_bound(held_, end, static_cast<char>(c), byteLess);
  bool const listed = at != end && static_cast<unsigned char>(*at) == c;
  if (bitmask != 0 && !listed) {
    std::copy_backward(at, end, end + 1);
    *at = static_cast<char>(c);
    ++heldCount_;
  } else if (bitmask == 0 && listed) {
    std::copy(at + 1, end, at);
    --heldCount_;
  }
}

// ---- daActionQuickMap: lifecycle ---------------------------------------------------

daActionQuickMap::daActionQuickMap() = default;

daActionQuickMap::~daActionQuickMap() { invalidateQuickMapWithoutLock(); }

void daActionQuickMap::invalidateQuickMap() {
  ZStackReadWriteLock_6_0 guard(mapLock, ZReadWriteLock_6_0::WRITE);
  invalidateQuickMapWithoutLock();
}

void daActionQuickMap::invalidateQuickMapWithoutLock() {
  populated.store(0, std::memory_order_release);
  primaryMap = nullptr;
  index_.clear();
  indexed_ = 0;
  renderOrder_.clear();
  groupMaps.removeAll();
}

unsigned int daActionQuickMap::populateQuickMap(daCachedStore& store) {
  ZStackReadWriteLock_6_0 guard(mapLock, ZReadWriteLock_6_0::WRITE);
  return populateQuickMapWithoutLock(store);
}

unsigned int daActionQuickMap::populateQuickMapWithoutLock(daCachedStore& store) {
  unsigned long status = 0;
  DBTrace trace("daActionQuickMap::populateQuickMap", status, __FILE__, __LINE__);
  if (isPopulated()) return 0;
  // Every build starts from an empty map and a failed one leaves it empty,
  // so that nothing of an older catalogue survives into the next build.
  invalidateQuickMapWithoutLock();
  ScopeExit dropPartialBuild([this] {
    if (!isPopulated()) invalidateQuickMapWithoutLock();
  });
  buildFromCatalogue(store, status);
  if (status != 0) return static_cast<unsigned int>(status);
  primaryMap = findGroup(kPrimaryGroup);
  if (primaryMap == nullptr) {
    hx_trace_exception(gxdmd_svc_handle, gxdmd_sub_store, "ZInvalidParameterException");
    ZInvalidParameterException_6_0().throwException(kSourceName, __LINE__);
  }
  populated.store(1, std::memory_order_release);
  return 0;
}

void daActionQuickMap::buildFromCatalogue(daCachedStore& store, unsigned long& status) {
  Handle<daStoreObject> handle;  // released through the store at scope end
  store.getObject(daActionGroupName(), handle, status);
  if (status != 0) return;
  auto const* catalogue = dynamic_cast<GxActionGroups const*>(handle.get());
  if (catalogue == nullptr) {
    status = da_s_unknown_type;
    return;
  }
  GxActionConstIter it(catalogue->value());
  while (it.iterGroup()) {
    char const* groupName = it.group()->name != nullptr ? it.group()->name : "";
    auto const groupIndex = static_cast<unsigned int>(it.groupIndex());
    // Only actions enter the map, each bringing its group: a group without
    // actions is not in it, so "[empty]a" names an unknown group and an
    // empty "primary" leaves the map without its default group.
    while (it.iterAction()) {
      gxaction_s_t const* action = it.action();
      storeIntoQuickMap(groupName, groupIndex, action->name, action->bitmask);
    }
  }
}

// ---- daActionQuickMap: building ------------------------------------------------------

void daActionQuickMap::storeIntoQuickMap(char const* groupName, unsigned int groupIndex, char const* actionName,
                                         unsigned int bitmask) {
  if (groupName == nullptr) groupName = "";
  ActionMap* group = findGroup(groupName);
  if (group == nullptr) {
    try {
      auto made = std::make_unique<ActionMap>(groupName, groupIndex);
      // Room in the index first, so that once the map owns the group the
      // index can no longer fail to take it.
      if ((indexed_ + 1) * 2 > index_.size()) rehashIndex(std::max<std::size_t>(16, index_.size() * 2));
      if (renderOrder_.size() == renderOrder_.capacity()) renderOrder_.reserve(renderOrder_.size() * 2 + 8);
      groupMaps.putEntry(made->name, made.get());
      group = made.release();
    } catch (std::bad_alloc const&) {
      throwOutOfMemory(__LINE__);
    }
    if (groupMaps.getEntry(group->name) != group) throwOutOfMemory(__LINE__);
    indexGroup(group);
  }
  group->setAction(actionName, bitmask);
}

void daActionQuickMap::rehashIndex(std::size_t slotCount) {
  std::vector<IndexSlot> grown(slotCount);
  std::size_t const mask = slotCount - 1;
  for (IndexSlot const& slot : index_) {
    if (slot.map == nullptr) continue;
    std::size_t i = slot.hash & mask;
    while (grown[i].map != nullptr) i = (i + 1) & mask;
    grown[i] = slot;
  }
  index_.swap(grown);
}

void daActionQuickMap::indexGroup(ActionMap* map) {
  std::size_t const mask = index_.size() - 1;
  unsigned int const h = zTextHash(map->name.view());
  std::size_t i = h & mask;
  while (index_[i].map != nullptr) i = (i + 1) & mask;
  index_[i] = IndexSlot{h, map};
  ++indexed_;
  auto at = std::upper_bound(renderOrder_.begin(), renderOrder_.end(), map->groupIndex,
                             [](unsigned int index, ActionMap const* g) { return index < g->groupIndex; });
  renderOrder_.insert(at, map);
}

ActionMap* daActionQuickMap::findGroup(std::string_view name) const {
  if (index_.empty()) return nullptr;
  std::size_t const mask = index_.size() - 1;
  unsigned int const h = zTextHash(name);
  // The table is at most half full, so the probe meets a free slot.
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    IndexSlot const& slot = index_[i];
    if (slot.map == nullptr) return nullptr;
    if (slot.hash == h && slot.map->name.view() == name) return slot.map;
  }
}

// ---- daActionQuickMap: conversions -----------------------------------------------------

unsigned int daActionQuickMap::lookupInQuickMap(char const* actions, GxACLPermset& perms) const {
  perms.setMinPermissions();
  if (actions == nullptr) return 0;
  // The current group's bits are gathered here and written to perms when
  // the group changes or the walk ends, however it ends: one write per
  // group instead of one per letter.
  ActionMap const* group = primaryMap;
  unsigned int pending = 0;
  auto flush = [&] {
    if (pending != 0) perms.setBitMaskInGroup(group->groupIndex, pending);
    pending = 0;
  };
  for (char const* p = actions; *p != '\0'; ++p) {
    if (*p != '[') {
      unsigned int const bits = group != nullptr ? group->actions[static_cast<unsigned char>(*p)].bitmask : 0;
      if (bits == 0) {
        flush();
        return static_cast<unsigned int>(gx_s_bad_action);
      }
      pending |= bits;
      continue;
    }
    flush();
    char const* const name = p + 1;
    char const* const close = std::strchr(name, ']');
    if (close == nullptr) return static_cast<unsigned int>(gx_s_no_action_group);
    group = findGroup(std::string_view(name, static_cast<std::size_t>(close - name)));
    if (group == nullptr) return static_cast<unsigned int>(gx_s_bad_action);
    if (close[1] == '\0') return static_cast<unsigned int>(gx_s_group_at_end);
    p = close;
  }
  flush();
  return 0;
}

unsigned int daActionQuickMap::lookupInQuickMap(GxACLPermset const& perms, ZAbstractMutableString_6_0& out) const {
  // "primary" first and without a header, then the other groups in slot
  // order: a stable order that does not depend on how names hash.
  if (primaryMap != nullptr) appendGroup(*primaryMap, perms, false, out);
  for (ActionMap const* group : renderOrder_)
    if (group != primaryMap) appendGroup(*group, perms, true, out);
  return 0;
}

template <class Conversion>
unsigned int daActionQuickMap::convert(daCachedStore& store, Conversion&& conversion) {
  // A replica's map changes only while its owner holds the store's state
  // lock exclusively, so a populated one is read without any lock.
  if (isPopulated() && store.isReadOnly()) return conversion();
  ZStackReadWriteLock_6_0 guard(mapLock, ZReadWriteLock_6_0::READ);
  while (!isPopulated()) {
    // Build under the write lock, which this thread cannot take while it
    // holds the read lock; another reader may build first, hence the loop.
    guard.unlock();
    unsigned int const status = populateQuickMap(store);
    if (status != 0) return status;
    guard.readLock();
  }
  return conversion();
}

unsigned int daActionQuickMap::mapAction(daCachedStore& store, char const* actions, GxACLPermset& perms) {
  perms.setMinPermissions();
  return convert(store, [&] { return lookupInQuickMap(actions, perms); });
}

unsigned int daActionQuickMap::mapBitmap(daCachedStore& store, GxACLPermset const& perms,
                                         ZAbstractMutableString_6_0& out) {
  return convert(store, [&] { return lookupInQuickMap(perms, out); });
}

// ---- daCachedStore forwards ---------------------------------------------------------

void daCachedStore::mapAction(char const* actions, GxACLPermset& perms, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::mapAction", status, __FILE__, __LINE__);
  status = quickMap_.mapAction(*this, actions, perms);
}

void daCachedStore::mapBitmap(GxACLPermset const& perms, ZUTF8String_6_0& out, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::mapBitmap", status, __FILE__, __LINE__);
  status = quickMap_.mapBitmap(*this, perms, out);
}

void daCachedStore::mapBitmapShared(GxACLPermset const& perms, ZUTF8String_6_0& out, unsigned long& status) {
  ZStackReadWriteLock_6_0 reading(getStateLock(), ZReadWriteLock_6_0::READ);
  mapBitmap(perms, out, status);
}

void daCachedStore::invalidateQuickMap() {
  quickMap_.invalidateQuickMap();
  notePolicyChange();
}
