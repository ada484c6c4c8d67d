// Reads the engine's on-disk format directly (64-bit page numbers, little
// endian, as this library writes it) with pread, so that no damaged byte is
// ever dereferenced through a map. Every offset and size read from the file
// is checked against the page before it is used.
#include "outside/hxdb_verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "outside/hxdb.h"
#include "outside/hxfd.h"

namespace {

using hx_internal::FileDescriptor;

// Page layout.
constexpr unsigned kPageHeader = 16;  // page number, pad, flags, lower/upper (or overflow page count)
constexpr unsigned kNodeHeader = 8;   // data size or child page (lo, hi, flags), key size
constexpr uint16_t kBranch = 0x01, kLeaf = 0x02, kOverflow = 0x04, kMeta = 0x08;
constexpr uint16_t kIgnoredPageFlags = 0x10 | 0x8000;  // dirty, keep: in-memory marks
constexpr uint16_t kBigData = 0x01;                    // leaf node: data on overflow pages
constexpr uint32_t kMagic = 0xBEEFC0DE;
constexpr uint32_t kFormatVersion = 1;
constexpr uint64_t kNoPage = ~uint64_t{0};
constexpr unsigned kMaxKeySize = 511;
constexpr unsigned kMaxDepth = 31;  // the engine's cursors hold 32 levels
constexpr unsigned kMetaBytes = kPageHeader + 136;
constexpr int kAttempts = 4;        // reads of a file that writers keep changing

// Meta page fields (offsets in the page).
constexpr unsigned kMetaMagic = 16, kMetaVersion = 20, kMetaDbs = 40, kMetaLastPage = 136, kMetaTxnid = 144;
constexpr unsigned kDbSize = 48;

template <typename T>
T load(char const* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

struct TreeInfo {
  uint16_t flags = 0, depth = 0;
  uint64_t branchPages = 0, leafPages = 0, overflowPages = 0, entries = 0, root = kNoPage;
};

TreeInfo readTree(char const* meta, int which) {
  char const* d = meta + kMetaDbs + which * kDbSize;
  TreeInfo t;
  t.flags = load<uint16_t>(d + 4);
  t.depth = load<uint16_t>(d + 6);
  t.branchPages = load<uint64_t>(d + 8);
  t.leafPages = load<uint64_t>(d + 16);
  t.overflowPages = load<uint64_t>(d + 24);
  t.entries = load<uint64_t>(d + 32);
  t.root = load<uint64_t>(d + 40);
  return t;
}

struct Meta {
  uint32_t pageSize = 0;
  uint64_t lastPage = 0, txnid = 0;
  TreeInfo free, main;
};

// Thrown inside one verification pass; never leaves this file.
struct Damage {
  uint64_t page;
  std::string problem;
};

[[noreturn]] void damaged(uint64_t page, std::string problem) { throw Damage{page, std::move(problem)}; }

class Verifier {
 public:
  explicit Verifier(int fd) : fd_(fd) {}

  // Reads and checks both meta pages; returns the one the engine uses.
  Meta readMeta() {
    struct stat st;
    if (::fstat(fd_, &st) != 0) damaged(0, std::string("cannot stat the file: ") + std::strerror(errno));
    fileSize_ = static_cast<uint64_t>(st.st_size);
    char first[kMetaBytes], second[kMetaBytes];
    readExact(first, sizeof first, 0, 0, "the first meta page");
    uint32_t pageSize = load<uint32_t>(first + kMetaDbs);  // kept in the free tree's pad word
    checkMeta(first, 0);
    if (pageSize < 512 || pageSize > 32768 || (pageSize & (pageSize - 1)) != 0)
      damaged(0, "the page size " + std::to_string(pageSize) + " is not a power of two from 512 to 32768");
    readExact(second, sizeof second, pageSize, 1, "the second meta page");
    checkMeta(second, 1);
    if (load<uint32_t>(second + kMetaDbs) != pageSize) damaged(1, "the meta pages disagree on the page size");
    // Ties go to the first meta page, as the engine picks.
    char const* chosen = load<uint64_t>(first + kMetaTxnid) < load<uint64_t>(second + kMetaTxnid) ? second : first;
    Meta m;
    m.pageSize = pageSize;
    m.lastPage = load<uint64_t>(chosen + kMetaLastPage);
    m.txnid = load<uint64_t>(chosen + kMetaTxnid);
    m.free = readTree(chosen, 0);
    m.main = readTree(chosen, 1);
    uint64_t metaPage = chosen == first ? 0 : 1;
    // Readers do not compare the two pages again: they take the page the
    // newest transaction number's parity names (even: the first, odd: the
    // second). A newest page on the wrong side would send them to the other,
    // unchecked page, so the file is refused.
    if ((m.txnid & 1) != metaPage)
      damaged(metaPage, "meta page " + std::to_string(metaPage) + " holds transaction " + std::to_string(m.txnid) +
                            ", which the engine reads from the other meta page");
    // The opener refuses a file shorter than its last page too; checking it
    // here also bounds what the walk allocates per page.
    if (m.lastPage < 1 || m.lastPage >= fileSize_ / pageSize)
      damaged(metaPage, "the last page number " + std::to_string(m.lastPage) + " lies beyond the file's " +
                            std::to_string(fileSize_ / pageSize) + " pages");
    if (m.main.flags != 0) damaged(metaPage, "the record tree has flags this library never sets");
    return m;
  }

  void verify(hx_db_verify_report& report) {
    meta_ = readMeta();
    report.txnid = meta_.txnid;
    used_.assign(meta_.lastPage + 1, false);
    used_[0] = used_[1] = true;
    buffers_.assign(kMaxDepth + 1, std::vector<char>(meta_.pageSize));
    walkTree(meta_.free, /*freeTree=*/true);
    walkTree(meta_.main, /*freeTree=*/false);
    for (uint64_t p : freePages_) {
      if (used_[p]) damaged(p, "page " + std::to_string(p) + " is listed as free but a tree uses it");
    }
    report.pages = treePages_ + freePages_.size() + 2;
    report.entries = meta_.main.entries;
  }

 private:
  void readExact(char* buf, size_t n, uint64_t offset, uint64_t page, char const* what) {
    size_t done = 0;
    while (done < n) {
      ssize_t r = ::pread(fd_, buf + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) damaged(page, std::string("cannot read ") + what + ": " + std::strerror(errno));
      if (r == 0) damaged(page, std::string(what) + " lies past the end of the file");
      done += static_cast<size_t>(r);
    }
  }

  static void checkMeta(char const* p, uint64_t page) {
    if (!(load<uint16_t>(p + 10) & kMeta)) damaged(page, "page " + std::to_string(page) + " is not a meta page");
    if (load<uint32_t>(p + kMetaMagic) != kMagic) damaged(page, "the meta page has a wrong magic number");
    if (load<uint32_t>(p + kMetaVersion) != kFormatVersion)
      damaged(page, "the meta page has an unknown format version " + std::to_string(load<uint32_t>(p + kMetaVersion)));
  }

  // Reads page pgno into buf after checking its number, its place in the
  // file and that no tree has used it yet.
  void readPage(uint64_t pgno, std::vector<char>& buf, uint64_t from) {
    if (pgno < 2 || pgno > meta_.lastPage)
      damaged(from, "page " + std::to_string(from) + " refers to page " + std::to_string(pgno) +
                        ", outside the file's pages 2.." + std::to_string(meta_.lastPage));
    if (used_[pgno]) damaged(from, "page " + std::to_string(pgno) + " is used twice (a cycle or a shared page)");
    used_[pgno] = true;
    ++treePages_;
    uint64_t offset = pgno * meta_.pageSize;
    if (offset + meta_.pageSize > fileSize_) damaged(pgno, "page " + std::to_string(pgno) + " lies past the end of the file");
    readExact(buf.data(), meta_.pageSize, offset, pgno, "a page");
    if (load<uint64_t>(buf.data()) != pgno)
      damaged(pgno, "page " + std::to_string(pgno) + " carries the number " + std::to_string(load<uint64_t>(buf.data())));
  }

  void walkTree(TreeInfo const& tree, bool freeTree) {
    freeTree_ = freeTree;
    counted_ = TreeInfo{};
    havePrevious_ = false;
    char const* name = freeTree ? "free-space tree" : "record tree";
    if (tree.root == kNoPage) {
      if (tree.depth != 0 || tree.entries != 0) damaged(0, std::string("the empty ") + name + " records entries");
      return;
    }
    if (tree.depth < 1 || tree.depth > kMaxDepth)
      damaged(tree.root, std::string("the ") + name + " has depth " + std::to_string(tree.depth));
    depth_ = tree.depth;
    walkPage(tree.root, 1, std::string_view(), false, 0);
    if (counted_.entries != tree.entries || counted_.branchPages != tree.branchPages ||
        counted_.leafPages != tree.leafPages || counted_.overflowPages != tree.overflowPages)
      damaged(tree.root, std::string("the ") + name + "'s counts do not match its pages");
  }

  struct PageView {
    char const* p;
    uint32_t size;
    uint64_t pgno;
    unsigned count;
  };

  // Checks the header of a branch or leaf page and returns its key count.
  PageView view(std::vector<char> const& buf, uint64_t pgno, uint16_t wantType, unsigned level) {
    char const* p = buf.data();
    uint16_t flags = load<uint16_t>(p + 10) & ~kIgnoredPageFlags;
    if (flags != wantType)
      damaged(pgno, "page " + std::to_string(pgno) + " at level " + std::to_string(level) + " should be a " +
                        (wantType == kLeaf ? "leaf" : "branch") + " page (flags " + std::to_string(flags) + ")");
    uint16_t lower = load<uint16_t>(p + 12), upper = load<uint16_t>(p + 14);
    if (lower < kPageHeader || lower > upper || upper > meta_.pageSize || (lower - kPageHeader) % 2 != 0)
      damaged(pgno, "page " + std::to_string(pgno) + " has bad free-space bounds");
    unsigned count = (lower - kPageHeader) / 2;
    unsigned minimum = wantType == kBranch && !freeTree_ ? 2 : 1;
    if (count < minimum) damaged(pgno, "page " + std::to_string(pgno) + " holds too few keys");
    return PageView{p, meta_.pageSize, pgno, count};
  }

  // The node at index i, checked to lie inside the page with its key.
  char const* node(PageView const& v, unsigned i, uint16_t& ksize) {
    uint16_t offset = load<uint16_t>(v.p + kPageHeader + 2 * i);
    uint16_t upper = load<uint16_t>(v.p + 14);
    if (offset < upper || offset % 2 != 0 || offset + kNodeHeader > v.size)
      damaged(v.pgno, "page " + std::to_string(v.pgno) + " node " + std::to_string(i) + " has a bad offset");
    char const* n = v.p + offset;
    ksize = load<uint16_t>(n + 6);
    if (ksize > kMaxKeySize || offset + kNodeHeader + ksize > v.size)
      damaged(v.pgno, "page " + std::to_string(v.pgno) + " node " + std::to_string(i) + " has a bad key size");
    return n;
  }

  // Key order: bytes for records, a native 64-bit number for the free tree.
  bool less(std::string_view a, std::string_view b) const {
    if (freeTree_ && a.size() == 8 && b.size() == 8) return load<uint64_t>(a.data()) < load<uint64_t>(b.data());
    return a < b;
  }

  void checkKey(PageView const& v, unsigned i, std::string_view key) {
    if (freeTree_ && key.size() != 8)
      damaged(v.pgno, "page " + std::to_string(v.pgno) + " node " + std::to_string(i) + " has a free-space key of " +
                          std::to_string(key.size()) + " bytes");
    if (!freeTree_ && key.empty())
      damaged(v.pgno, "page " + std::to_string(v.pgno) + " node " + std::to_string(i) + " has an empty key");
  }

  void walkPage(uint64_t pgno, unsigned level, std::string_view lowest, bool bounded, uint64_t from) {
    std::vector<char>& buf = buffers_[level];
    readPage(pgno, buf, from == 0 ? pgno : from);
    if (level < depth_)
      walkBranch(view(buf, pgno, kBranch, level), level, lowest, bounded);
    else
      walkLeaf(view(buf, pgno, kLeaf, level), lowest, bounded);
  }

  void walkBranch(PageView const& v, unsigned level, std::string_view lowest, bool bounded) {
    ++counted_.branchPages;
    // The keys are copied: the children reuse deeper buffers, not this one,
    // but a copy keeps the bounds independent of buffer lifetimes.
    std::vector<std::string> keys(v.count);
    std::vector<uint64_t> children(v.count);
    for (unsigned i = 0; i < v.count; ++i) {
      uint16_t ksize;
      char const* n = node(v, i, ksize);
      children[i] = load<uint16_t>(n) | uint64_t{load<uint16_t>(n + 2)} << 16 | uint64_t{load<uint16_t>(n + 4)} << 32;
      keys[i].assign(n + kNodeHeader, ksize);
      if (i == 0) continue;  // the leftmost key of a branch page is never compared
      checkKey(v, i, keys[i]);
      if (i > 1 && !less(keys[i - 1], keys[i]))
        damaged(v.pgno, "page " + std::to_string(v.pgno) + " keys are out of order at node " + std::to_string(i));
      if (bounded && less(keys[i], lowest))
        damaged(v.pgno, "page " + std::to_string(v.pgno) + " holds a key below its parent's bound");
    }
    for (unsigned i = 0; i < v.count; ++i) {
      if (i == 0)
        walkPage(children[i], level + 1, lowest, bounded, v.pgno);
      else
        walkPage(children[i], level + 1, keys[i], true, v.pgno);
    }
  }

  void walkLeaf(PageView const& v, std::string_view lowest, bool bounded) {
    ++counted_.leafPages;
    for (unsigned i = 0; i < v.count; ++i) {
      uint16_t ksize;
      char const* n = node(v, i, ksize);
      std::string_view key(n + kNodeHeader, ksize);
      checkKey(v, i, key);
      if (bounded && less(key, lowest))
        damaged(v.pgno, "page " + std::to_string(v.pgno) + " holds a key below its parent's bound");
      if (havePrevious_ && !less(previous_, key))
        damaged(v.pgno, "page " + std::to_string(v.pgno) + " keys are out of order at node " + std::to_string(i));
      previous_.assign(key);
      havePrevious_ = true;
      ++counted_.entries;
      leafData(v, i, n, ksize);
    }
  }

  void leafData(PageView const& v, unsigned i, char const* n, uint16_t ksize) {
    uint16_t flags = load<uint16_t>(n + 4);
    uint32_t dsize = load<uint16_t>(n) | uint32_t{load<uint16_t>(n + 2)} << 16;
    size_t start = static_cast<size_t>(n - v.p) + kNodeHeader + ksize;
    std::string where = "page " + std::to_string(v.pgno) + " node " + std::to_string(i);
    if (flags & ~kBigData) damaged(v.pgno, where + " has flags this library never sets");
    if (!(flags & kBigData)) {
      if (start + dsize > v.size) damaged(v.pgno, where + " has data running past the page");
      if (freeTree_) freeList(v.pgno, v.p + start, dsize);
      return;
    }
    if (start + 8 > v.size) damaged(v.pgno, where + " has an overflow reference running past the page");
    uint64_t first = load<uint64_t>(v.p + start);
    std::vector<char> data = overflow(first, dsize, v.pgno);
    if (freeTree_) freeList(first, data.data(), dsize);
  }

  // Checks the overflow pages holding dsize bytes from page first; returns
  // the bytes when they are a free-page list (the only data read here).
  std::vector<char> overflow(uint64_t first, uint32_t dsize, uint64_t from) {
    std::vector<char> head(kPageHeader);
    if (first < 2 || first > meta_.lastPage)
      damaged(from, "page " + std::to_string(from) + " refers to overflow page " + std::to_string(first) + " outside the file");
    uint64_t offset = first * meta_.pageSize;
    if (offset + kPageHeader > fileSize_) damaged(first, "overflow page " + std::to_string(first) + " lies past the end of the file");
    readExact(head.data(), kPageHeader, offset, first, "an overflow page");
    if (load<uint64_t>(head.data()) != first || (load<uint16_t>(head.data() + 10) & ~kIgnoredPageFlags) != kOverflow)
      damaged(first, "page " + std::to_string(first) + " is not the overflow page it should be");
    uint64_t pages = load<uint32_t>(head.data() + 12);
    uint64_t needed = (kPageHeader - 1 + uint64_t{dsize}) / meta_.pageSize + 1;
    if (pages < needed || first + pages - 1 > meta_.lastPage || (first + pages) * meta_.pageSize > fileSize_)
      damaged(first, "overflow page " + std::to_string(first) + " has a bad page count " + std::to_string(pages));
    for (uint64_t p = first; p < first + pages; ++p) {
      if (used_[p]) damaged(first, "page " + std::to_string(p) + " is used twice (a cycle or a shared page)");
      used_[p] = true;
    }
    treePages_ += pages;
    counted_.overflowPages += pages;
    std::vector<char> data;
    if (freeTree_) {
      data.resize(dsize);
      if (dsize > 0) readExact(data.data(), dsize, offset + kPageHeader, first, "an overflow page");
    }
    return data;
  }

  // A free-page list: a count, then that many page numbers of this file.
  void freeList(uint64_t pgno, char const* data, uint32_t dsize) {
    if (dsize < 8 || dsize % 8 != 0 || load<uint64_t>(data) != dsize / 8 - 1)
      damaged(pgno, "page " + std::to_string(pgno) + " holds a free-page list of the wrong size");
    for (uint64_t k = 1; k < dsize / 8; ++k) {
      uint64_t p = load<uint64_t>(data + 8 * k);
      if (p < 2 || p > meta_.lastPage)
        damaged(pgno, "page " + std::to_string(pgno) + " lists free page " + std::to_string(p) + " outside the file");
      freePages_.push_back(p);
    }
  }

  int fd_;
  uint64_t fileSize_ = 0;
  Meta meta_;
  std::vector<bool> used_;
  std::vector<uint64_t> freePages_;
  std::vector<std::vector<char>> buffers_;
  uint64_t treePages_ = 0;
  unsigned depth_ = 0;
  bool freeTree_ = false;
  TreeInfo counted_;
  std::string previous_;
  bool havePrevious_ = false;
};

}  // namespace

void hx_db_stamp_file(char const* path, hx_db_file_stamp& stamp, unsigned long& status) {
  status = hx_db_s_open_failed;
  if (!path) return;
  FileDescriptor fd(hx_open_regular(path));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return;
  try {
    Meta m = Verifier(fd.get()).readMeta();
    stamp = hx_db_file_stamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                             static_cast<uint64_t>(st.st_size), m.txnid,
                             int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec,
                             int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
    status = 0;
  } catch (Damage const&) {
    status = hx_db_s_corrupt;
  }
}

void hx_db_verify_file(char const* path, hx_db_verify_report& report, unsigned long& status) {
  report = hx_db_verify_report{};
  status = hx_db_s_open_failed;
  if (!path) {
    report.problem = "no file named";
    return;
  }
  FileDescriptor fd(hx_open_regular(path));
  if (!fd.valid()) {
    report.problem = errno == EINVAL ? std::string("not a regular file")
                                     : std::string("cannot open the file: ") + std::strerror(errno);
    return;
  }
  uint64_t lastTxnid = ~uint64_t{0};
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    try {
      Verifier(fd.get()).verify(report);
      status = 0;
      return;
    } catch (Damage const& d) {
      report.page = d.page;
      report.problem = d.problem;
      status = hx_db_s_corrupt;
    }
    // A writer that committed meanwhile may have reused pages under the
    // walk: look again from its meta page. An unchanged file is damaged.
    uint64_t now;
    try {
      now = Verifier(fd.get()).readMeta().txnid;
    } catch (Damage const&) {
      return;
    }
    if (now == report.txnid || now == lastTxnid) return;
    lastTxnid = report.txnid;
  }
}
