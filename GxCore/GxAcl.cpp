// GxACL: entry operations, deep copy and the database form.
#include "GxCore/GxAcl.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "GxCore/daStoreObjectName.h"
#include "outside/hxasn.h"
#include "outside/hxsvc.h"

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
