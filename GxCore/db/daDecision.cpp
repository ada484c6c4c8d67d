// One-call decisions. The warm path reads the store's shared memo and its
// atomics (cache state, policy epoch) and thread-local state, so decisions
// on different cores never write a shared cache line. A decision whose
// object is not in the memo resolves the policy in force by walking up to
// the nearest ancestor the memo knows (through the cache on a writable
// store; from the file, and only at the objects the attachment index
// holds, on a read-only one), and publishes the objects on the way that
// share the answer.
#include "GxCore/db/daDecision.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <list>
#include <new>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pthread.h>
#include <sys/mman.h>

#include "GxCore/GxMapPObjectToACL.h"
#include "GxCore/aclEvaluation.h"
#include "GxCore/db/daKeyedHash.h"
#include "GxCore/daPolicyObjectMap.h"
#include "GxCore/daRule.h"
#include "GxCore/dastatus.h"
#include "GxCore/db/daCachedStore.h"
#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/dbtrace.h"
#include "outside/gxobj.h"
#include "outside/hxasn_map.h"
#include "outside/hxdb.h"
#include "outside/hxsvc.h"
#include "outside/hxutil.h"

namespace {

// A record of the policy in force, in the storage of the memo that made it
// (null: nothing in force).
using PolicyRecord = daPolicyInForce const*;

// An ACL entry whose permissions fit one word (count 0 or 1), as a memo
// record keeps it: 24 bytes where the entry's own form takes 48 and points
// at its word elsewhere.
struct daCompactAclEntry {
  std::uint8_t type;   // acl_e_*
  std::uint8_t count;  // of permission words: 0 or 1
  std::uint16_t unused;
  std::uint32_t word;
  hx_uuid_t id;
};
static_assert(sizeof(daCompactAclEntry) == 24);

// A record's compact entries, as the evaluation algorithm reads them
// (gxacl::evaluateAuthenticated), so its answers are those of acleval on the
// ACL's own form.
struct CompactEntries {
  daCompactAclEntry const* entries;
  std::uint32_t n;
  std::uint32_t size() const { return n; }
  std::uint32_t type(std::uint32_t i) const { return entries[i].type; }
  bool holds(std::uint32_t i, hx_uuid_t const& u, unsigned long*) const {
    return std::memcmp(&entries[i].id, &u, sizeof u) == 0;  // no padding: equality of every field
  }
  acl_permset_s_t perms(std::uint32_t i) const {
    return acl_permset_s_t{entries[i].count, const_cast<std::uint32_t*>(&entries[i].word)};
  }
};

// What a memo slot keeps of its record beside the record's address, so
// that most warm decisions answer from the slot's line alone.
//
// Which principals the record's ACL names, in one word (a summary's
// principals), so that a caller no user or group entry names is told apart
// without the record: the authenticated evaluation
// (gxacl::evaluateAuthenticated) gives such a caller the any-other entry
// (the last, as the algorithm takes it) or nothing. A caller one of whose
// principals the filter may hold is sent to the record; a chance match
// only sends it there needlessly.
//
// Up to seven distinct principals are kept as 9-bit fingerprints of their
// hash (principalHash), one to a lane of 9 bits (bits 0 to 62; an empty
// lane is 0, which no fingerprint is), so that a principal the ACL does
// not name matches by chance about once in 511 for each one it names.
// With more than seven, kBloom (bit 63) is set and each principal sets one
// of the other 63 bits instead. (One bit of 64 a principal, as a Bloom
// filter alone, sent about one in eight of the generated estates' callers
// that no entry names to the record.)
namespace principalFilter {
constexpr std::uint64_t kBloom = std::uint64_t{1} << 63;
constexpr unsigned kLanes = 7, kLaneBits = 9;
constexpr std::uint64_t kLaneLow = [] {  // the low bit of every lane
  std::uint64_t w = 0;
  for (unsigned i = 0; i < kLanes; ++i) w |= std::uint64_t{1} << (kLaneBits * i);
  return w;
}();
constexpr std::uint64_t kLaneHigh = kLaneLow << (kLaneBits - 1);

inline std::uint64_t principalHash(hx_uuid_t const& id) {
  std::uint64_t a, b;
  std::memcpy(&a, &id, 8);
  std::memcpy(&b, reinterpret_cast<char const*>(&id) + 8, 8);
  return (a ^ std::rotl(b, 32)) * 0x9E3779B97F4A7C15ull;
}
// 1 to 511, from the hash's top bits.
inline std::uint64_t fingerprint(std::uint64_t hash) { return 1 + (((hash >> 32) * 511) >> 32); }
// One of bits 0 to 62, from bits of the hash the fingerprint leaves.
inline std::uint64_t bloomBit(std::uint64_t hash) { return std::uint64_t{1} << ((((hash >> 8) & 0xFFFFFF) * 63) >> 24); }

// True when some lane of lanes holds f. (x - low) & ~x & high is nonzero
// exactly when some lane of x is 0: a lane of 1 to 511 borrows nothing,
// and its high bit after the subtraction is set only where it was before.
inline bool laneHolds(std::uint64_t lanes, std::uint64_t f) {
  std::uint64_t const x = lanes ^ (f * kLaneLow);
  return ((x - kLaneLow) & ~x & kLaneHigh) != 0;
}

// The filter of the principals added, each by its principalHash.
class Builder {
 public:
  void add(std::uint64_t hash) {
    bloom_ |= bloomBit(hash);
    std::uint64_t const f = fingerprint(hash);
    if (laneHolds(lanes_, f)) return;  // named twice, or the same fingerprint
    if (used_ < kLanes) lanes_ |= f << (kLaneBits * used_);
    ++used_;
  }
  std::uint64_t filter() const { return used_ <= kLanes ? lanes_ : kBloom | bloom_; }

 private:
  std::uint64_t lanes_ = 0, bloom_ = 0;
  unsigned used_ = 0;
};

// True when the filter of an ACL may name the caller.
inline bool mayName(std::uint64_t filter, sec_id_pa_t const& caller) {
  auto holds = [filter](hx_uuid_t const& id) {
    std::uint64_t const h = principalHash(id);
    return (filter & kBloom) ? (filter & bloomBit(h)) != 0 : laneHolds(filter, fingerprint(h));
  };
  if (holds(caller.principal.uuid)) return true;
  if (caller.groups != nullptr)
    for (std::uint32_t g = 0; g < caller.num_groups; ++g)
      if (holds(caller.groups[g].uuid)) return true;
  return false;
}
}  // namespace principalFilter

// The summary: principals (the filter above) and answer, whose low 32 bits
// are the any-other entry's permission word, with the flags below above
// them. kSummarised: the record has a compact ACL in force and no rule,
// so for a caller its ACL does not name, the ACL's answer is the any-other
// entry's (kAnyOther: one exists; kOneWord: its set has one word, else
// none) or nothing. kPop: a POP is in force too, whose access window does
// not limit the time, with the fields below (its warning mode, quality of
// protection and its level for a request without an address), so that a
// request without an address is answered without the record. Without
// kSummarised, or with kPop and an address, the record is read. Bits 44 to
// 63 of answer are 0 (a slot keeps part of its object's hash there).
struct SlotSummary {
  std::uint64_t principals = 0, answer = 0;
  static constexpr std::uint64_t kSummarised = std::uint64_t{1} << 32, kAnyOther = std::uint64_t{1} << 33,
                                 kOneWord = std::uint64_t{1} << 34, kPop = std::uint64_t{1} << 35,
                                 kPopWarning = std::uint64_t{1} << 36;
  static constexpr unsigned kQopShift = 37, kLevelShift = 40;
  static constexpr std::uint64_t kMaxQop = 7, kMaxLevel = 15;  // 3 and 4 bits
  unsigned long qop() const { return (answer >> kQopShift) & kMaxQop; }
  unsigned long level() const { return (answer >> kLevelShift) & kMaxLevel; }
};

// The up to eight bytes at p, little-endian in a word, zero above them:
// short strings' own keys. A loop rather than a copy of variable length,
// which would be a call.
inline std::uint64_t shortWord(char const* p, size_t n) {
  std::uint64_t w = 0;
  for (size_t i = 0; i < n; ++i) w |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return w;
}

// A 64-bit hash of a short text, eight bytes at a time (the last word
// holding what is left, zero above it), with its length and a final
// avalanche: it spreads texts over a table (texts that share their tail,
// ".../index.html", too), and never decides alone that two texts are one.
// The length comes in last, so that one pass over a path gives the hash
// of each of its ancestors as well (PathClimb). seed varies it (paths are
// spread under one drawn per process, so that nobody outside picks paths
// that crowd one stretch of a table). Only ever compared within this
// process.
constexpr std::uint64_t kHashK1 = 0x9E3779B97F4A7C15ull, kHashK2 = 0xBF58476D1CE4E5B9ull;
inline std::uint64_t hashWord(std::uint64_t h, std::uint64_t w) { return std::rotl((h ^ w) * kHashK1, 29) * kHashK2; }
inline std::uint64_t hashEnd(std::uint64_t h, size_t length) {
  h ^= std::rotl(length * kHashK1, 17);
  h ^= h >> 31;
  h *= 0x94D049BB133111EBull;
  h ^= h >> 29;
  return h;
}
// The last n (1 to 7) bytes of s, read as the word the hash takes for them.
inline std::uint64_t tailWord(std::string_view s, size_t n) {
  if (s.size() < 8) return shortWord(s.data() + s.size() - n, n);
  std::uint64_t w;
  std::memcpy(&w, s.data() + s.size() - 8, 8);
  return w >> (8 * (8 - n));
}
std::uint64_t textHash(std::string_view s, std::uint64_t seed = 0) {
  std::uint64_t h = seed;
  char const* p = s.data();
  size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = hashWord(h, w);
  }
  if (n > 0) h = hashWord(h, tailWord(s, n));
  return hashEnd(h, s.size());
}

// The bytes of w equal to c: 0x80 in each, 0 in the others.
inline std::uint64_t bytesOf(std::uint64_t w, unsigned char c) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  std::uint64_t const x = w ^ (0x0101010101010101ull * c);
  return ~(((x & kLow7) + kLow7) | x | kLow7);
}
// Whether some byte of w is a control character (below 0x20).
inline bool hasControl(std::uint64_t w) {
  return ((w - 0x2020202020202020ull) & ~w & 0x8080808080808080ull) != 0;
}

// A path in normal form (as isNormalObjectName tells), and the hashes
// (textHash under seed) of it, its parent and its grandparent from one
// pass over it: what a decision needs to look its object up by the nearest
// of them with a policy of its own. Levels: 0 the path, 1 its parent, 2 its
// grandparent; the last of them may be the root.
class PathClimb {
 public:
  static constexpr size_t kMaxWords = 32;  // longer paths are looked up as they are

  // levels() is 0 when path is not in normal form, holds a control
  // character, is the root or is longer than kMaxWords words.
  PathClimb(std::string_view path, std::uint64_t seed, std::uint64_t root) {
    size_t const size = path.size();
    if (size < 2 || size > 8 * kMaxWords || path[0] != '/' || path.back() == '/' || path.back() == ' ') return;
    std::uint64_t h = seed, bad = 0, carry = 0;
    // The last two slashes met (where they are: 0 is the leading one), each
    // with its word and the hash's state before it. Kept without branches:
    // where a path's slashes fall is not for the processor to guess.
    std::uint64_t last = 0, lastBefore = seed, lastWord = 0, second = 0, secondBefore = seed, secondWord = 0;
    for (size_t at = 0; at < size; at += 8) {
      size_t const n = std::min<size_t>(8, size - at);
      std::uint64_t w;
      if (n == 8) std::memcpy(&w, path.data() + at, 8);
      else w = tailWord(path, n);
      // Control bytes; the padding of a last word is not one.
      std::uint64_t const padding = n == 8 ? 0 : ~std::uint64_t{0} << (8 * n);
      bad |= static_cast<std::uint64_t>(hasControl(w | padding));
      std::uint64_t const s = bytesOf(w, '/') & ~padding;
      bad |= (s & (s >> 8)) | (carry & s);  // "//", within a word or across two
      carry = s >> 56;
      std::uint64_t const below = s ^ std::bit_floor(s);  // the slashes but the word's last
      bool const one = s != 0, two = below != 0;
      std::uint64_t const top = at + (63 - std::countl_zero(s | 1)) / 8;
      std::uint64_t const next = at + (63 - std::countl_zero(below | 1)) / 8;
      second = two ? next : (one ? last : second);
      secondBefore = two ? h : (one ? lastBefore : secondBefore);
      secondWord = two ? w : (one ? lastWord : secondWord);
      last = one ? top : last;
      lastBefore = one ? h : lastBefore;
      lastWord = one ? w : lastWord;
      h = hashWord(h, w);
    }
    if (bad != 0) return;
    spreads_[0] = hashEnd(h, size);
    lengths_[0] = static_cast<std::uint32_t>(size);
    spreads_[1] = last == 0 ? root : prefix(lastBefore, lastWord, last);
    lengths_[1] = static_cast<std::uint32_t>(last == 0 ? 1 : last);
    spreads_[2] = second == 0 ? root : prefix(secondBefore, secondWord, second);
    lengths_[2] = static_cast<std::uint32_t>(second == 0 ? 1 : second);
    levels_ = last == 0 ? 2 : 3;
  }
  unsigned levels() const { return levels_; }
  std::uint64_t spread(unsigned level) const { return spreads_[level]; }
  size_t length(unsigned level) const { return lengths_[level]; }

 private:
  // The hash of the first length bytes, from the state before their last
  // word (word).
  static std::uint64_t prefix(std::uint64_t before, std::uint64_t word, size_t length) {
    size_t const n = length % 8;
    std::uint64_t const h = hashWord(before, word & ((std::uint64_t{1} << (8 * n)) - 1));
    return hashEnd(n == 0 ? before : h, length);
  }

  unsigned levels_ = 0;
  std::uint64_t spreads_[3];
  std::uint32_t lengths_[3];
};

// The seed that spreads paths over the memo and the attachment index.
std::uint64_t pathSeed() {
  static std::uint64_t const seed = daKeyedHash(daProcessHashKey(), "spread").lo;
  return seed;
}
std::uint64_t spreadOf(std::string_view path) { return textHash(path, pathSeed()); }

// The length of the parent's path within path (a normalised object name,
// not the root): its ancestors are its prefixes.
size_t parentLength(std::string_view path) {
  size_t const slash = path.rfind('/');
  return slash == 0 ? 1 : slash;
}

}  // namespace

// Named (not anonymous): the store-side state below holds the memo.
namespace daDecisionMemo {

// The slots of a shared memo (and the storage of its entries): n 64-bit
// words, zero at first, read and written through std::atomic_ref. Arrays
// of 64 KiB and more are mapped on their own and not cleared (the kernel
// hands out zero pages as they are touched, so a table sized to a large
// estate costs memory only as it fills). Large ones start on a huge-page
// boundary, so that they can be backed by huge pages: a lookup touches one
// random slot line and one random entry, and with 4 KiB pages each would
// also miss the TLB. huge asks for that when the array is made (a first
// touch then clears 2 MiB: right for storage filled in order, or for a table
// backHuge() backs before any decision touches it). A small array made
// with cleared false (storage whose every byte is written before it is
// read) is left as the allocator gives it.
class SlotArray {
 public:
  SlotArray(size_t n, bool huge, bool cleared = true) : n_(n) {
    size_t const bytes = n * sizeof(std::uint64_t);
    if (bytes < kMapped) {
      data_ = static_cast<std::uint64_t*>(::operator new(bytes, std::align_val_t(64)));
      if (cleared) std::memset(data_, 0, bytes);
      return;
    }
    size_t const align = bytes >= kHuge / 2 ? kHuge : 0;
    mapped_ = bytes + align;  // room to start on a huge-page boundary
    void* p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = p;
    auto const start = reinterpret_cast<std::uintptr_t>(p);
    data_ = reinterpret_cast<std::uint64_t*>(align ? (start + align - 1) & ~(align - 1) : start);
    if (huge && align) ::madvise(data_, bytes, MADV_HUGEPAGE);  // advice only: the memo works without it
  }
  ~SlotArray() {
    if (base_ != nullptr) ::munmap(base_, mapped_);
    else if (data_ != nullptr) ::operator delete(data_, std::align_val_t(64));
  }
  // Moving hands the storage over; the array moved from holds none.
  SlotArray(SlotArray&& o) noexcept
      : n_(std::exchange(o.n_, 0)),
        data_(std::exchange(o.data_, nullptr)),
        base_(std::exchange(o.base_, nullptr)),
        mapped_(std::exchange(o.mapped_, 0)) {}
  SlotArray(SlotArray const&) = delete;
  SlotArray& operator=(SlotArray const&) = delete;
  SlotArray& operator=(SlotArray&&) = delete;

