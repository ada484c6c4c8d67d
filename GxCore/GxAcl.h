// ACLs: a named policy object saying which principals, groups and classes
// of caller are granted which actions. GxACL owns one plain acl_ext_s_t
// (outside/hxasn_acl.h): the description, the entry array and everything
// each entry points to, all malloc'ed because the codec fills and frees the
// same structures. Hosts evaluate it through value() with
// acl_inq_permset_for_pa (GxCore/acleval.h). It is stored under its
// daAclName key as a record of type 0x50D (the database form: the structure
// through the BER codec). GxACLEntry is a read-only view of one entry with a
// display kind.
//
// Entries keep the order they were added in; removing one closes the gap.
// Entries are neither unique nor sorted: callers that want one entry per
// subject search with findFirst and use replaceEntry.
//
// The attribute form (encode/decode with a name, a qualifier and an
// HXObject) writes principals and groups by their registry names and
// permissions as action strings: letters of the group "primary", then for
// each other group with actions set "[" its name "]" and its letters. It
// works for the domain manager's current domain: its registry handle
// resolves names and its store's action catalogue gives the letters.
//
// Not synchronised: an ACL is changed only by the thread holding it; ACLs
// shared through the cache are read-only.
#pragma once

#include <cstdint>
#include <string>

#include "GxCore/daStoreObject.h"
#include "GxCore/handle.h"
#include "GxCore/perm.h"
#include "outside/hxasn_action.h"
#include "outside/hxasn_acl.h"
#include "outside/hxutil.h"

// Statuses of the attribute form.
constexpr unsigned long gx_s_bad_group_label = 0x14C52FA7;  // an action string names no action group,
                                                            // or has an unterminated or empty "[...]"
constexpr unsigned long gx_s_group_label_too_long = 0x14C52FA8;  // a "[...]" longer than 255 bytes
constexpr unsigned int gx_max_group_label = 255;

class GxACL : public daPolicyObject {
 public:
  // Returned by the add operations when the entry could not be added (heap
  // exhausted) and by findFirst when no entry matches.
  static constexpr unsigned long notFound_ = 0xFFFFFFFFul;
  // A findFirst predicate: nonzero for the entry wanted.
  using EntryPredicate = unsigned char (*)(acl_entry_s_t const& entry, void* arg);

  // No description, no entries.
  GxACL();
  // Deep copies (copyACL); the copy constructor also copies the name and
  // attributes of the base. aux blocks are not copied.
  explicit GxACL(acl_ext_s_t const& from);
  GxACL(GxACL const& other);
  GxACL& operator=(GxACL const& other);
  ~GxACL() override;
  ZObject_6_0* clone() const override { return new GxACL(*this); }

  // The structure, for evaluation and inspection.
  acl_ext_s_t const& value() const { return acl_; }
  unsigned long numEntries() const { return acl_.num_entries; }
  // Entry i (i < numEntries()).
  acl_entry_s_t const& entry(unsigned long i) const { return acl_.entries[i]; }

  // The description text, or null.
  char const* description() const { return acl_.description; }
  // Replaces the description by a copy of text (null clears it).
  void description(char const* text);

  // Append an entry with a copy of p and return its index (numEntries() - 1
  // afterwards); user (type 3) and group (type 4) entries carry id, the
  // others a nil id. notFound_ and no change when the heap is exhausted.
  unsigned long addPrincipalEntry(hx_uuid_t const& id, GxACLPermset const& p);
  unsigned long addGroupEntry(hx_uuid_t const& id, GxACLPermset const& p);
  unsigned long addCellEntry(GxACLPermset const& p);
  unsigned long addUnauthEntry(GxACLPermset const& p);

  // Entry i's permissions become a copy of p; type and id stay. An index at
  // or past numEntries() is ignored, here and in removeEntry and freeEntry.
  void replaceEntry(unsigned long i, GxACLPermset const& p);
  // Releases entry i and moves the later entries down by one.
  void removeEntry(unsigned long i);
  // Releases every entry and the array.
  void removeAllEntries();
  // Removes p's actions from every entry.
  void removeAction(GxACLPermset const& p);
  // Removes p's actions from the entries that hold all of them; 1 when at
  // least one entry was changed, else 0.
  unsigned char removeActionAndTest(GxACLPermset const& p);
  // Clears group g's mask in every entry that has more than g groups (the
  // sets keep their size).
  void removeActionGroup(unsigned long g);
  // Index of the first entry, in order, for which pred returns nonzero;
  // notFound_ when none does.
  unsigned long findFirst(EntryPredicate pred, void* arg) const;

  // Deep copy of from into to, which must own nothing (it is overwritten):
  // description, entries with their masks, types and (user and group) ids;
  // aux is null and the reserved words zero in the copy. False when the heap
  // is exhausted: to then owns nothing.
  static bool copyACL(acl_ext_s_t const& from, acl_ext_s_t& to);
  // to (which must own nothing) gets from's count and a new array with the
  // same words. False (to empty) when the heap is exhausted.
  static bool copyPerms(acl_permset_s_t& to, acl_permset_s_t const& from);
  // Frees entry i's masks and aux block; the entry stays in the array.
  void freeEntry(unsigned long i);

