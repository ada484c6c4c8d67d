#include "GxCore/remote/daDelta.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>

#include "GxCore/db/daCacheStateLock.h"
#include "GxCore/db/daLocalPolicy.h"
#include "GxCore/db/daLocalStore.h"
#include "GxCore/db/dbtrace.h"
#include "GxCore/remote/daHttpReplicatedClient.h"
#include "GxCore/remote/daSnapshot.h"
#include "GxCore/dastatus.h"
#include "outside/ZObject.h"

namespace {

constexpr char kMagic[] = "GXDELTA1";
constexpr size_t kMagicLength = sizeof kMagic - 1;
constexpr uint8_t kPut = 1, kRemove = 2;
// The largest delta a replica holds in memory (compressed or decoded).
constexpr uint64_t kMaxDeltaBytes = uint64_t{1} << 30;

// SHA-256 of one record's term, with a digest context kept per thread (a
// whole-database digest hashes every record: no allocation per record).
class TermHasher {
 public:
  TermHasher() : ctx_(EVP_MD_CTX_new()), md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)) {}
  ~TermHasher() {
    EVP_MD_CTX_free(ctx_);
    EVP_MD_free(md_);
  }
  TermHasher(TermHasher const&) = delete;
  TermHasher& operator=(TermHasher const&) = delete;
  // False when the digest failed (OpenSSL unusable): the caller's digest
  // then cannot match any published one.
  bool term(std::string_view key, std::string_view stored, std::array<uint8_t, 32>& out) {
    uint8_t length[8];
    uint64_t n = key.size();
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(n >> (8 * i));
    unsigned int got = 0;
    return ctx_ && md_ && EVP_DigestInit_ex2(ctx_, md_, nullptr) == 1 && EVP_DigestUpdate(ctx_, length, 8) == 1 &&
           EVP_DigestUpdate(ctx_, key.data(), key.size()) == 1 &&
           EVP_DigestUpdate(ctx_, stored.data(), stored.size()) == 1 &&
           EVP_DigestFinal_ex(ctx_, out.data(), &got) == 1 && got == 32;
  }

 private:
  EVP_MD_CTX* ctx_;
  EVP_MD* md_;
};

std::array<uint8_t, 32> termOf(std::string_view key, std::string_view stored) {
  thread_local TermHasher hasher;
  std::array<uint8_t, 32> t{};
  if (!hasher.term(key, stored, t)) t.fill(0xFF);
  return t;
}

void put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Reads little-endian integers and byte runs off the front of a text;
// ok() turns false at the first read past its end.
class Reader {
 public:
  explicit Reader(std::string_view text) : rest_(text) {}
  uint64_t number(int bytes) {
    if (!take(static_cast<size_t>(bytes))) return 0;
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(last_[static_cast<size_t>(i)]);
    return v;
  }
  std::string_view bytes(size_t n) { return take(n) ? last_ : std::string_view(); }
  bool ok() const { return ok_; }
  bool done() const { return ok_ && rest_.empty(); }

 private:
  bool take(size_t n) {
    if (!ok_ || rest_.size() < n) {
      ok_ = false;
      return false;
    }
    last_ = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return true;
  }
  std::string_view rest_, last_;
  bool ok_ = true;
};

// The sequence number a stored bookkeeping record holds (its value word).
bool sequenceOf(std::string_view stored, unsigned long& seq) {
  uint32_t value = 0, type = 0;
  std::string_view bytes;
  if (!hx_db_parse_stored(stored, value, type, bytes)) return false;
  seq = value;
  return true;
}

std::string digestRecordValue(unsigned long sequence, daContentDigest const& digest) {
  auto const& b = digest.bytes();
  gxobj_t rec{nullptr, static_cast<uint32_t>(sequence), 0, static_cast<uint32_t>(b.size()),
              const_cast<unsigned char*>(b.data())};
  return hx_db_stored_value(rec);
}

}  // namespace

bool daIsReplicatedKey(std::string_view key) {
  return key != daDigestKey && key.substr(0, sizeof daChangeLogPrefix - 1) != daChangeLogPrefix;
}

// ---- content digest ------------------------------------------------------------------

void daContentDigest::add(std::string_view key, std::string_view stored) {
  std::array<uint8_t, 32> t = termOf(key, stored);
  unsigned carry = 0;
  for (int i = 31; i >= 0; --i) {
    unsigned s = unsigned{sum_[i]} + t[i] + carry;
    sum_[i] = static_cast<uint8_t>(s);
    carry = s >> 8;
  }
}