  size_t size() const { return n_; }
  // Mapped on its own (64 KiB and more): worth keeping for reuse.
  bool mapped() const { return base_ != nullptr; }
  // Backs a mapped array with memory now (in huge pages when it was made
  // with huge), its contents unchanged whatever other threads read or write
  // meanwhile, 2 MiB at a time in order, calling backed(from, bytes) after
  // each stretch (once, for the whole, on an array that is not mapped);
  // starts at byte from (a multiple of kHuge: what lies before is backed
  // already); stops early once stop is true. Takes milliseconds for tens of MiB (on
  // some virtual machines a few per 2 MiB). It touches each page with a
  // write that changes nothing, so the pages are faulted in as a deciding
  // thread's own would be: on kernels that lock each mapping on its own
  // for a fault (Linux 6.4 and later), under this array's lock alone.
  // Neither the deciding threads' faults nor their heaps' growth (which
  // takes the process's address-space lock exclusively) then wait for it.
  // (Asking the kernel to populate the range held the address-space lock
  // shared for each 2 MiB: a thread whose heap grew meanwhile waited that
  // long, tens of times over a first pass at 1M. Marking parts for huge
  // pages here, or backing them in small pages and then moving them, held
  // it exclusively, and a first pass spent a third of its time waiting.)
  template <class Backed>
  void backHuge(size_t from, std::atomic<bool> const& stop, Backed&& backed) const {
    size_t const bytes = n_ * sizeof(std::uint64_t);
    if (base_ == nullptr) {
      backed(size_t{0}, bytes);
      return;
    }
    constexpr size_t kPageWords = 4096 / sizeof(std::uint64_t);
    for (size_t at = from; at < bytes; at += kHuge) {
      if (stop.load(std::memory_order_relaxed)) return;
      size_t const stretch = std::min(kHuge, bytes - at);
      // Every 4 KiB page, in case the kernel gives small pages after all.
      for (size_t word = at / sizeof(std::uint64_t); word < (at + stretch) / sizeof(std::uint64_t); word += kPageWords)
        (*this)[word].fetch_or(0, std::memory_order_relaxed);
      backed(at, stretch);
    }
  }
  static constexpr size_t kHuge = size_t{2} << 20;
  std::atomic_ref<std::uint64_t> operator[](size_t i) const { return std::atomic_ref<std::uint64_t>(data_[i]); }
  // The words as raw storage (the memo's records are carved from arrays too).
  char* bytes() const { return bytes_(); }

 private:
  char* bytes_() const { return reinterpret_cast<char*>(data_); }
  static constexpr size_t kMapped = size_t{64} << 10;
  size_t n_;
  std::uint64_t* data_ = nullptr;
  void* base_ = nullptr;  // the mapping, for mapped arrays
  size_t mapped_ = 0;
};

// Which objects have a policy of their own attached, on a read-only store,
// and which policy each of their maps names: the hashes of the paths that
// have an object-to-ACL, -POP or -rule map in the file, each with the kinds
// it has, in an open-addressing table of words (the hash above three bits
// of kinds; 0 is empty), and beside each word the path's text and the name
// each of its maps lists. Built once per policy epoch from three scans of
// the maps, immutable afterwards and read without a lock. A path it does not
// hold has no map of its own, so the policy in force there is its parent's
// and nothing need be read; at a path it holds, the name it keeps is the
// one the map would give, so the map need not be read either. Two paths
// whose hashes agree in every bit but the lowest three share a word: the
// other path is then merely read from the file (which finds no map), and
// neither path's names are kept -- never an answer missed or borrowed. A
// map the index cannot read as naming one policy (another record type,
// damage, none or several names) keeps no name: the decision reads it and
// reports it as it always has.
class AttachmentIndex {
 public:
  enum Kind : std::uint64_t { acl = 1, pop = 2, rule = 4 };

  // The index of the file open under handle: status 0, or the scan's
  // failure (then null). Null with status 0 when stop became true during
  // the scan. Throws std::bad_alloc.
  // forPreload: the index's builder calls preload() once it is published.
  static std::shared_ptr<AttachmentIndex const> build(hx_db_handle* handle, std::atomic<bool> const& stop,
                                                      unsigned long& status, bool forPreload = false);

  // What the index holds for path (of hash): the kinds attached (Kind
  // bits; 0 when none is) and, by kind (acl, pop, rule), the name of the
  // policy its map lists, or "" when the map must be read; above: the kinds
  // attached to any of its ancestors (every kind when the index cannot
  // tell: it never leaves one out).
  // numbers: by kind, the policy's number among the names of its kind the
  // maps list (dense, from 0), or kNoNumber when names[k] is "".
  static constexpr std::uint32_t kNoNumber = ~std::uint32_t{0};
  struct Found {
    unsigned kinds = 0;
    std::string_view names[3];
    unsigned above = acl | pop | rule;
    std::uint32_t numbers[3] = {kNoNumber, kNoNumber, kNoNumber};
  };
  Found find(std::uint64_t hash, std::string_view path) const {
    Found found;
    std::uint64_t const key = hash & ~kKindMask;
    for (size_t i = (hash >> 3) & mask_;; i = (i + 1) & mask_) {
      std::uint64_t const w = words_->operator[](i).load(std::memory_order_relaxed);
      if (w == 0) return found;
      if ((w & ~kKindMask) != key) continue;
      found.kinds = static_cast<unsigned>(w & kKindMask);
      Detail const& d = details_[i];
      if (d.path != 0 && text(d.path) == path) {
        for (int k = 0; k < 3; ++k) {
          found.names[k] = text(d.names[k]);
          found.numbers[k] = d.names[k] != 0 ? d.numbers[k] : kNoNumber;
        }
        found.above = d.above;
      }
      return found;
    }
  }
  size_t paths() const { return paths_; }
  // False when no path of hash has a policy attached; true for every path
  // that has one (and for about one in twenty others). Reads one word of a
  // filter of a byte a path, which stays in a core's cache where the
  // index's table would not.
  bool mayHold(std::uint64_t hash) const {
    std::uint64_t const bits = filterBits(hash);
    return (filter_[(hash >> 32) & filterMask_] & bits) == bits;
  }
  // Asks for the lines a find of hash reads first (its word and, where the
  // probe ends at once, as it usually does, the entry beside it).
  void prefetch(std::uint64_t hash) const {
    size_t const i = (hash >> 3) & mask_;
    __builtin_prefetch(words_->bytes() + 8 * i);
    __builtin_prefetch(details_.data() + i);
  }

  // The policies the maps name, decoded ahead of the decisions. Once the
  // index of a large file is published, its builder reads every policy
  // the maps name straight from the file (preload), compiling rules, and
  // publishes each by kind and number as it is decoded. A decision that
  // meets a numbered policy takes the index's copy instead of reading and
  // decoding it (a first decision on a large estate then reads no policy),
  // and a store that takes the index of a file another store indexed takes
  // its policies too. At most kPreloadBytes of encoded policies are read.
  // A policy that cannot be read, is not of its kind or does not decode is
  // left to the decisions, which read and report it as they always have.
  // Null when the policy numbered so is not (yet) preloaded.
  std::shared_ptr<GxACL const> preloadedAcl(std::uint32_t number) const { return acls_.get(number); }
  std::shared_ptr<GxPop const> preloadedPop(std::uint32_t number) const { return pops_.get(number); }
  std::shared_ptr<daRuleProgram const> preloadedRule(std::uint32_t number) const { return rules_.get(number); }
  // True once preload() has read every policy the maps name (or the bound).
  bool preloaded() const { return preloaded_.load(std::memory_order_acquire); }
  // Called once, by the builder of an index built forPreload, after it is
  // published, while decisions read it; returns early once stop is true.
  // status: 0, or the scan's failure. Throws std::bad_alloc.
  void preload(hx_db_handle* handle, std::atomic<bool> const& stop, unsigned long& status) const;
  static constexpr size_t kPreloadBytes = size_t{32} << 20;

  // Adds kind at path (of hash), its map listing name ("" when it could not
  // be read as naming one policy), while the index is built; the table
  // doubles when half full. Throws std::bad_alloc.
  void add(std::uint64_t hash, Kind kind, std::string_view path, std::string_view name);
  // Records, once every attachment has been added, what is attached above
  // each path the index keeps; forPreload, keeps the policies' names by
  // number and makes room for the policies. Throws std::bad_alloc.
  void finish(bool forPreload);

  AttachmentIndex()
      : words_(std::make_unique<SlotArray>(kFirstSlots, true)), details_(kFirstSlots), mask_(kFirstSlots - 1) {}

 private:
  static constexpr std::uint64_t kKindMask = 7;
  static constexpr size_t kFirstSlots = 1024;
  static std::uint64_t filterBits(std::uint64_t hash) {
    return (std::uint64_t{1} << ((hash >> 20) & 63)) | (std::uint64_t{1} << ((hash >> 26) & 63));
  }
  // Made by finish(): two bits of a word for every path held (from bits of
  // its hash that the kinds do not replace), 8 bits a path.
  std::vector<std::uint64_t> filter_ = std::vector<std::uint64_t>(1, ~std::uint64_t{0});
  size_t filterMask_ = 0;
  // Beside a word: where its path's text and the names its maps list lie in
  // texts_ (0: not kept).
  struct Detail {
    std::uint32_t path = 0;
    std::uint32_t names[3] = {0, 0, 0};
    std::uint32_t above = acl | pop | rule;  // set by finish()
    std::uint32_t numbers[3] = {kNoNumber, kNoNumber, kNoNumber};
  };
  // The text kept at offset (0: none): a 32-bit length, then the bytes.
  std::string_view text(std::uint32_t offset) const {
    if (offset == 0) return {};
    std::uint32_t length;
    std::memcpy(&length, texts_.data() + offset, sizeof length);
    return std::string_view(texts_.data() + offset + sizeof length, length);
  }
  // Keeps t in texts_: its offset, or 0 when t is empty or texts_ would
  // pass what an offset can address.
  std::uint32_t keep(std::string_view t);
  // The slot of word's hash in words (taking an empty one for it when it
  // has none), and whether it was empty.
  static size_t slotOf(SlotArray const& words, size_t mask, std::uint64_t word, bool& empty);

  std::unique_ptr<SlotArray> words_;  // written only while the index is built
  std::vector<Detail> details_;       // by slot of words_
  std::string texts_ = std::string(1, '\0');  // offset 0 names no text
  size_t mask_, paths_ = 0;
  // The names met so far by kind, with their numbers (while it is built,
  // and for the preload: only the builder's thread touches them).
  mutable std::unordered_map<std::string, std::uint32_t> numbers_[3];
  std::uint32_t numbered_[3] = {0, 0, 0};
  // Frees numbers_ once nothing looks names up any more.
  void dropNames() const {
    for (auto& names : numbers_) std::unordered_map<std::string, std::uint32_t>().swap(names);
  }

  // Policies of one kind by number, each published once, by the preload.
  template <class T>
  class Preloaded {
   public:
    void resize(size_t n) {  // Throws std::bad_alloc.
      items_ = std::make_unique<std::shared_ptr<T const>[]>(n);
      ready_ = std::make_unique<std::atomic<bool>[]>(n);
      size_ = n;
    }
    std::shared_ptr<T const> get(std::uint32_t i) const {
      return i < size_ && ready_[i].load(std::memory_order_acquire) ? items_[i] : nullptr;
    }
    void put(std::uint32_t i, std::shared_ptr<T const> item) {
      if (i >= size_ || ready_[i].load(std::memory_order_relaxed)) return;
      items_[i] = std::move(item);
      ready_[i].store(true, std::memory_order_release);
    }

   private:
    std::unique_ptr<std::shared_ptr<T const>[]> items_;
    std::unique_ptr<std::atomic<bool>[]> ready_;
    size_t size_ = 0;
  };
  struct PreloadInto;
  static bool preloadOne(void* context, std::string_view key, std::string_view stored);
  mutable Preloaded<GxACL> acls_;
  mutable Preloaded<GxPop> pops_;
  mutable Preloaded<daRuleProgram> rules_;
  mutable std::atomic<bool> preloaded_{false};
};

// The slot tables (and record reserves) of memos that are gone, kept for
// the process's next memo of the same size: a server that opens a new
// replica of its policy (a new store, or its store closed and opened on
// the new file) and lets the old one go, or a store whose policy epoch
// moves, reuses memory already backed instead of mapping and backing tens
// of MiB again while its first decisions run (a first decision at 1M
// objects took a third more time while the host handed over and cleared
// the new memory). A table is not cleared for its next use: its slots'
// words carry the generation they were written in (SharedMemo), and a
// word of another generation reads as empty; a table whose generations
// have run out is cleared when it is taken (a few milliseconds for 64 MiB,
// once in 255 uses). At most keptBytes of tables are kept
// (daDecisionKeptTableBytes), the oldest dropped first. Thread-safe.
class TablePool {
 public:
  struct Table {
    SlotArray slots;
    std::unique_ptr<SlotArray> reserve;  // null for a small table
    std::uint8_t generation = 0;         // the last its words were written in (0: none)
    size_t backed = 0;                   // bytes of slots backed, from their start
  };
  static constexpr std::uint8_t kLastGeneration = 255;

  static TablePool& instance() {
    static TablePool* const pool = new TablePool;  // outlives every store, even at exit
    return *pool;
  }
  // A kept table of slotWords words and a reserve of reserveWords (0: none),
  // or a new one. Throws std::bad_alloc.
  Table take(size_t slotWords, size_t reserveWords) {
    std::optional<Table> found;
    {
      std::lock_guard<std::mutex> g(mutex_);
      for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        if (it->slots.size() != slotWords || (it->reserve ? it->reserve->size() : 0) != reserveWords) continue;
        found.emplace(std::move(*it));
        heldBytes_ -= bytesOf(*found);
        kept_.erase(it);
        break;
      }
    }
    if (!found)
      return Table{SlotArray(slotWords, true),
                   reserveWords != 0 ? std::make_unique<SlotArray>(reserveWords, true) : nullptr};
    if (found->generation == kLastGeneration) {
      std::memset(found->slots.bytes(), 0, slotWords * sizeof(std::uint64_t));
      found->generation = 0;
      found->backed = slotWords * sizeof(std::uint64_t);  // every page is now
    }
    return std::move(*found);
  }
  // Keeps t (moved from) for a later take; else leaves it to the caller
  // to free: a small one, one beyond the bound, or when keeping it finds
  // no memory.
  void give(Table&& t) noexcept {
    std::list<Table> dropping;  // unmapped after the lock is released
    std::lock_guard<std::mutex> g(mutex_);
    if (!t.slots.mapped() || bytesOf(t) > keptBytes_) return;
    try {
      kept_.push_back(std::move(t));
    } catch (std::bad_alloc const&) {
      return;  // t is as it was
    }
    heldBytes_ += bytesOf(kept_.back());
    dropBeyond(keptBytes_, dropping);
  }
  // Keeps at most bytes from now on; returns the previous bound.
  size_t keep(size_t bytes) {
    std::list<Table> dropping;
    std::lock_guard<std::mutex> g(mutex_);
    dropBeyond(bytes, dropping);
    return std::exchange(keptBytes_, bytes);
  }
  static constexpr size_t kDefaultKeptBytes = size_t{256} << 20;

