// GxACL: entry operations, deep copy, the database form and the attribute
// form.
#include "GxCore/GxAcl.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "GxCore/GxAction.h"
#include "GxCore/MrDomainMan.h"
#include "GxCore/daStoreObjectName.h"
#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/daLocalPolicy.h"
#include "outside/hxasn.h"
#include "outside/hxsvc.h"
#include "outside/rqa.h"

namespace {

bool carriesId(uint32_t type) { return type == acl_e_user || type == acl_e_group; }

// Frees what one entry owns and zeroes those fields.
void freeEntryContents(acl_entry_s_t& e) {
  perm_free(&e.perms);
  std::free(e.aux);
  e.aux = nullptr;
}

// Frees everything acl points to and zeroes it.
void freeStructure(acl_ext_s_t& acl) {
  std::free(acl.description);
  for (uint32_t i = 0; i < acl.num_entries; ++i) freeEntryContents(acl.entries[i]);
  std::free(acl.entries);
  acl = acl_ext_s_t{};
}

void logNoMemory() { HX_LOG(bas_svc_handle, 0, hx_svc_attr_error, da_s_no_memory, ""); }

}  // namespace

GxACL::GxACL() = default;

GxACL::GxACL(acl_ext_s_t const& from) {
  if (!copyACL(from, acl_)) logNoMemory();
}

GxACL::GxACL(GxACL const& other) : daPolicyObject(other) {
  if (!copyACL(other.acl_, acl_)) logNoMemory();
}

GxACL& GxACL::operator=(GxACL const& other) {
  if (this == &other) return *this;
  daPolicyObject::operator=(other);
  release();
  if (!copyACL(other.acl_, acl_)) logNoMemory();
  return *this;
}

GxACL::~GxACL() { release(); }

void GxACL::release() {
  for (uint32_t i = 0; i < acl_.num_entries; ++i) freeEntry(i);
  std::free(acl_.description);
  std::free(acl_.entries);
  acl_ = acl_ext_s_t{};
}

void GxACL::description(char const* text) {
  char* copy = nullptr;
  if (text != nullptr && (copy = strdup(text)) == nullptr) {
    logNoMemory();
    return;
  }
  std::free(acl_.description);
  acl_.description = copy;
}

unsigned long GxACL::append(uint32_t type, hx_uuid_t const* id, GxACLPermset const& p) {
  if (acl_.num_entries == UINT32_MAX) return notFound_;
  void* grown = std::realloc(acl_.entries, (size_t{acl_.num_entries} + 1) * sizeof(acl_entry_s_t));
  if (grown == nullptr) {
    logNoMemory();
    return notFound_;
  }
  acl_.entries = static_cast<acl_entry_s_t*>(grown);
  acl_entry_s_t& e = acl_.entries[acl_.num_entries];
  std::memset(&e, 0, sizeof e);
  GxACLPermset::initPermset(e.perms);
  p.copyToPermset(e.perms);
  if (e.perms.count != p.value().count) {  // the mask array could not be had
    perm_free(&e.perms);
    return notFound_;
  }
  e.entry_type = type;
  if (id != nullptr) e.id = *id;
  e.aux = nullptr;
  return acl_.num_entries++;
}

unsigned long GxACL::addPrincipalEntry(hx_uuid_t const& id, GxACLPermset const& p) {
  return append(acl_e_user, &id, p);
}
unsigned long GxACL::addGroupEntry(hx_uuid_t const& id, GxACLPermset const& p) { return append(acl_e_group, &id, p); }
unsigned long GxACL::addCellEntry(GxACLPermset const& p) { return append(acl_e_any_other, nullptr, p); }
unsigned long GxACL::addUnauthEntry(GxACLPermset const& p) { return append(acl_e_unauthenticated, nullptr, p); }

void GxACL::replaceEntry(unsigned long i, GxACLPermset const& p) {
  if (i < acl_.num_entries) p.copyToPermset(acl_.entries[i].perms);
}

void GxACL::removeEntry(unsigned long i) {
  if (i >= acl_.num_entries) return;
  freeEntry(i);
  std::memmove(acl_.entries + i, acl_.entries + i + 1, (acl_.num_entries - i - 1) * sizeof(acl_entry_s_t));
  --acl_.num_entries;
}

void GxACL::removeAllEntries() {
  for (uint32_t i = 0; i < acl_.num_entries; ++i) freeEntry(i);
  std::free(acl_.entries);
  acl_.entries = nullptr;
  acl_.num_entries = 0;
}

