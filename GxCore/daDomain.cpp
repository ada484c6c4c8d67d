#include "GxCore/daDomain.h"

daDomain::daDomain(char const* name) {
  if (name) setName(ZUTF8String_6_0(name));
}

daLocalDomain::daLocalDomain(char const* name, daLocalPolicy* policy) : daDomain(name), policy_(policy) {}

daLocalDomain::daLocalDomain(daLocalDomain const& other) : daDomain(), policy_(other.policy_) {
  if (!other.getName().isEmpty()) setName(other.getName());
}
