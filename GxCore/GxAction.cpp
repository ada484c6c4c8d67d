// Actions, the action catalogue, its iterator, the default catalogue and its
// text rendering.
#include "GxCore/GxAction.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "GxCore/coretrace.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daLocalStore.h"
#include "outside/hxasn.h"
#include "outside/hxsvc.h"
#include "outside/hxutil.h"

namespace {

bool sameName(char const* a, char const* b) { return a != nullptr && b != nullptr && std::strcmp(a, b) == 0; }

// strdup that keeps null; false when the heap is exhausted.
bool dupText(char const* from, char*& to) {
  to = nullptr;
  return from == nullptr || (to = strdup(from)) != nullptr;
}

// Fills a (zeroed, owning nothing) from the given fields; false, with a
// owning nothing, when a copy fails.
bool fillAction(gxaction_s_t& a, char const* name, char const* text1, char const* text2, uint32_t id,
                uint32_t bitmask, uint32_t flags) {
  if (!dupText(name, a.name) || !dupText(text1, a.text1) || !dupText(text2, a.text2)) {
    hxAsnFreeObj(a);
    return false;
  }
  a.id = id;
  a.bitmask = bitmask;
  a.flags = flags;
  return true;
}

void logNoMemory() { HX_LOG(bas_svc_handle, 0, hx_svc_attr_error, da_s_no_memory, ""); }

// The slot of a single bit, or 32 when bits is not exactly one bit of a
// 32-bit mask.
unsigned slotOfBit(unsigned long bits) {
  if (bits == 0 || bits > 0xFFFFFFFFul || (bits & (bits - 1)) != 0) return 32;
  return static_cast<unsigned>(__builtin_ctzl(bits));
}

}  // namespace

// ---- GxAction ---------------------------------------------------------------

GxAction::GxAction() = default;

GxAction::GxAction(gxaction_s_t const& from) {
  if (!fillAction(action_, from.name, from.text1, from.text2, from.id, from.bitmask, from.flags)) logNoMemory();
}

GxAction::GxAction(GxAction const& other) : daStoreObject(other) {
  gxaction_s_t const& f = other.action_;
  if (!fillAction(action_, f.name, f.text1, f.text2, f.id, f.bitmask, f.flags)) logNoMemory();
}

GxAction::GxAction(char const* name, char const* text1, char const* text2, unsigned long id, unsigned long bitmask,
                   unsigned long flags) {
  if (!fillAction(action_, name, text1, text2, static_cast<uint32_t>(id), static_cast<uint32_t>(bitmask),
                  static_cast<uint32_t>(flags)))
    logNoMemory();
}

GxAction::GxAction(char const* name, char const* text1, char const* text2) : GxAction(name, text1, text2, 0, 0, 0) {}

GxAction& GxAction::operator=(GxAction const& other) {
  if (this == &other) return *this;
  daStoreObject::operator=(other);
  gxaction_s_t copy{};
  gxaction_s_t const& f = other.action_;
  if (!fillAction(copy, f.name, f.text1, f.text2, f.id, f.bitmask, f.flags)) {
    logNoMemory();
    return *this;
  }
  hxAsnFreeObj(action_);
  action_ = copy;
  return *this;
}

GxAction::~GxAction() { hxAsnFreeObj(action_); }

void GxAction::encode(gxobj_t& record, unsigned long& status) {
  daEncodeRecord(*this, gx_type_action, record, status);
}

void GxAction::encode(hx_asn_buffer_t& buffer, unsigned long& status) const {
  status = hxAsnEncodeObj(buffer, action_);
}

void GxAction::decode(gxobj_t& record, unsigned long& status) {
  gxaction_s_t decoded;
  status = hxAsnDecodeObj(hx_asn_buffer_t{record.length, record.data}, decoded);
  if (status != 0) return;
  hxAsnFreeObj(action_);
  action_ = decoded;  // taken over: the decoded strings are the action's own
  action_.reserved1 = 0;
  action_.reserved2 = 0;
}

void GxAction::decode(gxobj_t const& record, GxAction** out, unsigned long& status) {
  daDecodeNew(record, out, status);
}

// ---- GxActionGroups: lifetime and database form ------------------------------

GxActionGroups::GxActionGroups() = default;

GxActionGroups::GxActionGroups(gxaction_groups_s_t const& from) {
  if (!copyFromActionGroups(from)) logNoMemory();
}

GxActionGroups::GxActionGroups(GxActionGroups const& other) : daStoreObject(other) {
  if (!copyFromActionGroups(other.groups_)) logNoMemory();
}

GxActionGroups& GxActionGroups::operator=(GxActionGroups const& other) {
  if (this == &other) return *this;
  daStoreObject::operator=(other);
  if (!copyFromActionGroups(other.groups_)) logNoMemory();
  return *this;
}

