#include "GxCore/db/daLocalStore.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "GxCore/db/dbtrace.h"
#include "outside/hxsvc.h"

namespace {

constexpr int kFlags = 2;
constexpr unsigned int kListChunk = 256;

void logStore(unsigned long id, char const* key, unsigned long status, int attributes = hx_svc_attr_warning) {
  HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, attributes, id, "%s%lx", key, status);
}

void logStatus(unsigned long id, unsigned long status, int sub = gxdmd_sub_store) {
  HX_LOG(gxdmd_svc_handle, sub, hx_svc_attr_warning, id, "%lx", status);
}

using FetchedRecord = hx_db_record;
using Iteration = hx_db_iteration;

// Records and names collected by an enumeration; whatever is still held when
// the collector dies is freed.
struct Collected {
  std::vector<gxobj_t> objects;
  std::vector<char*> names;
  std::unordered_set<std::string> seen;
  ~Collected() {
    for (auto& o : objects) hxAsnFreeObj(o);
    for (char* n : names) std::free(n);
  }
  void reserveMore(bool wantObjects, bool wantNames) {
    size_t n = std::max(objects.size(), names.size());
    if (n % kListChunk != 0) return;
    if (wantObjects) objects.reserve(n + kListChunk);
    if (wantNames) names.reserve(n + kListChunk);
  }
  // A malloc'ed copy of the elements (the caller clears v once it has
  // taken them), or null.
  template <class T>
  static T* handOver(std::vector<T> const& v) {
    T* out = static_cast<T*>(std::malloc(v.size() * sizeof(T)));
    if (out) std::memcpy(out, v.data(), v.size() * sizeof(T));
    return out;
  }
};

}  // namespace

void freeObjectList(gxobj_list_s_t& list) {
  for (unsigned long i = 0; i < list.count && list.objects; ++i) hxAsnFreeObj(list.objects[i]);
  std::free(list.objects);
  list = gxobj_list_s_t{};
}

void freeNameList(gxobj_name_list_s_t& list) {
  for (unsigned long i = 0; i < list.count && list.names; ++i) std::free(list.names[i]);
  std::free(list.names);
  list = gxobj_name_list_s_t{};
}

std::shared_ptr<MrProcessLock> createLock(char const* domain) {
  MrProcessLockFactory::getLockFactory();
  std::string name = MrProcessLockFactory::policyserverPrefix;
  name += domain ? domain : "Default";
  name += "mp";
  return MrProcessLockFactory::newLock(name.c_str());
}

// ---- construction and the file -------------------------------------------

daLocalStore::daLocalStore(char const* domain, char const* path) : path_(path), domain_(domain) {}

daLocalStore::daLocalStore(char const* domain) : domain_(domain) {}

daLocalStore::~daLocalStore() {
  unsigned long ignored;
  if (!closed_ || handle_) closeLocal(ignored);
}

void daLocalStore::setPath(char const* path) {
  unsigned long status = 0;
  DBTrace trace("daLocalStore::setPath", status, __FILE__, __LINE__, hx_trace_level_open);
  path_ = path;
  HX_TRACE(gxdmd_svc_handle, gxdmd_sub_store, hx_trace_level_entry, "Path = %s", path_.getChars());
}

void daLocalStore::createStore(unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::createStore", status, __FILE__, __LINE__);
  if (handle_) {
    status = hx_db_s_exists;
    return;
  }
  handle_ = hx_db_lock_open(path_.getChars(), hx_db_mode_create, kFlags, createLock(domain_.getChars()), status);
  if (!handle_) {
    if (status == 0) status = hx_db_s_open_failed;
    logStore(da_m_create_failed, path_.getChars(), status);
    return;
  }
  unsigned long seqStatus, serialStatus;
  writeSeqNum(1, seqStatus);
  writeSSLSerNum(firstSSLSerNum, serialStatus);
  closeStore(status);
  if (status == 0) status = seqStatus != 0 ? seqStatus : serialStatus;
  // A file without its bookkeeping records cannot be opened: a create that
  // could not write them (a full disk, an I/O error) leaves nothing behind.
  if (status != 0) hx_db_remove_file(path_.getChars());
}

