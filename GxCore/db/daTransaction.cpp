#include "GxCore/db/daTransaction.h"

#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/hashTable.h"

daTransaction::daTransaction() = default;

daTransaction::~daTransaction() {
  if (store_) store_->discardTransaction(*this);
  discard();
}

void daTransaction::init(daTransactionMode mode, daCachedStore* store) {
  store_ = store;
  mode_ = mode;
  changes_.reset(mode != daTransactionMode::read ? new daCacheTable(0, 20) : nullptr);
}

void daTransaction::discard() { reset(1); }

void daTransaction::reset(int deleteEntries) {
  if (changes_) {
    changes_->clear(static_cast<unsigned char>(deleteEntries));
    changes_.reset();
  }
  if (writeHold_.owns_lock()) writeHold_.unlock();
  writeHold_ = std::unique_lock<ZReadWriteLock_6_0>();
  store_ = nullptr;
}
