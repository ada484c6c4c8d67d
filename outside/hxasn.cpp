// BER writer and reader on liblber, and the codec of the database header.
//
// The reader never lets liblber run past the caller's bytes. liblber bounds
// each element's length by the bytes left in the whole buffer
// (ber_peek_element), but not by the sequence that holds the element, so the
// reader keeps the end offset of every open sequence itself and checks each
// element against the innermost one. liblber also reads the byte that follows
// an element whenever it steps over one (it keeps the next tag byte aside),
// which is one byte past the buffer for the buffer's last element; the
// reader therefore only looks at elements with ber_peek_element and steps
// over an element with liblber only when more bytes follow it. Contents are
// read in place and copied out by the reader, so liblber never writes into
// the (const) buffer and allocates nothing while decoding.
#include "outside/hxasn.h"

#include <cstring>

namespace {

constexpr uint32_t maxLength = gxobj_max_encoded_length;

// Encoded size of an element with n contents bytes and a one-byte tag (the
// least any tag takes): a lower bound of what the element adds to the output.
uint64_t elementSize(uint64_t n) {
  uint64_t lengthBytes = 1;
  if (n >= 0x80)
    for (uint64_t v = n; v != 0; v >>= 8) ++lengthBytes;
  return 1 + lengthBytes + n;
}

}  // namespace

// ---- HxBerWriter -----------------------------------------------------------

HxBerWriter::HxBerWriter() : ber_(ber_alloc_t(LBER_USE_DER)) {
  if (ber_ == nullptr) ok_ = false;
}

HxBerWriter::~HxBerWriter() {
  if (ber_ != nullptr) ber_free(ber_, 1);
}

// Counts an element with contentBytes contents bytes against the record size
// cap, so that an oversized encoding fails before liblber builds it. The
// count is a lower bound of the output (sequence lengths are not known yet),
// so nothing that fits is refused here; finish checks the exact size.
bool HxBerWriter::reserve(uint64_t contentBytes) {
  if (!ok_ || ber_ == nullptr) return fail();
  size_ += elementSize(contentBytes);
  if (size_ > maxLength) return fail();
  return true;
}

void HxBerWriter::beginSequence() {
  if (!reserve(0)) return;
  if (ber_start_seq(ber_, LBER_SEQUENCE) == -1) {
    fail();
    return;
  }
  ++depth_;
}

void HxBerWriter::endSequence() {
  if (!ok_ || ber_ == nullptr || depth_ == 0) {
    fail();
    return;
  }
  if (ber_put_seq(ber_) == -1) {
    fail();
    return;
  }
  --depth_;
}

void HxBerWriter::putInt(int64_t v) { putInt(v, LBER_INTEGER); }

// ber_put_int takes a 32-bit int, which cannot carry the upper half of the
// uint32 range as a positive INTEGER; the minimal two's-complement contents
// are built here and written under the INTEGER (or the given) tag.
void HxBerWriter::putInt(int64_t v, ber_tag_t tag) {
  unsigned char bytes[8];
  auto u = static_cast<uint64_t>(v);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(u >> (56 - 8 * i));
  int start = 0;
  // Drop leading bytes that only repeat the sign bit of the byte after them.
  while (start < 7 && ((bytes[start] == 0x00 && (bytes[start + 1] & 0x80) == 0) ||
                       (bytes[start] == 0xFF && (bytes[start + 1] & 0x80) != 0)))
    ++start;
  if (!reserve(static_cast<uint64_t>(8 - start))) return;
  if (ber_put_ostring(ber_, reinterpret_cast<char const*>(bytes) + start,
                      static_cast<ber_len_t>(8 - start), tag) == -1)
    fail();
}

void HxBerWriter::putBool(bool v) { putBool(v, LBER_BOOLEAN); }

void HxBerWriter::putBool(bool v, ber_tag_t tag) {
  if (!reserve(1)) return;
  if (ber_put_boolean(ber_, v ? 0xFF : 0, tag) == -1) fail();
}

void HxBerWriter::putString(char const* s) {
  if (s == nullptr) {
    if (reserve(0) && ber_put_null(ber_, LBER_NULL) == -1) fail();
    return;
  }
  size_t n = std::strlen(s);
  if (n > maxLength) {
    fail();
    return;
  }
  putBytes(s, static_cast<uint32_t>(n), LBER_OCTETSTRING);
}

bool hx_strings_present(char* const* strings, uint32_t count) {
  if (count != 0 && strings == nullptr) return false;
  for (uint32_t i = 0; i < count; ++i)
    if (strings[i] == nullptr) return false;
  return true;
}

void hx_free_strings(char**& strings, uint32_t& count) {
  if (strings != nullptr)
    for (uint32_t i = 0; i < count; ++i) std::free(strings[i]);
  std::free(strings);
  strings = nullptr;
  count = 0;
}