void daLocalStore::openStore(int readOnly, unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::openStore", status, __FILE__, __LINE__, hx_trace_level_open);
  readOnly_ = readOnly;
  if (handle_) closeLocal(status);  // reopening: drop what a failed open kept
  hx_db_handle* handle =
      hx_db_lock_open(path_.getChars(), hx_db_mode_open, kFlags, createLock(domain_.getChars()), status);
  if (!handle) {
    if (status == 0) status = hx_db_s_open_failed;
    logStore(da_m_open_failed, path_.getChars(), status, hx_svc_attr_fatal);
    return;
  }
  if (!readOnly && hx_db_is_read_only(handle)) {
    // Opened for writing, but the file system cannot be written.
    status = hx_db_s_read_only;
    logStore(da_m_open_failed, path_.getChars(), status, hx_svc_attr_fatal);
    unsigned long ignored;
    hx_db_close(handle, ignored);
    return;
  }
  gxobj_db_header_s_t header;
  read37Header(handle, header, status);
  if (status == hx_db_s_not_found) {
    status = 0;  // no old-format header: the current format
  } else {
    // An old-format file is refused; so is a file whose header record
    // exists but cannot be read or decoded, since it is damaged.
    if (status == 0) status = da_s_old_format;
    unsigned long ignored;
    hx_db_close(handle, ignored);
    return;
  }
  handle_ = handle;
  readDatabaseInfo(status);
  if (status == 0) closed_ = 0;
}

void daLocalStore::closeStore(unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::closeStore", status, __FILE__, __LINE__);
  closeLocal(status);
}

void daLocalStore::closeLocal(unsigned long& status) {
  status = 0;
  if (!handle_) return;
  hx_db_close(handle_, status);
  if (status != 0) logStatus(da_m_close_failed, status);
  handle_ = nullptr;
  closed_ = 1;
}

// ---- bookkeeping records ---------------------------------------------------

void daLocalStore::read37Header(hx_db_handle*& handle, gxobj_db_header_s_t& header, unsigned long& status) {
  status = 0;
  header = gxobj_db_header_s_t{static_cast<uint32_t>(invalidSeqnum), 0, 0};
  FetchedRecord rec(handle, dbHeaderName, status);
  if (!rec.get()) {
    HX_TRACE(gxdmd_svc_handle, gxdmd_sub_store, hx_trace_level_status, "status:  0x%8.8lx\n", status);
    return;
  }
  hx_asn_buffer_t buf{rec.get()->length, rec.get()->data};
  status = hxAsnDecodeObj(buf, header);
  if (status != 0) {
    logStatus(da_m_header_decode_failed, status, gxdmd_sub_header);
    return;
  }
  hxAsnFreeObj(header);
}

void daLocalStore::readDatabaseInfo(unsigned long& status) {
  unsigned long seq = invalidSeqnum;
  readSeqNum(seq, status);
  if (status != 0) return;
  // Under the database lock, as every other writer of the number: a
  // decision reads it there while a rebuild reopens the store.
  ZResourceLock_6_0 g(dbLock_);
  seqNum_ = seq;
}

void daLocalStore::readCounter(char const* key, uint32_t& value, unsigned long& status) {
  status = 0;
  FetchedRecord rec(handle_, key, status);
  if (rec.get()) value = rec.get()->value;
}

void daLocalStore::writeCounter(char const* key, uint32_t value, unsigned long& status) {
  status = 0;
  gxobj_t rec{nullptr, value, 0, 0, nullptr};
  hx_db_store(handle_, key, rec, status);
  if (status != 0) logStore(da_m_write_failed, key, status);
}

void daLocalStore::readSeqNum(unsigned long& seqNum, unsigned long& status) {
  uint32_t v = 0;
  readCounter(dbObjectName, v, status);
  if (status != 0) {
    logStore(da_m_read_failed, dbObjectName, status);
    return;
  }
  seqNum = v;
}

void daLocalStore::writeSeqNum(unsigned long seqNum, unsigned long& status) {
  writeCounter(dbObjectName, static_cast<uint32_t>(seqNum), status);
  seqNum_ = static_cast<uint32_t>(seqNum);
}

void daLocalStore::updateSeqNum(unsigned long& status) {
  // 32-bit sequence numbers; the value after 0xFFFFFFFE is 0.
  uint32_t next = static_cast<uint32_t>(seqNum_) + 1;
  if (next == static_cast<uint32_t>(invalidSeqnum)) ++next;
  writeSeqNum(next, status);
}

void daLocalStore::getSeqNum(unsigned long& seqNum, unsigned long& status) const {
  status = 0;
  ZResourceLock_6_0 g(dbLock_);
  seqNum = seqNum_;
}

void daLocalStore::readSSLSerNum(unsigned int& serial, unsigned long& status) {
  uint32_t v = 0;
  readCounter(dbSSLObjectName, v, status);
  if (status == 0) serial = v;
}

void daLocalStore::writeSSLSerNum(unsigned int serial, unsigned long& status) {
  writeCounter(dbSSLObjectName, serial, status);
}

