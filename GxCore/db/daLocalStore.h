// daLocalStore: the lowest store layer. It owns one policy database file and
// the bookkeeping kept in it (the database sequence number under "dbobject"
// and the SSL serial counter under "dbsslser"), and reads, writes, deletes,
// counts and enumerates encoded records (gxobj_t) under full keys. It
// neither decodes nor caches: that is daCachedStore's work.
//
// Every successful write or delete advances the sequence number (32-bit:
// the number after 0xFFFFFFFE is 0, never invalidSeqnum) and reports it, so
// caches and replicas can notice changes. Writes go in batches (a single
// setObject or deleteObject is a batch of one): the records of a batch and
// the advanced sequence number are written in one database transaction.
//
// Locks: the database lock guards the open file and the sequence number;
// getSeqNum, getNextSSLSerNum and the object operations take it for their
// whole length, enumeration also takes the enumeration lock inside it. The
// open/create/close and the bookkeeping record calls do not lock: callers
// hold lockDatabase() or call them while no other thread uses the store.
// The domain's inter-process lock (createLock) is handed to the database
// file, which takes it around opening and writing.
#pragma once

#include <cstddef>
#include <memory>

#include "GxCore/GxObjName.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daStoreChangeEvent.h"
#include "outside/ZThread.h"
#include "outside/hxasn.h"
#include "outside/hxdb.h"

// Messages the local store logs.
constexpr unsigned long da_m_open_failed = 0x13279258;
constexpr unsigned long da_m_close_failed = 0x13279259;
constexpr unsigned long da_m_create_failed = 0x1327925A;
constexpr unsigned long da_m_read_failed = 0x1327925B;
constexpr unsigned long da_m_write_failed = 0x1327925C;
constexpr unsigned long da_m_delete_failed = 0x1327925D;
constexpr unsigned long da_m_iter_start_failed = 0x1327925E;
constexpr unsigned long da_m_iter_failed = 0x1327925F;
constexpr unsigned long da_m_header_decode_failed = 0x1327941C;

// One change of a batch (daLocalStore::writeObjects): store record under
// key, or, without a record, delete key (with recursive, key and every key
// below it). status is the item's status after the batch.
struct daLocalStoreWrite {
  GxObjectName const* key = nullptr;  // a full key
  gxobj_t const* record = nullptr;    // not owned; record.key is ignored
  unsigned char recursive = 0;
  unsigned long status = 0;  // out
};

// A list of records handed to a caller, who owns the array and, in each
// record, the key text and the encoded bytes (free with freeObjectList).
struct gxobj_list_s_t {
  unsigned long count;
  gxobj_t* objects;
};
// A list of key texts; the array and each text are malloc'ed and the
// caller's (free with freeNameList).
struct gxobj_name_list_s_t {
  unsigned long count;
  char** names;
};
void freeObjectList(gxobj_list_s_t& list);
void freeNameList(gxobj_name_list_s_t& list);

// The domain's inter-process lock: named policyserverPrefix + domain + "mp"
// ("Default" when domain is null).
std::shared_ptr<MrProcessLock> createLock(char const* domain);

class daLocalStore {
 public:
  static constexpr unsigned long invalidSeqnum = 0xFFFFFFFFul;
  static constexpr char const* dbObjectName = "dbobject";
  static constexpr char const* dbSSLObjectName = "dbsslser";
  // A replica fed by deltas keeps the digest of its contents here (written
  // by the remote library's delta code; bookkeeping, not policy).
  static constexpr char const* dbDigestName = "dbdigest";
  static constexpr char const* dbHeaderName = "dbinfo";
  static constexpr unsigned int firstSSLSerNum = 1000;

  daLocalStore(char const* domain, char const* path);
  explicit daLocalStore(char const* domain);
  daLocalStore(daLocalStore const&) = delete;
  daLocalStore& operator=(daLocalStore const&) = delete;
  // Closes an open store with this class's closeStore (status ignored).
  virtual ~daLocalStore();

