// Policy-object maps: the database records that say which policy (ACL, POP,
// authorization rule) is attached to which protected object. Each
// attachment is stored twice: the object-to-policy map of the protected
// object names its one policy, and the policy-to-object map of the policy
// names every object it is attached to. Every direction is a
// daPolicyObjectMap, a list of names with a type id; the object-to-policy
// kinds also carry a daAttachedPolicy part where the cached store remembers
// the resolved policy. This header holds the base and the POP and rule
// maps; the ACL maps are in GxMapPObjectToACL.h and GxMapACLToPObject.h.
//
// The database form is the list through the codec of outside/hxasn_map.h.
// No locks: a cached map's list is never changed after decoding, and its
// attached part is touched only under the cached store's cache lock.
#pragma once

#include <cstdint>

#include "GxCore/daAttachedPolicy.h"
#include "GxCore/daStoreObject.h"
#include "outside/hxasn_map.h"

class daPolicyObjectMap : public daStoreObject {
 public:
  // An empty list (count 0, null array) for records of type typeId.
  explicit daPolicyObjectMap(unsigned int typeId);
  // A copy of list's names (see set).
  daPolicyObjectMap(unsigned int typeId, map_acl_to_pobj_s_t const& list);
  // Deep copies of the base, the type id and the names.
  daPolicyObjectMap(daPolicyObjectMap const& other);
  daPolicyObjectMap& operator=(daPolicyObjectMap const& other);
  ~daPolicyObjectMap() override;
  ZObject_6_0* clone() const override { return new daPolicyObjectMap(*this); }

  unsigned int typeId() const { return typeId_; }
  unsigned int count() const { return list_.count; }
  // Name i; i must be below count().
  char const* get(unsigned int i) const { return list_.names[i]; }
  // The list as the codec sees it.
  map_acl_to_pobj_s_t const& value() const { return list_; }

  // Appends a copy of name. When the heap is exhausted the list is left
  // unchanged.
  void add(char const* name);
  // Removes the first name equal to name (strcmp); no change when there is
  // none. The array is freed when the list becomes empty.
  void remove(char const* name);
  // Frees every name and the array; the list is empty (null array).
  void clear();
  // clear(), then copies list's names in order. When the heap is exhausted
  // the list is left empty.
  void set(map_acl_to_pobj_s_t const& list);

  // ---- database form ----------------------------------------------------
  using daStoreObject::decode;
  using daStoreObject::encode;
  // record is set up for this map's type id (key null, value 0; whatever it
  // held is not freed) and on success owns the encoded bytes. status: 0 or
  // the codec's failure (record then has no bytes).
  void encode(gxobj_t& record, unsigned long& status) override;
  // The encoded list into buffer (overwritten); status as above.
  void encode(hx_asn_buffer_t& buffer, unsigned long& status) const override;
  // Replaces this map's list by the one in record (its type is not
  // examined); status 0, or the codec's failure with the list unchanged.
  void decode(gxobj_t& record, unsigned long& status) override;
  // The same into map.
  static void decode(gxobj_t const& record, daPolicyObjectMap& map, unsigned long& status);

 private:
  map_acl_to_pobj_s_t list_{};
  uint32_t typeId_;
};

// Declares a typed map class: default constructor with its type id, copies,
// clone, and the static decoder building a new object (on success *out is
// the caller's and status 0; on failure *out is null and status the codec's
// or 0x10652065).
#define DA_POLICY_MAP_CLASS(Name)                                                  \
  Name();                                                                          \
  Name(Name const& other);                                                         \
  Name& operator=(Name const& other);                                              \
  ~Name() override;                                                                \
  ZObject_6_0* clone() const override { return new Name(*this); }                  \
  using daPolicyObjectMap::decode;                                                 \
  static void decode(gxobj_t const& record, Name** out, unsigned long& status)

// Protected object to POP, type 0x508, under "/auth/pobject-popmap". A copy
// or clone starts with an empty attached part; assignment copies it.
class GxMapObjToPop : public daPolicyObjectMap, public daAttachedPolicy {
 public:
  DA_POLICY_MAP_CLASS(GxMapObjToPop);
};

// POP to protected objects, type 0x509, under "/auth/pop-map".
class GxMapPopToObj : public daPolicyObjectMap {
 public:
  DA_POLICY_MAP_CLASS(GxMapPopToObj);
};

// Protected object to rule, type 0x510, under "/auth/pobject-rulemap". A
// copy or clone starts with an empty attached part; assignment copies it.
class daMapObjToRule : public daPolicyObjectMap, public daAttachedPolicy {
 public:
  DA_POLICY_MAP_CLASS(daMapObjToRule);
};

// Rule to protected objects, type 0x511, under "/auth/rule-map".
class daMapRuleToObj : public daPolicyObjectMap {
 public:
  DA_POLICY_MAP_CLASS(daMapRuleToObj);
};

// Definitions of the members declared by DA_POLICY_MAP_CLASS. The copy
// constructor starts the attached part (if any) empty; assignment copies it.
#define DA_POLICY_MAP_DEFINE_BODY(Name, TypeId, Attached, ...)                     \
  Name::Name() : daPolicyObjectMap(TypeId) {}                                      \
  Name::Name(Name const& other) : daPolicyObjectMap(other) __VA_ARGS__ {}         \
  Name& Name::operator=(Name const& other) {                                       \
    if (this != &other) {                                                          \
      daPolicyObjectMap::operator=(other);                                         \
      daAssignAttached<Attached>(*this, other);                                    \
    }                                                                              \
    return *this;                                                                  \
  }                                                                                \
  Name::~Name() = default;                                                         \
  void Name::decode(gxobj_t const& record, Name** out, unsigned long& status) {    \
    daDecodeNew(record, out, status);                                              \
  }
#define DA_POLICY_MAP_DEFINE(Name, TypeId) DA_POLICY_MAP_DEFINE_BODY(Name, TypeId, false)
#define DA_POLICY_MAP_DEFINE_ATTACHED(Name, TypeId) \
  DA_POLICY_MAP_DEFINE_BODY(Name, TypeId, true, , daAttachedPolicy())

template <bool Attached, class T>
void daAssignAttached(T& to, T const& from) {
  if constexpr (Attached) static_cast<daAttachedPolicy&>(to) = static_cast<daAttachedPolicy const&>(from);
}
