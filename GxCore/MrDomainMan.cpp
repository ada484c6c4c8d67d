#include "GxCore/MrDomainMan.h"

#include <mutex>

#include "GxCore/coretrace.h"

namespace {

constexpr char const* kDomainAttr = "tsd_domain_name";

// The stack object of the calling thread, or null.
HXObject* threadStack(ZThread_6_0::Key key) { return static_cast<HXObject*>(ZThread_6_0::getThreadObject(key)); }

// A thread that ends with domains still set leaves its stack object here.
void deleteStack(void* stack) { delete static_cast<HXObject*>(stack); }

[[noreturn]] void throwNoCurrentDomain() {
  hx_trace_exception(gxcore_svc_handle, 0, "ZInvalidParameterException");
  ZInvalidParameterException_6_0("no current domain on this thread").throwException(__FILE__, __LINE__);
}

// Holds an hx lock for its scope.
class HxLockHold {
 public:
  explicit HxLockHold(hx_lock_t lock) : lock_(lock) { lock__justwrite(lock_, __FILE__, __LINE__); }
  ~HxLockHold() { lock__unlock(lock_, __FILE__, __LINE__); }
  HxLockHold(HxLockHold const&) = delete;
  HxLockHold& operator=(HxLockHold const&) = delete;

 private:
  hx_lock_t lock_;
};

}  // namespace

MrDomainMan* MrDomainMan::theDomainManager_ = nullptr;
ZThread_6_0::Key MrDomainMan::domainTSDkey_{};

void MrDomainMan::LockDeleter::operator()(hx_lock_s* lock) const { lock__delete(lock, __FILE__, __LINE__); }

void MrDomainMan::createThreadKey() {
  static std::once_flag once;
  std::call_once(once, [] { domainTSDkey_ = ZThread_6_0::createThreadKey(&deleteStack); });
}

MrDomainMan::MrDomainMan() : MrDomainMan(nullptr) {}

MrDomainMan::MrDomainMan(char const* configFile)
    : configFile_(configFile ? configFile : ""),
      domainLock_(lock__create(__FILE__, __LINE__)),
      udirLock_(lock__create(__FILE__, __LINE__)) {
  if (!domainLock_ || !udirLock_) ZOutOfMemoryException_6_0().throwException(__FILE__, __LINE__);
  createThreadKey();
}

MrDomainMan::~MrDomainMan() {
  if (theDomainManager_ == this) theDomainManager_ = nullptr;
}

// ---- current domain ---------------------------------------------------------

ZUTF8String_6_0 MrDomainMan::getCurrentDomainName() {
  HXObject* stack = threadStack(domainTSDkey_);
  unsigned int depth = stack ? stack->length(kDomainAttr, nullptr) : 0;
  if (depth == 0) throwNoCurrentDomain();
  ZUTF8String_6_0 const* top = stack->getStringValue(kDomainAttr, depth - 1, nullptr);
  return top ? *top : ZUTF8String_6_0();
}

unsigned long MrDomainMan::setCurrentDomainName(char const* name) {
  unsigned long status = 0;
  CoreTrace trace("MrDomainMan::setCurrentDomainName", status, __FILE__, __LINE__);
  HXObject* stack = threadStack(domainTSDkey_);
  if (!stack) {
    auto made = std::make_unique<HXObject>();
    ZThread_6_0::setThreadObject(domainTSDkey_, made.get());
    stack = made.release();
  }
  stack->addStringValue(kDomainAttr, name ? name : "", nullptr);
  return status;
}

unsigned long MrDomainMan::clearCurrentDomainName() {
  unsigned long status = 0;
  CoreTrace trace("MrDomainMan::clearCurrentDomainName", status, __FILE__, __LINE__);
  HXObject* stack = threadStack(domainTSDkey_);
  if (!stack) return status;
  unsigned int depth = stack->length(kDomainAttr, nullptr);
  if (depth == 0) throwNoCurrentDomain();
  if (depth == 1) {
    // The object lives only while the stack is non-empty.
    ZThread_6_0::setThreadObject(domainTSDkey_, nullptr);
    delete stack;
  } else {
    stack->deleteValue(kDomainAttr, depth - 1, nullptr);
  }
  return status;
}

// ---- domain table -------------------------------------------------------------