void GxACL::removeAction(GxACLPermset const& p) {
  for (uint32_t i = 0; i < acl_.num_entries; ++i) p.maskPermset(acl_.entries[i].perms);
}

unsigned char GxACL::removeActionAndTest(GxACLPermset const& p) {
  unsigned char changed = 0;
  for (uint32_t i = 0; i < acl_.num_entries; ++i) {
    acl_permset_s_t& perms = acl_.entries[i].perms;
    if (p.isActionSetInPermset(perms)) {
      p.maskPermset(perms);
      changed = 1;
    }
  }
  return changed;
}

void GxACL::removeActionGroup(unsigned long g) {
  for (uint32_t i = 0; i < acl_.num_entries; ++i) {
    acl_permset_s_t& perms = acl_.entries[i].perms;
    if (perms.count > g) perms.groups[g] = 0;
  }
}

unsigned long GxACL::findFirst(EntryPredicate pred, void* arg) const {
  for (uint32_t i = 0; i < acl_.num_entries; ++i)
    if (pred(acl_.entries[i], arg)) return i;
  return notFound_;
}

bool GxACL::copyPerms(acl_permset_s_t& to, acl_permset_s_t const& from) {
  perm_init(&to);
  if (from.count == 0) return true;
  auto* words = static_cast<uint32_t*>(std::malloc(size_t{from.count} * sizeof(uint32_t)));
  if (words == nullptr) return false;
  std::memcpy(words, from.groups, size_t{from.count} * sizeof(uint32_t));
  to.count = from.count;
  to.groups = words;
  return true;
}

bool GxACL::copyACL(acl_ext_s_t const& from, acl_ext_s_t& to) {
  to = acl_ext_s_t{};
  if (from.description != nullptr && (to.description = strdup(from.description)) == nullptr) return false;
  if (from.num_entries == 0 || from.entries == nullptr) return true;
  to.entries = static_cast<acl_entry_s_t*>(std::calloc(from.num_entries, sizeof(acl_entry_s_t)));
  if (to.entries == nullptr) {
    freeStructure(to);
    return false;
  }
  for (uint32_t i = 0; i < from.num_entries; ++i) {
    acl_entry_s_t const& s = from.entries[i];
    acl_entry_s_t& d = to.entries[i];
    // Count the entry first, so that a failure below frees it too.
    to.num_entries = i + 1;
    if (!copyPerms(d.perms, s.perms)) {
      freeStructure(to);
      return false;
    }
    d.entry_type = s.entry_type;
    if (carriesId(s.entry_type)) d.id = s.id;
    d.aux = nullptr;
  }
  return true;
}

void GxACL::freeEntry(unsigned long i) {
  if (i < acl_.num_entries) freeEntryContents(acl_.entries[i]);
}

// ---- database form ----------------------------------------------------------

void GxACL::encode(gxobj_t& record, unsigned long& status) {
  daEncodeRecord(*this, gx_type_acl, record, status);
}

void GxACL::encode(hx_asn_buffer_t& buffer, unsigned long& status) const {
  status = hxAsnEncodeObj(buffer, acl_);
}

void GxACL::decode(gxobj_t& record, unsigned long& status) {
  hx_asn_buffer_t buffer{record.length, record.data};
  acl_ext_s_t decoded;
  status = hxAsnDecodeObj(buffer, decoded);
  if (status != 0) return;
  // The decoded structure already has the shape of a copy (no aux blocks);
  // the ACL takes it over instead of copying it once more.
  release();
  acl_ = decoded;
  acl_.reserved1 = 0;
  acl_.reserved2 = 0;
}

void GxACL::decode(gxobj_t const& record, GxACL** out, unsigned long& status) {
  daDecodeNew(record, out, status);
}

// ---- GxACLEntry -------------------------------------------------------------

GxACLEntry::GxACLEntry(acl_entry_s_t const& e) : perms(e.perms) {
  switch (e.entry_type) {
    case acl_e_unauthenticated: kind = unauthenticated; break;
    case acl_e_any_other: kind = anyOther; break;
    case acl_e_group: kind = group; break;
    case acl_e_user: kind = principal; break;
    default: kind = unsupported; break;
  }
  unsigned long st;
  if (kind == group || kind == principal) id = e.id;
  else hx_uuid_create_nil(id, st);
}

char const* GxACLEntry::typeName() const {
  static constexpr char const* names[] = {"Unauthenticated", "Cell", "Group", "Principal", "Not Supported"};
  return kind <= unsupported ? names[kind] : nullptr;
}

// ---- attribute form ---------------------------------------------------------

