// Foundation observer pattern: an observable keeps a list of observers and
// tells each of them, synchronously on the notifying thread, about an event
// parameter.
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

#include "outside/ZObject.h"

class ZObservedParm_6_0 : public ZObject_6_0 {};

class ZAbstractObservable_6_0;

class ZObserverInterface_6_0 {
 public:
  virtual ~ZObserverInterface_6_0() = default;
  virtual void update(ZAbstractObservable_6_0& source, ZObservedParm_6_0 const& parm) = 0;
};

// The list is guarded by its own lock; observers are called with a snapshot
// of the list, outside that lock, so an observer may add or remove observers.
class ZAbstractObservable_6_0 {
 public:
  ZAbstractObservable_6_0() = default;
  ZAbstractObservable_6_0(ZAbstractObservable_6_0 const&) = delete;
  ZAbstractObservable_6_0& operator=(ZAbstractObservable_6_0 const&) = delete;
  virtual ~ZAbstractObservable_6_0() = default;

  virtual void addObserver(ZObserverInterface_6_0* o) {
    std::lock_guard<std::mutex> g(m_);
    if (o && std::find(observers_.begin(), observers_.end(), o) == observers_.end()) observers_.push_back(o);
  }
  virtual void deleteObserver(ZObserverInterface_6_0* o) {
    std::lock_guard<std::mutex> g(m_);
    observers_.erase(std::remove(observers_.begin(), observers_.end(), o), observers_.end());
  }
  virtual void deleteObservers() {
    std::lock_guard<std::mutex> g(m_);
    observers_.clear();
  }
  virtual unsigned int countObservers() {
    std::lock_guard<std::mutex> g(m_);
    return static_cast<unsigned int>(observers_.size());
  }
  virtual void notifyObservers(ZObservedParm_6_0 const& parm) {
    std::vector<ZObserverInterface_6_0*> snapshot;
    {
      std::lock_guard<std::mutex> g(m_);
      snapshot = observers_;
    }
    for (auto* o : snapshot) o->update(*this, parm);
  }

 private:
  std::mutex m_;
  std::vector<ZObserverInterface_6_0*> observers_;
};