 private:
  static size_t bytesOf(Table const& t) {
    return 8 * (t.slots.size() + (t.reserve ? t.reserve->size() : 0));
  }
  // Moves the oldest tables to dropping until at most bytes are held. mutex_ held.
  void dropBeyond(size_t bytes, std::list<Table>& dropping) {
    while (heldBytes_ > bytes) {
      heldBytes_ -= bytesOf(kept_.front());
      dropping.splice(dropping.end(), kept_, kept_.begin());
    }
  }
  std::mutex mutex_;
  std::list<Table> kept_;  // oldest first
  size_t heldBytes_ = 0;   // of kept_
  size_t keptBytes_ = kDefaultKeptBytes;
};

// The policy in force at the objects decided in one policy epoch, shared by
// every thread that decides on the store: an open-addressing table (linear
// probing) of 32-byte slots, each naming an object by a keyed hash of its
// path (see the slot words below and daKeyedHash.h) and holding the
// address of its policy record and a summary of it. A slot is filled by
// the thread that resolved the object, which claims an empty one by one
// compare-and-swap, writes the record's address and summary and then
// publishes the object's check word; nothing in it changes afterwards, and
// the records, made in the table's storage (makeRecord), live as long as
// the table. A lookup reads slots and writes
// nothing. Nothing is ever removed: a new epoch gets a new table (its
// memory, when the process has a table of that size left by a memo that
// is gone, that table's: TablePool). When a probe sequence reaches its
// bound (the table is nearly full), the object is simply not remembered
// and is resolved again when asked. A large table, once the attachment
// index is there, is looked up by the nearest of an object, its parent and
// its grandparent that has a policy of its own (place()).
class SharedMemo {
 public:
  // slots: a power of two. Throws std::bad_alloc.
  SharedMemo(std::uint64_t epoch, size_t slots)
      : SharedMemo(epoch, slots,
                   TablePool::instance().take(
                       4 * slots, slots * kReservedPerSlot >= kReserveFrom ? slots * kReservedPerSlot / 8 : 0)) {}
  ~SharedMemo() {
    for (daPolicyInForce* r : records_) r->~daPolicyInForce();
    TablePool::instance().give(
        {std::move(slots_), std::move(reserve_), static_cast<std::uint8_t>(generation_),
         backedBytes_.load(std::memory_order_acquire)});
  }
  SharedMemo(SharedMemo const&) = delete;
  SharedMemo& operator=(SharedMemo const&) = delete;

  std::uint64_t epoch() const { return epoch_; }
  size_t slots() const { return mask_ + 1; }
  // The attachment index of the store's file in this epoch, once built
  // (null before: the objects' maps are then read to resolve them).
  AttachmentIndex const* index() const { return index_.load(std::memory_order_acquire); }
  // Publishes index; called at most once per table, by its preparer.
  void publishIndex(std::shared_ptr<AttachmentIndex const> index) {
    indexOwner_ = std::move(index);
    index_.store(indexOwner_.get(), std::memory_order_release);
  }
  // Backs the slots with memory now, in huge pages where the kernel allows
  // (SlotArray::backHuge), marking each 2 MiB region of them ready as soon
  // as it is backed: safe while other threads read and fill the table.
  // Starts where the table's last use left off (a table kept for reuse);
  // stops early once stop is true (the store closes).
  void backHuge(std::atomic<bool> const& stop) {
    slots_.backHuge(backedBytes_.load(std::memory_order_relaxed), stop, [this](size_t from, size_t bytes) {
      for (size_t r = from / kRegionBytes; r < regions_ && r * kRegionBytes < from + bytes; ++r)
        backed_[r].store(true, std::memory_order_release);
      backedBytes_.store(from + bytes, std::memory_order_release);
    });
  }
  // A region of slots is read and filled only once it is backed, since
  // every slot page a decision touched first would cost it a page fault
  // (several microseconds each on some virtual machines, and 2 MiB
  // cleared): an object whose slots lie in a region its preparer has still
  // to back (holdUntilBacked: those the table's last use did not back) is
  // resolved without the table meanwhile. Regions are ready otherwise.
  void holdUntilBacked() {
    size_t const ready = backedBytes_.load(std::memory_order_relaxed) / kRegionBytes;
    for (size_t r = ready; r < regions_; ++r) backed_[r].store(false, std::memory_order_relaxed);
  }
  void markBacked() {
    for (size_t r = 0; r < regions_; ++r) backed_[r].store(true, std::memory_order_release);
  }

  // How the table knows a path: where its probe starts (spread, from a
  // fast hash under the process's seed), and its keyed hash (check; see the
  // slot words below), which alone tells it from other paths.
  struct Key {
    std::uint64_t spread;
    daHash128 check;
  };
  Key keyOf(std::string_view path) const { return {spread(path), check(path)}; }
  std::uint64_t spread(std::string_view path) const { return textHash(path, seed_); }
  daHash128 check(std::string_view path) const { return daKeyedHash(key_, path); }
  // Where a decision looks path up. In a large table, once the attachment
  // index can tell, the memo knows an object by the nearest of it, its
  // parent and its grandparent that has a policy of its own, else by the
  // grandparent (an object with none has its parent's in force, so their
  // answers are one): 100,000 objects asked about on a large estate then
  // take as many slots as they have such owners, lines the caches keep,
  // rather than a line each, which come from memory. Otherwise, and for a
  // path not in normal form (or longer than 256 bytes), the path itself.
  // spread: as spread() gives it for path's first length bytes.
  struct Place {
    std::uint64_t spread;
    size_t length;
  };
  Place place(std::string_view path) const {
    if (AttachmentIndex const* const held = climbs_ ? index() : nullptr) {
      PathClimb const climb(path, seed_, rootSpread_);
      if (unsigned const levels = climb.levels()) {
        // Both words of the filter are read before either is looked at.
        bool const own = held->mayHold(climb.spread(0)), parent = held->mayHold(climb.spread(1));
        unsigned const level = own ? 0 : (parent || levels == 2 ? 1 : 2);
        return {climb.spread(level), climb.length(level)};
      }
    }
    return {spread(path), path.size()};
  }
  // Asks for the line of the first slot a lookup of spread reads, so that
  // it arrives while the caller computes the check.
  void prefetch(std::uint64_t spread) const { __builtin_prefetch(slots_.bytes() + 32 * (spread & mask_)); }

  // True, with record set to the remembered policy of the path of key
  // (null: nothing in force) and summary to the slot's summary of it, when
  // the table holds it. Lock-free, writes nothing.
  bool find(Key const& key, PolicyRecord& record, SlotSummary& summary) const {
    std::uint64_t const check = checkOf(key.check), tag = tagOf(key.check), answerTag = answerTagOf(key.check);
    size_t i = key.spread & mask_;
    for (unsigned probe = 0; probe < kMaxProbe; ++probe, i = (i + 1) & mask_) {
      if (!backed(i)) return false;
      std::uint64_t const w = word(i).load(std::memory_order_acquire);
      if ((w & kGenerationMask) != generation_) return false;  // empty
      if (w != check) continue;
      // Written before the word was published (release), so seen here.
      std::uint64_t const r = recordOf(i).load(std::memory_order_relaxed);
      std::uint64_t const answer = answerOf(i).load(std::memory_order_relaxed);
      if (tagsAgree(r, answer, tag, answerTag)) {
        record = reinterpret_cast<PolicyRecord>(r & ~kTagMask);
        summary.principals = slots_[4 * i + 2].load(std::memory_order_relaxed);
        summary.answer = answer & ~kAnswerTagMask;
        return true;
      }
    }
    return false;
  }