void HxBerWriter::putStrings(char* const* strings, uint32_t count) {
  beginSequence();
  for (uint32_t i = 0; i < count && ok_; ++i) putString(strings[i]);
  endSequence();
}

void HxBerWriter::putBytes(void const* p, uint32_t n) { putBytes(p, n, LBER_OCTETSTRING); }

void HxBerWriter::putBytes(void const* p, uint32_t n, ber_tag_t tag) {
  if (p == nullptr && n != 0) {
    fail();
    return;
  }
  if (!reserve(n)) return;
  // liblber copies with memcpy even for empty contents: never hand it null.
  char const* bytes = p != nullptr ? static_cast<char const*>(p) : "";
  if (ber_put_ostring(ber_, bytes, n, tag) == -1) fail();
}

unsigned long HxBerWriter::finish(hx_asn_buffer_t& out) {
  out = hx_asn_buffer_t{0, nullptr};
  bool good = ok_ && ber_ != nullptr && depth_ == 0;
  if (good) {
    berval bv{0, nullptr};
    // alloc == 0: bv points into the element's own buffer, copied below.
    if (ber_flatten2(ber_, &bv, 0) != 0 || bv.bv_len > maxLength) {
      good = false;
    } else if (bv.bv_len != 0) {
      auto* data = static_cast<unsigned char*>(std::malloc(bv.bv_len));
      if (data == nullptr) {
        good = false;
      } else {
        std::memcpy(data, bv.bv_val, bv.bv_len);
        out = hx_asn_buffer_t{static_cast<uint32_t>(bv.bv_len), data};
      }
    }
  }
  if (ber_ != nullptr) ber_free(ber_, 1);
  ber_ = nullptr;
  if (!good) ok_ = false;
  return good ? 0 : hx_asn_s_encode_failed;
}

// ---- HxBerReader -----------------------------------------------------------

HxBerReader::HxBerReader(void const* data, uint32_t length)
    : data_(static_cast<unsigned char const*>(data)), length_(length) {
  if ((data_ == nullptr && length_ != 0) || length_ > maxLength) {
    fail();
    return;
  }
  ber_ = ber_alloc_t(0);
  if (ber_ == nullptr) {
    fail();
    return;
  }
  // In place, no copy: the reader only calls liblber functions that read.
  berval bv{length_, const_cast<char*>(reinterpret_cast<char const*>(data_))};
  ber_init2(ber_, &bv, 0);
}

HxBerReader::~HxBerReader() {
  if (ber_ != nullptr) ber_free(ber_, 0);
}

// Looks at the next element of the innermost open sequence: its tag and its
// contents, which must lie wholly inside that sequence.
bool HxBerReader::peek(ber_tag_t& tag, berval& contents) {
  if (!ok_) return false;
  size_t const end = limit();
  if (pos_ >= end) return fail();
  contents = berval{0, nullptr};
  tag = ber_peek_element(ber_, &contents);
  if (tag == LBER_DEFAULT || contents.bv_val == nullptr) return fail();
  auto const* start = reinterpret_cast<unsigned char const*>(contents.bv_val);
  if (start <= data_ + pos_ || start > data_ + end) return fail();
  if (contents.bv_len > end - static_cast<size_t>(start - data_)) return fail();
  return true;
}

// Reads the next element, which must carry tag, and steps over it.
bool HxBerReader::take(ber_tag_t tag, berval& contents) {
  ber_tag_t found;
  if (!peek(found, contents)) return false;
  if (found != tag) return fail();
  size_t const next = static_cast<size_t>(contents.bv_val - reinterpret_cast<char const*>(data_)) +
                      contents.bv_len;
  // At the end of the buffer nothing more can be read (every limit is at most
  // length_), so liblber's position need not follow.
  if (next < length_) {
    berval skipped;
    if (ber_skip_element(ber_, &skipped) != tag) return fail();
  }
  pos_ = next;
  return true;
}

bool HxBerReader::beginSequence() {
  if (ok_ && depth_ >= maxDepth) return fail();
  ber_tag_t tag;
  berval contents;
  if (!peek(tag, contents)) return false;
  if (tag != LBER_SEQUENCE) return fail();
  size_t const start = static_cast<size_t>(contents.bv_val - reinterpret_cast<char const*>(data_));
  if (start < length_) {
    ber_len_t len = 0;
    if (ber_skip_tag(ber_, &len) != LBER_SEQUENCE || len != contents.bv_len) return fail();
  }
  pos_ = start;
  ends_[depth_++] = start + contents.bv_len;
  return true;
}

bool HxBerReader::atSequenceEnd() { return !ok_ || pos_ >= limit(); }

bool HxBerReader::endSequence() {
  if (!ok_) return false;
  if (depth_ == 0 || pos_ != ends_[depth_ - 1]) return fail();
  --depth_;
  return true;
}

ber_tag_t HxBerReader::peekTag() {
  if (!ok_ || pos_ >= limit()) return LBER_DEFAULT;
  ber_tag_t tag;
  berval contents;
  return peek(tag, contents) ? tag : LBER_DEFAULT;
}