GxActionGroups::~GxActionGroups() { freeActionGroups(); }

void GxActionGroups::encode(gxobj_t& record, unsigned long& status) {
  daEncodeRecord(*this, gx_type_action_groups, record, status);
}

void GxActionGroups::encode(hx_asn_buffer_t& buffer, unsigned long& status) const {
  status = hxAsnEncodeObj(buffer, groups_);
}

void GxActionGroups::decode(gxobj_t& record, unsigned long& status) {
  gxaction_groups_s_t decoded;
  status = hxAsnDecodeObj(hx_asn_buffer_t{record.length, record.data}, decoded);
  if (status != 0) return;
  freeActionGroups();
  groups_ = decoded;  // taken over: every group, action and string is fresh
  groups_.reserved1 = 0;
  groups_.reserved2 = 0;
  for (gxaction_group_s_t* g : groups_.groups) {
    if (g == nullptr) continue;
    g->reserved1 = g->reserved2 = 0;
    for (gxaction_s_t* a : g->actions)
      if (a != nullptr) a->reserved1 = a->reserved2 = 0;
  }
}

void GxActionGroups::decode(gxobj_t const& record, GxActionGroups** out, unsigned long& status) {
  daDecodeNew(record, out, status);
}

// ---- GxActionGroups: copies and releases --------------------------------------

gxaction_s_t* GxActionGroups::copyAction(gxaction_s_t const& from) {
  auto* a = static_cast<gxaction_s_t*>(std::calloc(1, sizeof(gxaction_s_t)));
  if (a == nullptr) return nullptr;
  if (!fillAction(*a, from.name, from.text1, from.text2, from.id, from.bitmask, from.flags)) {
    std::free(a);
    return nullptr;
  }
  return a;
}

gxaction_group_s_t* GxActionGroups::copyActionGroup(gxaction_group_s_t const& from) {
  auto* g = static_cast<gxaction_group_s_t*>(std::calloc(1, sizeof(gxaction_group_s_t)));
  if (g == nullptr) return nullptr;
  if (!dupText(from.name, g->name)) {
    std::free(g);
    return nullptr;
  }
  for (unsigned s = 0; s < gxaction_max_actions; ++s) {
    if (from.actions[s] == nullptr) continue;
    if ((g->actions[s] = copyAction(*from.actions[s])) == nullptr) {
      freeActionGroup(g);
      return nullptr;
    }
  }
  return g;
}

bool GxActionGroups::copyFromActionGroups(gxaction_groups_s_t const& from) {
  if (&from == &groups_) return true;
  freeActionGroups();
  for (unsigned s = 0; s < gxaction_max_groups; ++s) {
    if (from.groups[s] == nullptr) continue;
    if ((groups_.groups[s] = copyActionGroup(*from.groups[s])) == nullptr) {
      freeActionGroups();
      return false;
    }
  }
  return true;
}

void GxActionGroups::freeAction(gxaction_s_t* action) {
  if (action == nullptr) return;
  hxAsnFreeObj(*action);
  std::free(action);
}

void GxActionGroups::freeActionGroup(gxaction_group_s_t* group) {
  if (group == nullptr) return;
  std::free(group->name);
  for (gxaction_s_t* a : group->actions) freeAction(a);
  std::free(group);
}

void GxActionGroups::freeActionGroups() {
  for (gxaction_group_s_t*& g : groups_.groups) {
    freeActionGroup(g);
    g = nullptr;
  }
}

// ---- GxActionGroups: catalogue operations --------------------------------------

bool GxActionGroups::isValidActionName(char const* name, unsigned long& status) {
  status = 0;
  if (name == nullptr || name[0] == '\0' || name[1] != '\0' || std::strchr(validActionChars, name[0]) == nullptr)
    status = gx_s_bad_action_name;
  return status == 0;
}

bool GxActionGroups::isValidActionGroupName(char const* name, unsigned long& status) {
  status = 0;
  if (!gx_mbs_checkchars2(name, okChars)) status = gx_s_bad_group_name;
  return status == 0;
}

void GxActionGroups::mapGroupName(char const* name, unsigned long& index, unsigned long& status) const {
  index = noSlot_;
  status = gx_s_no_action_group;
  for (unsigned s = 0; s < gxaction_max_groups; ++s) {
    if (groups_.groups[s] != nullptr && sameName(groups_.groups[s]->name, name)) {
      index = s;
      status = 0;
      return;
    }
  }
}

