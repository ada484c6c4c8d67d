// Database file service: one key/value file of gxobj_t records per handle,
// on LMDB (a single file, with LMDB's "-lock" file beside it). Keys are
// NUL-free texts; iteration yields them in byte order.
//
// A process opens every path through one shared LMDB environment (LMDB
// forbids two on one file in a process), so several handles on one path
// work. The map grows by itself when full. Every call is thread-safe; one
// handle's iteration is meant to be used by one thread at a time.
//
// The inter-process lock given to hx_db_lock_open (from
// MrProcessLockFactory) is taken around opening/creating the file and
// around every write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "outside/gxobj.h"

// Statuses of the service.
constexpr unsigned long hx_db_s_end_of_iteration = 0x14601003;
constexpr unsigned long hx_db_s_not_found = 0x14601008;
constexpr unsigned long hx_db_s_delete_not_found = 0x1460100F;
constexpr unsigned long hx_db_s_open_failed = 0x14601001;      // file missing, unreadable or not a database
constexpr unsigned long hx_db_s_exists = 0x14601002;           // create: the file exists already
constexpr unsigned long hx_db_s_io_error = 0x14601004;         // a read or write failed
constexpr unsigned long hx_db_s_corrupt = 0x14601005;          // a record or the file is damaged
constexpr unsigned long hx_db_s_bad_argument = 0x14601006;     // null handle, key or record
constexpr unsigned long hx_db_s_no_iteration = 0x14601007;     // iter_next without iter_start
// A write found no room: the file system is full (ENOSPC) or the user's
// quota is used up (EDQUOT). Nothing of the write is in the file.
constexpr unsigned long hx_db_s_no_space = 0x1460100A;
// The file lies on a read-only file system: it opens for reading only and
// every write (and every create there) is refused with this status.
constexpr unsigned long hx_db_s_read_only = 0x1460100B;
// The engine could not make a commit durable (a sync or the write of the
// commit record failed): that commit is lost, and the file's environment
// in this process refuses every further call with this status until all
// handles on the file are closed; the next open starts afresh from what
// is on the disk.
constexpr unsigned long hx_db_s_reopen = 0x1460100C;

// Open modes.
constexpr int hx_db_mode_open = 17;    // an existing file
constexpr int hx_db_mode_create = 18;  // a new file (refused if it exists)

// hx_db_data_free what: free the record block, its key text and its bytes.
constexpr int hx_db_free_all = 2;

// A named lock shared by every process of the machine (flock on a file in
// the lock directory: $GXCORE_LOCK_DIR, default /tmp/gxcore-locks), also
// exclusive between threads of one process. Not recursive.
class MrProcessLock {
 public:
  MrProcessLock() = default;
  MrProcessLock(MrProcessLock const&) = delete;
  MrProcessLock& operator=(MrProcessLock const&) = delete;
  virtual ~MrProcessLock() = default;
  virtual void lock() = 0;
  virtual void unlock() = 0;
  virtual char const* name() const = 0;
};

class MrProcessLockFactory {
 public:
  // Prefix of the lock names of policy-server domains.
  static char const* const policyserverPrefix;
  // The process-wide factory (created on first use).
  static MrProcessLockFactory* getLockFactory();
  // A lock object for name; every object made for one name, in any process,
  // locks the same lock. The caller owns the object.
  static std::shared_ptr<MrProcessLock> newLock(char const* name);
};

struct hx_db_handle;

// Opens (mode 17) or creates (mode 18) the file at path. flags is 2 (the only
// value used). Returns null with a status on failure: hx_db_s_open_failed,
// hx_db_s_exists (create), hx_db_s_no_space (no room for the file or its
// lock file), hx_db_s_read_only (create on a read-only file system),
// hx_db_s_corrupt, hx_db_s_io_error. A file on a read-only file system
// opens for reading only (hx_db_is_read_only).
hx_db_handle* hx_db_lock_open(char const* path, int mode, int flags, std::shared_ptr<MrProcessLock> lock,
                              unsigned long& status);
