// daAttachedPolicy: the part of an object-to-policy map (ACL, POP or rule
// map of one protected object) where the cached store remembers what it
// resolved: a counted handle on the policy, a handle on the policy's
// extended attributes, whether each was found in the database, and the path
// of the protected object the policy is attached at. A map read from the
// database starts with an empty part; only the copy held by a cache entry is
// filled.
//
// No locks of its own: the cached store reads and writes the part of a
// cached map only under its cache lock.
#pragma once

#include <cstdint>

#include "GxCore/daStoreObject.h"
#include "GxCore/handle.h"
#include "outside/ZString.h"

class daAttachedPolicy {
 public:
  // Empty handles, both flags 0, empty location.
  daAttachedPolicy() = default;
  // The handles become counted copies of other's (attachHandle); flags and
  // location are copied.
  daAttachedPolicy(daAttachedPolicy const& other);
  // The same as the copy constructor, releasing this part's handles first;
  // nothing happens when other is this part.
  daAttachedPolicy& operator=(daAttachedPolicy const& other);
  // Empties the location, then releases the extended-attributes handle and
  // the policy handle.
  virtual ~daAttachedPolicy();

  // 1 when the handle designates an object, else 0.
  int haveAttachedObject() const { return attachedObject.get() != nullptr ? 1 : 0; }
  int haveAttachedExtAttr() const { return attachedExtAttr.get() != nullptr ? 1 : 0; }

  int existsAttachedObject() const { return attachedObjectExists; }
  void setAttachedObjectExists(int v) { attachedObjectExists = v; }
  int existsAttachedExtAttr() const { return attachedExtAttrExists; }
  void setAttachedExtAttrExists(int v) { attachedExtAttrExists = v; }

  // The stored handles themselves (not copies). Callers that keep the
  // object take a counted copy with attachHandle.
  Handle<daStoreObject>& getAttachedObjectHandle() const { return attachedObject; }
  Handle<daStoreObject>& getAttachedExtAttrHandle() const { return attachedExtAttr; }
  // The stored handle becomes a counted copy of h (h keeps its reference);
  // h being the stored handle itself changes nothing.
  void setAttachedObjectHandle(Handle<daStoreObject>& h);
  void setAttachedExtAttrHandle(Handle<daStoreObject>& h);

  ZUTF8String_6_0 const& getEffectiveLocation() const { return effectiveLocation; }
  void setEffectiveLocation(ZUTF8String_6_0 const& where) { effectiveLocation = where; }

  // Forgets the resolved answer: both flags 0, both handles released, the
  // location emptied. Harmless on an empty part.
  void invalidateAttached();

 private:
  // mutable: handing out a handle reference from a const map is how the
  // store reaches the part of a cached (shared, const-viewed) map.
  mutable Handle<daStoreObject> attachedObject;
  int32_t attachedObjectExists = 0;
  mutable Handle<daStoreObject> attachedExtAttr;
  int32_t attachedExtAttrExists = 0;
  ZUTF8String_6_0 effectiveLocation;
};
