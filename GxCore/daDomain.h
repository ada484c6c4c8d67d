// Policy domains. A daDomain is a protected object named after its domain;
// daLocalDomain adds the domain's local policy replica, which is what the
// domain manager (MrDomainMan) hands out for a domain name. Hosts use
// daLocalDomain as it is or derive their own domain class from it.
//
// Not synchronised: a domain is built by its owner and then only read.
#pragma once

#include "GxCore/GxPObj.h"

class daLocalPolicy;

class daDomain : public GxPObj {
 public:
  daDomain() = default;
  // A domain whose store-object name is name (null: no name).
  explicit daDomain(char const* name);
  // A copy is a new, empty domain without a name: a domain's identity is
  // not duplicated by copying the base object (daLocalDomain's copy carries
  // what the manager needs). Assignment changes nothing.
  daDomain(daDomain const&) : GxPObj() {}
  daDomain& operator=(daDomain const&) { return *this; }
  ~daDomain() override = default;

  unsigned int hash() const override { return daStoreObject::hash(); }
  int compare(ZObject_6_0 const& other) const override { return GxPObj::compare(other); }
  ZObject_6_0* clone() const override { return new daDomain(); }
  // A hook for hosts that dump their domains; does nothing here.
  virtual void traceDump() const {}
};

// A domain with its local policy replica (not owned: the host opens, closes
// and deletes the replica). Copies carry the name and the replica pointer.
class daLocalDomain : public daDomain {
 public:
  daLocalDomain(char const* name, daLocalPolicy* policy);
  daLocalDomain(daLocalDomain const& other);
  daLocalDomain& operator=(daLocalDomain const&) = delete;
  ~daLocalDomain() override = default;

  ZObject_6_0* clone() const override { return new daLocalDomain(*this); }
  virtual daLocalPolicy* getLocalPolicy() const { return policy_; }
  virtual void setLocalPolicy(daLocalPolicy* policy) { policy_ = policy; }

 private:
  daLocalPolicy* policy_;
};
