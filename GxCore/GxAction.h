// Actions and action groups. An action is a permission an ACL entry can
// grant, named by one letter; actions live in at most 32 groups of at most
// 32 slots, and the action in slot s of group g owns bit 1 << s of word g of
// a permission set (GxCore/perm.h). The whole catalogue is one stored object,
// GxActionGroups, kept under daActionGroupName ("/auth/action-groups") as a
// record of type 0x50E; a single action can also be stored by itself as a
// GxAction under a daActionName (type 0x505). The group "primary" is the
// default group (letters written without a group name belong to it); the
// group in slot 0 can never be deleted. GxActionConstIter walks a catalogue
// without owning it.
//
// The plain structures (outside/hxasn_action.h) are malloc'ed and shared
// with the codec; each class owns the structure it embeds with every group,
// action and string it points to.
//
// Not synchronised: a catalogue is changed by one thread; one shared through
// the cache is read-only.
//
// The default catalogue (gxStoreDefaultActionCatalogue) is one group,
// "primary", in slot 0, with these actions in slots 0..13 (text1 is the
// label, text2 the area the action belongs to; T and c are protected):
//   T Traverse   Base    pass through a container to reach objects below it
//   c Control    Base    change the ACL and other policies of an object
//   r Read       Web     read a resource
//   m Modify     Web     change or upload a resource
//   d Delete     Web     delete a resource
//   x Execute    Web     run a program or script
//   l List       Web     list the contents of a directory
//   v View       Admin   view an object and its attached policies
//   a Attach     Admin   attach and detach policies
//   N Create     Admin   create objects below this one
//   A Administer Admin   manage users and groups
//   s Server     Server  ask for authorization decisions for other callers
//   g Delegate   Server  act on behalf of another principal
//   t Trace      Server  change trace and statistics settings
#pragma once

#include <string>
#include <vector>

#include "GxCore/daStoreObject.h"
#include "GxCore/perm.h"
#include "outside/hxasn_action.h"

class daLocalStore;

// Statuses of the catalogue operations (no such group: gx_s_no_action_group
// in GxCore/dastatus.h).
constexpr unsigned long gx_s_no_group_slot = 0x1005B1D1;       // all 32 group slots in use
constexpr unsigned long gx_s_group_exists = 0x1005B1D4;        // a group of that name exists
constexpr unsigned long gx_s_bad_action_name = 0x1005B1D7;     // not one letter
constexpr unsigned long gx_s_bad_group_name = 0x1005B1D8;      // a character outside okChars
constexpr unsigned long gx_s_group_undeletable = 0x1005B1D9;   // the group in slot 0
constexpr unsigned long gx_s_no_such_action = 0x1005B2F0;
constexpr unsigned long gx_s_action_protected = 0x1005B2FF;    // delete without force
constexpr unsigned long gx_s_action_exists = 0x1005B300;       // name in the group, or slot taken
constexpr unsigned long gx_s_no_action_slot = 0x1005B301;      // group full, or bit not a single bit

// One action stored by itself.
class GxAction : public daStoreObject {
 public:
  // All fields zero / deep copies of the strings (null stays null).
  GxAction();
  explicit GxAction(gxaction_s_t const& from);
  GxAction(GxAction const& other);
  GxAction(char const* name, char const* text1, char const* text2, unsigned long id, unsigned long bitmask,
           unsigned long flags);
  GxAction(char const* name, char const* text1, char const* text2);
  GxAction& operator=(GxAction const& other);
  ~GxAction() override;
  ZObject_6_0* clone() const override { return new GxAction(*this); }

  gxaction_s_t const& value() const { return action_; }

  // ---- database form (type 0x505) ---------------------------------------
  using daStoreObject::decode;
  using daStoreObject::encode;
  // record is set up for type 0x505 (whatever it held is not freed) and on
  // success owns the encoded bytes; status 0 or the codec's failure.
  void encode(gxobj_t& record, unsigned long& status) override;
  void encode(hx_asn_buffer_t& buffer, unsigned long& status) const override;
  // Replaces the action by the one encoded in record; unchanged on failure.
  void decode(gxobj_t& record, unsigned long& status) override;
  // A new action from record. *out is the caller's on status 0; null with
  // the codec's status (or 0x10652065) otherwise.
  static void decode(gxobj_t const& record, GxAction** out, unsigned long& status);

 private:
  gxaction_s_t action_{};
};

// The catalogue of action groups.
class GxActionGroups : public daStoreObject {
 public:
  static constexpr char const* validActionChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  static constexpr char const* okChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 +-_:";
  static constexpr unsigned long noSlot_ = 32;

  // No groups / deep copies of every group and action.
  GxActionGroups();
  explicit GxActionGroups(gxaction_groups_s_t const& from);
  GxActionGroups(GxActionGroups const& other);
  GxActionGroups& operator=(GxActionGroups const& other);
  ~GxActionGroups() override;
  ZObject_6_0* clone() const override { return new GxActionGroups(*this); }

  gxaction_groups_s_t const& value() const { return groups_; }

  // ---- database form (type 0x50E) ---------------------------------------
  using daStoreObject::decode;
  using daStoreObject::encode;
  // Sets record's type to 0x50E and its length and data to the encoding
  // (key and value are left alone; old bytes are not freed). status 0 or the
  // codec's failure (record then has no bytes).
  void encode(gxobj_t& record, unsigned long& status) override;
  void encode(hx_asn_buffer_t& buffer, unsigned long& status) const override;
  // Replaces the catalogue by the one encoded in record; unchanged on failure.
  void decode(gxobj_t& record, unsigned long& status) override;
  // A new catalogue from record; as GxAction::decode.
  static void decode(gxobj_t const& record, GxActionGroups** out, unsigned long& status);

