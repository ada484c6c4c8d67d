// Protected objects and the object-space list, as stored in the policy
// database. GxPObj is a node of the protected-object name tree stored as an
// object of its own under its daPObjName key (record type 0x50B): a type
// number, a description and whether policies may be attached to it.
// GxPObjSpace is the one list of object-space names (the top-level subtrees
// of protected objects), stored under the daPObjSpaceName key (record type
// 0x50A). Each owns one plain structure of outside/hxasn_pobj.h; the
// database form is that structure through the BER codec.
//
// Not synchronised: objects shared through the cache are read-only; a
// changed copy is written back through the store.
#pragma once

#include <cstdint>

#include "GxCore/daStoreObject.h"
#include "outside/ZCollections.h"
#include "outside/hxasn_pobj.h"

// A protected-object description of the authorization interface that
// callers may build a protected object from. The first word is not read.
struct azn_pobj_desc_struct {
  uint32_t reserved;
  uint32_t type;
  char const* description;  // text or null
  uint32_t policy_attachable;
};

class GxPObj : public daStoreObject {
 public:
  // Type 0, policies attachable, no description.
  GxPObj();
  // Copies of the structure's type, flag and description (copyPObj); the
  // copy constructor also copies the base (name and attributes).
  explicit GxPObj(pobj_s_t const& from);
  explicit GxPObj(azn_pobj_desc_struct const& from);
  GxPObj(GxPObj const& other);
  // Assigns the base, the fields and then the other object's name when it
  // is not empty. Nothing on self-assignment.
  GxPObj& operator=(GxPObj const& other);
  // Replaces the fields only; the name stays.
  GxPObj& operator=(azn_pobj_desc_struct const& from);
  ~GxPObj() override;

  // Compares the names only (the fields are not compared).
  int compare(ZObject_6_0 const& other) const override;
  ZObject_6_0* clone() const override { return new GxPObj(*this); }

  pobj_s_t const& value() const { return pobj_; }
  uint32_t type() const { return pobj_.type; }
  void type(uint32_t t) { pobj_.type = t; }
  bool policyAttachable() const { return pobj_.policy_attachable != 0; }
  void policyAttachable(bool on) { pobj_.policy_attachable = on ? 1 : 0; }
  // The description text, or null.
  char const* description() const { return pobj_.description; }
  // Replaces the description by a copy of text; null removes it. When the
  // copy cannot be had the old description stays (0x10652065 is logged).
  void description(char const* text);

  // to (which must own nothing; it is overwritten) gets from's type and
  // flag and a copy of its description (null when there is none); the two
  // trailing words are zero. False when the copy cannot be allocated: to
  // then has no description.
  static bool copyPObj(pobj_s_t const& from, pobj_s_t& to);
  // Frees the description and takes type, description copy and flag from
  // the interface structure.
  void copyAznPObj(azn_pobj_desc_struct const& from);

  // ---- attribute form ---------------------------------------------------
  // Writes "pobjid" (name), "pobjdesc" (the description, "" when none),
  // "pobjpolattach" and "pobjtype" into target's set qualifier. Returns 0.
  unsigned long encode(char const* name, char const* qualifier, HXObject& target) override;
  // Reads value 0 of "pobjdesc", "pobjpolattach" and "pobjtype" from
  // source's set qualifier ("pobjid" is not read; absent values read as
  // no description, false and 0). Returns 0.
  unsigned long decode(char const* name, char const* qualifier, HXObject& source) override;

  // ---- database form ----------------------------------------------------
  using daStoreObject::decode;
  using daStoreObject::encode;
  // record gets type 0x50B, key and value word kept (whatever bytes it held are
  // not freed) and on success owns the encoded bytes. status: 0 or the
  // codec's failure (record then has no bytes).
  void encode(gxobj_t& record, unsigned long& status) override;
  // The encoded structure into buffer (overwritten); status as above.
  void encode(hx_asn_buffer_t& buffer, unsigned long& status) const override;
  // Replaces the fields by those encoded in record; name and attributes
  // stay. status: 0 or the codec's failure, the object unchanged.
  void decode(gxobj_t& record, unsigned long& status) override;
  // A new protected object from record (its type is not examined). On
  // success *out is the caller's and status 0; on failure *out is null and
  // status the codec's or 0x10652065.
  static void decode(gxobj_t const& record, GxPObj** out, unsigned long& status);

 private:
  pobj_s_t pobj_{0, 1, nullptr, 0, 0};
};

class GxPObjSpace : public daStoreObject {
 public:
  // The status of adding a name that is already in the list, and of
  // removing one that is not.
  static constexpr unsigned long s_name_exists_ = 0x1005B1CC;
  static constexpr unsigned long s_name_missing_ = 0x1005B1CB;

  // An empty list.
  GxPObjSpace();
  // Deep copies (copyPObjSpace); the copy constructor and the assignment
  // also copy the base. Nothing on self-assignment.
  explicit GxPObjSpace(pobjspace_s_t const& from);
  GxPObjSpace(GxPObjSpace const& other);
  GxPObjSpace& operator=(GxPObjSpace const& other);
  ~GxPObjSpace() override;
  ZObject_6_0* clone() const override { return new GxPObjSpace(*this); }

  pobjspace_s_t const& value() const { return space_; }
  uint32_t count() const { return space_.count; }
  // Name i (i < count()).
  char const* name(uint32_t i) const { return space_.names[i]; }

  // to (which must own nothing; it is overwritten) gets from's count and a
  // new array with a copy of every name; the trailing words are zero. False
  // when the heap is exhausted: to then owns nothing.
  static bool copyPObjSpace(pobjspace_s_t const& from, pobjspace_s_t& to);

  // Appends to out, in list order, one new ZUTF8String_6_0 per name; out
  // takes ownership of them (it should be an owning list). An empty list
  // leaves out unchanged.
  void listObjSpaces(ZArrayList_6_0& out) const;
  // Appends a copy of name. status: 0; 0x1005B1CC when an equal name
  // (strcmp: exact bytes, case-sensitive) is already listed, the list
  // unchanged; 0x10652065 when the heap is exhausted and 0x1005B1C9 for a
  // null name, the list unchanged in both cases.
  void addToObjSpace(char const* name, unsigned long& status);
  // Removes name, keeping the order of the others. status: 0, or
  // 0x1005B1CB when it is not listed (the list unchanged).
  void remFromObjSpace(char const* name, unsigned long& status);

  // ---- database form ----------------------------------------------------
  using daStoreObject::decode;
  using daStoreObject::encode;
  // Sets record's type to 0x50A and its length and data to zero (key and
  // value are left as the caller gave them; old bytes are not freed); on
  // success the record owns the encoded bytes. status: 0 or the codec's
  // failure (record then has no bytes).
  void encode(gxobj_t& record, unsigned long& status) override;
  void encode(hx_asn_buffer_t& buffer, unsigned long& status) const override;
  // Replaces the list by the one encoded in record; name and attributes
  // stay. status: 0 or the codec's failure, the list unchanged.
  void decode(gxobj_t& record, unsigned long& status) override;
  // A new list from record; as GxPObj::decode.
  static void decode(gxobj_t const& record, GxPObjSpace** out, unsigned long& status);

 private:
  void release();
  pobjspace_s_t space_{};
};