  // Remembers record for the path of key unless some thread has already
  // (both were resolved in this epoch) or the probe bound is reached, so a
  // full table stops growing; summary: the slot's summary of record (as
  // find gave it for another slot). Lock-free; never throws.
  void insert(Key const& key, PolicyRecord record) { insert(key, record, summarise(record)); }
  void insert(Key const& key, PolicyRecord record, SlotSummary const& summary) {
    auto const address = reinterpret_cast<std::uint64_t>(record);
    if ((address & kTagMask) != 0) return;  // not representable beside a tag: not remembered
    std::uint64_t const check = checkOf(key.check), tag = tagOf(key.check), answerTag = answerTagOf(key.check),
                        published = tag | address;
    size_t i = key.spread & mask_;
    for (unsigned probe = 0; probe < kMaxProbe; ++probe, i = (i + 1) & mask_) {
      if (!backed(i)) return;
      std::uint64_t w = word(i).load(std::memory_order_acquire);
      if ((w & kGenerationMask) != generation_ &&
          word(i).compare_exchange_strong(w, claimed(), std::memory_order_acq_rel)) {
        recordOf(i).store(published, std::memory_order_relaxed);
        slots_[4 * i + 2].store(summary.principals, std::memory_order_relaxed);
        answerOf(i).store(summary.answer | answerTag, std::memory_order_relaxed);
        word(i).store(check, std::memory_order_release);
        remembered_.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      if (w == check && tagsAgree(recordOf(i).load(std::memory_order_relaxed),
                                  answerOf(i).load(std::memory_order_relaxed), tag, answerTag))
        return;
    }
  }
  // Objects remembered (daCachedStore::decisionMemoObjects).
  size_t remembered() const { return remembered_.load(std::memory_order_relaxed); }

  // A record with the members of fields (moved from), made in the table's
  // storage and living as long as the table, with its Hot part filled and
  // starting a cache line: an ACL whose entries' permissions each fit one
  // word (as nearly always) copied right after it in the compact form, so
  // that a decision reads adjacent lines rather than the ACL's allocations;
  // any other ACL is evaluated in its own form, which the record's copy
  // keeps alive.
  // Throws std::bad_alloc (nothing is made then).
  PolicyRecord makeRecord(daPolicyInForce&& fields) {
    GxACL const* const acl = fields.acl.get();
    size_t const n = acl != nullptr ? acl->numEntries() : 0;
    bool compact = true;
    for (size_t i = 0; i < n && compact; ++i) {
      acl_entry_s_t const& e = acl->entry(i);
      compact = e.perms.count <= 1 && e.entry_type <= 0xFF;
    }
    size_t const tail = compact ? n * sizeof(daCompactAclEntry) : 0;
    std::lock_guard<std::mutex> g(arenaMutex_);
    if (records_.size() == records_.capacity()) records_.reserve(std::max<size_t>(256, 2 * records_.capacity()));
    char* const at = carve(sizeof(daPolicyInForce) + tail, hotOffset());
    auto* r = new (at) daPolicyInForce(std::move(fields));  // may throw: the bytes carved stay unused
    records_.push_back(r);
    daPolicyInForce::Hot& hot = r->hot;
    hot = daPolicyInForce::Hot{};
    hot.aclInForce = acl != nullptr;
    if (acl != nullptr && compact) {
      hot.entries = static_cast<std::uint32_t>(n);
      auto* to = reinterpret_cast<daCompactAclEntry*>(at + sizeof(daPolicyInForce));
      for (size_t i = 0; i < n; ++i) {
        acl_entry_s_t const& from = acl->entry(i);
        to[i] = daCompactAclEntry{static_cast<std::uint8_t>(from.entry_type),
                                  static_cast<std::uint8_t>(from.perms.count), 0,
                                  from.perms.count > 0 ? from.perms.groups[0] : 0u, from.id};
      }
    } else if (acl != nullptr) {
      hot.acl = &r->acl->value();
    }
    if (GxPop const* pop = r->pop.get()) {
      hot.popInForce = true;
      hot.windowLimited = r->window.limited();
      hot.warning = pop->warningMode() != 0;
      hot.qop = pop->qualityOfProtection();
      hot.popLevel = pop->get_auth_level(0);
    }
    hot.ruleInForce = !r->ruleName.empty();
    return r;
  }

 private:
  SharedMemo(std::uint64_t epoch, size_t slots, TablePool::Table table)
      : epoch_(epoch),
        slots_(std::move(table.slots)),
        mask_(slots - 1),
        generation_(table.generation + 1u),
        backed_(std::make_unique<std::atomic<bool>[]>((slots + kRegionSlots - 1) / kRegionSlots)),
        regions_((slots + kRegionSlots - 1) / kRegionSlots),
        reserve_(std::move(table.reserve)),
        backedBytes_(table.backed) {
    markBacked();
  }

  // A slot is four words. The first is the object's check: the top 56
  // bits of its path's hash (never all 0) above the table's generation in
  // the low 8 bits. A word of another generation (0 in a new table, or
  // what an earlier use of the table left) is an empty slot; one of this
  // generation with nothing above it is claimed: a slot taken whose record
  // is not yet published, which lookups pass by. The second holds the
  // record's address in the low 48 bits (user-space addresses; 0: nothing
  // in force) and 16 more bits of the hash above them. The last two are
  // the record's SlotSummary (stale in an empty slot, written before the
  // check is published), the answer word with 20 more bits of the hash in
  // its top bits (kAnswerTagMask, above the summary's 44). An object is
  // taken for another only when 92 bits of their keyed hashes agree
  // (tagsAgree beside the check): no copy of the path is kept, and a hit
  // reads the slot's line alone. (Where the probe starts plays no part in
  // telling paths apart: a path crafted to start where another does merely
  // probes on.)
  static constexpr std::uint64_t kTagMask = 0xFFFFull << 48, kGenerationMask = 0xFF;
  static constexpr unsigned kMaxProbe = 64;
  // From this many slots (4 MiB: more than a core's share of the caches
  // keeps), objects are looked up by the nearest owner of a policy
  // (place()); a smaller table's lines stay in the caches, where a lookup
  // by the object itself is quicker than the climb (by about 7 ns).
  static constexpr size_t kClimbFrom = size_t{1} << 17;
  std::uint64_t checkOf(daHash128 const& h) const {
    std::uint64_t const high = h.hi & ~kGenerationMask;
    return (high != 0 ? high : kGenerationMask + 1) | generation_;
  }
  std::uint64_t claimed() const { return generation_; }
  static std::uint64_t tagOf(daHash128 const& h) { return h.lo & kTagMask; }
  static constexpr std::uint64_t kAnswerTagMask = 0xFFFFFull << 44;
  static std::uint64_t answerTagOf(daHash128 const& h) { return (h.lo << 44) & kAnswerTagMask; }
  // True when a slot's record and answer words carry the tags of the hash
  // whose check the slot holds.
  static bool tagsAgree(std::uint64_t record, std::uint64_t answer, std::uint64_t tag, std::uint64_t answerTag) {
    return (record & kTagMask) == tag && (answer & kAnswerTagMask) == answerTag;
  }
  static constexpr size_t kRegionBytes = SlotArray::kHuge, kRegionSlots = kRegionBytes / 32;
  bool backed(size_t slot) const { return backed_[slot / kRegionSlots].load(std::memory_order_acquire); }
  std::atomic_ref<std::uint64_t> word(size_t slot) const { return slots_[4 * slot]; }
  std::atomic_ref<std::uint64_t> recordOf(size_t slot) const { return slots_[4 * slot + 1]; }
  std::atomic_ref<std::uint64_t> answerOf(size_t slot) const { return slots_[4 * slot + 3]; }

 public:
  // The slot's summary of record (SlotSummary), as find gives it.
  static SlotSummary summarise(PolicyRecord record) {
    SlotSummary s;
    if (record == nullptr) return s;
    daPolicyInForce::Hot const& hot = record->hot;
    if (!hot.aclInForce || hot.acl != nullptr || hot.ruleInForce) return s;
    if (hot.popInForce && (hot.windowLimited || hot.qop > SlotSummary::kMaxQop || hot.popLevel > SlotSummary::kMaxLevel))
      return s;
    auto const* entries = reinterpret_cast<daCompactAclEntry const*>(record + 1);
    principalFilter::Builder named;
    for (std::uint32_t i = 0; i < hot.entries; ++i) {
      daCompactAclEntry const& e = entries[i];
      if (e.type == acl_e_user || e.type == acl_e_group) {
        named.add(principalFilter::principalHash(e.id));
      } else if (e.type == acl_e_any_other) {  // the last one counts, as in the evaluation
        s.answer = SlotSummary::kAnyOther | (e.count > 0 ? SlotSummary::kOneWord | e.word : 0);
      }
    }
    s.principals = named.filter();
    s.answer |= SlotSummary::kSummarised;
    if (hot.popInForce)
      s.answer |= SlotSummary::kPop | (hot.warning ? SlotSummary::kPopWarning : 0) |
                  (std::uint64_t{hot.qop} << SlotSummary::kQopShift) |
                  (std::uint64_t{hot.popLevel} << SlotSummary::kLevelShift);
    return s;
  }

 private:
  // Records are carved from chunks in order under a lock (only misses make
  // them), each chunk twice the last up to 2 MiB (then backed by huge
  // pages, as the slots are): bytes (rounded up to 16) of the current
  // chunk, or of a new one, placed so that the byte at offset line starts
  // a cache line (chunks start on one). Chunks of 64 KiB and more come
  // from reserve_ while it lasts, mapped with the table: mapping a chunk
  // takes the process's address-space lock exclusively, tens of times over
  // a first pass at 1M. (When the slots were backed by asking the kernel
  // to populate them, each such mapping waited milliseconds behind that on
  // some virtual machines; the backing no longer holds the lock, and the
  // reserve still spares the deciding thread the mappings.) arenaMutex_
  // held. Throws std::bad_alloc.
  char* carve(size_t bytes, size_t line) {
    bytes = (bytes + 15) & ~size_t{15};
    auto const place = [&] { used_ = ((used_ + line + 63) & ~size_t{63}) - line; };
    place();
    if (chunk_ == nullptr || used_ + bytes > chunkBytes_) {
      size_t const size = std::max(std::clamp(chunkBytes_ * 2, kFirstChunk, kLastChunk), bytes + 64);
      size_t const reserved = reserve_ ? reserve_->size() * 8 : 0;
      if (size >= kReserveFrom && reserveUsed_ + size <= reserved) {
        chunk_ = reserve_->bytes() + reserveUsed_;
        reserveUsed_ += size;
      } else {
        chunks_.push_back(std::make_unique<SlotArray>((size + 7) / 8, true, false));  // records are made in it
        chunk_ = chunks_.back()->bytes();
      }
      chunkBytes_ = size;
      used_ = 0;
      place();
    }
    char* at = chunk_ + used_;
    used_ += bytes;
    return at;
  }

  // Where a record's Hot part lies within it.
  static size_t hotOffset() {
    static size_t const offset = [] {
      daPolicyInForce const probe;
      return static_cast<size_t>(reinterpret_cast<char const*>(&probe.hot) - reinterpret_cast<char const*>(&probe));
    }();
    return offset;
  }

  static constexpr size_t kFirstChunk = size_t{4} << 10, kLastChunk = size_t{2} << 20;
  // The reserve: half a slot's bytes per slot (the records of a first
  // pass over a tenth of a large estate), virtual until touched.
  static constexpr size_t kReservedPerSlot = 16, kReserveFrom = size_t{64} << 10;

  // Read by every lookup: never written after construction.
  daHashKey const key_ = daProcessHashKey();
  std::uint64_t const seed_ = pathSeed();
  std::uint64_t const rootSpread_ = textHash("/", seed_);
  std::uint64_t const epoch_;
  SlotArray slots_;
  size_t const mask_;
  bool const climbs_ = mask_ + 1 >= kClimbFrom;  // place() looks objects up by their nearest owner
  std::uint64_t const generation_;  // 1 to TablePool::kLastGeneration
  std::unique_ptr<std::atomic<bool>[]> const backed_;  // by region of kRegionSlots slots
  size_t const regions_;
  std::atomic<AttachmentIndex const*> index_{nullptr};
  std::shared_ptr<AttachmentIndex const> indexOwner_;  // set before index_
  // Written by misses, on lines of their own.
  alignas(64) mutable std::mutex arenaMutex_;
  std::unique_ptr<SlotArray> reserve_;  // null for a small table
  std::atomic<size_t> backedBytes_;     // of slots_, from its start
  std::vector<std::unique_ptr<SlotArray>> chunks_;
  char* chunk_ = nullptr;  // the current chunk, in reserve_ or chunks_
  size_t chunkBytes_ = 0, used_ = 0, reserveUsed_ = 0;
  std::vector<daPolicyInForce*> records_;  // every record made, destroyed with the table
  alignas(64) std::atomic<size_t> remembered_{0};
};

size_t AttachmentIndex::slotOf(SlotArray const& words, size_t mask, std::uint64_t word, bool& empty) {
  for (size_t i = (word >> 3) & mask;; i = (i + 1) & mask) {
    std::uint64_t const w = words[i].load(std::memory_order_relaxed);
    empty = w == 0;
    if (empty || (w & ~kKindMask) == (word & ~kKindMask)) return i;
  }
}

std::uint32_t AttachmentIndex::keep(std::string_view t) {
  std::uint32_t const length = static_cast<std::uint32_t>(t.size());
  if (t.empty() || texts_.size() + sizeof length + t.size() > UINT32_MAX) return 0;
  auto const offset = static_cast<std::uint32_t>(texts_.size());
  texts_.append(reinterpret_cast<char const*>(&length), sizeof length);
  texts_.append(t);
  return offset;
}

void AttachmentIndex::add(std::uint64_t hash, Kind kind, std::string_view path, std::string_view name) {
  if (2 * (paths_ + 1) > words_->size()) {
    auto bigger = std::make_unique<SlotArray>(2 * words_->size(), true);
    std::vector<Detail> details(bigger->size());
    for (size_t i = 0; i < words_->size(); ++i)
      if (std::uint64_t const w = (*words_)[i].load(std::memory_order_relaxed)) {
        bool empty;
        size_t const to = slotOf(*bigger, bigger->size() - 1, w, empty);
        (*bigger)[to].store(w, std::memory_order_relaxed);
        details[to] = details_[i];
      }
    words_ = std::move(bigger);
    details_ = std::move(details);
    mask_ = words_->size() - 1;
  }
  std::uint64_t const word = (hash & ~kKindMask) | kind;
  bool empty;
  size_t const i = slotOf(*words_, mask_, word, empty);
  Detail& d = details_[i];
  int const k = std::countr_zero(static_cast<unsigned>(kind));
  if (empty) {
    ++paths_;
    (*words_)[i].store(word, std::memory_order_relaxed);
    d.path = keep(path);
  } else {
    (*words_)[i].store((*words_)[i].load(std::memory_order_relaxed) | kind, std::memory_order_relaxed);
    if (d.path != 0 && text(d.path) != path) d = Detail{};  // two paths in one word: names of neither
  }
  if (d.path == 0) return;
  d.names[k] = keep(name);
  if (d.names[k] == 0) return;
  auto const [at, added] = numbers_[k].try_emplace(std::string(name), numbered_[k]);
  if (added) ++numbered_[k];
  d.numbers[k] = at->second;
}

void AttachmentIndex::finish(bool forPreload) {
  filter_.assign(std::bit_ceil(std::max<size_t>(1, paths_ / 8)), 0);
  filterMask_ = filter_.size() - 1;
  for (size_t i = 0; i < words_->size(); ++i)
    if (std::uint64_t const w = (*words_)[i].load(std::memory_order_relaxed))
      filter_[(w >> 32) & filterMask_] |= filterBits(w);
  for (size_t i = 0; i < details_.size(); ++i) {
    Detail& d = details_[i];
    if (d.path == 0) continue;
    std::string_view const path = text(d.path);
    unsigned above = 0;
    for (size_t length = path.size(); length > 1;) {
      length = parentLength(path.substr(0, length));
      std::string_view const ancestor = path.substr(0, length);
      above |= find(spreadOf(ancestor), ancestor).kinds;  // another path's kinds too, on a shared word
    }
    d.above = above;
  }
  if (forPreload) {
    acls_.resize(numbered_[0]);
    pops_.resize(numbered_[1]);
    rules_.resize(numbered_[2]);
    return;
  }
  dropNames();
}

namespace {

// The keys of one kind of object-to-policy map: base, then the object's
// path ("/org/d1" under "/auth/pobject-map/org/d1"; the root's map is the
// base itself).
struct MapRange {
  char const* base;
  AttachmentIndex::Kind kind;
  std::uint32_t mapType;
};
constexpr MapRange kMapRanges[] = {
    {daPObjName::pobjtoaclmapbasename_, AttachmentIndex::acl, gx_type_map_pobj_to_acl},
    {daPObjName::pobjtopopmapbasename_, AttachmentIndex::pop, gx_type_map_pobj_to_pop},
    {daPObjName::pobjtorulemapbasename_, AttachmentIndex::rule, gx_type_map_pobj_to_rule},
};

struct ScanInto {
  MapRange const& range;
  size_t baseLength;
  AttachmentIndex& index;
  std::atomic<bool> const& stop;
  std::string name;  // the last map's policy name, read by listedName
};

// The names an object-to-policy map's encoded bytes list: 0 with count
// the number of names and first the first of them ("" when there is none),
// or the decoder's status (count 0, first ""). Throws std::bad_alloc.
unsigned long mapNames(hx_asn_buffer_t const& bytes, std::uint32_t& count, std::string& first) {
  count = 0;
  first.clear();
  map_acl_to_pobj_s_t list{};
  if (unsigned long const st = hxAsnDecodeObj(bytes, list)) return st;
  struct Free {
    map_acl_to_pobj_s_t& list;
    ~Free() { hxAsnFreeObj(list); }
  } free{list};
  count = list.count;
  if (count > 0 && list.names[0] != nullptr) first = list.names[0];
  return 0;
}

// The one policy name a map's stored value lists, into name (as
// readMapName reads it); false (name empty) when the value is not a map of
// mapType naming exactly one policy by a name that is not empty.
bool listedName(std::string_view stored, std::uint32_t mapType, std::string& name) {
  name.clear();
  std::uint32_t value = 0, type = 0, count = 0;
  std::string_view bytes;
  if (!hx_db_parse_stored(stored, value, type, bytes) || type != mapType) return false;
  hx_asn_buffer_t const in{static_cast<std::uint32_t>(bytes.size()),
                           reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
  if (mapNames(in, count, name) != 0 || count != 1) name.clear();
  return !name.empty();
}

bool collectMap(void* context, std::string_view key, std::string_view stored) {
  auto& into = *static_cast<ScanInto*>(context);
  if (into.stop.load(std::memory_order_relaxed)) return false;
  std::string_view path = key.substr(into.baseLength);
  if (path.empty()) path = "/";
  else if (path[0] != '/') return true;  // another base that begins with this one's text
  listedName(stored, into.range.mapType, into.name);
  into.index.add(spreadOf(path), into.range.kind, path, into.name);
  return true;
}

}  // namespace

std::shared_ptr<AttachmentIndex const> AttachmentIndex::build(hx_db_handle* handle, std::atomic<bool> const& stop,
                                                             unsigned long& status, bool forPreload) {
  auto index = std::make_shared<AttachmentIndex>();
  for (MapRange const& range : kMapRanges) {
    ScanInto into{range, std::strlen(range.base), *index, stop, {}};
    hx_db_scan_prefix_records(handle, range.base, collectMap, &into, status);
    if (status != 0 || stop.load(std::memory_order_relaxed)) return nullptr;
  }
  index->finish(forPreload);
  return index;
}

// The program of the rule called name, stored as stored, as the decisions
// share it. A stored object that is not a rule gives a program that
// answers false: it never permits. Throws std::bad_alloc.
std::shared_ptr<daRuleProgram const> ruleProgram(std::string const& name, daStoreObject const& stored) {
  auto const* r = dynamic_cast<daRule const*>(&stored);
  std::string text, reason;
  std::vector<std::string> attributes;
  if (r != nullptr) {
    if (auto const* t = r->getText()) text = t->getChars();
    if (auto const* why = r->getReason()) reason = why->getChars();
    ZArrayList_6_0 adi;
    r->getADIList(adi);
    for (unsigned i = 0; i < adi.size(); ++i)
      if (auto const* a = dynamic_cast<ZUTF8String_6_0 const*>(adi.get(i))) attributes.emplace_back(a->getChars());
  } else {
    text = "false";
  }
  return daRuleProgram::make(name, std::move(text), std::move(reason), std::move(attributes));
}

// The key a decision reads the policy of kind k (0 ACL, 1 POP, 2 rule)
// called name under. Throws std::bad_alloc.
std::string policyKey(int k, std::string const& name) {
  char const* const n = name.c_str();
  GxObjectName const full = k == 0 ? daAclName(n).getFullName() : k == 1 ? daPopName(n).getFullName()
                                                                         : daRuleName(n).getFullName();
  return full.getChars();
}

struct AttachmentIndex::PreloadInto {
  AttachmentIndex const& index;
  int kind;
  size_t prefixLength;  // of the keys of the kind, before the policy's name
  std::atomic<bool> const& stop;
  size_t& bytes;  // encoded bytes read so far
};

// Decodes the policy stored under key, when a map names it, and publishes
// it. A decision reading the policy by its name would read the same
// record: the key is checked to be the one it would read.
bool AttachmentIndex::preloadOne(void* context, std::string_view key, std::string_view stored) {
  auto& into = *static_cast<PreloadInto*>(context);
  if (into.stop.load(std::memory_order_relaxed) || into.bytes > kPreloadBytes) return false;
  std::string const name(key.substr(into.prefixLength));
  auto const found = into.index.numbers_[into.kind].find(name);
  if (found == into.index.numbers_[into.kind].end()) return true;  // a policy no map names
  std::uint32_t value = 0, type = 0;
  std::string_view bytes;
  std::string const full(key);
  if (!hx_db_parse_stored(stored, value, type, bytes) || policyKey(into.kind, name) != full) return true;
  into.bytes += bytes.size();
  gxobj_t const record{const_cast<char*>(full.c_str()), value, type, static_cast<std::uint32_t>(bytes.size()),
                       reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
  daStoreObject* decoded = nullptr;
  unsigned long st = 0;
  daStoreObject::decode(record, &decoded, st);
  std::unique_ptr<daStoreObject> object(decoded);
  if (st != 0 || object == nullptr) return true;
  std::uint32_t const number = found->second;
  if (into.kind == 0) {
    if (auto* acl = dynamic_cast<GxACL*>(object.get())) {
      object.release();
      into.index.acls_.put(number, std::shared_ptr<GxACL const>(acl));
    }
  } else if (into.kind == 1) {
    if (auto* pop = dynamic_cast<GxPop*>(object.get())) {
      object.release();
      std::shared_ptr<GxPop const> shared(pop);
      pop->getIPAuthList();  // loaded before it is shared: readers then take no lock
      into.index.pops_.put(number, std::move(shared));
    }
  } else {
    into.index.rules_.put(number, ruleProgram(name, *object));
  }
  return true;
}

void AttachmentIndex::preload(hx_db_handle* handle, std::atomic<bool> const& stop, unsigned long& status) const {
  status = 0;
  // The names are only needed while the policies are read: they go however
  // the reading ends (a bad_alloc included), not with the index.
  struct DropNames {
    AttachmentIndex const& index;
    ~DropNames() { index.dropNames(); }
  } const dropping{*this};
  size_t bytes = 0;
  for (int k = 0; k < 3 && status == 0; ++k) {
    if (numbers_[k].empty()) continue;
    std::string const probe = policyKey(k, "x");
    std::string const prefix = probe.substr(0, probe.size() - 1);  // the keys' common start
    PreloadInto into{*this, k, prefix.size(), stop, bytes};
    hx_db_scan_prefix_records(handle, prefix.c_str(), preloadOne, &into, status);
  }
  bool const whole = status == 0 && !stop.load(std::memory_order_relaxed);
  preloaded_.store(whole, std::memory_order_release);
}

// The attachment indexes of the files this process's read-only stores
// have open, by file version (hx_db_file_version): a store that opens a
// file another store has indexed, unchanged since, takes that index at
// once instead of building its own. Holds them weakly: an index goes with
// the last memo that uses it.
class IndexesByVersion {
 public:
  static IndexesByVersion& instance() {
    static IndexesByVersion* indexes = new IndexesByVersion;  // never destroyed: stores may close at exit
    return *indexes;
  }
  std::shared_ptr<AttachmentIndex const> find(hx_db_version const& v) {
    std::lock_guard<std::mutex> g(mutex_);
    for (auto const& [version, index] : items_)
      if (version == v)
        if (auto found = index.lock()) return found;
    return nullptr;
  }
  // Throws std::bad_alloc.
  void add(hx_db_version const& v, std::shared_ptr<AttachmentIndex const> const& index) {
    std::lock_guard<std::mutex> g(mutex_);
    std::erase_if(items_, [&v](auto const& item) { return item.first == v || item.second.expired(); });
    items_.emplace_back(v, index);
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<hx_db_version, std::weak_ptr<AttachmentIndex const>>> items_;
};

}  // namespace daDecisionMemo

namespace {

using daDecisionMemo::SharedMemo;

// Action strings converted by this thread for one store: a service asks
// with a handful of strings, and a remembered one needs neither the quick
// map nor the state lock that guards it. A few entries searched in full (a
// direct-mapped table would make two of five strings collide half the
// time), replaced in turn; a string of up to eight bytes is its own key.
class ActionMemo {
 public:
  // The permissions an action string named in epoch, copied into perms;
  // false when it was not converted in this epoch.
  bool find(std::string_view actions, std::uint64_t epoch, GxACLPermset& perms) const {
    std::uint64_t const key = actionKey(actions);
    for (Item const& e : items_)
      if (e.key == key && e.epoch == epoch && e.length == actions.size() &&
          (actions.size() <= sizeof key || e.longText == actions)) {
        perms = e.perms;
        return true;
      }
    return false;
  }
  void remember(std::string_view actions, std::uint64_t epoch, GxACLPermset const& perms) {
    Item& e = items_[next_++ % kItems];
    e.epoch = epoch;
    e.key = actionKey(actions);
    e.length = actions.size();
    if (actions.size() > sizeof e.key) e.longText.assign(actions.data(), actions.size());
    e.perms = perms;
  }

 private:
  static constexpr unsigned kItems = 8;
  struct Item {
    std::uint64_t key = 0;
    std::uint64_t epoch = 0;  // 0: empty
    std::size_t length = 0;
    std::string longText;  // strings longer than the key
    GxACLPermset perms;
  };
  static std::uint64_t actionKey(std::string_view s) {
    return s.size() <= sizeof(std::uint64_t) ? shortWord(s.data(), s.size()) : textHash(s);
  }
  Item items_[kItems];
  unsigned next_ = 0;
};

// What a thread keeps for one store: its action strings and its reference
// to the store's shared memo of the epoch it last decided in (the reference
// keeps that table alive while the thread may read it; it is given up when
// the thread next decides in a later epoch, or leaves).
struct ThreadState {
  ActionMemo actions;
  std::shared_ptr<SharedMemo> memo;
  unsigned long sequence = 0;  // the store's sequence number as this thread took up memo's epoch
  unsigned counterSlot = ~0u;  // the thread's slot of the store's counters, once looked up
};

// The calling thread's state, one per store it has decided on lately; the
// least recently used one goes when a fifth store comes.
class ThreadStates {
 public:
  // Drops the state kept for the store numbered id, if any.
  void forget(std::uint64_t id) {
    if (lastId_ == id) {
      last_ = nullptr;
      lastId_ = 0;
    }
    std::erase_if(items_, [id](Item const& i) { return i.storeId == id; });
  }

  ThreadState& forStore(daCachedStore const& store) {
    std::uint64_t id = store.storeId();
    if (last_ != nullptr && lastId_ == id) return *last_;
    Item* found = nullptr;
    for (Item& i : items_)
      if (i.storeId == id) found = &i;
    if (found == nullptr) {
      if (items_.size() >= kStores) {
        auto lru = std::min_element(items_.begin(), items_.end(),
                                    [](Item const& a, Item const& b) { return a.used < b.used; });
        items_.erase(lru);
      }
      items_.push_back(Item{id, std::make_unique<ThreadState>(), 0});
      found = &items_.back();
    }
    found->used = ++clock_;
    last_ = found->state.get();
    lastId_ = id;
    return *last_;
  }

 private:
  static constexpr size_t kStores = 4;
  struct Item {
    std::uint64_t storeId;
    std::unique_ptr<ThreadState> state;
    std::uint64_t used;
  };
  std::vector<Item> items_;
  ThreadState* last_ = nullptr;
  std::uint64_t lastId_ = 0;
  std::uint64_t clock_ = 0;
};

// The calling thread's states, made on its first decision and destroyed
// when it ends. The slot has no destructor, so it stays readable for the
// whole life of the thread: a store destroyed after the states went (a
// static store, at exit, after the main thread's thread-locals; a store
// held by another thread-local destroyed later), and a decision made then,
// see gone and leave them alone. One variable, so a decision looks up one
// thread-local address.
struct ThreadStatesSlot {
  ThreadStates* states = nullptr;
  bool gone = false;
};
thread_local ThreadStatesSlot tlsStates;

// Owns the calling thread's states; its destruction at the thread's end
// marks the slot.
struct ThreadStatesOwner {
  std::unique_ptr<ThreadStates> states;
  ~ThreadStatesOwner() {
    tlsStates.states = nullptr;
    tlsStates.gone = true;
  }
};

// The calling thread's states, made now if need be; null once they are gone.
// Throws std::bad_alloc.
ThreadStates* threadStates() {
  ThreadStatesSlot& slot = tlsStates;
  if (slot.states != nullptr || slot.gone) return slot.states;
  thread_local ThreadStatesOwner owner;
  owner.states = std::make_unique<ThreadStates>();
  slot.states = owner.states.get();
  return slot.states;
}

}  // namespace

// ---- store-side copies of the policies -------------------------------------------

// The decision states of the process's stores, so that fork() finds no
// preparer of this library running: it waits for every background
// preparation to end (at 1M objects about a tenth of a second), and keeps
// new ones from starting, until the fork is done. A child forked while a
// preparer ran would inherit locks only that thread could release (and
// the thread sanitizer refuses to go on in such a child); the parent's
// preparation is not cut short, so its decisions stay as fast.
class Preparers {
 public:
  static Preparers& instance() {
    static Preparers* const all = new Preparers;  // never destroyed: stores may outlive statics
    return *all;
  }
  void add(daDecisionPolicies* p) {
    std::lock_guard<std::mutex> g(mutex_);
    all_.push_back(p);
  }
  void remove(daDecisionPolicies* p) {
    std::lock_guard<std::mutex> g(mutex_);
    std::erase(all_, p);
  }

 private:
  Preparers() { ::pthread_atfork(&Preparers::beforeFork, &Preparers::afterFork, &Preparers::afterFork); }
  static void beforeFork();
  static void afterFork();

  std::mutex mutex_;
  std::vector<daDecisionPolicies*> all_;
};

// The store-side state of the decisions. The memo shared by the store's
// threads, for the newest epoch any thread has decided in. And copies of the
// ACLs and POPs that remembered decisions share, per epoch: every thread
// that meets one policy in one epoch shares one copy. The copies table is
// only a way to share; dropping it (a new epoch, or too many policies)
// leaves the copies alive in the decisions that hold them.
struct daDecisionPolicies {
  using SharedMemo = daDecisionMemo::SharedMemo;
  static constexpr size_t maxShared = 65536;

  daDecisionPolicies() { Preparers::instance().add(this); }
  ~daDecisionPolicies() {
    closing();
    Preparers::instance().remove(this);
  }
  daDecisionPolicies(daDecisionPolicies const&) = delete;
  daDecisionPolicies& operator=(daDecisionPolicies const&) = delete;
  friend class Preparers;  // holds the preparer lock across a fork

  // ---- the preparer: one background thread at a time that backs a new
  // memo's slots with memory and builds its attachment index from a
  // read-only store's file, so that neither the open nor the first
  // decisions wait for them. The store's close stops and joins it before
  // the file goes (closing), so the handle it scans stays valid.

  // The store's file is open (accepting) or about to close (not).
  void opened() {
    std::lock_guard<std::mutex> g(preparerMutex);
    accepting = true;
  }
  void closing() {
    {
      std::lock_guard<std::mutex> g(preparerMutex);
      accepting = false;
      joinPreparer();
    }
    freeRetired();
  }

  // Takes a memo (or what else held a decision's policy) a decision let go
  // of, when no one else holds it: freeing a large memo (unmapping tens of
  // MiB) would cost the deciding thread milliseconds. Freed when the store
  // next makes a memo (a new epoch, itself a slow decision) or closes.
  void retire(std::shared_ptr<void const> old) {
    if (old.use_count() != 1) return;  // another holder frees it
    std::lock_guard<std::mutex> g(retiredMutex);
    try {
      retired.push_back(std::move(old));
    } catch (std::bad_alloc const&) {
      // freed here after all
    }
  }
  void freeRetired() {
    std::vector<std::shared_ptr<void const>> dropping;
    std::lock_guard<std::mutex> g(retiredMutex);
    dropping.swap(retired);
  }

  // Starts preparing memo from the file under handle, after stopping an
  // unfinished preparation of an older memo. The index another store of
  // this process built from the same version of the file is taken at once;
  // else a file of fewer than indexAtOnce records (the index then takes
  // well under a millisecond) is indexed at once, on the calling thread,
  // and a larger one in the background, the index then offered to stores
  // that open the file later; once the slots are backed, that thread also
  // preloads the index's policies (AttachmentIndex::preload), which the
  // stores that take the index share. Nothing while the file is closing, or when no
  // thread can be started (the maps are then read object by object:
  // slower, the same answers). Throws std::bad_alloc.
  static constexpr unsigned long defaultIndexAtOnce = 65536;
  static inline std::atomic<unsigned long> indexAtOnce{defaultIndexAtOnce};
  void prepare(hx_db_handle* handle, std::shared_ptr<SharedMemo> memo, unsigned long records) {
    std::lock_guard<std::mutex> g(preparerMutex);
    if (!accepting) return;
    joinPreparer();
    stopPreparing.store(false, std::memory_order_relaxed);
    bool const background = records >= indexAtOnce.load(std::memory_order_relaxed);
    using daDecisionMemo::IndexesByVersion;
    hx_db_version version;
    unsigned long versionStatus = 0;
    hx_db_file_version(handle, version, versionStatus);
    bool const known = versionStatus == 0 && version.transaction != 0;
    if (known)
      if (auto index = IndexesByVersion::instance().find(version)) memo->publishIndex(std::move(index));
    SharedMemo& held = *memo;  // the caller holds it too
    auto work = [this, handle, memo = std::move(memo), known, version, background] {
      unsigned long st = 0;
      std::shared_ptr<daDecisionMemo::AttachmentIndex const> built;  // preloaded by this thread
      try {
        if (memo->index() == nullptr) {
          auto index = daDecisionMemo::AttachmentIndex::build(handle, stopPreparing, st, background);
          // Offered to later stores only when the file did not change during the scan.
          hx_db_version after;
          unsigned long afterStatus = 0;
          hx_db_file_version(handle, after, afterStatus);
          if (index && known && afterStatus == 0 && after == version) IndexesByVersion::instance().add(version, index);
          if (index && background) built = index;
          if (index) memo->publishIndex(std::move(index));
        }
      } catch (std::bad_alloc const&) {
        st = da_s_no_memory;
      }
      if (st != 0) HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_warning, st, "%s", hx_db_path(handle));
      memo->backHuge(stopPreparing);  // after the index: misses need it first
      memo->markBacked();
      if (built == nullptr) return;
      try {
        built->preload(handle, stopPreparing, st);
      } catch (std::bad_alloc const&) {
        st = da_s_no_memory;  // the policies not preloaded are read by the decisions
      }
      if (st != 0) HX_LOG(gxdmd_svc_handle, gxdmd_sub_store, hx_svc_attr_warning, st, "%s", hx_db_path(handle));
    };
    if (!background) {
      work();
      return;
    }
    held.holdUntilBacked();
    try {
      preparer = std::thread(std::move(work));
    } catch (std::exception const&) {
      held.markBacked();  // no thread: the slots are backed as decisions touch them
    }
  }

  // The shared memo for epoch, made when the newest one is older; one of a
  // later epoch when a thread has already made it (the caller then decides
  // in that epoch: the policy epoch only moves forwards). make(epoch) makes
  // a new table; its status, when not 0, is returned with no table. Throws
  // std::bad_alloc.
  template <class Make>
  std::shared_ptr<SharedMemo> memo(std::uint64_t epoch, Make&& make, unsigned long& status) {
    status = 0;
    std::unique_lock<std::mutex> g(memoMutex);
    if (!current || current->epoch() < epoch) {
      current.reset();  // the old table goes (when no thread holds it) before the new one is made
      current = make(epoch, status);
      auto made = current;
      g.unlock();
      freeRetired();
      return made;
    }
    return current;
  }

  // The newest memo (null before the first).
  std::shared_ptr<SharedMemo> newest() {
    std::lock_guard<std::mutex> g(memoMutex);
    return current;
  }

  // A policy's name and, when the epoch's attachment index numbered it,
  // its number there (index: that index): a policy met through the index
  // is then found by its number, in an array, rather than by hashing its
  // name in a table larger than the caches.
  struct Key {
    std::string const& name;
    std::uint32_t number = daDecisionMemo::AttachmentIndex::kNoNumber;
    void const* index = nullptr;
  };

  // The ACL shared in epoch under key; made by take() (a
  // std::shared_ptr<GxACL>) when this is the epoch's first. Throws
  // std::bad_alloc.
  template <class Take>
  std::shared_ptr<GxACL const> acl(std::uint64_t epoch, Key const& key, Take&& take) {
    return share(acls, epoch, key, [&take] { return std::shared_ptr<GxACL const>(take()); });
  }
  // The rule's program, compiled once per rule and epoch. A stored object
  // that is not a rule gives a program that answers false: it never permits.
  std::shared_ptr<daRuleProgram const> rule(std::uint64_t epoch, Key const& key, daStoreObject const& stored) {
    std::string const& name = key.name;
    return share(rules, epoch, key, [&name, &stored] { return daDecisionMemo::ruleProgram(name, stored); });
  }
  // The POP shared in epoch under key, as acl.
  template <class Take>
  std::shared_ptr<GxPop const> pop(std::uint64_t epoch, Key const& key, Take&& take) {
    return share(pops, epoch, key, [&take] {
      std::shared_ptr<GxPop> mine = take();
      mine->getIPAuthList();  // loaded before it is shared: readers then take no lock
      return std::shared_ptr<GxPop const>(std::move(mine));
    });
  }

  // The copy the index that numbered key preloaded, else the copy shared
  // in epoch under key, or null.
  std::shared_ptr<GxACL const> knownAcl(std::uint64_t epoch, Key const& key) {
    if (auto preloaded = preloadedAt(key, &AttachmentIndex::preloadedAcl)) return preloaded;
    return known(acls, epoch, key);
  }
  std::shared_ptr<GxPop const> knownPop(std::uint64_t epoch, Key const& key) {
    if (auto preloaded = preloadedAt(key, &AttachmentIndex::preloadedPop)) return preloaded;
    return known(pops, epoch, key);
  }
  std::shared_ptr<daRuleProgram const> knownRule(std::uint64_t epoch, Key const& key) {
    if (auto preloaded = preloadedAt(key, &AttachmentIndex::preloadedRule)) return preloaded;
    return known(rules, epoch, key);
  }

 private:
  using AttachmentIndex = daDecisionMemo::AttachmentIndex;
  // What index (key's) preloaded under key's number; no lock: the index
  // publishes each policy once.
  template <class T>
  static std::shared_ptr<T const> preloadedAt(Key const& key,
                                              std::shared_ptr<T const> (AttachmentIndex::*get)(std::uint32_t) const) {
    if (key.index == nullptr || key.number == AttachmentIndex::kNoNumber) return nullptr;
    return (static_cast<AttachmentIndex const*>(key.index)->*get)(key.number);
  }

  // The copies of one kind: by name, and by number for the index that
  // numbered them (numbering), in pages of kPage made as numbers in them
  // are filed (a first decision does not clear an array for every policy
  // of a large file).
  template <class T>
  struct Shelf {
    static constexpr std::uint32_t kPage = 64;
    using Page = std::array<std::shared_ptr<T const>, kPage>;
    std::unordered_map<std::string, std::shared_ptr<T const>> byName;
    std::vector<std::unique_ptr<Page>> byNumber;
    void const* numbering = nullptr;
    void clear() {
      byName.clear();
      byNumber.clear();
    }
    // The copy filed under key's number, or null.
    std::shared_ptr<T const> const* numbered(Key const& key) const {
      if (key.number == daDecisionMemo::AttachmentIndex::kNoNumber || key.index == nullptr || key.index != numbering)
        return nullptr;
      size_t const page = key.number / kPage;
      if (page >= byNumber.size() || !byNumber[page]) return nullptr;
      std::shared_ptr<T const> const& item = (*byNumber[page])[key.number % kPage];
      return item ? &item : nullptr;
    }
    // Files item under key's number too, when it has one. Throws std::bad_alloc.
    void number(Key const& key, std::shared_ptr<T const> const& item) {
      if (key.number == daDecisionMemo::AttachmentIndex::kNoNumber || key.index == nullptr) return;
      if (key.index != numbering) {
        byNumber.clear();
        numbering = key.index;
      }
      size_t const page = key.number / kPage;
      if (page >= byNumber.size()) byNumber.resize(page + 1);
      if (!byNumber[page]) byNumber[page] = std::make_unique<Page>();
      (*byNumber[page])[key.number % kPage] = item;
    }
  };

  template <class T>
  std::shared_ptr<T const> known(Shelf<T>& shelf, std::uint64_t at, Key const& key) {
    std::lock_guard<std::mutex> g(mutex);
    if (at != epoch) return nullptr;
    if (std::shared_ptr<T const> const* item = shelf.numbered(key)) return *item;
    auto it = shelf.byName.find(key.name);
    if (it == shelf.byName.end()) return nullptr;
    try {
      shelf.number(key, it->second);  // shared by name before the index came
    } catch (std::bad_alloc const&) {
      // found by name again next time
    }
    return it->second;
  }

  template <class T, class Make>
  std::shared_ptr<T const> share(Shelf<T>& shelf, std::uint64_t at, Key const& key, Make&& make) {
    std::lock_guard<std::mutex> g(mutex);
    if (at < epoch) return make();  // resolved in an epoch already gone: not shared
    if (at > epoch) {
      acls.clear();
      pops.clear();
      rules.clear();
      epoch = at;
    }
    auto [it, added] = shelf.byName.try_emplace(key.name);
    if (added && shelf.byName.size() > maxShared) {
      shelf.clear();
      it = shelf.byName.try_emplace(key.name).first;
    }
    if (!it->second) it->second = make();  // new, or left empty when making it threw
    shelf.number(key, it->second);
    return it->second;
  }

  void joinPreparer() {  // preparerMutex held
    stopPreparing.store(true, std::memory_order_relaxed);
    if (preparer.joinable()) preparer.join();
  }

  std::mutex preparerMutex;
  std::thread preparer;
  std::atomic<bool> stopPreparing{false};
  bool accepting = false;
  std::mutex memoMutex;
  std::shared_ptr<SharedMemo> current;
  std::mutex retiredMutex;
  std::vector<std::shared_ptr<void const>> retired;
  std::mutex mutex;
  std::uint64_t epoch = 0;
  Shelf<GxACL> acls;
  Shelf<GxPop> pops;
  Shelf<daRuleProgram> rules;
};

// Every store's preparer lock is held across the fork, each preparer having
// been joined under it, so that none starts meanwhile (prepare() takes it).
void Preparers::beforeFork() {
  Preparers& all = instance();
  all.mutex_.lock();
  for (daDecisionPolicies* p : all.all_) {
    p->preparerMutex.lock();
    if (p->preparer.joinable()) p->preparer.join();
  }
}
void Preparers::afterFork() {
  Preparers& all = instance();
  for (daDecisionPolicies* p : all.all_) p->preparerMutex.unlock();
  all.mutex_.unlock();
}

std::shared_ptr<daDecisionPolicies> daMakeDecisionPolicies() { return std::make_shared<daDecisionPolicies>(); }
void daDecisionFileOpened(daDecisionPolicies& p) { p.opened(); }
void daDecisionForgetStore(std::uint64_t storeId) {
  if (ThreadStates* states = tlsStates.states) states->forget(storeId);
}
unsigned long daDecisionIndexAtOpen(unsigned long records) {
  return daDecisionPolicies::indexAtOnce.exchange(records == 0 ? daDecisionPolicies::defaultIndexAtOnce : records);
}
void daDecisionFileClosing(daDecisionPolicies& p) { p.closing(); }
size_t daDecisionKeptTableBytes(size_t bytes) {
  using daDecisionMemo::TablePool;
  return TablePool::instance().keep(bytes == static_cast<size_t>(-1) ? TablePool::kDefaultKeptBytes : bytes);
}

std::uint64_t daNextStoreId() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

char const* daDecision::permissionsText() const {
  if (!textReady_) {
    permissionsText_.clear();  // the conversion appends
    unsigned long st = 0;
    if (store_ != nullptr) store_->mapBitmapShared(permissions_, permissionsText_, st);
    if (st != 0) permissionsText_.clear();
    textReady_ = true;
  }
  return permissionsText_.getChars();
}

char const* daDecisionEntryText(daDecisionEntry e) {
  switch (e) {
    case daDecisionEntry::user: return "user";
    case daDecisionEntry::group: return "group";
    case daDecisionEntry::anyOther: return "any-other";
    case daDecisionEntry::unauthenticated: return "unauthenticated";
    default: return "none";
  }
}

// ---- resolving the policy in force --------------------------------------------------

namespace {

// The policy in force at one object while it is being resolved, with the
// status of each kind's lookup: a failed lookup is in force below its
// object just as a policy would be, and nothing that carries one is
// remembered.
struct Resolved {
  PolicyRecord record = nullptr;  // nothing in force
  SlotSummary summary;            // the memo's summary of record
  unsigned long aclStatus = 0, popStatus = 0, ruleStatus = 0;
  bool clean() const { return aclStatus == 0 && popStatus == 0 && ruleStatus == 0; }
};

// What one object's own map of one kind says: nothing attached (status 0,
// empty name), the policy's name and object, or the lookup's failure.
// shared: the policy as the decisions share it, when this epoch already
// has it (then object is not read).
// owned: the policy read straight from the file (a read-only store) is the
// decision's own, and is shared as it is rather than copied (take).
template <class Object, class Shared>
struct Own {
  unsigned long status = 0;
  std::string name;
  Handle<daStoreObject> object;
  std::unique_ptr<daStoreObject> owned;
  std::shared_ptr<Shared const> shared;
  daStoreObject const* stored() const { return owned ? owned.get() : object.get(); }
  Object const* get() const { return dynamic_cast<Object const*>(stored()); }
  // The policy read (get() not null), to be shared: the object itself when
  // owned, else a copy. Throws std::bad_alloc.
  std::shared_ptr<Object> take() {
    if (auto* mine = dynamic_cast<Object*>(owned.get())) {
      owned.release();
      return std::shared_ptr<Object>(mine);
    }
    return std::make_shared<Object>(*get());
  }
};

// The name the map record under mapName lists, read straight from the file
// and in place, without making the map object: a decision reads the map of
// every attached object on its path when it first meets it. True when it
// could be read so: attached is then false when there is no map, else
// own.status is 0 with own.name the name the map lists (which may be
// empty, a name no policy has), or the failure of readOwn. False, with st
// the read's status, when the record is not of mapType: the map object
// then tells what the record is, as it always has. The caller holds the
// store's state lock with the store open.
template <class Object, class Shared>
bool readMapName(daCachedStore& store, daStoreObjectName const& mapName, std::uint32_t mapType,
                 unsigned long badMap, Own<Object, Shared>& own, bool& attached, unsigned long& st) {
  gxobj_holder record;
  unsigned long seq = 0;
  store.daLocalStore::getObject(mapName.getFullName(), record.rec, seq, st);
  attached = st != da_s_no_such_object;
  if (!attached) return true;  // nothing attached here
  if (st != 0) {
    own.status = st;
    return true;
  }
  if (record.rec.type != mapType) return false;
  std::uint32_t count = 0;
  hx_asn_buffer_t const bytes{record.rec.length, record.rec.data};
  if ((st = daDecisionMemo::mapNames(bytes, count, own.name)) != 0) {
    own.status = st;
    return true;
  }
  if (count != 1) {
    own.status = badMap;
    own.name.clear();
  }
  return true;
}

// Reads the map of one kind under mapName and the policy it names, with
// the statuses of fetchACL/fetchPop/fetchRule: a map naming no policy or
// several, or of another kind, is badMap; a named policy that does not
// exist is missing.
// direct: read straight from the file, past the cache (a read-only store:
// the memo keeps what the decisions need, and the cache would only fill
// with entries read once); the policy itself is then not read when known
// (name) gives the epoch's shared copy: the file has not changed since;
// and the map is not read when listed (from the attachment index) gives
// the name it lists: mapName() (giving the map's daStoreObjectName) is then
// not called.
template <class Map, class Name, class Object, class Shared, class MapName, class Known>
void readOwn(daCachedStore& store, bool direct, std::string_view listed, MapName&& mapName,
             std::uint32_t mapType, unsigned long badMap, unsigned long missing, Own<Object, Shared>& own,
             Known&& known, unsigned& policyReads) {
  auto read = [&store, direct](daStoreObjectName const& name, Handle<daStoreObject>& h,
                               std::unique_ptr<daStoreObject>& owned, unsigned long& st) {
    if (!direct) return store.getObject(name, h, st);
    daStoreObject* object = nullptr;
    store.getDBObject(name, &object, st);
    owned.reset(object);  // a rule that failed to decode still comes with its object
  };
  unsigned long st = 0;
  bool attached = false;
  if (direct && !listed.empty()) {
    own.name.assign(listed);
  } else if (direct && readMapName(store, mapName(), mapType, badMap, own, attached, st)) {
    if (!attached || own.status != 0) return;  // nothing attached, or a failure
  } else {
    Handle<daStoreObject> mapHandle;
    std::unique_ptr<daStoreObject> mapOwned;
    read(mapName(), mapHandle, mapOwned, st);
    if (st == da_s_no_such_object) return;  // nothing attached here
    if (st != 0) {
      own.status = st;
      return;
    }
    auto const* map = dynamic_cast<Map const*>(mapOwned ? mapOwned.get() : mapHandle.get());
    if (map == nullptr || map->count() != 1) {
      own.status = badMap;
      return;
    }
    own.name = map->get(0);
  }
  if (direct && (own.shared = known(own.name)) != nullptr) return;
  ++policyReads;
  read(Name(own.name.c_str()), own.object, own.owned, st);
  if (st == da_s_no_such_object || (st == 0 && own.get() == nullptr)) st = missing;
  own.status = st;
}

class Resolver {
 public:
  Resolver(daCachedStore& store, daDecisionPolicies& policies, SharedMemo& memo)
      : store_(store), policies_(policies), memo_(memo), epoch_(memo.epoch()) {}