void GxActionGroups::genNewID(unsigned long& id) const {
  bool any = false;
  unsigned long largest = 0;
  for (gxaction_group_s_t const* g : groups_.groups) {
    if (g == nullptr) continue;
    for (gxaction_s_t const* a : g->actions) {
      if (a == nullptr) continue;
      if (!any || a->id > largest) largest = a->id;
      any = true;
    }
  }
  id = any ? largest + 1 : 0;
}

void GxActionGroups::newGroup(char const* name, unsigned long& index, unsigned long& status) {
  index = noSlot_;
  status = 0;
  if (!isValidActionGroupName(name, status)) return;
  for (unsigned s = 0; s < gxaction_max_groups; ++s) {
    gxaction_group_s_t const* g = groups_.groups[s];
    if (g == nullptr) {
      if (index == noSlot_) index = s;
    } else if (sameName(g->name, name)) {
      status = gx_s_group_exists;
      return;
    }
  }
  if (index == noSlot_) {
    status = gx_s_no_group_slot;
    return;
  }
  auto* g = static_cast<gxaction_group_s_t*>(std::calloc(1, sizeof(gxaction_group_s_t)));
  if (g == nullptr || (g->name = strdup(name)) == nullptr) {
    std::free(g);
    status = da_s_no_memory;
    return;
  }
  groups_.groups[index] = g;
}

void GxActionGroups::createAction(char const* group, char const* name, char const* text1, char const* text2,
                                  unsigned long id, unsigned long bit, unsigned long flags, unsigned long& status) {
  status = 0;
  CoreTrace trace("GxActionGroups::createAction", status, __FILE__, __LINE__);
  if (!isValidActionName(name, status) || !isValidActionGroupName(group, status)) return;
  if (id == 0) genNewID(id);
  unsigned long gi;
  mapGroupName(group, gi, status);
  if (status != 0) {
    status = gx_s_no_action_group;
    return;
  }
  gxaction_group_s_t& g = *groups_.groups[gi];
  unsigned slot = 32;
  if (bit != 0) {
    slot = slotOfBit(bit);
    if (slot < 32 && g.actions[slot] != nullptr) {
      status = gx_s_action_exists;
      return;
    }
  } else {
    for (unsigned s = 0; s < gxaction_max_actions; ++s) {
      if (g.actions[s] == nullptr) {
        if (slot == 32) slot = s;
      } else if (sameName(g.actions[s]->name, name)) {
        status = gx_s_action_exists;
        return;
      }
    }
  }
  if (slot == 32) {
    status = gx_s_no_action_slot;
    return;
  }
  auto* a = static_cast<gxaction_s_t*>(std::calloc(1, sizeof(gxaction_s_t)));
  if (a == nullptr || !fillAction(*a, name, text1, text2, static_cast<uint32_t>(id), 1u << slot,
                                  static_cast<uint32_t>(flags))) {
    std::free(a);
    status = da_s_no_memory;
    return;
  }
  g.actions[slot] = a;
}

void GxActionGroups::deleteAction(char const* group, char const* name, int force, GxACLPermset& removed,
                                  unsigned long& status) {
  status = 0;
  if (!isValidActionName(name, status) || !isValidActionGroupName(group, status)) return;
  unsigned long gi;
  mapGroupName(group, gi, status);
  if (status != 0) return;
  gxaction_group_s_t& g = *groups_.groups[gi];
  for (gxaction_s_t*& a : g.actions) {
    if (a == nullptr || !sameName(a->name, name)) continue;
    removed.setBitMaskInGroup(gi, a->bitmask);
    if (force == 0 && (a->flags & gxaction_flag_protected) != 0) {
      status = gx_s_action_protected;
      return;
    }
    freeAction(a);
    a = nullptr;
    return;
  }
  status = gx_s_no_such_action;
}

void GxActionGroups::deleteGroup(char const* name, unsigned long& status) {
  status = 0;
  if (!isValidActionGroupName(name, status)) return;
  unsigned long gi;
  mapGroupName(name, gi, status);
  if (status != 0) return;
  if (gi == 0) {
    status = gx_s_group_undeletable;
    return;
  }
  freeActionGroup(groups_.groups[gi]);
  groups_.groups[gi] = nullptr;
}

// ---- GxActionConstIter --------------------------------------------------------

bool GxActionConstIter::iterGroup() {
  group_ = group_ >= 32 ? 0 : group_ + 1;
  while (group_ < 32 && groups_[group_] == nullptr) ++group_;
  return group_ < 32;
}

bool GxActionConstIter::iterAction() {
  gxaction_group_s_t const* g = group();
  if (g == nullptr) {
    action_ = 32;
    return false;
  }
  action_ = action_ >= 32 ? 0 : action_ + 1;
  while (action_ < 32 && g->actions[action_] == nullptr) ++action_;
  return action_ < 32;
}

