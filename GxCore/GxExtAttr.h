// Extended attributes: free-form name/value pairs that administrators attach
// to policy objects (ACLs, POPs, rules) and to protected objects. One set is
// one stored object, GxExtAttr, kept under a key derived from its owner's
// name (daPolicyName::getExtAttrName, daPObjName::getExtAttrName) as a record
// of type 0x50C. GxExtAttr owns one plain gxextattr_s_t
// (outside/hxasn_extattr.h), all malloc'ed because the codec fills and frees
// the same structures. GxExtAttrIterator walks the names and, per name, its
// values.
//
// Invariants: names are unique under strcmp, and so are the values of one
// name; every name has at least one value; names keep the order they were
// first added in, values the order they were added in; removals close gaps.
//
// Not synchronised: a set is changed only by the thread holding it; sets
// shared through the cache are read-only.
#pragma once

#include <cstdint>

#include "GxCore/daStoreObject.h"
#include "outside/hxasn_extattr.h"

class GxExtAttr : public daStoreObject {
 public:
  // Returned by addValue when the heap is exhausted (nothing changed).
  static constexpr int noMemory_ = 2;

  // No names.
  GxExtAttr() = default;
  // Deep copies (copyExtAttr): names without a non-null value are dropped.
  // The copy constructor also copies the base's name and attributes. When
  // the heap is exhausted the new set is empty.
  explicit GxExtAttr(gxextattr_s_t const& from);
  GxExtAttr(GxExtAttr const& other);
  // Nothing on self-assignment; otherwise the base part, delAll(), then a
  // deep copy of other's set.
  GxExtAttr& operator=(GxExtAttr const& other);
  ~GxExtAttr() override;
  ZObject_6_0* clone() const override { return new GxExtAttr(*this); }

  // The structure, for inspection.
  gxextattr_s_t const& value() const { return ea_; }
  // Frees every name, value and array; no names remain.
  void delAll();
  // Appends a copy of value to name's values, adding name (last) when it is
  // new. 0 when added; 1 when name already has that value (nothing changes);
  // noMemory_ when the heap is exhausted (nothing changes). Null name or
  // value: 1, nothing changes.
  int addValue(char const* name, char const* value);
  // Removes value from name, and name itself when that was its last value.
  // 1 when removed, 0 when the name or the value is not there.
  int delValue(char const* name, char const* value);
  // Removes name with all its values: 1 when removed, 0 when not there.
  int delValues(char const* name);
  unsigned long nameCount() const { return ea_.count; }

  // Deep copy of from into to, which must own nothing (it is overwritten).
  // Entries without a non-null value are skipped, null values dropped; the
  // reserved words are zero in the copy. False when the heap is exhausted:
  // to then owns nothing.
  static bool copyExtAttr(gxextattr_s_t const& from, gxextattr_s_t& to);
  // Whether name is a valid name for an owner of object type type: a
  // protected-object path for 0x50B, a policy name for 0x507, 0x50D, 0x50F;
  // never for any other type. Nonzero when valid.
  static int isValidExtAttrName(char const* name, unsigned long type);

  // ---- attribute form ---------------------------------------------------
  // Writes "extattrid" = name, "extattrnames" = the names in order, and for
  // each name an attribute of that name holding its values in order, all
  // under qualifier q of attrs. Returns 0.
  unsigned long encode(char const* name, char const* q, HXObject& attrs) override;
  // Adds (addValue) every value of every attribute named by the values of
  // "extattrnames" in set q of attrs; "extattrid" is not read. Returns 0.
  unsigned long decode(char const* name, char const* q, HXObject& attrs) override;

  // ---- database form ----------------------------------------------------
  using daStoreObject::decode;
  using daStoreObject::encode;
  // record becomes type 0x50C with no bytes (key and value untouched, old
  // bytes not freed) and on success owns the encoded bytes. status: 0 or the
  // codec's failure (record then has no bytes).
  void encode(gxobj_t& record, unsigned long& status) override;
  // A new set from record (its type is not examined). On success *out is
  // the caller's and status 0; on failure *out is null and status is the
  // codec's (corrupt or truncated bytes) or 0x10652065 (heap exhausted).
  static void decode(gxobj_t const& record, GxExtAttr** out, unsigned long& status);

 private:
  gxextattr_entry_s_t* find(char const* name) const;

  gxextattr_s_t ea_{};
};

// Walks a set's names and, for each name, its values. A plain value: the
// set is not owned and must outlive the iterator and not change meanwhile.
// Call nameReset() before the first use.
class GxExtAttrIterator {
 public:
  explicit GxExtAttrIterator(GxExtAttr const& attrs) : attrs_(&attrs) {}

  void nameReset() { name_ = -1; }
  unsigned long nameCount() const { return attrs_->nameCount(); }
  // Moves to the next name: false past the last one; otherwise the value
  // index is reset and true returned.
  bool nameAdvance();
  // The current name, or null when the name index is out of range.
  char const* name() const;

  void valueReset() { value_ = -1; }
  // The current name's value count, 0 when the name index is out of range.
  unsigned long valueCount() const;
  // False when the name index is out of range; otherwise moves to the next
  // value and is true while that is below the value count.
  bool valueAdvance();
  // The current value, or null when either index is out of range.
  char const* value() const;

 private:
  bool nameInRange() const;

  GxExtAttr const* attrs_;
  long name_ = -1;
  long value_ = -1;
};