  // The policy in force at path (a valid, normalised object name). The
  // object's ancestors are the prefixes of its path; the walk goes up from
  // the object and reads, of each kind, only the nearest policy attached on
  // the way: an ACL, POP or rule further up is hidden by it and is neither
  // read nor decoded (a first decision on a large estate reads one ACL
  // rather than one per attached ancestor). It stops at the nearest
  // ancestor the memo knows (whose policy is in force for the kinds still
  // unmet), at the root, or once the memo's attachment index tells that no
  // kind still unmet is attached further up. The answer is remembered,
  // when it carries no failure, for the object and each level walked up to
  // the nearest one with a policy of its own, which all have the same
  // policy in force; levels above it are not (theirs would need the hidden
  // policies). With the index only the objects it holds are read (every
  // other one has its parent's policy in force). A read-only store reads
  // straight from its file, past the cache: the memo keeps what the
  // decisions need, and the cache would fill with entries read once. Slots
  // the memo has not yet backed are neither read nor filled (SharedMemo::
  // holdUntilBacked).
  // leaf: path's key, when the caller has it (else null).
  Resolved resolve(std::string_view path, SharedMemo::Key const* leaf) {
    AttachmentIndex const* const index = memo_.index();
    bool const direct = store_.isReadOnly() != 0;
    thread_local std::vector<SharedMemo::Key> walked;  // nearest first; a resolve calls no other
    walked.clear();
    // The lines the first levels read (memo slot, index word and entry)
    // are asked for at once, so that they come from memory together rather
    // than one level after another.
    std::uint64_t spreads[kAhead];
    size_t ahead = 0;
    for (size_t length = path.size(); ahead < kAhead;) {
      std::string_view const at = path.substr(0, length);
      std::uint64_t const spread = ahead == 0 && leaf != nullptr ? leaf->spread : memo_.spread(at);
      memo_.prefetch(spread);
      if (index != nullptr) index->prefetch(spread);
      spreads[ahead++] = spread;
      if (length <= 1) break;
      length = parentLength(at);
    }
    Resolved base;  // its summary: the slot's (nothing in force: none)
    Nearest nearest;
    size_t shared = 0;  // levels walked[0, shared) have the object's policy, once one has its own
    for (size_t length = path.size(), level = 0;; ++level) {
      std::string_view at = path.substr(0, length);
      SharedMemo::Key const key = level == 0 && leaf != nullptr ? *leaf
                                  : level < ahead ? SharedMemo::Key{spreads[level], memo_.check(at)}
                                                  : memo_.keyOf(at);
      if (memo_.find(key, base.record, base.summary)) break;
      walked.push_back(key);
      AttachmentIndex::Found const found = index != nullptr ? index->find(key.spread, at) : kEveryKind;
      if ((found.kinds & nearest.pending) != 0 && read(at, found, direct, nearest) && shared == 0)
        shared = walked.size();
      if ((found.above & nearest.pending) == 0) break;  // nothing unmet further up
      if (length <= 1) break;                           // the root, "/"
      length = parentLength(at);
    }
    if (nearest.pending == kAll) {  // base's policy (a remembered one, or none) all the way
      for (SharedMemo::Key const& key : walked) memo_.insert(key, base.record, base.summary);
      return base;
    }
    Resolved r = compose(base, nearest);
    r.summary = SharedMemo::summarise(r.record);
    if (r.clean())
      for (size_t i = 0; i < shared; ++i) memo_.insert(walked[i], r.record, r.summary);
    return r;
  }