void daLocalStore::getNextSSLSerNum(unsigned int& serial, unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::getNextSSLSerNum", status, __FILE__, __LINE__);
  ZResourceLock_6_0 g(dbLock_);
  unsigned int current = 0;
  readSSLSerNum(current, status);
  if (status != 0) return;
  unsigned int next = current + 1;
  if (next == 0) next = firstSSLSerNum;
  writeSSLSerNum(next, status);
  if (status == 0) serial = next;
}

// ---- objects ----------------------------------------------------------------

void daLocalStore::getObjectCount(unsigned long& count, unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::getObjectCount", status, __FILE__, __LINE__);
  ZResourceLock_6_0 g(dbLock_);
  hx_db_inq_count(handle_, count, status);
}

void daLocalStore::getObject(GxObjectName const& key, gxobj_t& record, unsigned long& seqNum,
                             unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::getObject", status, __FILE__, __LINE__);
  record.length = 0;
  record.data = nullptr;
  ZResourceLock_6_0 g(dbLock_);
  seqNum = seqNum_;
  FetchedRecord rec(handle_, key.getChars(), status);
  if (rec.get()) {
    record = rec.release();
    return;
  }
  if (status == hx_db_s_not_found) status = da_s_no_such_object;
  else logStore(da_m_read_failed, key.getChars(), status);
}

void daLocalStore::setObject(GxObjectName const& key, gxobj_t const& record, unsigned long& seqNum,
                             unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::setObject", status, __FILE__, __LINE__);
  daLocalStoreWrite item{&key, &record, 0, 0};
  writeObjects(&item, 1, seqNum, status);
}

void daLocalStore::deleteObject(GxObjectName const& key, unsigned char recursive, unsigned long& seqNum,
                                unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::deleteObject", status, __FILE__, __LINE__);
  daLocalStoreWrite item{&key, nullptr, recursive, 0};
  writeObjects(&item, 1, seqNum, status);
}

namespace {

// The recursive delete's rule for a stored key below the deleted one: the
// key is a valid name (which also normalises it; the bookkeeping records,
// without a leading "/", never are) and the deleted key is it or one of its
// ancestors.
bool isAtOrBelow(char const* stored, void* deleted) {
  GxObjectName name(stored);
  return name.valid() && static_cast<GxObjectName const*>(deleted)->isDescendent(name, 1);
}

}  // namespace

void daLocalStore::beginWriteGroup(size_t reserveBytes, unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::beginWriteGroup", status, __FILE__, __LINE__);
  if (!handle_ || readOnly_) {
    status = hx_db_s_bad_argument;
    return;
  }
  hx_db_group_begin(handle_, reserveBytes, status);
}

void daLocalStore::endWriteGroup(bool keep, unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::endWriteGroup", status, __FILE__, __LINE__);
  if (!handle_) {
    status = hx_db_s_bad_argument;
    return;
  }
  hx_db_group_end(handle_, keep, status);
}

void daLocalStore::writeObjects(daLocalStoreWrite* items, size_t count, unsigned long& seqNum,
                                unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::writeObjects", status, __FILE__, __LINE__);
  seqNum = invalidSeqnum;
  if (count > 0 && !items) {
    status = hx_db_s_bad_argument;
    return;
  }
  if (count == 0) return;  // nothing to write: no database transaction
  std::vector<hx_db_op> ops;
  std::vector<unsigned long> itemStatus;
  try {
    ops.resize(count);
    itemStatus.resize(count);
  } catch (std::bad_alloc const&) {
    status = da_s_no_memory;
    for (size_t i = 0; i < count; ++i) items[i].status = status;
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    daLocalStoreWrite const& item = items[i];
    hx_db_op& op = ops[i];
    op.key = item.key ? item.key->getChars() : nullptr;
    if (item.record) {
      op.kind = hx_db_op_kind::put;
      op.record = item.record;
    } else if (!item.recursive) {
      op.kind = hx_db_op_kind::remove;
    } else {
      // Every name at or below the key begins with the key's text (below the
      // empty key: with "/"); isAtOrBelow picks them out.
      op.kind = hx_db_op_kind::remove_prefix;
      if (op.key && !*op.key) op.key = GxObjectName::getSeparatorString();
      op.match = &isAtOrBelow;
      op.context = const_cast<GxObjectName*>(item.key);
    }
  }
  hx_db_counter counter{dbObjectName, static_cast<uint32_t>(invalidSeqnum)};
  unsigned long batchStatus = 0;
  ZResourceLock_6_0 g(dbLock_);
  hx_db_write_batch(handle_, ops.data(), count, itemStatus.data(), &counter, batchStatus);
  bool written = false;
  for (size_t i = 0; i < count; ++i) {
    daLocalStoreWrite& item = items[i];
    unsigned long st = itemStatus[i];
    char const* key = item.key ? item.key->getChars() : "";
    if (st == 0) {
      written = true;
    } else if (item.record) {
      logStore(da_m_write_failed, key, st);
    } else if (st == hx_db_s_delete_not_found) {
      st = da_s_delete_no_object;
    } else {
      logStore(da_m_delete_failed, key, st);
    }
    item.status = st;
    if (st != 0) status = st;
  }
  if (batchStatus == 0 && written) {
    seqNum_ = counter.value;
    seqNum = seqNum_;
  }
}