ZArrayList_6_0* MrDomainMan::getDomainNames() {
  auto names = std::make_unique<ZArrayList_6_0>(domains_.size(), true);
  domains_.listKeys(*names);
  return names.release();
}

unsigned long MrDomainMan::setDomains() { return 0; }

daLocalDomain* MrDomainMan::getDomain(char const* name) {
  if (!name) return nullptr;
  return static_cast<daLocalDomain*>(domains_.getEntry(ZUTF8String_6_0(name)));
}

unsigned long MrDomainMan::addDomain(daLocalDomain* domain) {
  if (!domain) return 0;
  std::unique_ptr<ZObject_6_0> copy(domain->clone());
  domains_.putEntry(domain->getName(), copy.get());
  copy.release();
  return 0;
}

unsigned long MrDomainMan::removeDomain(daLocalDomain* domain) {
  if (domain) domains_.removeEntry(domain->getName());
  return 0;
}

daLocalPolicy* MrDomainMan::getLocalPolicy(char const* name) {
  daLocalDomain* domain = getDomain(name);
  return domain ? domain->getLocalPolicy() : nullptr;
}

unsigned long MrDomainMan::setLocalPolicy(char const* name, daLocalPolicy* policy) {
  unsigned long status = 0;
  CoreTrace trace("MrDomainMan::setLocalPolicy", status, __FILE__, __LINE__);
  if (daLocalDomain* domain = getDomain(name)) domain->setLocalPolicy(policy);
  return status;
}

// ---- registry handle ------------------------------------------------------------

udir_handle_t MrDomainMan::getUdirHandle() {
  unsigned long status = 0;
  CoreTrace trace("MrDomainMan::getUdirHandle()", status, __FILE__, __LINE__);
  if (!udir_is_registry()) return nullptr;
  status = getInitUdirHandle(getCurrentDomainName().getChars());
  return udirHandle_.load(std::memory_order_acquire);
}

udir_handle_t MrDomainMan::getUdirHandle(char const* name) {
  unsigned long status = 0;
  CoreTrace trace("MrDomainMan::getUdirHandle(const char * domainName)", status, __FILE__, __LINE__);
  if (!udir_is_registry()) return nullptr;
  status = getInitUdirHandle(name);
  return udirHandle_.load(std::memory_order_acquire);
}

unsigned long MrDomainMan::getInitUdirHandle(char const* name) {
  unsigned long status = 0;
  CoreTrace trace("MrDomainMan::getInitUdirHandle", status, __FILE__, __LINE__);
  HxLockHold hold(udirLock_.get());
  if (udir_handle_t existing = udirHandle_.load(std::memory_order_relaxed)) {
    HX_TRACE(gxcore_svc_handle, 0, 9, "MrDomainMan::getInitUdirHandle() : udirHandle_ = 0x%lx\n",
             reinterpret_cast<unsigned long>(existing));
    return status;
  }
  HX_TRACE(gxcore_svc_handle, 0, 9, "MrDomainMan::getInitUdirHandle configFile = %s \n", configFile_.getChars());
  udir_handle_t made = nullptr;
  status = udir_create_domain_handle(&made, configFile_.getChars(), name);
  HX_TRACE(gxcore_svc_handle, 0, 9, "MrDomainMan::getUdirHandle status = 0x%lx \n", status);
  if (status != 0) {
    unsigned long reported = status == udir_s_config_unreadable || status == udir_s_registry_unreachable ||
                                     status == udir_s_bind_refused
                                 ? status
                                 : udir_s_handle_failed;
    HX_LOG(policysrv_svc_handle, 0, hx_svc_attr_warning, reported, "");
    // The status returned is the registry's own; the message names it when
    // it is one of the three known causes.
    return status;
  }
  udirHandle_.store(made, std::memory_order_release);
  return status;
}

// ---- current domain's objects ------------------------------------------------------

daLocalDomain* MrDomainMan::currentDomain() { return getDomain(getCurrentDomainName().getChars()); }

daLocalPolicy* MrDomainMan::currentLocalPolicy() { return getLocalPolicy(getCurrentDomainName().getChars()); }

udir_handle_t MrDomainMan::currentUdirHandle() { return getUdirHandle(getCurrentDomainName().getChars()); }

unsigned long MrDomainMan::setConfigFile(char const* path) {
  configFile_ = ZUTF8String_6_0(path ? path : "");
  return 0;
}