 private:
  static constexpr size_t kAhead = 4;  // levels whose lines are asked for first
  using AttachmentIndex = daDecisionMemo::AttachmentIndex;
  static constexpr unsigned kAll = AttachmentIndex::acl | AttachmentIndex::pop | AttachmentIndex::rule;
  // Without an index: every kind's map is read.
  static constexpr AttachmentIndex::Found kEveryKind{kAll, {}, kAll};

  // The nearest policy of each kind on the way up, and where it is
  // attached; pending: the kinds not met yet.
  struct Nearest {
    unsigned pending = kAll;
    Own<GxACL, GxACL> acl;
    Own<GxPop, GxPop> pop;
    Own<daStoreObject, daRuleProgram> rule;
    std::string aclAt, popAt, ruleAt;
    std::uint32_t numbers[3] = {AttachmentIndex::kNoNumber, AttachmentIndex::kNoNumber, AttachmentIndex::kNoNumber};
  };

  // Reads the maps at the object at (of found's kinds still pending only;
  // the others: nothing attached, or hidden by a nearer one), not those
  // whose policy's name the index gave. True when the object has a policy
  // of its own of a pending kind (or a failure reading one), which it
  // then settles in nearest.
  bool read(std::string_view at, AttachmentIndex::Found const& found, bool direct, Nearest& nearest) {
    unsigned const kinds = found.kinds & nearest.pending;
    mapReads += std::popcount(kinds);
    // The object's name (which the map names derive from) is made only when
    // a map is read: the index usually gives the policy's name.
    std::optional<daPObjName> object;
    auto const named = [&]() -> daPObjName const& {
      if (!object) object.emplace(std::string(at).c_str());
      return *object;
    };
    // A policy the index numbered is looked up by its number (the name the
    // map lists is then the one the index gave).
    auto const key = [&](std::string const& n, int k) {
      return daDecisionPolicies::Key{n, found.names[k].empty() ? AttachmentIndex::kNoNumber : found.numbers[k],
                                     memo_.index()};
    };
    unsigned own = 0;
    if (kinds & AttachmentIndex::acl) {
      readOwn<GxMapPObjectToACL, daAclName>(
          store_, direct, found.names[0], [&]() -> auto const& { return named().getPObjToAclMapName(); },
          gx_type_map_pobj_to_acl, gx_s_acl_map_bad, gx_s_acl_missing, nearest.acl,
          [&](std::string const& n) { return policies_.knownAcl(epoch_, key(n, 0)); }, policyReads);
      if (settles(nearest.acl, at, nearest.aclAt)) own |= AttachmentIndex::acl;
      nearest.numbers[0] = key(nearest.acl.name, 0).number;
    }
    if (kinds & AttachmentIndex::pop) {
      readOwn<GxMapObjToPop, daPopName>(
          store_, direct, found.names[1], [&]() -> auto const& { return named().getPObjToPopMapName(); },
          gx_type_map_pobj_to_pop, gx_s_pop_map_bad, gx_s_pop_missing, nearest.pop,
          [&](std::string const& n) { return policies_.knownPop(epoch_, key(n, 1)); }, policyReads);
      if (settles(nearest.pop, at, nearest.popAt)) own |= AttachmentIndex::pop;
      nearest.numbers[1] = key(nearest.pop.name, 1).number;
    }
    if (kinds & AttachmentIndex::rule) {
      readOwn<daMapObjToRule, daRuleName>(
          store_, direct, found.names[2], [&]() -> auto const& { return named().getPObjToRuleMapName(); },
          gx_type_map_pobj_to_rule, gx_s_rule_map_bad, gx_s_rule_missing, nearest.rule,
          [&](std::string const& n) { return policies_.knownRule(epoch_, key(n, 2)); }, policyReads);
      if (settles(nearest.rule, at, nearest.ruleAt)) own |= AttachmentIndex::rule;
      nearest.numbers[2] = key(nearest.rule.name, 2).number;
    }
    nearest.pending &= ~own;
    return own != 0;
  }