void daLocalStore::getObjects(GxObjectName const& prefix, unsigned char recursive, gxobj_list_s_t& list,
                              unsigned long& seqNum, unsigned long& status) {
  enumObjects(prefix, recursive, 1, &list, 0, nullptr, seqNum, status);
}

void daLocalStore::listObjects(GxObjectName const& prefix, unsigned char recursive, gxobj_name_list_s_t& list,
                               unsigned long& seqNum, unsigned long& status) {
  enumObjects(prefix, recursive, 0, nullptr, 1, &list, seqNum, status);
}

void daLocalStore::enumObjects(GxObjectName const& prefix, unsigned char recursive, unsigned char wantObjects,
                               gxobj_list_s_t* objects, unsigned char wantNames, gxobj_name_list_s_t* names,
                               unsigned long& seqNum, unsigned long& status) {
  status = 0;
  DBTrace trace("daLocalStore::enumObjects", status, __FILE__, __LINE__);
  unsigned int const childDepth = prefix.depth() + 1;
  if (objects) *objects = gxobj_list_s_t{};
  if (names) *names = gxobj_name_list_s_t{};
  if ((wantObjects && !objects) || (wantNames && !names)) {
    status = da_s_no_list;
    return;
  }
  seqNum = invalidSeqnum;
  if (!wantObjects && !wantNames) return;

  ZResourceLock_6_0 dbGuard(dbLock_);
  ZResourceLock_6_0 enumGuard(enumLock_);
  seqNum = seqNum_;
  Collected got;
  {
    Iteration it(handle_, status);
    if (status != 0) {
      logStatus(da_m_iter_start_failed, status);
      return;
    }
    bool fetchFailed = false;
    for (;;) {
      char const* k = it.next(status);
      if (!k) break;
      GxObjectName key(k);
      if (!key.isAncestor(prefix, 1)) continue;
      bool nameOnly = false;
      if (!recursive) {
        unsigned int depth = key.depth();
        if (depth < childDepth) continue;
        if (depth > childDepth) {
          // A deeper key stands for its child of the prefix, listed by name.
          key = key.subString(childDepth);
          if (!wantNames) continue;
          nameOnly = true;
        }
        if (wantNames && got.seen.count(key.value().str())) continue;
      }
      got.reserveMore(wantObjects, wantNames);
      if (wantNames) {
        got.names.push_back(strdup(key.getChars()));
        got.seen.insert(key.value().str());
      }
      if (!wantObjects) continue;
      if (nameOnly) {
        got.objects.push_back(gxobj_t{});
        continue;
      }
      FetchedRecord rec(handle_, k, status);
      if (!rec.get()) {
        logStore(da_m_read_failed, k, status);
        fetchFailed = true;
        break;
      }
      got.objects.push_back(rec.release());
    }
    if (status == hx_db_s_end_of_iteration) status = 0;
    else if (!fetchFailed) logStatus(da_m_iter_failed, status);
  }
  if (status != 0 || (got.names.empty() && got.objects.empty())) return;
  gxobj_t* objectArray = wantObjects ? Collected::handOver(got.objects) : nullptr;
  char** nameArray = wantNames ? Collected::handOver(got.names) : nullptr;
  if ((wantObjects && !objectArray) || (wantNames && !nameArray)) {
    std::free(objectArray);
    std::free(nameArray);
    status = da_s_no_memory;
    HX_LOG(bas_svc_handle, 0, hx_svc_attr_info, da_s_no_memory, "");
    return;
  }
  if (wantObjects) {
    objects->count = got.objects.size();
    objects->objects = objectArray;
    got.objects.clear();
  }
  if (wantNames) {
    names->count = got.names.size();
    names->names = nameArray;
    got.names.clear();
  }
}

// ---- observers ----------------------------------------------------------------

void daLocalStore::notifyStoreAvailableObservers(unsigned long& status, int now) {
  unsigned long seq = invalidSeqnum;
  getSeqNum(seq, status);
  if (status != 0) return;
  availableNotifier_.notify(domain_.getChars(), seq, now);
}

void daLocalStore::notifyStoreChangedObservers(unsigned long& status) {
  unsigned long seq = invalidSeqnum;
  getSeqNum(seq, status);
  if (status != 0) return;
  changedNotifier_.notify(seq);
}