// A new malloc'ed record with its own key text and bytes, or null with
// hx_db_s_not_found. Release with hx_db_data_free(2, ...), or keep key and
// data in a gxobj_t of your own, free() the block and later hxAsnFreeObj.
gxobj_t* hx_db_fetch(hx_db_handle* h, char const* key, unsigned long& status);
void hx_db_data_free(int what, gxobj_t* record, unsigned long& status);
// Writes all five fields of record under key (record.key is ignored).
void hx_db_store(hx_db_handle* h, char const* key, gxobj_t const& record, unsigned long& status);
// hx_db_s_delete_not_found when the key is absent.
void hx_db_delete(hx_db_handle* h, char const* key, unsigned long& status);
void hx_db_inq_count(hx_db_handle* h, unsigned long& count, unsigned long& status);
// One change of a batch (hx_db_write_batch).
enum class hx_db_op_kind : int {
  put = 1,            // store record under key (record.key is ignored)
  remove = 2,         // delete key; hx_db_s_delete_not_found when absent
  remove_prefix = 3,  // delete every key that begins with key's text and
                      // that match accepts (every such key when match is
                      // null); deleting none is a success
};
struct hx_db_op {
  hx_db_op_kind kind;
  char const* key;
  gxobj_t const* record = nullptr;                        // put only
  bool (*match)(char const* key, void* context) = nullptr;  // remove_prefix only
  void* context = nullptr;
};
// A counter record of the file advanced by a batch (its value word; the
// other fields stay 0): by one per item written, never taking the value
// skip (0xFFFFFFFF steps to 0). An absent record counts from 0. value is
// the counter after the batch; it is read inside the batch's transaction,
// so writers in other processes never hand out the same number. value is
// left as it was when no item was written (the counter is then not read).
struct hx_db_counter {
  char const* key;
  uint32_t skip;
  uint32_t value = 0;  // out
};
// Applies ops in order in ONE write transaction: one commit and one sync
// for the whole batch, so after a crash the file holds all of it or none.
// itemStatus (count entries) gets each item's status. An item that fails on
// its own is skipped and the others still go in: a key that is empty or
// longer than the file's key limit, or a record over gxobj_max_encoded_length
// or without bytes, is hx_db_s_bad_argument; a remove of an absent key is
// hx_db_s_delete_not_found. When items were written and counter is given,
// the counter advances by their number within the same transaction. A
// counter record that is not a counter fails the transaction (corrupt).
// status is 0 when the transaction committed (whatever the item statuses);
// when the transaction itself fails nothing is written, every item gets
// that status and so does status: hx_db_s_io_error, hx_db_s_no_space,
// hx_db_s_read_only, hx_db_s_reopen (the commit record could not be made
// durable), hx_db_s_corrupt. A full map is grown and the
// whole batch retried. Bad arguments (null handle, null ops or itemStatus
// with count > 0) give hx_db_s_bad_argument. An empty batch writes nothing
// and begins no transaction. Takes the process lock.
void hx_db_write_batch(hx_db_handle* h, hx_db_op const* ops, size_t count, unsigned long* itemStatus,
                       hx_db_counter* counter, unsigned long& status);
// Write groups: every batch (and every single write) the calling thread
// makes on h's file between hx_db_group_begin and hx_db_group_end goes into
// ONE write transaction, committed by hx_db_group_end(keep = true): after a
// crash the file holds the whole group or none of it. Reads by that thread
// on the file see the group's writes; other threads and processes see none
// of them until the commit, and their writes wait for it (the group holds
// the process lock and the file's write transaction). The map is made room
// for reserveBytes more than the file's size at the start and cannot grow
// during the group: a group that outgrows it fails (MDB full → the batch's
// status) and can only be abandoned. After the first failed batch every
// later batch of the group fails with the same status.
// hx_db_group_begin: 0; hx_db_s_bad_argument when the thread already has a
// group on the file or another thread has one; a begin failure's status.
// hx_db_group_end: 0 when the group was committed (keep) or abandoned
// (!keep); the first failure of the group (nothing written) or the commit's
// status; hx_db_s_bad_argument when the thread has no group on the file.
// Closing the handle that began a group abandons it.
void hx_db_group_begin(hx_db_handle* h, size_t reserveBytes, unsigned long& status);
void hx_db_group_end(hx_db_handle* h, bool keep, unsigned long& status);

// The number of write transactions this process has committed on the file
// of h since it was opened here (all handles on the file together). Lets
// tests and monitoring see how writes are grouped.
unsigned long hx_db_write_transactions(hx_db_handle* h);
// Iteration over the keys as they were when iter_start ran. iter_next returns
// a key valid until the next iter_next/iter_done on the handle, or null with
// hx_db_s_end_of_iteration after the last.
void hx_db_iter_start(hx_db_handle* h, unsigned long& status);
char const* hx_db_iter_next(hx_db_handle* h, unsigned long& status);
void hx_db_iter_done(hx_db_handle* h, unsigned long& status);
// Closes the handle and frees it (also on failure).
void hx_db_close(hx_db_handle* h, unsigned long& status);

// The reader-table file the database file at path keeps beside it while it
// is open; it belongs to that file and must not follow another file that
// is moved into path's place.
inline std::string hx_db_lock_file(char const* path) { return std::string(path) + "-lock"; }
// Opens the existing file at path for reading without ever blocking: a
// FIFO, device or socket planted where a database, digest or registry file
// belongs would stall a plain open (a FIFO until a writer comes) or hand
// over endless bytes. The open is non-blocking and anything but a regular
// file is closed again. Returns the descriptor (O_CLOEXEC; the caller
// closes it), or -1 with errno set: the open's errno, or EINVAL for a file
// that is not a regular one. Symbolic links are followed unless
// noFollow.
int hx_open_regular(char const* path, bool noFollow = false);