  // ---- database form ----------------------------------------------------
  using daPolicyObject::decode;
  using daPolicyObject::encode;
  // record gets type 0x50D, key and value word kept (whatever bytes it held are
  // not freed) and on success owns the encoded bytes. status: 0 or the
  // codec's failure (record then has no bytes).
  void encode(gxobj_t& record, unsigned long& status) override;
  // The encoded structure into buffer (overwritten); status as above.
  void encode(hx_asn_buffer_t& buffer, unsigned long& status) const override;
  // Replaces this ACL's structure by the one encoded in record; name and
  // attributes stay. status: 0 or the codec's failure, the ACL unchanged.
  void decode(gxobj_t& record, unsigned long& status) override;
  // A new ACL from record (its type is not examined). On success *out is the
  // caller's and status 0; on failure *out is null and status the codec's
  // (corrupt or truncated bytes) or 0x10652065.
  static void decode(gxobj_t const& record, GxACL** out, unsigned long& status);

  // ---- attribute form ------------------------------------------------------
  // Both directions work for the current domain of the domain manager
  // (MrDomainMan::hey()): its name and registry handle go to every registry
  // lookup (util_lookup_*, outside/rqa.h) and its store's action catalogue
  // is fetched with getGxACLActionGroups and held until the end. They
  // return da_s_store_unavailable when there is no manager, no current
  // domain or no store for it, and any failure of getGxACLActionGroups,
  // before reading or writing anything. qualifier is passed to every
  // attribute call of attrs.
  //
  // encode appends one value per written entry to "aclentrytype" (the
  // GxACLEntry kind), "aclentryid" (the registry name of a group or
  // principal, "" for the other kinds) and "aclentryactions" (the action
  // string), then writes "aclid" (name), "acldesc" ("" for none) and
  // "aclentrycount" (the number of entries written). A group or principal
  // the registry cannot name is left out. Returns 0, or the status of a
  // lookup that gave a name but failed (the entries before it are written).
  unsigned long encode(char const* name, char const* qualifier, HXObject& attrs) override;
  // Appends the "aclentrycount" entries described by attrs, in order: the
  // action string is decoded against the catalogue (gx_s_bad_group_label,
  // gx_s_group_label_too_long, gx_s_bad_action for a letter that is no
  // action of the current group or comes before any group when the
  // catalogue has no "primary"); "aclentryid" of a group or principal is
  // a registry name, or a uuid in text form the registry knows (else the
  // name lookup's status); types other than 0 to 3 are skipped.
  // hx_obj_s_no_attribute or hx_obj_s_wrong_type when an entry's value is
  // missing or of the wrong type; da_s_no_memory when an entry cannot be
  // added. The first failure stops the decode: entries added before it
  // stay. On success the description becomes "acldesc" (an empty one: "";
  // an absent one: none). Entries the ACL had are kept; "aclid" is not read.
  unsigned long decode(char const* name, char const* qualifier, HXObject& attrs) override;

  // The action string of p against catalogue (see the attribute form).
  static std::string actionString(gxaction_groups_s_t const& catalogue, GxACLPermset const& p);
  // p becomes the permission set the action string text names against
  // catalogue (p is reset to an empty set first). Returns 0,
  // gx_s_bad_group_label, gx_s_group_label_too_long or gx_s_bad_action;
  // p holds the actions read before a failure.
  static unsigned long parseActionString(gxaction_groups_s_t const& catalogue, char const* text, GxACLPermset& p);

 private:
  void release();
  unsigned long append(uint32_t type, hx_uuid_t const* id, GxACLPermset const& p);

  acl_ext_s_t acl_{};
};

// One entry as a value, with a kind for display.
class GxACLEntry {
 public:
  enum Kind : uint32_t {
    unauthenticated = 0,  // entry type 9
    anyOther = 1,         // entry type 11, shown as "Cell"
    group = 2,            // entry type 4
    principal = 3,        // entry type 3
    unsupported = 4,      // any other type
  };

  // Copies the permissions, maps the type to the kind, copies the id for
  // group and principal entries (nil id for the others).
  explicit GxACLEntry(acl_entry_s_t const& e);

  // "Unauthenticated", "Cell", "Group", "Principal", "Not Supported"; null
  // for a kind above 4.
  char const* typeName() const;

  uint32_t kind;
  hx_uuid_t id;
  GxACLPermset perms;
};

// Puts in h a handle to the action catalogue (GxActionGroups) of the
// current domain's store, fetched under a shared cache state lock. status:
// 0; da_s_store_unavailable when there is no domain manager, no current
// domain or no store for it; else as daCachedStore::getObject (h then
// holds nothing).
void getGxACLActionGroups(Handle<daStoreObject>& h, unsigned long& status);