  // True when own (just read at the object at, a normalised name: its own
  // path) is a policy or a failure, which is then where it is attached.
  template <class Object, class Shared>
  static bool settles(Own<Object, Shared> const& own, std::string_view at, std::string& where) {
    if (own.status == 0 && own.name.empty()) return false;
    where.assign(at);
    return true;
  }

  // The policy in force given base's (above every level read) and the
  // nearest policies met below it.
  Resolved compose(Resolved const& base, Nearest& nearest) {
    bool const ownAcl = (nearest.pending & AttachmentIndex::acl) == 0;
    bool const ownPop = (nearest.pending & AttachmentIndex::pop) == 0;
    bool const ownRule = (nearest.pending & AttachmentIndex::rule) == 0;
    Own<GxACL, GxACL>& acl = nearest.acl;
    Own<GxPop, GxPop>& pop = nearest.pop;
    Own<daStoreObject, daRuleProgram>& rule = nearest.rule;
    Resolved r;
    r.aclStatus = ownAcl ? acl.status : base.aclStatus;
    r.popStatus = ownPop ? pop.status : base.popStatus;
    r.ruleStatus = ownRule ? rule.status : base.ruleStatus;
    daPolicyInForce fields = base.record ? *base.record : daPolicyInForce();
    daPolicyInForce* const rec = &fields;
    if (ownAcl) {
      rec->acl = acl.status != 0 ? nullptr
                 : acl.shared    ? acl.shared
                                 : policies_.acl(epoch_, {acl.name, nearest.numbers[0], memo_.index()},
                                                 [&acl] { return acl.take(); });
      rec->aclName = acl.status == 0 ? acl.name : std::string();
      rec->aclLocation = acl.status == 0 ? std::move(nearest.aclAt) : std::string();
    }
    if (ownPop) {
      rec->pop = pop.status != 0 ? nullptr
                 : pop.shared    ? pop.shared
                                 : policies_.pop(epoch_, {pop.name, nearest.numbers[1], memo_.index()},
                                                 [&pop] { return pop.take(); });
      rec->window = rec->pop ? daAccessWindow(*rec->pop) : daAccessWindow();
      rec->popName = pop.status == 0 ? pop.name : std::string();
      rec->popLocation = pop.status == 0 ? std::move(nearest.popAt) : std::string();
    }
    if (ownRule) {
      rec->ruleName = rule.status == 0 ? rule.name : std::string();
      rec->ruleLocation = rule.status == 0 ? std::move(nearest.ruleAt) : std::string();
      rec->rule = rule.status != 0 ? nullptr
                  : rule.shared   ? rule.shared
                                  : policies_.rule(epoch_, {rule.name, nearest.numbers[2], memo_.index()},
                                                   *rule.stored());
    }
    r.record = memo_.makeRecord(std::move(fields));
    return r;
  }

  daCachedStore& store_;
  daDecisionPolicies& policies_;
  SharedMemo& memo_;
  std::uint64_t const epoch_;