  // Creates a new file at the path with sequence number 1 and SSL counter
  // 1000, then closes it. Returns the open/create status (message
  // 0x1327925A logged: hx_db_s_exists, hx_db_s_no_space, hx_db_s_read_only,
  // hx_db_s_open_failed, ...), else the close status, else the status of a
  // bookkeeping write that failed (message 0x1327925C), in which case the
  // file and its lock file are removed again. The store is left closed.
  virtual void createStore(unsigned long& status);
  // Opens the existing file (readOnly is recorded for derived stores),
  // refuses an old-format file (0x13279264) and reads the sequence number.
  // On success the store is open and status 0. If the file cannot be opened
  // (message 0x13279258) or has the old format, the store stays closed. A
  // file on a read-only file system opens with readOnly set (every write
  // then answers hx_db_s_read_only) and is refused without it
  // (hx_db_s_read_only, message 0x13279258 with the path). If
  // the sequence number cannot be read the handle is kept (isStoreOpen()
  // true) but the store is not marked open and the fetch status returned.
  virtual void openStore(int readOnly, unsigned long& status);
  // Closes the file; 0 and no change when nothing is open. The handle is
  // dropped even when the close fails (message 0x13279259).
  virtual void closeStore(unsigned long& status);
  virtual void setPath(char const* path);
  char const* getPath() const { return path_.getChars(); }
  bool isStoreOpen() const { return handle_ != nullptr; }

  // ---- objects (every call needs an open store) ------------------------
  virtual void getObjectCount(unsigned long& count, unsigned long& status);
  // Fetches the record under key. On success record owns a key text and
  // encoded bytes (free with hxAsnFreeObj). A missing key gives 0x132792F1
  // with record.length 0 and record.data null; seqNum is the sequence
  // number when the read began, in every case.
  virtual void getObject(GxObjectName const& key, gxobj_t& record, unsigned long& seqNum, unsigned long& status);
  // Stores record under key (record.key is ignored; value, type, length and
  // bytes are kept) and returns the new sequence number, or invalidSeqnum
  // and the store status (message 0x1327925C) on failure.
  virtual void setObject(GxObjectName const& key, gxobj_t const& record, unsigned long& seqNum,
                         unsigned long& status);
  // Deletes key, or with recursive the key and every key below it (keys
  // without a leading "/" never match). A missing key gives 0x1005B1CA.
  // seqNum is the new sequence number when the status is 0, else
  // invalidSeqnum. A recursive delete that matched nothing still advances.
  virtual void deleteObject(GxObjectName const& key, unsigned char recursive, unsigned long& seqNum,
                            unsigned long& status);
  // Writes every item, in order, in ONE database write transaction (one
  // commit, one sync): after a crash the file holds all of them or none.
  // setObject and deleteObject are batches of one. An item that fails on
  // its own is skipped with its status while the others are written: a
  // store that fails (key too long, record too large: message 0x1327925C),
  // a delete of a missing key (0x1005B1CA), a delete that fails otherwise
  // (message 0x1327925D). A recursive delete removes the key and every key
  // below it (by name, as isDescendent), inside the same transaction; one
  // that matches nothing succeeds. When the transaction itself fails every
  // item gets its status and nothing is written (hx_db_s_no_space on a full
  // disk, hx_db_s_read_only on a read-only file system, hx_db_s_io_error;
  // hx_db_s_reopen when the commit could not be made durable: every later
  // call answers so until every store on the file in this process has been
  // closed; opening it again reads what the disk holds). The sequence number is
  // read from the file and advanced by one per item written inside the same
  // transaction, so writers in other processes never reuse a number; seqNum
  // is the new number, or invalidSeqnum when no item was written. status is
  // 0 when every item was written, else the status of the last item that
  // failed. Takes the database lock.
  void writeObjects(daLocalStoreWrite* items, size_t count, unsigned long& seqNum, unsigned long& status);
  // Write groups: every write this thread makes through the store between
  // beginWriteGroup and endWriteGroup(keep = true) -- each writeObjects
  // batch, each transaction commit -- goes into ONE database transaction,
  // so a crash leaves all of them or none (hx_db_group_begin/end: the
  // group holds the file's write transaction and its inter-process lock;
  // other writers wait; this thread's reads see the group's writes). The
  // sequence number still advances per item inside the group. reserveBytes
  // is room made in the map for the group's growth beyond the file's size.
  // Statuses: 0; hx_db_s_bad_argument (store not open or read-only, a group
  // already open, none to end); at the end, the group's first failure or
  // the commit's status (nothing written). Groups do not nest.
  virtual void beginWriteGroup(size_t reserveBytes, unsigned long& status);
  virtual void endWriteGroup(bool keep, unsigned long& status);
  // Records (getObjects) or key texts (listObjects) under prefix: with
  // recursive, the prefix itself and everything below; without, the direct
  // children (a deeper key lists its child of the prefix once, as a name
  // only). The lists are zeroed first and filled only on status 0; entries
  // come in key order.
  virtual void getObjects(GxObjectName const& prefix, unsigned char recursive, gxobj_list_s_t& list,
                          unsigned long& seqNum, unsigned long& status);
  virtual void listObjects(GxObjectName const& prefix, unsigned char recursive, gxobj_name_list_s_t& list,
                           unsigned long& seqNum, unsigned long& status);
  void enumObjects(GxObjectName const& prefix, unsigned char recursive, unsigned char wantObjects,
                   gxobj_list_s_t* objects, unsigned char wantNames, gxobj_name_list_s_t* names,
                   unsigned long& seqNum, unsigned long& status);

