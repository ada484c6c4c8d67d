// A reader of BER records in place: the elements' contents are views into
// the caller's bytes, so reading a record allocates nothing. Made for the
// hot paths that only need to look at a record (evaluate an ACL, take the
// name out of a map) without building its structure.
//
// It is deliberately stricter than HxBerReader (outside/hxasn.h), so that
// a record it reads is one that reader would read too, with the same
// values: one-byte tags only, definite lengths only (short form, or long
// form with 1 to 4 length bytes), contents wholly inside the enclosing
// element, INTEGERs of 1 to 8 bytes. Anything else fails, and a failure
// sticks; a caller then falls back on the full decoder, which gives the
// record's real status. Not synchronised: one thread at a time; the bytes
// must outlive the reader and the views it hands out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "outside/gxobj.h"

class HxBerView {
 public:
  static constexpr unsigned char kInteger = 0x02, kOctetString = 0x04, kNull = 0x05, kSequence = 0x30;

  HxBerView(void const* data, size_t length)
      : data_(static_cast<unsigned char const*>(data)), end_(length) {
    if ((data_ == nullptr && length != 0) || length > gxobj_max_encoded_length) ok_ = false;
  }

  bool ok() const { return ok_; }
  // Everything read, every sequence closed, nothing failed.
  bool finished() const { return ok_ && depth_ == 0 && pos_ == end_; }
  // The tag of the next element of the innermost sequence; 0 at its end or
  // after a failure.
  unsigned char peekTag() const { return ok_ && pos_ < limit() ? data_[pos_] : 0; }
  // Bytes left in the innermost sequence (0 after a failure).
  size_t remaining() const { return ok_ ? limit() - pos_ : 0; }

  bool beginSequence() {
    size_t start = 0, length = 0;
    if (depth_ >= kMaxDepth || !element(kSequence, start, length)) return fail();
    ends_[depth_++] = start + length;
    pos_ = start;
    return true;
  }
  bool endSequence() {
    if (!ok_ || depth_ == 0 || pos_ != ends_[depth_ - 1]) return fail();
    --depth_;
    return true;
  }
  // An INTEGER that fits 32 unsigned bits (two's complement, 1 to 8 bytes).
  bool getUInt32(uint32_t& v) {
    size_t start = 0, length = 0;
    if (!element(kInteger, start, length) || length == 0 || length > 8) return fail();
    uint64_t u = (data_[start] & 0x80) != 0 ? ~uint64_t{0} : 0;
    for (size_t i = 0; i < length; ++i) u = (u << 8) | data_[start + i];
    auto const x = static_cast<int64_t>(u);
    if (x < 0 || x > int64_t{UINT32_MAX}) return fail();
    v = static_cast<uint32_t>(x);
    pos_ = start + length;
    return true;
  }
  // An OCTET STRING's contents in place.
  bool getBytes(std::string_view& v) {
    size_t start = 0, length = 0;
    if (!element(kOctetString, start, length)) return fail();
    v = std::string_view(reinterpret_cast<char const*>(data_) + start, length);
    pos_ = start + length;
    return true;
  }
  // An OCTET STRING holding no NUL byte (text).
  bool getText(std::string_view& v) {
    if (!getBytes(v)) return false;
    return v.find('\0') == std::string_view::npos || fail();
  }
  // A NULL element (no contents).
  bool getNull() {
    size_t start = 0, length = 0;
    if (!element(kNull, start, length) || length != 0) return fail();
    pos_ = start;
    return true;
  }

 private:
  static constexpr int kMaxDepth = 8;
  bool fail() {
    ok_ = false;
    return false;
  }
  size_t limit() const { return depth_ != 0 ? ends_[depth_ - 1] : end_; }
  // The next element, which must carry tag: where its contents start and
  // their length, inside the innermost sequence. Does not move.
  bool element(unsigned char tag, size_t& start, size_t& length) {
    size_t const end = limit();
    if (!ok_ || pos_ >= end || end - pos_ < 2 || data_[pos_] != tag) return false;
    size_t p = pos_ + 1;
    unsigned char const first = data_[p++];
    if (first < 0x80) {
      length = first;
    } else {
      size_t const n = first & 0x7f;
      if (n == 0 || n > 4 || end - p < n) return false;
      length = 0;
      for (size_t i = 0; i < n; ++i) length = (length << 8) | data_[p++];
    }
    if (length > end - p) return false;
    start = p;
    return true;
  }

  unsigned char const* data_;
  size_t end_;
  size_t pos_ = 0;
  bool ok_ = true;
  int depth_ = 0;
  size_t ends_[kMaxDepth] = {};
};
