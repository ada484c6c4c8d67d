#include "GxCore/db/daCachedStore.h"

// Placeholder bodies; the effective-policy reads are being written.
void daCachedStore::getExtAttributes(daPObjName&, unsigned long, int, Handle<daStoreObject>&, unsigned long& status) {
  status = 0x1005B38A;
}