bool GxActionConstIter::matchGroupName(char const* name) const {
  gxaction_group_s_t const* g = group();
  return g != nullptr && sameName(g->name, name);
}

gxaction_s_t const* GxActionConstIter::action() const {
  gxaction_group_s_t const* g = group();
  return g != nullptr && action_ < 32 ? g->actions[action_] : nullptr;
}

// ---- default catalogue and rendering --------------------------------------------

namespace {

struct DefaultAction {
  char const* name;
  char const* label;
  char const* area;
  uint32_t flags;
};

// Keep in step with the table at the top of GxAction.h.
constexpr DefaultAction defaultActions[] = {
    {"T", "Traverse", "Base", gxaction_flag_protected},
    {"c", "Control", "Base", gxaction_flag_protected},
    {"r", "Read", "Web", 0},
    {"m", "Modify", "Web", 0},
    {"d", "Delete", "Web", 0},
    {"x", "Execute", "Web", 0},
    {"l", "List", "Web", 0},
    {"v", "View", "Admin", 0},
    {"a", "Attach", "Admin", 0},
    {"N", "Create", "Admin", 0},
    {"A", "Administer", "Admin", 0},
    {"s", "Server", "Server", 0},
    {"g", "Delegate", "Server", 0},
    {"t", "Trace", "Server", 0},
};

char const* orEmpty(char const* s) { return s != nullptr ? s : ""; }

}  // namespace

unsigned long gxStoreDefaultActionCatalogue(daLocalStore& store) {
  unsigned long status = 0;
  CoreTrace trace("gxStoreDefaultActionCatalogue", status, __FILE__, __LINE__);
  GxActionGroups catalogue;
  unsigned long slot = 0;
  catalogue.newGroup("primary", slot, status);
  if (status != 0) return status;
  for (DefaultAction const& a : defaultActions) {
    catalogue.createAction("primary", a.name, a.label, a.area, 0, 0, a.flags, status);
    if (status != 0) return status;
  }
  gxobj_holder record;
  catalogue.encode(record.rec, status);
  if (status != 0) return status;
  unsigned long seq;
  store.setObject(daActionGroupName().getFullName(), record.rec, seq, status);
  return status;
}

std::string gxFormatAction(gxaction_s_t const& a) {
  char line[96];
  std::snprintf(line, sizeof line, "%-2s bit 0x%08x  id %3u  ", orEmpty(a.name), a.bitmask, a.id);
  std::string out = line;
  out += orEmpty(a.text1);
  if (a.text2 != nullptr && a.text2[0] != '\0') out += std::string(" (") + a.text2 + ")";
  if ((a.flags & gxaction_flag_protected) != 0) out += " [protected]";
  return out;
}

void gxFormatActionGroups(gxaction_groups_s_t const& catalogue, std::vector<std::string>& lines) {
  GxActionConstIter it(catalogue);
  char head[48];
  while (it.iterGroup()) {
    std::snprintf(head, sizeof head, "group %lu \"", it.groupIndex());
    lines.push_back(head + std::string(orEmpty(it.group()->name)) + "\"");
    while (it.iterAction()) {
      std::snprintf(head, sizeof head, "  slot %2lu  ", it.actionIndex());
      lines.push_back(head + gxFormatAction(*it.action()));
    }
  }
}

unsigned long gxRenderActionCatalogue(daLocalStore& store, std::vector<std::string>& lines) {
  unsigned long status = 0;
  CoreTrace trace("gxRenderActionCatalogue", status, __FILE__, __LINE__);
  unsigned long seq;
  {
    gxobj_holder record;
    store.getObject(daActionGroupName().getFullName(), record.rec, seq, status);
    if (status != 0) return status;
    GxActionGroups* decoded = nullptr;
    GxActionGroups::decode(record.rec, &decoded, status);
    if (status != 0) return status;
    std::unique_ptr<GxActionGroups> catalogue(decoded);
    gxFormatActionGroups(catalogue->value(), lines);
  }
  gxobj_list_s_t list{};
  store.getObjects(GxObjectName(daActionName::actionnamebase_), 0, list, seq, status);
  if (status != 0) return status;
  struct ListGuard {
    gxobj_list_s_t& l;
    ~ListGuard() { freeObjectList(l); }
  } listGuard{list};
  for (unsigned long i = 0; i < list.count; ++i) {
    gxobj_t const& r = list.objects[i];
    if (r.key == nullptr) continue;  // a deeper key listed by name only
    GxAction* decoded = nullptr;
    GxAction::decode(r, &decoded, status);
    if (status != 0) return status;
    std::unique_ptr<GxAction> action(decoded);
    lines.push_back(std::string("action ") + r.key + ": " + gxFormatAction(action->value()));
  }
  return 0;
}