// Removes a database file that no handle has open, with its lock file;
// files that are not there are fine and nothing is reported.
void hx_db_remove_file(char const* path);

// Writes a consistent, compacted copy of the open database to target (which
// must not exist), mode 0600, while writers may go on.
void hx_db_copy(hx_db_handle* h, char const* target, unsigned long& status);
// The path the handle was opened with.
char const* hx_db_path(hx_db_handle* h);
// True when h's file lies on a read-only file system: it was opened for
// reading only, without a lock file, and every write gives
// hx_db_s_read_only. False for a null handle.
bool hx_db_is_read_only(hx_db_handle* h);

// The map size given to environments opened from now on (default 64 MiB,
// at least 1 MiB). The map grows by itself; a smaller start only makes tests
// reach the growth path quickly.
void hx_db_set_initial_map_size(size_t bytes);

// A record fetched with hx_db_fetch, released (block, key and bytes) at
// scope end unless release() handed its contents over.
class hx_db_record {
 public:
  hx_db_record(hx_db_handle* h, char const* key, unsigned long& status) : rec_(hx_db_fetch(h, key, status)) {}
  ~hx_db_record() {
    unsigned long ignored = 0;
    if (rec_) hx_db_data_free(hx_db_free_all, rec_, ignored);
  }
  hx_db_record(hx_db_record const&) = delete;
  hx_db_record& operator=(hx_db_record const&) = delete;
  // The record, or null when the fetch failed.
  gxobj_t* get() const { return rec_; }
  // Hands the key text and bytes over to the caller and frees the block.
  gxobj_t release() {
    gxobj_t out = *rec_;
    std::free(rec_);
    rec_ = nullptr;
    return out;
  }

 private:
  gxobj_t* rec_;
};

// An iteration over every key of the handle (hx_db_iter_start), ended at
// scope end or by done().
class hx_db_iteration {
 public:
  hx_db_iteration(hx_db_handle* h, unsigned long& status) : h_(h) {
    hx_db_iter_start(h_, status);
    active_ = status == 0;
  }
  ~hx_db_iteration() { done(); }
  hx_db_iteration(hx_db_iteration const&) = delete;
  hx_db_iteration& operator=(hx_db_iteration const&) = delete;
  // The next key (valid until the next call), or null at the end
  // (hx_db_s_end_of_iteration) or on a failure.
  char const* next(unsigned long& status) { return hx_db_iter_next(h_, status); }
  void done() {
    unsigned long ignored = 0;
    if (active_) hx_db_iter_done(h_, ignored);
    active_ = false;
  }

 private:
  hx_db_handle* h_;
  bool active_;
};

// Calls each(context, key, length) for every key that begins with prefix,
// in key order, within one read transaction of its own (one snapshot of the
// file's committed data), until each returns false. The key's bytes are the
// file's own: valid during the call only, not NUL-terminated. Made for
// indexes built from a range of keys, where copying every key would cost
// more than the scan. Other reads on h go on meanwhile; the file's map
// cannot grow during the scan (a write that needs it to waits), so each
// must not write to the file.
// Statuses: 0, also when no key matches or each stopped the scan;
// hx_db_s_bad_argument for a null handle, prefix or callback, or an empty
// prefix; hx_db_s_corrupt for a key longer than the file's limit or holding
// a NUL (damage); the read transaction's or cursor's failure otherwise
// (each was then called for the keys before the failure).
void hx_db_scan_prefix(hx_db_handle* h, char const* prefix, bool (*each)(void* context, char const* key, size_t length),
                       void* context, unsigned long& status);
// hx_db_scan_prefix, calling each(context, key, storedValue) with the
// record's stored value too (see hx_db_parse_stored), both the file's own
// bytes, valid during the call only. Same statuses.
void hx_db_scan_prefix_records(hx_db_handle* h, char const* prefix,
                               bool (*each)(void* context, std::string_view key, std::string_view storedValue),
                               void* context, unsigned long& status);

// ---- stored values, whole-file scans and raw write transactions ----------------
// A record as the file stores it (its "stored value"): a 16-byte header (a
// magic word, the record's value word, type and byte length, in host order)
// followed by the encoded bytes. Two files hold the same record under a key
// exactly when their stored values are equal, which makes stored values
// the unit for comparing files and for carrying changes between them.

// The stored value of record (record.key is ignored). Throws std::bad_alloc.
std::string hx_db_stored_value(gxobj_t const& record);
// Reads the header of a stored value: true with its value word, type and
// bytes (a view into stored) when the magic and length are right; false
// for anything else.
bool hx_db_parse_stored(std::string_view stored, uint32_t& value, uint32_t& type, std::string_view& bytes);

