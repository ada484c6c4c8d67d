#include "GxCore/daAttachedPolicy.h"

daAttachedPolicy::daAttachedPolicy(daAttachedPolicy const& other) {
  other.attachedObject.attachHandle(attachedObject);
  attachedObjectExists = other.attachedObjectExists;
  other.attachedExtAttr.attachHandle(attachedExtAttr);
  attachedExtAttrExists = other.attachedExtAttrExists;
  effectiveLocation = other.effectiveLocation;
}

daAttachedPolicy& daAttachedPolicy::operator=(daAttachedPolicy const& other) {
  if (this == &other) return *this;
  // attachHandle releases the target's previous reference first.
  other.attachedObject.attachHandle(attachedObject);
  attachedObjectExists = other.attachedObjectExists;
  other.attachedExtAttr.attachHandle(attachedExtAttr);
  attachedExtAttrExists = other.attachedExtAttrExists;
  effectiveLocation = other.effectiveLocation;
  return *this;
}

daAttachedPolicy::~daAttachedPolicy() {
  effectiveLocation.clear();
  attachedExtAttr.release();
  attachedObject.release();
}

void daAttachedPolicy::setAttachedObjectHandle(Handle<daStoreObject>& h) {
  if (&h != &attachedObject) h.attachHandle(attachedObject);
}

void daAttachedPolicy::setAttachedExtAttrHandle(Handle<daStoreObject>& h) {
  if (&h != &attachedExtAttr) h.attachHandle(attachedExtAttr);
}

void daAttachedPolicy::invalidateAttached() {
  attachedObjectExists = 0;
  attachedObject.release();
  attachedExtAttrExists = 0;
  attachedExtAttr.release();
  effectiveLocation.clear();
}