void daContentDigest::remove(std::string_view key, std::string_view stored) {
  std::array<uint8_t, 32> t = termOf(key, stored);
  int borrow = 0;
  for (int i = 31; i >= 0; --i) {
    int d = int{sum_[i]} - t[i] - borrow;
    borrow = d < 0 ? 1 : 0;
    sum_[i] = static_cast<uint8_t>(d + (borrow << 8));
  }
}

std::string daContentDigest::hex() const {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : sum_) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool daContentDigest::fromHex(std::string_view text, daContentDigest& d) {
  if (text.size() != 64) return false;
  auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  daContentDigest parsed;
  for (size_t i = 0; i < 32; ++i) {
    int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    parsed.sum_[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  d = parsed;
  return true;
}

daContentDigest daContentDigest::fromBytes(std::string_view raw) {
  daContentDigest d;
  if (!raw.empty()) std::memcpy(d.sum_.data(), raw.data(), std::min(raw.size(), d.sum_.size()));  // no null source
  return d;
}

void daDigestOfDatabase(hx_db_handle* h, daContentDigest& digest, unsigned long& status) {
  daContentDigest sum;
  hx_db_scan_records(
      h, nullptr,
      [](void* context, std::string_view key, std::string_view value) {
        if (daIsReplicatedKey(key)) static_cast<daContentDigest*>(context)->add(key, value);
        return true;
      },
      &sum, status);
  if (status == 0) digest = sum;
}

bool daReadDigestRecord(hx_db_handle* h, unsigned long& sequence, daContentDigest& digest) {
  unsigned long status = 0;
  hx_db_record record(h, daDigestKey, status);
  if (status != 0 || !record.get() || record.get()->length != 32) return false;
  sequence = record.get()->value;
  digest = daContentDigest::fromBytes(
      std::string_view(reinterpret_cast<char const*>(record.get()->data), record.get()->length));
  return true;
}

void daWriteDigestRecord(hx_db_handle* h, unsigned long sequence, daContentDigest const& digest,
                         unsigned long& status) {
  std::string value = digestRecordValue(sequence, digest);
  hx_db_raw_write(h, [&](hx_db_raw_txn& txn) { return txn.put(daDigestKey, value); }, status);
}

// ---- encoding ------------------------------------------------------------------------

std::string daDeltaEncode(daDelta const& d) {
  std::string out(kMagic, kMagicLength);
  put32(out, static_cast<uint32_t>(d.from));
  put32(out, static_cast<uint32_t>(d.to));
  out.append(reinterpret_cast<char const*>(d.fromDigest.bytes().data()), 32);
  out.append(reinterpret_cast<char const*>(d.toDigest.bytes().data()), 32);
  put64(out, d.changes.size());
  for (auto const& c : d.changes) {
    out += static_cast<char>(c.remove ? kRemove : kPut);
    put32(out, static_cast<uint32_t>(c.key.size()));
    out += c.key;
    if (c.remove) continue;
    put32(out, static_cast<uint32_t>(c.value.size()));
    out += c.value;
  }
  return out;
}

bool daDeltaDecode(std::string_view text, daDelta& d) {
  Reader in(text);
  if (in.bytes(kMagicLength) != std::string_view(kMagic, kMagicLength)) return false;
  daDelta parsed;
  parsed.from = static_cast<unsigned long>(in.number(4));
  parsed.to = static_cast<unsigned long>(in.number(4));
  parsed.fromDigest = daContentDigest::fromBytes(in.bytes(32));
  parsed.toDigest = daContentDigest::fromBytes(in.bytes(32));
  uint64_t count = in.number(8);
  // Every change takes at least 6 bytes: a count beyond that is a lie.
  if (!in.ok() || count > text.size() / 6) return false;
  parsed.changes.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    daDeltaChange c;
    auto kind = static_cast<uint8_t>(in.number(1));
    c.key = std::string(in.bytes(static_cast<size_t>(in.number(4))));
    if (!in.ok() || c.key.empty() || (kind != kPut && kind != kRemove)) return false;
    c.remove = kind == kRemove;
    if (!c.remove) {
      c.value = std::string(in.bytes(static_cast<size_t>(in.number(4))));
      uint32_t value, type;
      std::string_view bytes;
      if (!in.ok() || !hx_db_parse_stored(c.value, value, type, bytes)) return false;
    }
    parsed.changes.push_back(std::move(c));
  }
  if (!in.done()) return false;
  d = std::move(parsed);
  return true;
}

// ---- diff ------------------------------------------------------------------------------

namespace {

// Walks the records of the older file in key order, a chunk at a time
// (each chunk one scan), while the newer file is scanned: the two files
// are merged like two sorted lists.
class ChunkedRecords {
 public:
  explicit ChunkedRecords(hx_db_handle* h) : h_(h) {}
  // The front record, or null at the end (status says when a scan failed).
  std::pair<std::string, std::string> const* front(unsigned long& status) {
    if (chunk_.empty() && !ended_) refill(status);
    return chunk_.empty() ? nullptr : &chunk_.front();
  }
  void pop() { chunk_.pop_front(); }

 private:
  static constexpr size_t kChunk = 4096;
  void refill(unsigned long& status) {
    struct Fill {
      ChunkedRecords* self;
      size_t n = 0;
    } fill{this};
    hx_db_scan_records(
        h_, last_.empty() ? nullptr : last_.c_str(),
        [](void* context, std::string_view key, std::string_view value) {
          auto* f = static_cast<Fill*>(context);
          f->self->last_.assign(key);
          if (daIsReplicatedKey(key)) f->self->chunk_.emplace_back(std::string(key), std::string(value));
          return ++f->n < kChunk;
        },
        &fill, status);
    if (status != 0 || fill.n < kChunk) ended_ = true;
  }
  hx_db_handle* h_;
  std::deque<std::pair<std::string, std::string>> chunk_;
  std::string last_;
  bool ended_ = false;
};

struct DiffState {
  ChunkedRecords older;
  daDelta& d;
  uint64_t maxBytes;
  bool digests;
  uint64_t bytes = 0;
  unsigned long status = 0;
  bool tooLarge = false;

  void emit(bool remove, std::string_view key, std::string_view value) {
    bytes += 9 + key.size() + (remove ? 0 : value.size());
    if (bytes > maxBytes) {
      tooLarge = true;
      return;
    }
    d.changes.push_back(daDeltaChange{remove, std::string(key), remove ? std::string() : std::string(value)});
  }
  // The older records before key are gone; true when a record under key
  // itself follows (then front() holds it).
  bool removeOlderBefore(std::string_view key, bool toEnd) {
    for (;;) {
      auto const* f = older.front(status);
      if (!f || status != 0) return false;
      if (!toEnd && f->first >= key) return f->first == key;
      if (digests) d.fromDigest.add(f->first, f->second);
      if (f->first == daLocalStore::dbObjectName) sequenceOf(f->second, d.from);
      emit(true, f->first, {});
      older.pop();
      if (tooLarge) return false;
    }
  }
};

}  // namespace

void daDiffDatabases(hx_db_handle* from, hx_db_handle* to, uint64_t maxBytes, bool digests, daDelta& d,
                     unsigned long& status) {
  status = 0;
  d = daDelta{};
  DiffState state{ChunkedRecords(from), d, maxBytes, digests};
  hx_db_scan_records(
      to, nullptr,
      [](void* context, std::string_view key, std::string_view value) {
        auto& s = *static_cast<DiffState*>(context);
        if (!daIsReplicatedKey(key)) return true;
        if (s.digests) s.d.toDigest.add(key, value);
        if (key == daLocalStore::dbObjectName) sequenceOf(value, s.d.to);
        if (s.removeOlderBefore(key, false)) {
          auto const* f = s.older.front(s.status);
          if (s.digests) s.d.fromDigest.add(f->first, f->second);
          if (key == daLocalStore::dbObjectName) sequenceOf(f->second, s.d.from);
          if (f->second != value) s.emit(false, key, value);
          s.older.pop();
        } else if (s.status == 0 && !s.tooLarge) {
          s.emit(false, key, value);
        }
        return s.status == 0 && !s.tooLarge;
      },
      &state, status);
  if (status == 0 && state.status == 0 && !state.tooLarge) state.removeOlderBefore({}, true);
  if (status == 0) status = state.status;
  if (status == 0 && state.tooLarge) status = da_s_snapshot_too_large;
}

// ---- applying --------------------------------------------------------------------------

void daApplyDeltas(hx_db_handle* h, std::vector<daDelta> const& chain, unsigned long& status) {
  if (!h || chain.empty()) {
    status = hx_db_s_bad_argument;
    return;
  }
  for (size_t i = 1; i < chain.size(); ++i)
    if (chain[i].from != chain[i - 1].to || chain[i].fromDigest != chain[i - 1].toDigest) {
      status = da_s_snapshot_mismatch;
      return;
    }
  unsigned long last = chain.back().to;
  hx_db_raw_write(
      h,
      [&](hx_db_raw_txn& txn) -> unsigned long {
        unsigned long st = 0;
        std::string_view stored;
        unsigned long recordedSeq = 0;
        if (!txn.get(daDigestKey, stored, st)) return st != 0 ? st : da_s_delta_unusable;
        uint32_t word = 0, type = 0;
        std::string_view bytes;
        if (!hx_db_parse_stored(stored, word, type, bytes) || bytes.size() != 32) return da_s_delta_unusable;
        recordedSeq = word;
        daContentDigest digest = daContentDigest::fromBytes(bytes);
        if (recordedSeq != chain.front().from || digest != chain.front().fromDigest) return da_s_delta_unusable;
        for (daDelta const& d : chain) {
          for (daDeltaChange const& c : d.changes) {
            if (!daIsReplicatedKey(c.key)) return da_s_snapshot_mismatch;
            std::string_view old;
            bool had = txn.get(c.key, old, st);
            if (st != 0) return st;
            if (had) digest.remove(c.key, old);
            if (c.remove) {
              if (!had) return da_s_snapshot_mismatch;
              st = txn.remove(c.key);
            } else {
              digest.add(c.key, c.value);
              st = txn.put(c.key, c.value);
            }
            if (st != 0) return st;
          }
          if (digest != d.toDigest) return da_s_snapshot_mismatch;
        }
        unsigned long seq = daLocalStore::invalidSeqnum;
        if (!txn.get(daLocalStore::dbObjectName, stored, st) || !sequenceOf(stored, seq) || seq != last)
          return st != 0 ? st : da_s_snapshot_mismatch;
        return txn.put(daDigestKey, digestRecordValue(last, digest));
      },
      status);
}

// ---- catching up -------------------------------------------------------------------------

namespace {

// The manifest's links from the replica's number and digest to the
// manifest's own, in order; empty with problem set when there is no such
// chain.
std::vector<daSnapshotDelta> findChain(daSnapshotManifest const& m, unsigned long from, std::string const& digest,
                                       std::string& problem) {
  std::vector<daSnapshotDelta> chain;
  unsigned long at = from;
  std::string atDigest = digest;
  while (at != m.sequence) {
    auto link = std::find_if(m.deltas.begin(), m.deltas.end(), [&](auto const& d) { return d.from == at; });
    if (link == m.deltas.end() || chain.size() >= m.deltas.size()) {
      problem = "the manifest lists no delta from sequence " + std::to_string(at);
      return {};
    }
    if (link->fromDigest != atDigest || daAbstractReplicatedClient::isOlderSequence(link->to, link->from)) {
      problem = "the delta " + link->file + " does not start from the replica's contents";
      return {};
    }
    chain.push_back(*link);
    at = link->to;
    atDigest = link->digest;
  }
  if (atDigest != m.digest) {
    problem = "the deltas do not end at the snapshot's digest";
    return {};
  }
  return chain;
}

// Downloads and decodes one link, checked against its manifest entry.
unsigned long fetchLink(daHttpReplicatedClient& client, daSnapshotDelta const& link, daDelta& d, uint64_t& bytes,
                        std::string& problem) {
  std::string packed, raw;
  unsigned long status = 0;
  client.fetchPublished(link.file, link.size, link.sha256, packed, status);
  bytes += packed.size();
  if (status != 0) {
    problem = client.lastError();
    return status;
  }
  daZstdDecompress(packed, link.rawSize, raw, status);
  if (status != 0 || raw.size() != link.rawSize) {
    problem = "the delta " + link.file + " does not decompress to its manifest's size";
    return status == da_s_snapshot_too_large || status == 0 ? da_s_snapshot_mismatch : status;
  }
  if (!daDeltaDecode(raw, d) || d.from != link.from || d.to != link.to || d.fromDigest.hex() != link.fromDigest ||
      d.toDigest.hex() != link.digest) {
    problem = "the delta " + link.file + " is not the one its manifest entry describes";
    return da_s_snapshot_mismatch;
  }
  return 0;
}

// Closes the replica's store, applies chain to its file through a
// writable handle of its own, and opens the store again as it was (with a
// fresh quick map). The caller holds the replica's state lock exclusively.
unsigned long applyClosed(daLocalPolicy& replica, std::vector<daDelta> const& chain) {
  unsigned long status = 0, closeStatus = 0;
  int readOnly = replica.isReadOnly();
  replica.closeStore(closeStatus);
  {
    unsigned long openStatus = 0;
    hx_db_handle* h = hx_db_lock_open(replica.getPath(), hx_db_mode_open, 2,
                                      createLock(replica.getDomainName().getChars()), openStatus);
    if (!h) status = openStatus;
    else daApplyDeltas(h, chain, status);
    if (h) hx_db_close(h, closeStatus);
  }
  unsigned long reopenStatus = 0;
  replica.openStore(readOnly, reopenStatus);
  replica.quickMap().invalidateQuickMapWithoutLock();
  if (reopenStatus == 0 && readOnly) {
    try {
      reopenStatus = replica.quickMap().populateQuickMapWithoutLock(replica);
    } catch (ZInvalidParameterException_6_0 const&) {
      reopenStatus = gx_s_no_action_group;
    }
  }
  return status != 0 ? status : reopenStatus;
}

}  // namespace

void daFetchChain(daHttpReplicatedClient& client, daSnapshotManifest const& m, unsigned long from,
                  std::string const& fromDigest, bool smallerThanSnapshot, std::vector<daDelta>& chain,
                  daCatchUpReport& report, unsigned long& status) {
  status = 0;
  std::vector<daSnapshotDelta> links = findChain(m, from, fromDigest, report.problem);
  // Deltas are held in memory: each within the client's cap and a bound of
  // its own (and, when asked, all of them smaller than the snapshot they
  // stand for).
  uint64_t const cap = std::min<uint64_t>(client.options().maxSnapshotBytes, kMaxDeltaBytes);
  uint64_t total = 0;
  bool tooLarge = false;
  for (auto const& l : links) {
    total += l.size;
    tooLarge = tooLarge || l.size > cap || l.rawSize > cap;
  }
  if (links.empty() || (smallerThanSnapshot && total >= m.size) || tooLarge) {
    if (!links.empty()) report.problem = "the deltas are larger than the snapshot or the client's cap";
    status = da_s_delta_unusable;
    return;
  }
  chain.assign(links.size(), daDelta{});
  for (size_t i = 0; i < links.size(); ++i) {
    status = fetchLink(client, links[i], chain[i], report.bytesFetched, report.problem);
    if (status != 0) return;
  }
}

void daCatchUpByDeltas(daHttpReplicatedClient& client, daLocalPolicy& replica, daCatchUpReport& report,
                       unsigned long& status) {
  status = 0;
  DBTrace trace("daCatchUpByDeltas", status, __FILE__, __LINE__);
  report = daCatchUpReport{};
  unsigned long local = daLocalStore::invalidSeqnum;
  replica.getLocalSeqNum(local);
  report.from = report.to = local;
  if (!client.haveManifest() || !replica.isStoreOpen() || !replica.getPath()) {
    status = da_s_delta_unusable;
    return;
  }
  daSnapshotManifest const m = client.lastManifest();
  if (m.sequence == local) {
    status = daAbstractReplicatedClient::s_replica_current;
    return;
  }
  unsigned long recorded = daLocalStore::invalidSeqnum;
  daContentDigest have;
  if (m.deltas.empty() || m.digest.empty() || !daReadDigestRecord(replica.getDBHandle(), recorded, have) ||
      recorded != local) {
    report.problem = "no delta applies to the replica";
    status = da_s_delta_unusable;
    return;
  }
  std::vector<daDelta> chain;
  daFetchChain(client, m, local, have.hex(), true, chain, report, status);
  if (status != 0) return;
  {
    daCacheStateLock exclusive(replica, daCacheStates::replacing);
    status = applyClosed(replica, chain);
  }
  replica.getLocalSeqNum(report.to);
  if (status != 0) {
    if (report.problem.empty()) report.problem = "the deltas do not apply to the replica";
    return;
  }
  report.links = static_cast<unsigned>(chain.size());
  // The whole-file digest recorded at the last rebuild no longer describes
  // the file; its content digest record does.
  ::unlink((std::string(replica.getPath()) + daLocalPolicy::digestSuffix).c_str());
  unsigned long registryStatus = 0;
  client.afterReplication(replica.getPath(), registryStatus);
}
