// BER codec of the plain structures that policy objects are stored as, on
// liblber. Every structure S gets three overloads:
//   unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, S const& in);
//   unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, S& out);
//   void hxAsnFreeObj(S& s);
// Encode allocates out.data with malloc (free with hx_asn_buffer_free).
// Decode is given untrusted bytes: truncated, oversized or garbage input
// returns a non-zero status and leaves S with nothing allocated (as after
// hxAsnFreeObj); it never reads past the buffer, and every count and length
// is bounded by the bytes left before anything is allocated. Decode fills
// strings and arrays with malloc'ed copies that hxAsnFreeObj releases.
//
// A structure's codec is written with HxBerWriter/HxBerReader below and lives
// beside the structure; this file only carries the common pieces and the
// structures of the database file itself.
//
// Decoding an array that the encoding prefixes with its count: the count is
// untrusted, so check it against the bytes left before allocating, and own
// the allocation through hx_malloc_ptr until the structure takes it:
//
//   uint32_t n = 0;
//   if (!r.getUInt32(n) || !r.checkCount(n, 2)) return hx_asn_s_decode_failed;
//   hx_malloc_ptr<item_t> items(hx_calloc_array<item_t>(n));
//   if (n != 0 && !items) return hx_asn_s_decode_failed;
//   for (uint32_t i = 0; i < n; ++i)
//     if (!decodeItem(r, items.get()[i])) { /* free what items[0..i] own */ ...; return ...; }
//   out.count = n; out.items = items.release();
//
// The minimum element size passed to checkCount is the smallest encoding one
// element can have (2 bytes for any BER element: a tag and a length), so a
// count the remaining bytes cannot hold is refused before calloc is reached.
// Arrays written as a SEQUENCE OF without a count need no such check: read
// them with beginSequence / atSequenceEnd / endSequence.
#pragma once

#include <lber.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "outside/gxobj.h"

constexpr unsigned long hx_asn_s_encode_failed = 0x10652201;
constexpr unsigned long hx_asn_s_decode_failed = 0x10652202;

// Context-specific primitive tag number n ([n] IMPLICIT), for CHOICE
// alternatives and optional fields.
constexpr ber_tag_t hx_ber_context(unsigned n) { return LBER_CLASS_CONTEXT | (n & 0x1Fu); }

// Owner of a malloc'ed block (decode buffers on their way into a structure).
struct hx_free_deleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using hx_malloc_ptr = std::unique_ptr<T, hx_free_deleter>;
// calloc of n elements of T; null on overflow or failure (and for n == 0).
template <class T>
T* hx_calloc_array(size_t n) {
  return n == 0 ? nullptr : static_cast<T*>(std::calloc(n, sizeof(T)));
}

// Heap arrays of heap strings, as the codec structures hold names and
// values. True when strings holds count non-null strings (no array is
// needed for count 0).
bool hx_strings_present(char* const* strings, uint32_t count);
// Frees the first count strings and the array; both become empty.
void hx_free_strings(char**& strings, uint32_t& count);

// Sequential BER (DER) writer; any failure sticks and is reported by finish.
class HxBerWriter {
 public:
  HxBerWriter();
  ~HxBerWriter();
  HxBerWriter(HxBerWriter const&) = delete;
  HxBerWriter& operator=(HxBerWriter const&) = delete;

  void beginSequence();
  void endSequence();
  void putInt(int64_t v);                 // INTEGER (range of int32/uint32 both fit)
  void putUInt32(uint32_t v) { putInt(v); }
  void putBool(bool v);
  void putString(char const* s);          // OCTET STRING; null is written as a NULL element
  void putBytes(void const* p, uint32_t n);
  // A SEQUENCE OF count strings (check them with hx_strings_present first).
  void putStrings(char* const* strings, uint32_t count);
  // The same with another (e.g. context) tag in place of the universal one.
  void putInt(int64_t v, ber_tag_t tag);
  void putBool(bool v, ber_tag_t tag);
  void putBytes(void const* p, uint32_t n, ber_tag_t tag);
  bool ok() const { return ok_; }
  // Hands the encoding to out; returns 0 or hx_asn_s_encode_failed. out is
  // overwritten (not freed before); on failure it is left empty. The writer
  // takes no more elements afterwards. Encodings longer than
  // gxobj_max_encoded_length fail, mostly as soon as the elements written
  // exceed it (before liblber has built them).
  unsigned long finish(hx_asn_buffer_t& out);