namespace {

constexpr char const* kType = "aclentrytype";
constexpr char const* kId = "aclentryid";
constexpr char const* kActions = "aclentryactions";

struct FreeText {
  void operator()(char* p) const { std::free(p); }
};
using Text = std::unique_ptr<char, FreeText>;

// The current domain's name and registry handle; false when the thread has
// no current domain (or there is no manager).
bool registryContext(ZUTF8String_6_0& domain, udir_handle_t& handle) {
  MrDomainMan* man = MrDomainMan::hey();
  if (!man) return false;
  try {
    domain = man->getCurrentDomainName();
    handle = man->currentUdirHandle();
  } catch (ZInvalidParameterException_6_0 const&) {
    return false;
  }
  return true;
}

// The catalogue a handle from getGxACLActionGroups designates, or null.
GxActionGroups const* catalogueOf(Handle<daStoreObject> const& h) {
  return dynamic_cast<GxActionGroups const*>(h.object);
}

// The slot of the first group called name (slot order), or noSlot_.
unsigned long findGroup(gxaction_groups_s_t const& catalogue, char const* name) {
  GxActionConstIter it(catalogue);
  while (it.iterGroup())
    if (it.matchGroupName(name)) return it.groupIndex();
  return GxActionGroups::noSlot_;
}

}  // namespace

void getGxACLActionGroups(Handle<daStoreObject>& h, unsigned long& status) {
  status = 0;
  daActionGroupName name;
  MrDomainMan* man = MrDomainMan::hey();
  daLocalPolicy* policy = nullptr;
  try {
    policy = man ? man->currentLocalPolicy() : nullptr;
  } catch (ZInvalidParameterException_6_0 const&) {
    policy = nullptr;
  }
  if (!policy) {
    status = da_s_store_unavailable;
    return;
  }
  daCacheStateLock lock(*policy, daCacheStates::open);
  policy->getObject(name, h, status);
  if (status == 0 && !catalogueOf(h)) {
    // Something other than a catalogue under the catalogue's key.
    h = Handle<daStoreObject>();
    status = da_s_unknown_type;
  }
}

std::string GxACL::actionString(gxaction_groups_s_t const& catalogue, GxACLPermset const& p) {
  std::string out;
  GxActionConstIter it(catalogue);
  while (it.iterGroup()) {
    bool labelled = it.groupIndex() == 0;
    while (it.iterAction()) {
      gxaction_s_t const* a = it.action();
      if (!a || !a->name || !p.isActionSetInGroup(it.groupIndex(), a->bitmask)) continue;
      if (!labelled) {
        out += '[';
        out += it.group()->name ? it.group()->name : "";
        out += ']';
        labelled = true;
      }
      out += a->name;
    }
  }
  return out;
}

unsigned long GxACL::parseActionString(gxaction_groups_s_t const& catalogue, char const* text, GxACLPermset& p) {
  p = GxACLPermset();
  p.setMinPermissions();
  unsigned long group = findGroup(catalogue, "primary");
  for (char const* c = text ? text : ""; *c; ++c) {
    if (*c == '[') {
      char label[gx_max_group_label + 1];
      size_t n = 0;
      ++c;
      for (; *c && *c != ']'; ++c) {
        if (n == gx_max_group_label) return gx_s_group_label_too_long;
        label[n++] = *c;
      }
      label[n] = '\0';
      if (!*c || n == 0) return gx_s_bad_group_label;
      group = findGroup(catalogue, label);
      if (group == GxActionGroups::noSlot_) return gx_s_bad_group_label;
      continue;  // c is on the closing bracket
    }
    if (group == GxActionGroups::noSlot_) return gx_s_bad_action;
    GxActionConstIter it(catalogue);
    while (it.iterGroup() && it.groupIndex() != group) {
    }
    bool found = false;
    while (!found && it.iterAction()) {
      gxaction_s_t const* a = it.action();
      if (a && a->name && a->name[0] == *c) {
        p.setBitMaskInGroup(group, a->bitmask);
        found = true;
      }
    }
    if (!found) return gx_s_bad_action;
  }
  return 0;
}

namespace {

// What both directions of the attribute form start from: the current
// domain's name and registry handle, and the action catalogue (held by
// groupsHandle). 0, da_s_store_unavailable without a domain, or the
// catalogue's status.
unsigned long attributeFormContext(ZUTF8String_6_0& domain, udir_handle_t& registry,
                                   Handle<daStoreObject>& groupsHandle) {
  if (!registryContext(domain, registry)) return da_s_store_unavailable;
  unsigned long status = 0;
  getGxACLActionGroups(groupsHandle, status);
  return status;
}

}  // namespace