  // True (status 0) when name is exactly one of validActionChars; else
  // false with 0x1005B1D7.
  static bool isValidActionName(char const* name, unsigned long& status);
  // True (status 0) when every character of name is in okChars (the empty
  // name passes); else false with 0x1005B1D8.
  static bool isValidActionGroupName(char const* name, unsigned long& status);

  // Creates an empty group called name in the first free slot and returns
  // the slot in index (its word in permission sets). Statuses: 0x1005B1D8,
  // 0x1005B1D4 (name taken), 0x1005B1D1 (no free slot), 0x10652065; index is
  // meaningless on failure and the catalogue unchanged.
  void newGroup(char const* name, unsigned long& index, unsigned long& status);
  // Creates action name in group. id 0 takes genNewID. With bit 0 the
  // action takes the first free slot (its name must be new in the group);
  // otherwise bit must be a single bit and names the slot. Statuses:
  // 0x1005B1D7, 0x1005B1D8, 0x1005B1D5 (no such group; groups are never
  // created here), 0x1005B300 (name exists / slot taken), 0x1005B301 (group
  // full / not a single bit), 0x10652065; nothing changes on failure.
  void createAction(char const* group, char const* name, char const* text1, char const* text2, unsigned long id,
                    unsigned long bit, unsigned long flags, unsigned long& status);
  // Deletes action name from group. As soon as the action is found its bit
  // is added to removed (group's word), so that the caller can strip it from
  // every ACL; a protected action is then kept unless force is nonzero
  // (0x1005B2FF). Other statuses: 0x1005B1D7, 0x1005B1D8, 0x1005B1D5,
  // 0x1005B2F0 (no such action).
  void deleteAction(char const* group, char const* name, int force, GxACLPermset& removed, unsigned long& status);
  // Deletes group name with its actions (permission sets that use its word
  // are not touched). Statuses: 0x1005B1D8, 0x1005B1D5, 0x1005B1D9 (slot 0).
  void deleteGroup(char const* name, unsigned long& status);
  // index = the slot of the first group called name (exact bytes) and status
  // 0, or index 32 and 0x1005B1D5.
  void mapGroupName(char const* name, unsigned long& index, unsigned long& status) const;
  // 1 + the largest action id in the catalogue, or 0 when it has no action.
  void genNewID(unsigned long& id) const;

  // Deep copies (the reserved words are not copied) and releases. The copy
  // functions return null when the heap is exhausted; copyFromActionGroups
  // replaces this catalogue and returns false (leaving it empty) then.
  static gxaction_s_t* copyAction(gxaction_s_t const& from);
  static gxaction_group_s_t* copyActionGroup(gxaction_group_s_t const& from);
  bool copyFromActionGroups(gxaction_groups_s_t const& from);
  static void freeAction(gxaction_s_t* action);
  static void freeActionGroup(gxaction_group_s_t* group);
  void freeActionGroups();

 private:
  gxaction_groups_s_t groups_{};
};

// Walks the groups of a catalogue, and the actions of the current group, in
// slot order, without owning them: the catalogue must stay unchanged while
// the iterator is used. Both positions start before the first slot (32).
//
//   GxActionConstIter it(catalogue.value());
//   while (it.iterGroup())
//     while (it.iterAction()) use(it.groupIndex(), it.group()->name, *it.action());
class GxActionConstIter {
 public:
  explicit GxActionConstIter(gxaction_groups_s_t const& groups) : groups_(groups.groups) {}

  // Moves to the next non-empty group slot (from 32: the first); false at
  // the end, after which the next call starts again at slot 0.
  bool iterGroup();
  // Moves to the next action of the current group in the same way. The
  // action position is not reset by iterGroup: after the end it is 32, so
  // the next call starts at slot 0 of whatever group is current.
  bool iterAction();
  // True when there is a current group and its name is name.
  bool matchGroupName(char const* name) const;

  unsigned long groupIndex() const { return group_; }
  unsigned long actionIndex() const { return action_; }
  // The current group / action, or null when not standing on one.
  gxaction_group_s_t const* group() const { return group_ < 32 ? groups_[group_] : nullptr; }
  gxaction_s_t const* action() const;

 private:
  gxaction_group_s_t* const* groups_;
  unsigned group_ = 32;
  unsigned action_ = 32;
};

// Stores the default catalogue described at the top of this file under
// "/auth/action-groups", replacing any catalogue there. Returns 0 or the
// status of building, encoding or storing it. The store must be open for
// writing.
unsigned long gxStoreDefaultActionCatalogue(daLocalStore& store);

// One text line per group and per action of catalogue, in slot order:
//   group 0 "primary"
//     slot  0  T  bit 0x00000001  id   0  Traverse (Base) [protected]
void gxFormatActionGroups(gxaction_groups_s_t const& catalogue, std::vector<std::string>& lines);
// The part of an action's line after its slot ("T  bit 0x00000001  id ...").
std::string gxFormatAction(gxaction_s_t const& action);

// Reads the catalogue stored in store and every action stored by itself
// under "/auth/actions", and appends their lines to lines (the catalogue's,
// then "action <key>: ..." lines). Returns 0, 0x132792F1 when the store has
// no catalogue, a read status, or the codec's status for a record that does
// not decode; lines holds what was rendered before a failure.
unsigned long gxRenderActionCatalogue(daLocalStore& store, std::vector<std::string>& lines);
