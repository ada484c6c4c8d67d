#include "GxCore/db/daStoreChangeEvent.h"

int daStoreAvailableEvent::compare(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<daStoreAvailableEvent const*>(&other);
  return o ? domain_.compareTo(o->domain_) : ZObject_6_0::compare(other);
}