unsigned long GxACL::encode(char const* name, char const* qualifier, HXObject& attrs) {
  ZUTF8String_6_0 domain;
  udir_handle_t registry = nullptr;
  Handle<daStoreObject> groupsHandle;
  unsigned long status = attributeFormContext(domain, registry, groupsHandle);
  if (status != 0) return status;
  gxaction_groups_s_t const& catalogue = catalogueOf(groupsHandle)->value();

  unsigned long count = acl_.num_entries;
  for (uint32_t i = 0; i < acl_.num_entries; ++i) {
    GxACLEntry e(acl_.entries[i]);
    char* raw = nullptr;
    if (e.kind == GxACLEntry::group) status = util_lookup_group(&e.id, &raw, domain.getChars(), registry);
    else if (e.kind == GxACLEntry::principal) status = util_lookup_user(&e.id, &raw, domain.getChars(), registry);
    Text text(raw);
    if ((e.kind == GxACLEntry::group || e.kind == GxACLEntry::principal) && !text) {
      // The registry cannot name it: the entry is left out.
      --count;
      status = 0;
      continue;
    }
    if (status != 0) break;
    attrs.addIntegerValue(kType, e.kind, qualifier);
    attrs.addStringValue(kId, text ? text.get() : "", qualifier);
    attrs.addStringValue(kActions, actionString(catalogue, e.perms).c_str(), qualifier);
  }
  attrs.addStringValue("aclid", name, qualifier);
  attrs.addStringValue("acldesc", acl_.description ? acl_.description : "", qualifier);
  attrs.addIntegerValue("aclentrycount", static_cast<unsigned int>(count), qualifier);
  return status;
}

unsigned long GxACL::decode(char const*, char const* qualifier, HXObject& attrs) {
  ZUTF8String_6_0 domain;
  udir_handle_t registry = nullptr;
  Handle<daStoreObject> groupsHandle;
  unsigned long status = attributeFormContext(domain, registry, groupsHandle);
  if (status != 0) return status;
  gxaction_groups_s_t const& catalogue = catalogueOf(groupsHandle)->value();

  unsigned int n = attrs.integerValue("aclentrycount", 0, qualifier);
  for (unsigned int i = 0; i < n; ++i) {
    ZUTF8String_6_0 const* actions = attrs.getStringValue(kActions, i, qualifier);
    if (!actions) return hx_obj_s_no_attribute;
    GxACLPermset set;
    if ((status = parseActionString(catalogue, actions->getChars(), set)) != 0) return status;
    unsigned int kind = attrs.integerValue(kType, i, qualifier, &status);
    if (status != 0) return status;
    unsigned long added = 0;
    if (kind == GxACLEntry::unauthenticated) {
      added = addUnauthEntry(set);
    } else if (kind == GxACLEntry::anyOther) {
      added = addCellEntry(set);
    } else if (kind == GxACLEntry::group || kind == GxACLEntry::principal) {
      bool isGroup = kind == GxACLEntry::group;
      ZUTF8String_6_0 const* id = attrs.getStringValue(kId, i, qualifier);
      if (!id) return hx_obj_s_no_attribute;
      hx_uuid_t uuid{};
      status = isGroup ? util_lookup_group_uuid(id->getChars(), &uuid, domain.getChars(), registry)
                       : util_lookup_user_uuid(id->getChars(), &uuid, domain.getChars(), registry);
      if (status != 0 && id->getLength() > 0) {
        // Not a name: perhaps the uuid of an existing group or principal.
        unsigned long parsed = 0;
        hx_uuid_t fromText{};
        hx_uuid_from_string(id->getChars(), fromText, parsed);
        if (parsed == 0) {
          char* raw = nullptr;
          status = isGroup ? util_lookup_group(&fromText, &raw, domain.getChars(), registry)
                           : util_lookup_user(&fromText, &raw, domain.getChars(), registry);
          Text known(raw);
          if (status == 0) uuid = fromText;
        }
      }
      if (status != 0) return status;
      added = isGroup ? addGroupEntry(uuid, set) : addPrincipalEntry(uuid, set);
    } else {
      continue;  // a kind this form does not carry
    }
    if (added == notFound_) return da_s_no_memory;
  }
  // Present and empty is an empty description; only an absent "acldesc"
  // leaves none.
  ZUTF8String_6_0 const* text = attrs.getStringValue("acldesc", 0, qualifier);
  description(text != nullptr ? text->getChars() : nullptr);
  return 0;
}