bool HxBerReader::getInt(int64_t& v) { return getInt(v, LBER_INTEGER); }

bool HxBerReader::getInt(int64_t& v, ber_tag_t tag) {
  berval c;
  if (!take(tag, c)) return false;
  // Two's complement, at most 8 contents bytes (the int64 range).
  if (c.bv_len == 0 || c.bv_len > 8) return fail();
  auto const* p = reinterpret_cast<unsigned char const*>(c.bv_val);
  uint64_t u = (p[0] & 0x80) != 0 ? ~uint64_t{0} : 0;
  for (ber_len_t i = 0; i < c.bv_len; ++i) u = (u << 8) | p[i];
  v = static_cast<int64_t>(u);
  return true;
}

bool HxBerReader::getUInt32(uint32_t& v) {
  int64_t x = 0;
  if (!getInt(x)) return false;
  if (x < 0 || x > int64_t{UINT32_MAX}) return fail();
  v = static_cast<uint32_t>(x);
  return true;
}

bool HxBerReader::getInt32(int32_t& v) {
  int64_t x = 0;
  if (!getInt(x)) return false;
  if (x < int64_t{INT32_MIN} || x > int64_t{INT32_MAX}) return fail();
  v = static_cast<int32_t>(x);
  return true;
}

bool HxBerReader::getBool(bool& v) { return getBool(v, LBER_BOOLEAN); }

bool HxBerReader::getBool(bool& v, ber_tag_t tag) {
  berval c;
  if (!take(tag, c)) return false;
  if (c.bv_len != 1) return fail();
  v = c.bv_val[0] != 0;
  return true;
}

bool HxBerReader::getText(std::string_view& v, uint32_t maxLen, ber_tag_t tag) {
  berval c;
  if (!take(tag, c)) return false;
  if (c.bv_len > maxLen || std::memchr(c.bv_val, 0, c.bv_len) != nullptr) return fail();
  v = std::string_view(c.bv_val, c.bv_len);
  return true;
}

bool HxBerReader::getString(char*& s, uint32_t maxLen) {
  if (peekTag() == LBER_NULL) {
    berval c;
    if (!take(LBER_NULL, c)) return false;
    if (c.bv_len != 0) return fail();
    s = nullptr;
    return true;
  }
  std::string_view text;
  if (!getText(text, maxLen)) return false;
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return fail();
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  s = copy;
  return true;
}

bool HxBerReader::getBytes(unsigned char*& p, uint32_t& n, uint32_t maxLen) {
  berval c;
  if (!take(LBER_OCTETSTRING, c)) return false;
  if (c.bv_len > maxLen) return fail();
  auto* copy = static_cast<unsigned char*>(std::malloc(c.bv_len != 0 ? c.bv_len : 1));
  if (copy == nullptr) return fail();
  if (c.bv_len != 0) std::memcpy(copy, c.bv_val, c.bv_len);
  p = copy;
  n = static_cast<uint32_t>(c.bv_len);
  return true;
}

size_t HxBerReader::remaining() const {
  if (!ok_) return 0;
  size_t const end = limit();
  return pos_ < end ? end - pos_ : 0;
}

bool HxBerReader::finished() const { return ok_ && depth_ == 0 && pos_ == length_; }

bool HxBerReader::getStrings(uint32_t count, char**& strings, uint32_t& got) {
  if (!beginSequence() || !checkCount(count, 2)) return false;
  char** array = hx_calloc_array<char*>(count);
  if (count != 0 && array == nullptr) return fail();
  uint32_t n = 0;
  for (; n < count; ++n) {
    char* s = nullptr;
    if (!getString(s) || s == nullptr) break;  // a NULL element is no string
    array[n] = s;
  }
  if (n != count || !endSequence()) {
    hx_free_strings(array, n);
    return fail();
  }
  strings = array;
  got = n;
  return true;
}

bool HxBerReader::checkCount(uint64_t count, uint32_t minElementBytes) {
  if (!ok_) return false;
  uint64_t const per = minElementBytes != 0 ? minElementBytes : 1;
  if (count > remaining() / per) return fail();
  return true;
}

// ---- database header -------------------------------------------------------

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxobj_db_header_s_t const& in) {
  HxBerWriter w;
  w.beginSequence();
  w.putUInt32(in.seqnum);
  w.putUInt32(in.version);
  w.putUInt32(in.flags);
  w.endSequence();
  return w.finish(out);
}

unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxobj_db_header_s_t& out) {
  HxBerReader r(in);
  gxobj_db_header_s_t h{};
  if (r.beginSequence() && r.getUInt32(h.seqnum) && r.getUInt32(h.version) && r.getUInt32(h.flags) &&
      r.endSequence() && r.finished()) {
    out = h;
    return 0;
  }
  return hx_asn_s_decode_failed;
}

void hxAsnFreeObj(gxobj_db_header_s_t&) {}
