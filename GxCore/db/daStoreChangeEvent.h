// Store events. A daLocalStore tells two lists of observers about changes:
// store-available observers get a daStoreAvailableEvent (domain, sequence
// number, "now" flag) when a new state of the store is available, e.g. after
// a transaction commit that changed something; store-changed observers get a
// daStoreChangedEvent with the new sequence number. Observers run
// synchronously on the notifying thread. daStoreChangeEvent describes one
// changed object for callers that build it from an update record; the
// library does not send it itself.
#pragma once

#include <cstdint>

#include "GxCore/GxObjName.h"
#include "outside/ZObserver.h"

class daStoreAvailableEvent : public ZObservedParm_6_0 {
 public:
  daStoreAvailableEvent(unsigned long seqNum, int now, char const* domain)
      : seqNum_(seqNum), now_(now), domain_(domain) {}
  daStoreAvailableEvent(daStoreAvailableEvent const&) = default;
  daStoreAvailableEvent& operator=(daStoreAvailableEvent const&) = default;

  // Events compare by domain name only.
  int compare(ZObject_6_0 const& other) const override;
  ZObject_6_0* clone() const override { return new daStoreAvailableEvent(*this); }
  bool operator==(daStoreAvailableEvent const& o) const { return compare(o) == 0; }

  unsigned long const& getSeqNum() const { return seqNum_; }
  int const& getNow() const { return now_; }
  ZUTF8String_6_0 const& getDomain() const { return domain_; }
  void setSeqnum(unsigned long seqNum) { seqNum_ = seqNum; }
  void setNow(int now) { now_ = now; }

 private:
  unsigned long seqNum_;
  int now_;
  ZUTF8String_6_0 domain_;
};

class daStoreChangedEvent : public ZObservedParm_6_0 {
 public:
  explicit daStoreChangedEvent(unsigned long seqNum) : seqNum_(seqNum) {}
  daStoreChangedEvent(daStoreChangedEvent const&) = default;
  daStoreChangedEvent& operator=(daStoreChangedEvent const&) = default;
  ZObject_6_0* clone() const override { return new daStoreChangedEvent(*this); }
  unsigned long const& getSeqNum() const { return seqNum_; }

 private:
  unsigned long seqNum_;
};

// An update record: sequence number, the changed object's key, and a word
// whose low-order byte is the change flag.
struct gxobj_update_s_t {
  uint32_t seqnum;
  unsigned char const* name;
  uint32_t flag;
};

class daStoreChangeEvent : public ZObject_6_0 {
 public:
  daStoreChangeEvent() = default;
  explicit daStoreChangeEvent(gxobj_update_s_t& update)
      : seqNum_(update.seqnum), name_(update.name), flag_(static_cast<unsigned char>(update.flag & 0xFF)) {}
  daStoreChangeEvent(unsigned long seqNum, GxObjectName const& name, unsigned char flag)
      : seqNum_(seqNum), name_(name), flag_(flag) {}
  daStoreChangeEvent(daStoreChangeEvent const&) = default;
  daStoreChangeEvent& operator=(daStoreChangeEvent const&) = default;
  ZObject_6_0* clone() const override { return new daStoreChangeEvent(*this); }
  // Identity, not equal contents.
  bool operator==(daStoreChangeEvent const& o) const { return this == &o; }

  unsigned long getSeqNum() const { return seqNum_; }
  GxObjectName const& getName() const { return name_; }
  unsigned char getFlag() const { return flag_; }

 private:
  unsigned long seqNum_ = 0xFFFFFFFFul;
  GxObjectName name_;
  unsigned char flag_ = 0;
};

class storeAvailableNotifier : public ZAbstractObservable_6_0 {
 public:
  // Builds the event and hands it to every observer before returning.
  void notify(char const* domain, unsigned long seqNum, int now) {
    daStoreAvailableEvent event(seqNum, now, domain);
    notifyObservers(event);
  }
};

class storeChangedNotifier : public ZAbstractObservable_6_0 {
 public:
  void notify(unsigned long seqNum) {
    daStoreChangedEvent event(seqNum);
    notifyObservers(event);
  }
};