 public:
  unsigned mapReads = 0;     // maps read by this resolver
  unsigned policyReads = 0;  // policies it read, not having the epoch's or the index's copy
};

}  // namespace

// ---- the decision ------------------------------------------------------------------

void daCachedStore::setDecisionMemoSize(unsigned int entries) {
  unsigned int n = entries == 0 ? 0 : std::bit_ceil(std::clamp(entries, 64u, maxDecisionMemoSize));
  decisionMemoSize_.store(n, std::memory_order_relaxed);
}

namespace {

// Asks for the lines a decision reads of record (its Hot part and the ACL's
// entries after it) at once, rather than for the entries only once the Hot
// part has arrived. Hot starts a line, and the four lines from there hold
// it and nine compact entries (the generated estates' ACLs have two to nine).
inline void prefetchHot(daPolicyInForce const* record) {
  if (record == nullptr) return;
  char const* hot = reinterpret_cast<char const*>(&record->hot);
  for (int line = 0; line < 4; ++line) __builtin_prefetch(hot + 64 * line);
}

// The permissions the ACL of record grants caller into out, and which kind
// of entry applied: acleval's answer, from the record's copy of the entries.
acl_applied_entry_t evaluateAcl(daPolicyInForce const& record, sec_id_pa_t* caller, acl_permset_s_t* out) {
  daPolicyInForce::Hot const& hot = record.hot;
  if (hot.acl != nullptr) {  // the ACL's own form
    acl_applied_entry_t applied = acl_applied_none;
    unsigned long status = 0;
    acl_inq_permset_for_pa_applied(caller, hot.acl, out, &applied, &status);
    return applied;
  }
  CompactEntries const view{reinterpret_cast<daCompactAclEntry const*>(&record + 1), hot.entries};
  CompactEntries const* const entries = hot.entries > 0 ? &view : nullptr;
  unsigned long status = 0;
  return caller == nullptr ? gxacl::evaluateUnauthenticated(entries, out)
                           : gxacl::evaluateAuthenticated(caller, entries, nullptr, out, &status);
}

// True when path is a valid object name that validation leaves as it is:
// it starts with "/", holds no "//", no tab, line feed or carriage return,
// and ends in neither a space nor (unless it is the root) a "/". Any other
// text is validated and normalised by daPObjName::validateAndFix.
bool isNormalObjectName(std::string_view path) {
  if (path.empty() || path[0] != '/') return false;
  if (path.size() > 1 && (path.back() == '/' || path.back() == ' ')) return false;
  char previous = 0;
  for (char c : path) {
    if (c == '\t' || c == '\n' || c == '\r' || (c == '/' && previous == '/')) return false;
    previous = c;
  }
  return true;
}

// perms becomes the permissions the action string names, converted by the
// store's quick map under the store's state lock (shared): a replica's map
// is rebuilt while that lock is held exclusively. Returns mapAction's
// status, or gx_s_no_action_group / da_s_no_memory when the map cannot be
// built (the exceptions of the quick map end here).
unsigned long requestedPermissions(daCachedStore& store, char const* actions, GxACLPermset& perms) {
  unsigned long status = 0;
  ZStackReadWriteLock_6_0 reading(store.getStateLock(), ZReadWriteLock_6_0::READ);
  // The quick map throws when it cannot be built; a decision reports it.
  try {
    store.mapAction(actions, perms, status);
  } catch (ZInvalidParameterException_6_0 const&) {
    status = gx_s_no_action_group;  // no "primary" group with an action
  } catch (ZOutOfMemoryException_6_0 const&) {
    status = da_s_no_memory;
  }
  return status;
}

// The records of the store's file (0 when they cannot be counted). The
// caller holds the state lock shared.
unsigned long fileRecords(daCachedStore& store) {
  unsigned long records = 0, st = 0;
  if (store.isStoreOpen()) store.getObjectCount(records, st);
  return st == 0 ? records : 0;
}

// Slots of a new shared memo: the size set on the store, or room for every
// record of its file with a third of the slots left free. Records count the
// objects with a record and the maps and policies attached to them, so the
// objects alone fill well under two thirds.
size_t memoSlots(daCachedStore& store, unsigned long records) {
  if (unsigned int n = store.getDecisionMemoSize()) return n;
  return std::bit_ceil(std::clamp<size_t>(records + records / 2, 1024, daCachedStore::maxDecisionMemoSize));
}

// A new shared memo for epoch. On a read-only store (whose file changes
// only by a replacement, which moves the epoch) the preparer then builds
// its attachment index. The caller holds the state lock shared, or opens
// the store. Throws std::bad_alloc.
std::shared_ptr<SharedMemo> makeMemo(daCachedStore& store, daDecisionPolicies& policies, std::uint64_t epoch) {
  unsigned long const records = fileRecords(store);
  auto memo = std::make_shared<SharedMemo>(epoch, memoSlots(store, records));
  if (store.isReadOnly() && store.isStoreOpen()) policies.prepare(store.getDBHandle(), memo, records);
  return memo;
}

// state's memo becomes the store's shared memo for epoch, or a later one
// (the caller decides in its epoch). Made under the state lock held shared,
// since sizing it reads the file. Returns da_s_store_unavailable when the
// store is closed, da_s_no_memory when the table cannot be made.
unsigned long joinSharedMemo(daCachedStore& store, daDecisionPolicies& policies, ThreadState& state,
                             std::uint64_t epoch) {
  state.memo.reset();  // this thread's hold on the older table goes first
  ZStackReadWriteLock_6_0 reading(store.getStateLock(), ZReadWriteLock_6_0::READ);
  if (store.getCacheState() == daCacheStates::closed) return da_s_store_unavailable;
  unsigned long status = 0;
  try {
    state.memo = policies.memo(
        epoch, [&](std::uint64_t e, unsigned long&) { return makeMemo(store, policies, e); }, status);
  } catch (std::bad_alloc const&) {
    return da_s_no_memory;
  }
  return status;
}

}  // namespace

void daCachedStore::prepareDecisions() {
  try {
    unsigned long st = 0;
    decisionPolicies_->memo(
        policyEpoch(), [this](std::uint64_t e, unsigned long&) { return makeMemo(*this, *decisionPolicies_, e); }, st);
  } catch (std::bad_alloc const&) {
    // The first decision makes it, or reports the shortage.
  }
}

bool daCachedStore::attachmentIndexReady() const {
  auto const memo = decisionPolicies_->newest();
  return memo && memo->epoch() == policyEpoch() && memo->index() != nullptr;
}

bool daCachedStore::attachmentPoliciesPreloaded() const {
  auto const memo = decisionPolicies_->newest();
  return memo && memo->epoch() == policyEpoch() && memo->index() != nullptr && memo->index()->preloaded();
}

std::size_t daCachedStore::decisionMemoObjects() const {
  auto const memo = decisionPolicies_->newest();
  return memo && memo->epoch() == policyEpoch() ? memo->remembered() : 0;
}

bool daCachedStore::openOnceSettled() {
  ZStackReadWriteLock_6_0 settled(getStateLock(), ZReadWriteLock_6_0::READ);
  return getCacheState() != closed;
}

void daCachedStore::decide(char const* path, sec_id_pa_t* caller, char const* actions, GxAddress const* address,
                           daDecision& decision, unsigned long& status) {
  decide(path, caller, actions, address, daDecisionContext{}, decision, status);
}

void daCachedStore::decide(char const* path, sec_id_pa_t* caller, char const* actions, GxAddress const* address,
                           daDecisionContext const& ctx, daDecision& decision, unsigned long& status) {
  status = 0;
  DBTrace trace("daCachedStore::decide", status, __FILE__, __LINE__);
  decideOnPolicy(path, caller, actions, address, ctx, decision, status);
  if (daAuditSink* sink = auditSink_.load(std::memory_order_acquire))
    audit(*sink, path, caller, actions, address, decision, status);
}

void daCachedStore::decideOnPolicy(char const* path, sec_id_pa_t* caller, char const* actions,
                                   GxAddress const* address, daDecisionContext const& ctx, daDecision& decision,
                                   unsigned long& status) {
  // Every failure leaves the record reset; success overwrites every field
  // (the owner only when it changes, sparing two atomic updates).
  struct ResetOnFailure {
    daDecision& d;
    unsigned long const& st;
    ~ResetOnFailure() {
      if (st != 0) d.reset();
    }
  } resetOnFailure{decision, status};
  // A question must ask for something: an empty (or absent) action string
  // would otherwise be granted everywhere, ACL or none.
  if (path == nullptr || actions == nullptr || actions[0] == '\0') {
    status = path == nullptr ? gx_s_bad_pobj_name : gx_s_bad_action;
    return;
  }
  // The thread's state comes first, so that the object's slot line is asked
  // for before anything else is done: on a large estate that line comes
  // from memory (the time of the whole decision on a small one) while the
  // rest is set up. The memo the thread last used is nearly always this
  // epoch's; when it is not (or the thread has none yet), the line of the
  // right memo is asked for once that memo is known, below. A decision made
  // while the thread ends, after its states went, keeps what it needs for
  // itself alone.
  std::unique_ptr<ThreadState> ending;
  ThreadState* found;
  try {
    ThreadStates* const states = threadStates();
    if (states == nullptr) ending = std::make_unique<ThreadState>();
    found = states != nullptr ? &states->forStore(*this) : ending.get();
  } catch (std::bad_alloc const&) {
    status = da_s_no_memory;
    return;
  }
  ThreadState& mine = *found;
  std::string_view const key(path);
  SharedMemo const* const asked = mine.memo.get();
  SharedMemo::Place place{};
  if (asked != nullptr) {
    place = asked->place(key);
    asked->prefetch(place.spread);
  }

  decision.granted_ = false;
  decision.entry_ = daDecisionEntry::none;
  decision.authLevel_ = 0;
  decision.time_ = ctx.timeSeconds;
  decision.callerLevel_ = ctx.authLevel == daDecisionContext::defaultAuthLevel ? (caller != nullptr ? 1 : 0)
                                                                               : std::max(ctx.authLevel, 0);
  decision.protection_ = ctx.protection;
  // A store being replaced or having its cache cleared still decides: from
  // the memo, or after the exclusive holder has gone (the state lock below).
  // A replacement closes and reopens the store while it holds that lock, so
  // a closed store is looked at again once the lock can be had.
  if (getCacheState() == closed && !openOnceSettled()) {
    status = da_s_store_unavailable;
    return;
  }

  // The epoch is read before the memo is consulted or filled: an answer
  // resolved while a commit lands goes to the older epoch's table, which no
  // decision uses once the epoch has moved.
  if (!mine.memo || mine.memo->epoch() != policyEpoch()) {
    // The sequence number goes with the epoch: read (under the store's
    // lock, which its writers hold) once per epoch a thread takes up, not
    // on every decision.
    unsigned long seqStatus = 0;
    getSeqNum(mine.sequence, seqStatus);
    status = joinSharedMemo(*this, *decisionPolicies_, mine, policyEpoch());
    if (status != 0) return;
  }
  decision.sequence_ = mine.sequence;
  if (mine.counterSlot == ~0u) mine.counterSlot = counterSlot();
  SharedMemo& memo = *mine.memo;
  std::uint64_t const epoch = memo.epoch();
  if (&memo != asked) {
    place = memo.place(key);
    memo.prefetch(place.spread);
  }
  std::string_view const held = key.substr(0, place.length);
  std::string_view const actionText(actions);
  if (!mine.actions.find(actionText, epoch, decision.requested_)) {
    status = requestedPermissions(*this, actions, decision.requested_);
    if (status != 0) return;
    mine.actions.remember(actionText, epoch, decision.requested_);
  }
  SharedMemo::Key const memoKey{place.spread, memo.check(held)};
  SlotSummary summary;
  if (memo.find(memoKey, decision.policy_, summary)) {
    countIn(mine.counterSlot, memoHit);
  } else {
    countIn(mine.counterSlot, memoMiss);
    // A path already in its normal form (as most are, and every one looked
    // up by an ancestor) is not copied.
    std::string_view name = held;
    ZUTF8String_6_0 fixed;
    if (held == key && !isNormalObjectName(key)) {
      fixed = path;
      status = daPObjName::validateAndFix(fixed);
      if (status != 0) return;
      name = fixed.view();
    }
    Resolved r;
    try {
      daCacheStateLock reading(*this, open);
      Resolver resolver(*this, *decisionPolicies_, memo);
      r = resolver.resolve(name, held == name ? &memoKey : nullptr);
      countIn(mine.counterSlot, mapRead, resolver.mapReads);
      countIn(mine.counterSlot, policyRead, resolver.policyReads);
      // Also under the text the caller gave, when normalising changed it.
      if (r.clean() && held != name) memo.insert(memoKey, r.record, r.summary);
    } catch (std::bad_alloc const&) {
      status = da_s_no_memory;
      return;
    }
    status = r.aclStatus != 0 ? r.aclStatus : (r.popStatus != 0 ? r.popStatus : r.ruleStatus);
    if (status != 0) return;
    decision.policy_ = r.record;
    summary = r.summary;
  }
  // A caller the ACL does not name is answered from the slot's summary
  // (with a POP in force, only without an address); any other reads the
  // record (asked for now, while the caller's principals are looked at).
  if (caller == nullptr || (summary.answer & SlotSummary::kSummarised) == 0 ||
      ((summary.answer & SlotSummary::kPop) != 0 && address != nullptr) ||
      principalFilter::mayName(summary.principals, *caller)) {
    summary.answer = 0;
    prefetchHot(decision.policy_);
  }
  if (decision.owner_.get() != &memo) decisionPolicies_->retire(std::exchange(decision.owner_, mine.memo));

  daPolicyInForce::Hot const* hot = nullptr;
  if (summary.answer & SlotSummary::kSummarised) {
    // As the evaluation gives it for a caller no user or group entry names.
    acl_permset_s_t* const out = &decision.permissions_.value();
    perm_set_minpermissions(out);
    if (summary.answer & SlotSummary::kAnyOther) {
      std::uint32_t word = static_cast<std::uint32_t>(summary.answer);
      acl_permset_s_t const anyOther{(summary.answer & SlotSummary::kOneWord) ? 1u : 0u, &word};
      gxacl::maskEntry(acl_e_any_other, anyOther, nullptr, out);
      decision.entry_ = static_cast<daDecisionEntry>(acl_applied_any_other);
    } else {
      decision.entry_ = static_cast<daDecisionEntry>(acl_applied_none);
    }
    bool const pop = (summary.answer & SlotSummary::kPop) != 0;
    decision.inForce_ = daDecision::kAclInForce | (pop ? daDecision::kPopInForce : 0);
    decision.authLevel_ = summary.level();  // 0 without a POP
    decision.qop_ = summary.qop();
    decision.popWarning_ = (summary.answer & SlotSummary::kPopWarning) != 0;
    decision.windowLimited_ = false;
  } else if (decision.policy_ != nullptr) {
    hot = &decision.policy_->hot;
    decision.inForce_ = static_cast<std::uint8_t>((hot->aclInForce ? daDecision::kAclInForce : 0) |
                                                  (hot->popInForce ? daDecision::kPopInForce : 0) |
                                                  (hot->ruleInForce ? daDecision::kRuleInForce : 0));
    decision.qop_ = hot->qop;
    decision.popWarning_ = hot->warning;
    decision.windowLimited_ = hot->windowLimited;
    if (hot->aclInForce) {
      acl_applied_entry_t const applied = evaluateAcl(*decision.policy_, caller, &decision.permissions_.value());
      decision.entry_ = static_cast<daDecisionEntry>(applied);
    } else {
      decision.permissions_.setMinPermissions();
    }
  } else {
    decision.inForce_ = 0;
    decision.qop_ = 0;
    decision.popWarning_ = decision.windowLimited_ = false;
    decision.permissions_.setMinPermissions();
  }
  decision.granted_ = decision.permissions_.isActionSet(decision.requested_);
  decision.store_ = this;
  decision.textReady_ = false;  // named on demand: most callers only look at granted()
  if (hot != nullptr && hot->popInForce)
    decision.authLevel_ = address != nullptr ? decision.policy_->pop->get_auth_level(*address) : hot->popLevel;
  decision.warning_ = false;
  decision.wouldCause_ = daDecisionCause::granted;
  decision.wouldReason_.clear();
  decision.reason_.clear();
  if (!decision.granted_) {
    bool const acl = decision.hasAcl();
    decision.cause_ = acl ? daDecisionCause::aclDenied : daDecisionCause::noAcl;
    decision.fixedReason_ = acl ? "the ACL does not grant every action asked for" : "no ACL in force";
    return;
  }
  decision.fixedReason_ = "";
  decision.cause_ = daDecisionCause::granted;
  try {
    decision.applyConditions(ctx, path, caller, actions, address);
  } catch (std::bad_alloc const&) {
    status = da_s_no_memory;  // a reason text could not grow: nothing is granted
  }
}

// ---- the conditions of the policy in force --------------------------------------

namespace {

std::int64_t clockSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Appends n in decimal to out (no allocation within its capacity).
void appendNumber(std::string& out, unsigned long n) {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, end);
}

char const* protectionText(unsigned long qop) {
  switch (qop) {
    case 0: return "none";
    case 1: return "integrity";
    case 2: return "privacy";
    default: return nullptr;
  }
}

}  // namespace

char const* daDecisionCauseText(daDecisionCause c) {
  switch (c) {
    case daDecisionCause::granted: return "granted";
    case daDecisionCause::noAcl: return "no-acl";
    case daDecisionCause::aclDenied: return "acl-denied";
    case daDecisionCause::outsideWindow: return "outside-window";
    case daDecisionCause::authLevel: return "auth-level";
    case daDecisionCause::protection: return "protection";
    case daDecisionCause::ruleDenied: return "rule-denied";
    case daDecisionCause::ruleMissingAttribute: return "rule-missing-attribute";
    case daDecisionCause::ruleError: return "rule-error";
    case daDecisionCause::ruleLimit: return "rule-limit";
    case daDecisionCause::ruleNotCompiled: return "rule-not-compiled";
  }
  return "unknown";
}

std::int64_t daDecision::timeSeconds() const {
  if (time_ == daDecisionContext::now) time_ = clockSeconds();
  return time_;
}

bool daDecision::fail(daDecisionCause c, bool hard) {
  if (hard || !hasPop() || !popWarning_) {
    granted_ = false;
    cause_ = c;
    warning_ = false;  // a denial after a waived condition: nothing was waived in the end
    wouldCause_ = daDecisionCause::granted;
    wouldReason_.clear();
    return true;
  }
  // Warning mode: the first condition that would deny is what the answer
  // would have been; the others are still checked for a hard failure.
  if (!warning_) {
    warning_ = true;
    wouldCause_ = c;
    wouldReason_.assign("would deny: ");
    wouldReason_.append(reason_);
  }
  reason_.clear();
  return false;
}

void daDecision::applyConditions(daDecisionContext const& ctx, char const* path, sec_id_pa_t const* caller,
                                 char const* actions, GxAddress const* address) {
  if (hasPop()) {
    if (windowLimited_) {
      daAccessWindow const& window = policy_->window;
      if (window.broken()) {
        reason_.assign(window.brokenReason());
        if (fail(daDecisionCause::outsideWindow, true)) return;
      } else if (!window.allows(timeSeconds())) {
        reason_.assign("outside the access window");
        if (fail(daDecisionCause::outsideWindow, false)) return;
      }
    }
    if (static_cast<unsigned long>(callerLevel_) < authLevel_) {
      reason_.assign("step-up to level ");
      appendNumber(reason_, authLevel_);
      reason_.append(" required");
      if (fail(daDecisionCause::authLevel, false)) return;
    }
    unsigned long const qop = qop_;
    if (static_cast<unsigned long>(protection_) < qop) {
      reason_.assign("connection protection ");
      if (char const* name = protectionText(qop)) reason_.append(name);
      else appendNumber(reason_.append("level "), qop);  // beyond privacy: no connection has it
      reason_.append(" required");
      if (fail(daDecisionCause::protection, qop > 2)) return;
    }
  }
  applyRule(ctx, path, caller, actions, address);
}

namespace {

// What a rule sees of the caller and the address, as text, kept per thread
// so that a warm evaluation allocates nothing.
struct RuleTexts {
  char user[37];
  std::vector<std::array<char, 37>> groupUuids;
  std::vector<std::string_view> groups;
  ip_addr_s_t address;
  std::string detail;
};
thread_local RuleTexts tlsRuleTexts;

}  // namespace

void daDecision::applyRule(daDecisionContext const& ctx, char const* path, sec_id_pa_t const* caller,
                           char const* actions, GxAddress const* address) {
  if (!hasRule()) return;
  daRuleProgram const* program = policy_->rule.get();
  if (program == nullptr) {  // cannot happen for a resolved rule; denies all the same
    reason_.assign("rule ").append(policy_->ruleName).append(" cannot be evaluated");
    fail(daDecisionCause::ruleNotCompiled, true);
    return;
  }
  RuleTexts& t = tlsRuleTexts;
  daRuleInput in;
  if (caller != nullptr) {
    in.authenticated = true;
    unsigned long st = 0;
    hx_uuid_to_string(caller->principal.uuid, t.user, st);
    if (st == 0) in.userUuid = std::string_view(t.user, 36);
    if (caller->principal.name != nullptr) in.userName = caller->principal.name;
    // Groups by name where the caller's credentials carry one, else by uuid.
    if (t.groupUuids.size() < caller->num_groups) t.groupUuids.resize(caller->num_groups);
    t.groups.clear();
    for (std::uint16_t i = 0; i < caller->num_groups; ++i) {
      sec_id_t const& g = caller->groups[i];
      if (g.name != nullptr) {
        t.groups.emplace_back(g.name);
        continue;
      }
      char* text = t.groupUuids[i].data();
      hx_uuid_to_string(g.uuid, *reinterpret_cast<char(*)[37]>(text), st);
      if (st == 0) t.groups.emplace_back(text, 36);
    }
    in.groups = &t.groups;
  }
  if (address != nullptr && address->addressIsValid()) {
    address->to_ip_addr_t(t.address);
    in.address = t.address.text;
  }
  in.timeSeconds = timeSeconds();
  in.object = path;
  in.actions = actions;
  in.authLevel = callerLevel_;
  in.protection = protection_;
  in.attributes = ctx.attributes;
  daRuleVerdict const v = daEvaluateRule(*program, in, t.detail);
  switch (v) {
    case daRuleVerdict::permit: return;
    case daRuleVerdict::deny:
      if (!program->reason().empty()) reason_.assign(program->reason());
      else reason_.assign("denied by rule ").append(program->name());
      fail(daDecisionCause::ruleDenied, false);
      return;
    case daRuleVerdict::missingAttribute:
      reason_.assign("rule needs attribute ").append(t.detail);
      fail(daDecisionCause::ruleMissingAttribute, false);
      return;
    case daRuleVerdict::error:
      reason_.assign("rule ").append(program->name()).append(": ").append(t.detail);
      fail(daDecisionCause::ruleError, true);
      return;
    case daRuleVerdict::limit:
      reason_.assign("rule ").append(program->name()).append(": ").append(t.detail);
      fail(daDecisionCause::ruleLimit, true);
      return;
    case daRuleVerdict::notCompiled:
      reason_.assign("rule ").append(program->name()).append(" does not compile: ").append(t.detail);
      fail(daDecisionCause::ruleNotCompiled, true);
      return;
  }
}

// ---- the audit trail -------------------------------------------------------------

void daCachedStore::setAuditSink(std::shared_ptr<daAuditSink> sink) {
  std::lock_guard<std::mutex> g(auditSinksMutex_);
  daAuditSink* raw = sink.get();
  if (sink) auditSinks_.push_back(std::move(sink));  // kept: a decision may still be using it
  auditSink_.store(raw, std::memory_order_release);
}

void daCachedStore::setDefaultAuditLevel(std::uint32_t level) {
  defaultAuditLevel_.store(level, std::memory_order_relaxed);
}

namespace {

// Whether level selects a decision that ended with status and decision.
bool selects(std::uint32_t level, unsigned long status, daDecision const& d) {
  if (status != 0) return (level & daAuditError) != 0;
  if (!d.granted()) return (level & daAuditDeny) != 0;
  return (level & daAuditPermit) != 0 || (d.warning() && (level & daAuditWarning) != 0);
}

// The texts an audit record points to, kept per thread so that a busy
// auditing thread reuses them.
struct AuditTexts {
  char user[37];
  std::vector<std::array<char, 37>> groupText;
  std::vector<std::string_view> groups;
  ip_addr_s_t address;
};
thread_local AuditTexts tlsAuditTexts;

std::string_view uuidText(hx_uuid_t const& u, char (&out)[37]) {
  unsigned long st = 0;
  hx_uuid_to_string(u, out, st);
  return st == 0 ? std::string_view(out, 36) : std::string_view();
}

}  // namespace

void daCachedStore::audit(daAuditSink& sink, char const* path, sec_id_pa_t const* caller, char const* actions,
                          GxAddress const* address, daDecision const& decision, unsigned long status) noexcept {
  std::uint32_t const level = status == 0 && decision.hasPop()
                                  ? static_cast<std::uint32_t>(decision.pop()->auditLevel())
                                  : defaultAuditLevel_.load(std::memory_order_relaxed);
  if (!selects(level, status, decision)) return;
  try {
    AuditTexts& t = tlsAuditTexts;
    daAuditRecord r;
    r.timeSeconds = decision.timeSeconds();
    if (caller != nullptr) {
      r.userUuid = uuidText(caller->principal.uuid, t.user);
      if (caller->principal.name != nullptr) r.userName = caller->principal.name;
      t.groupText.resize(caller->num_groups);
      t.groups.clear();
      for (std::uint16_t i = 0; i < caller->num_groups; ++i)
        t.groups.push_back(uuidText(caller->groups[i].uuid, *reinterpret_cast<char(*)[37]>(t.groupText[i].data())));
      r.groups = &t.groups;
    }
    if (address != nullptr && address->addressIsValid()) {
      address->to_ip_addr_t(t.address);
      r.address = t.address.text;
    }
    r.object = path != nullptr ? path : "";
    r.actions = actions != nullptr ? actions : "";
    r.authLevel = decision.callerAuthLevel();
    r.protection = decision.protection();
    r.status = status;
    r.decision = status == 0 ? &decision : nullptr;
    unsigned long sequence = 0, st = 0;
    getSeqNum(sequence, st);
    r.sequence = st == 0 ? static_cast<std::uint32_t>(sequence) : 0;
    sink.record(r);
  } catch (std::bad_alloc const&) {
    auditLost_.fetch_add(1, std::memory_order_relaxed);  // the decision stands; the loss is counted
  }
}