  virtual hx_db_handle* getDBHandle() const { return handle_; }

  // ---- bookkeeping -----------------------------------------------------
  // The in-memory sequence number, under the database lock.
  virtual void getSeqNum(unsigned long& seqNum, unsigned long& status) const;
  void getLocalSeqNum(unsigned long& seqNum) const { seqNum = seqNum_; }
  // Reads, advances (1000 after a wrap to 0), writes and returns the SSL
  // serial counter, under the database lock.
  virtual void getNextSSLSerNum(unsigned int& serial, unsigned long& status);
  void readDatabaseInfo(unsigned long& status);
  void read37Header(hx_db_handle*& handle, gxobj_db_header_s_t& header, unsigned long& status);
  void readSeqNum(unsigned long& seqNum, unsigned long& status);
  // Writes seqNum (message 0x1327925C on failure); the in-memory number
  // takes the value in every case.
  void writeSeqNum(unsigned long seqNum, unsigned long& status);
  // Advances the in-memory number, skipping invalidSeqnum, and writes it.
  void updateSeqNum(unsigned long& status);
  void readSSLSerNum(unsigned int& serial, unsigned long& status);
  void writeSSLSerNum(unsigned int serial, unsigned long& status);

  virtual ZUTF8String_6_0 const& getDomainName() const { return domain_; }
  virtual int isReadOnly() const { return readOnly_; }
  virtual void lockDatabase() const { dbLock_.lock(); }
  virtual void unlockDatabase() const { dbLock_.unlock(); }

  // ---- observers -------------------------------------------------------
  void addStoreAvailableObserver(ZObserverInterface_6_0* o) { availableNotifier_.addObserver(o); }
  void deleteStoreAvailableObserver(ZObserverInterface_6_0* o) { availableNotifier_.deleteObserver(o); }
  void addStoreChangedObserver(ZObserverInterface_6_0* o) { changedNotifier_.addObserver(o); }
  void deleteStoreChangedObserver(ZObserverInterface_6_0* o) { changedNotifier_.deleteObserver(o); }
  // Read the sequence number (getSeqNum) and tell the observers; a failure
  // of getSeqNum is returned and nobody is told.
  void notifyStoreAvailableObservers(unsigned long& status, int now);
  void notifyStoreChangedObservers(unsigned long& status);

 protected:
  // Scope guard of the database lock for derived stores.
  class DatabaseLock {
   public:
    explicit DatabaseLock(daLocalStore const& s) : s_(s) { s_.lockDatabase(); }
    ~DatabaseLock() { s_.unlockDatabase(); }
    DatabaseLock(DatabaseLock const&) = delete;
    DatabaseLock& operator=(DatabaseLock const&) = delete;

   private:
    daLocalStore const& s_;
  };
  bool isClosed() const { return closed_ != 0; }

 private:
  void closeLocal(unsigned long& status);
  void writeCounter(char const* key, uint32_t value, unsigned long& status);
  void readCounter(char const* key, uint32_t& value, unsigned long& status);

  ZLCString_6_0 path_;
  hx_db_handle* handle_ = nullptr;
  mutable ZLock_6_0 dbLock_;
  ZLock_6_0 enumLock_;
  unsigned long seqNum_ = invalidSeqnum;
  int closed_ = 1;
  storeAvailableNotifier availableNotifier_;
  storeChangedNotifier changedNotifier_;
  ZUTF8String_6_0 domain_;
  int readOnly_ = 1;
};
