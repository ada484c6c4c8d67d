// MrDomainMan: the domain manager of a process that serves several policy
// domains. It keeps the table of domains (name -> daLocalDomain, each with
// its local policy replica), the domain each thread is working for (a
// per-thread stack, so nested code can switch domains and come back), the
// registry configuration path and the process's one registry handle.
//
// The class is abstract: the host derives its manager, creates the single
// instance, installs it with setDomainManager (MrDomainMan::hey() then
// returns it), adds its domains and sets the current domain around each
// unit of work. Library code that acts for the current domain (the replica
// rebuild, the ACL attribute form) asks hey() and copes with a null answer.
//
// Locks: the current-domain stack is per thread and unlocked. The registry
// handle is created under the udir lock, so concurrent first calls create it
// once. The domain table is not locked: add and remove domains before other
// threads look them up.
#pragma once

#include <atomic>
#include <memory>

#include "GxCore/daDomain.h"
#include "outside/ZCollections.h"
#include "outside/ZString.h"
#include "outside/ZThread.h"
#include "outside/hxlock_fns.h"
#include "outside/udir.h"

class daLocalPolicy;

class MrDomainMan {
 public:
  // An empty table, the configuration path empty (or configFile), no
  // registry handle.
  MrDomainMan();
  explicit MrDomainMan(char const* configFile);
  MrDomainMan(MrDomainMan const&) = delete;
  MrDomainMan& operator=(MrDomainMan const&) = delete;
  // Uninstalls this manager when it is the installed one.
  virtual ~MrDomainMan();

  // The installed manager, or null.
  static MrDomainMan* hey() { return theDomainManager_; }
  // Installs manager (null uninstalls); the host calls it once its concrete
  // manager is built.
  static void setDomainManager(MrDomainMan* manager) { theDomainManager_ = manager; }

  // ---- left to the concrete manager -----------------------------------
  // Builds the host's domains (their local policies opened) and adds them.
  // Returns 0 or the first failing status.
  virtual unsigned long openDomains() = 0;
  // Closes the local policies of every domain and removes the domains.
  virtual unsigned long closeDomains() = 0;
  // Brings the named domain's replica up to date (for example by reopening
  // its local policy). Returns 0 or the failing status.
  virtual unsigned long refreshDomain(char const* name) = 0;

  // ---- the calling thread's current domain ------------------------------
  // The innermost domain the thread set. Throws
  // ZInvalidParameterException_6_0 when the thread has none.
  virtual ZUTF8String_6_0 getCurrentDomainName();
  // Pushes name (null is taken as "") onto the thread's stack; returns 0.
  virtual unsigned long setCurrentDomainName(char const* name);
  // Pops the thread's stack; nothing when the thread never set a domain.
  // Returns 0.
  virtual unsigned long clearCurrentDomainName();

  // ---- the domain table ------------------------------------------------
  // A new owning list with the names of all domains (ZUTF8String_6_0), in
  // table order; the caller owns it.
  virtual ZArrayList_6_0* getDomainNames();
  // Does nothing; returns 0.
  virtual unsigned long setDomains();
  // The domain entered under name (owned by the table), or null.
  virtual daLocalDomain* getDomain(char const* name);
  // Enters a copy of domain (its clone()) under its name, replacing any
  // domain of that name; returns 0. A null domain is ignored.
  virtual unsigned long addDomain(daLocalDomain* domain);
  // Removes (and deletes) the table's domain of domain's name; returns 0.
  virtual unsigned long removeDomain(daLocalDomain* domain);
  // The local policy of the domain name, or null when there is no such
  // domain.
  virtual daLocalPolicy* getLocalPolicy(char const* name);
  // Gives policy to the domain name; nothing when there is no such domain.
  // Returns 0.
  virtual unsigned long setLocalPolicy(char const* name, daLocalPolicy* policy);

  // ---- the registry handle ----------------------------------------------
  // With a registry configured: the process's handle, created for the
  // current domain (getUdirHandle()) or for name on the first successful
  // call and shared by every later call whatever domain it names; null when
  // its creation failed (the next call tries again). Without a registry:
  // null, nothing is tried. getUdirHandle() throws as
  // getCurrentDomainName when the thread has no domain.
  virtual udir_handle_t getUdirHandle();
  virtual udir_handle_t getUdirHandle(char const* name);
  // Creates the handle for name unless it exists, under the udir lock.
  // Returns 0, or the registry's failure status with the handle left null;
  // the failure is logged (policysrv, attribute 32) as 0x14C0141C,
  // 0x14C0141D or 0x14C0141E when it is one of those, else as 0x14C01420.
  virtual unsigned long getInitUdirHandle(char const* name);

  // ---- the current domain's objects --------------------------------------
  // getDomain, getLocalPolicy and getUdirHandle of getCurrentDomainName();
  // each throws ZInvalidParameterException_6_0 when the thread has none.
  virtual daLocalDomain* currentDomain();
  virtual daLocalPolicy* currentLocalPolicy();
  virtual udir_handle_t currentUdirHandle();

  virtual ZUTF8String_6_0 const& getConfigFile() const { return configFile_; }
  // Replaces the registry configuration path (null: empty); returns 0.
  virtual unsigned long setConfigFile(char const* path);

 private:
  struct LockDeleter {
    void operator()(hx_lock_s* lock) const;
  };
  using LockPtr = std::unique_ptr<hx_lock_s, LockDeleter>;

  static MrDomainMan* theDomainManager_;
  // The thread slot of the current-domain stacks, made once per process so
  // that managers built one after another do not use up thread keys.
  static ZThread_6_0::Key domainTSDkey_;
  static void createThreadKey();

  ZUTF8String_6_0 configFile_;
  ZHashKeyMap_6_0 domains_{10, true};
  // Written under the udir lock, read without it.
  std::atomic<udir_handle_t> udirHandle_{nullptr};
  // Declared last so that they are deleted first. The domain lock is kept
  // for hosts that serialise their own domain operations; nothing here
  // takes it.
  LockPtr domainLock_;
  LockPtr udirLock_;
};
