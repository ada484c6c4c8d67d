#include "GxCore/db/daActionQuickMap.h"

#include "GxCore/db/daCachedStore.h"

// Placeholder bodies; the conversions are being written.
daActionQuickMap::daActionQuickMap() = default;
daActionQuickMap::~daActionQuickMap() = default;