// Calls each(context, key, storedValue) for every record whose key is
// greater than after (every record when after is null or empty), in key
// order, within one read transaction of its own, until each returns false.
// Both views are the file's own bytes, valid during the call only. As
// hx_db_scan_prefix: other reads on h go on, the map cannot grow meanwhile
// (each must not write to the file; it may scan another file).
// Statuses: 0 (also when each stopped the scan); hx_db_s_bad_argument for
// a null handle or callback; hx_db_s_corrupt for a key that is too long or
// holds a NUL; the read transaction's or cursor's failure otherwise.
void hx_db_scan_records(hx_db_handle* h, char const* after,
                        bool (*each)(void* context, std::string_view key, std::string_view value), void* context,
                        unsigned long& status);

// The greatest key of h's file below key (strictly, in key order), read in
// a transaction of its own: true with found set to it; false with status 0
// when no key lies below key (found unchanged). Lets a reader start a
// forward scan (hx_db_scan_records) at the record before a point.
// hx_db_key_after: the least key above after (every key when after is
// empty); its statuses are those of hx_db_scan_records.
// Statuses: 0; hx_db_s_bad_argument for a null handle, or a key that is
// empty, longer than the file's limit or holds a NUL; hx_db_s_corrupt for a
// damaged key found; the read transaction's or cursor's failure otherwise.
// Throws std::bad_alloc (found could not be made).
bool hx_db_key_before(hx_db_handle* h, std::string_view key, std::string& found, unsigned long& status);
bool hx_db_key_after(hx_db_handle* h, std::string const& after, std::string& found, unsigned long& status);

// The view of one write transaction that hx_db_raw_write hands its body.
class hx_db_raw_txn {
 public:
  hx_db_raw_txn(hx_db_raw_txn const&) = delete;
  hx_db_raw_txn& operator=(hx_db_raw_txn const&) = delete;
  // The stored value under key as this transaction sees it (its own writes
  // included): true with value (valid until the next put or remove); false
  // with status 0 when the key is absent, or with the failure's status
  // (hx_db_s_bad_argument for an empty, too long or NUL-holding key).
  bool get(std::string_view key, std::string_view& value, unsigned long& status);
  // Stores value, which must be a well-formed stored value
  // (hx_db_parse_stored), under key. 0; hx_db_s_bad_argument (bad key or
  // value: nothing written); a failure of the engine, after which the
  // transaction is abandoned whatever the body returns.
  unsigned long put(std::string_view key, std::string_view value);
  // Removes key. 0; hx_db_s_delete_not_found when it is absent;
  // hx_db_s_bad_argument; an engine failure, as for put.
  unsigned long remove(std::string_view key);

 private:
  friend void hx_db_raw_write(hx_db_handle*, std::function<unsigned long(hx_db_raw_txn&)> const&, unsigned long&);
  hx_db_raw_txn(void* txn, unsigned dbi, size_t maxKey) : txn_(txn), dbi_(dbi), maxKey_(maxKey) {}
  bool validKey(std::string_view key) const;
  void* txn_;
  unsigned dbi_;
  size_t maxKey_;
  int failure_ = 0;  // the first engine failure
};
// Runs body in ONE write transaction on h's file, under the handle's
// process lock, and commits it when body returns 0: other readers, in this
// process and others, see all of its writes or none, and after a crash (or
// kill -9) the file holds all of them or none. When body returns a status
// (or an engine call in it failed) nothing is written. When the map fills
// up it is grown and body called again from the start in a fresh
// transaction, so body must derive everything from the transaction it is
// given. status: 0 (committed); body's own status; an engine failure
// (hx_db_s_io_error, hx_db_s_no_space, hx_db_s_read_only, hx_db_s_reopen,
// hx_db_s_corrupt); hx_db_s_bad_argument for a null handle or body, or
// when the calling thread has a write group open on the file. body's
// exceptions abandon the transaction and pass through.
void hx_db_raw_write(hx_db_handle* h, std::function<unsigned long(hx_db_raw_txn&)> const& body,
                     unsigned long& status);

// What identifies, within this process, the committed contents of the
// file open under h: the environment the process opened the file with (one
// per file while any handle on it is open, never reused: a file opened
// again after its handles all closed, or another file that took its inode,
// gets a new one) and the number of its last committed write transaction,
// read now. Handles whose versions are equal see the same records.
// Statuses: 0; hx_db_s_bad_argument for a null handle (version is then all
// zero).
struct hx_db_version {
  unsigned long long environment = 0, transaction = 0;
  bool operator==(hx_db_version const&) const = default;
};
void hx_db_file_version(hx_db_handle* h, hx_db_version& version, unsigned long& status);
