// daStoreObject: common base of every object kept in the policy database
// (ACLs, POPs, rules, protected objects, maps, actions, ...). An attribute
// object with a name (by convention the full key it is stored under, e.g.
// "/auth/pop/p1") and a description; objects are hashed, ordered and
// compared by name only.
//
// The static decode() turns a record read from the store into an object of
// the class its type id names; the cached store calls it on every miss.
// daPolicyObject marks the three attachable policies (ACL, POP, rule).
#pragma once

#include <memory>
#include <new>

#include "GxCore/dastatus.h"
#include "outside/hxasn.h"
#include "outside/HXObject.h"
#include "outside/gxobj.h"


class daStoreObject : public HXObject {
 public:
  daStoreObject() = default;
  explicit daStoreObject(char const* name) : HXObject(name) {}
  daStoreObject(daStoreObject const&) = default;
  daStoreObject& operator=(daStoreObject const&) = default;
  ~daStoreObject() override = default;

  unsigned int hash() const override;
  int compare(ZObject_6_0 const& other) const override;
  ZObject_6_0* clone() const override { return new daStoreObject(*this); }
  bool equals(ZObject_6_0 const& other) const override;
  bool operator==(daStoreObject const& o) const { return equals(o); }

  virtual ZUTF8String_6_0 const& getName() const { return HXObject::getName(); }
  virtual void setName(ZUTF8String_6_0 const& name) { setStringValue("name", name, 0, nullptr); }
  virtual ZUTF8String_6_0 getDescription() const;
  virtual void setDescription(ZUTF8String_6_0 const& text) { setStringValue("description", text, 0, nullptr); }
  // The text after the last "/" of the name; the whole name when it has no
  // "/" or is one character long. Points into the name.
  virtual char const* getShortName() const;

  // Attribute form of the whole object from a record (HXObject::decode);
  // classes that keep their data in a plain structure override it.
  using HXObject::decode;
  void decode(gxobj_t& record, unsigned long& status) override { HXObject::decode(record, status); }

  // Builds the object the record's type id names, named after the record's
  // key. On success *object is a new object the caller owns and status is 0.
  // Unknown type ids give 0x132792F2 and no object; a class decoder that
  // fails gives its status and no object (message 0x10652065 is logged).
  // The rule kind is returned even when its decode failed, with the status.
  static void decode(gxobj_t const& record, daStoreObject** object, unsigned long& status);
};

class daPolicyObject : public daStoreObject {
 public:
  daPolicyObject() = default;
  explicit daPolicyObject(char const* name) : daStoreObject(name) {}
  daPolicyObject(daPolicyObject const&) = default;
  daPolicyObject& operator=(daPolicyObject const&) = default;
  ZObject_6_0* clone() const override { return new daPolicyObject(*this); }
};

// The common body of the classes' encode(gxobj_t&): obj's database form
// (its encode(hx_asn_buffer_t&)) into record, with record.type set to type,
// the length and bytes replaced (the old bytes are not freed) and the key
// and value word kept. On failure the record has no bytes and status is the
// encoder's.
void daEncodeRecord(daStoreObject const& obj, uint32_t type, gxobj_t& record, unsigned long& status);

// The common body of the static class decoders: a new T filled from the
// record by its member decode(gxobj_t&, status). On success *out is the new
// object (the caller owns it) and status 0; otherwise *out is null and the
// status says why (0x10652065 when the object cannot be allocated).
template <class T>
void daDecodeNew(gxobj_t const& record, T** out, unsigned long& status) {
  status = 0;
  if (out == nullptr) {
    status = hx_asn_s_decode_failed;
    return;
  }
  *out = nullptr;
  std::unique_ptr<T> obj(new (std::nothrow) T());
  if (!obj) {
    status = da_s_no_memory;
    return;
  }
  gxobj_t view = record;  // member decoders only read the bytes
  obj->decode(view, status);
  if (status == 0) *out = obj.release();
}