 private:
  bool fail() { ok_ = false; return false; }
  bool reserve(uint64_t contentBytes);
  BerElement* ber_;
  bool ok_ = true;
  int depth_ = 0;
  uint64_t size_ = 0;   // lower bound of the bytes written so far
};

// Sequential reader over a buffer it does not own. Every get checks the tag
// and the bounds; the first failure sticks (ok() turns false) and all later
// calls fail. An element must lie wholly inside the sequence that holds it,
// and endSequence fails while the sequence has unread elements. Buffers
// longer than gxobj_max_encoded_length are refused outright.
class HxBerReader {
 public:
  HxBerReader(void const* data, uint32_t length);
  explicit HxBerReader(hx_asn_buffer_t const& b) : HxBerReader(b.data, b.length) {}
  ~HxBerReader();
  HxBerReader(HxBerReader const&) = delete;
  HxBerReader& operator=(HxBerReader const&) = delete;

  bool beginSequence();
  // True when the innermost open sequence has no more elements (and after
  // any failure, so that element loops end).
  bool atSequenceEnd();
  bool endSequence();
  bool getInt(int64_t& v);
  bool getUInt32(uint32_t& v);   // fails on values outside 0..0xFFFFFFFF
  bool getInt32(int32_t& v);
  bool getBool(bool& v);
  // A malloc'ed NUL-terminated copy (null when a NULL element was written).
  // Fails when the element is longer than maxLength or holds a NUL byte.
  // s is only assigned on success.
  bool getString(char*& s, uint32_t maxLength = gxobj_max_encoded_length);
  // A malloc'ed copy of an OCTET STRING and its length (p and n are only
  // assigned on success; an empty string still gets a 1-byte block).
  bool getBytes(unsigned char*& p, uint32_t& n, uint32_t maxLength = gxobj_max_encoded_length);
  // A SEQUENCE OF exactly count non-null strings into a new heap array,
  // count being bounded by the bytes left before anything is allocated.
  // strings and got are only assigned on success; on failure nothing stays
  // allocated.
  bool getStrings(uint32_t count, char**& strings, uint32_t& got);
  // Bytes not yet read: an upper bound for any count about to be allocated.
  size_t remaining() const;
  bool ok() const { return ok_; }
  // True when everything has been read and nothing failed.
  bool finished() const;

  // Tag of the next element of the innermost sequence (to dispatch on a
  // CHOICE); LBER_DEFAULT at the end of the sequence or after a failure.
  ber_tag_t peekTag();
  // The same gets for elements written with another tag.
  bool getInt(int64_t& v, ber_tag_t tag);
  bool getBool(bool& v, ber_tag_t tag);
  // The contents of a text element in place (valid as long as the buffer);
  // fails like getString on a NUL byte or a length over maxLength.
  bool getText(std::string_view& v, uint32_t maxLength = gxobj_max_encoded_length,
               ber_tag_t tag = LBER_OCTETSTRING);
  // Fails (and sticks) unless count elements of at least minElementBytes
  // bytes each fit in remaining(): call it before allocating for a count.
  bool checkCount(uint64_t count, uint32_t minElementBytes = 2);

 private:
  bool fail() { ok_ = false; return false; }
  size_t limit() const { return depth_ ? ends_[depth_ - 1] : length_; }
  bool peek(ber_tag_t& tag, berval& contents);
  bool take(ber_tag_t tag, berval& contents);
  BerElement* ber_ = nullptr;
  unsigned char const* data_;
  uint32_t length_;
  bool ok_ = true;
  static constexpr int maxDepth = 32;
  size_t pos_ = 0;           // offset of the next element
  size_t ends_[maxDepth];    // end offsets of the open sequences
  int depth_ = 0;
};

// Header record of database files of the older format ("dbinfo").
struct gxobj_db_header_s_t {
  uint32_t seqnum;
  uint32_t version;
  uint32_t flags;
};
// SEQUENCE { seqnum INTEGER, version INTEGER, flags INTEGER }. Decode
// assigns out only on success. The structure owns no memory, so its
// hxAsnFreeObj does nothing (it leaves the decoded numbers in place).
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxobj_db_header_s_t const& in);
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxobj_db_header_s_t& out);
void hxAsnFreeObj(gxobj_db_header_s_t& s);
