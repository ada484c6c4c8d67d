// Foundation strings: owned byte texts (UTF-8 or the local code set) with the
// search and edit operations the system's names are built from. Positions
// and lengths are byte counts; searches that find nothing return
// ZAbstractString_6_0::notFound.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "outside/ZObject.h"

// Bernstein hash of a byte text (h = h * 33 ^ c from 5381), 32-bit: the
// hash of the foundation strings and, over their last quarter, of names.
inline unsigned int zTextHash(std::string_view text) {
  unsigned int h = 5381;
  for (unsigned char c : text) h = (h * 33) ^ c;
  return h;
}

class ZAbstractString_6_0 : public ZObject_6_0 {
 public:
  static constexpr unsigned int notFound = 0xFFFFFFFFu;

  char const* getChars() const { return text_.c_str(); }
  unsigned int getLength() const { return static_cast<unsigned int>(text_.size()); }
  bool isEmpty() const { return text_.empty(); }
  char charAt(unsigned int i) const { return i < text_.size() ? text_[i] : '\0'; }
  std::string const& str() const { return text_; }
  std::string_view view() const { return text_; }

  unsigned int indexOf(char c, unsigned int from = 0) const { return pos(text_.find(c, from)); }
  unsigned int indexOf(char const* s, unsigned int from = 0) const {
    return s ? pos(text_.find(s, from)) : notFound;
  }
  unsigned int indexOf(ZAbstractString_6_0 const& s, unsigned int from = 0) const {
    return pos(text_.find(s.text_, from));
  }
  unsigned int lastIndexOf(char c) const { return pos(text_.rfind(c)); }

  // Bernstein hash of the whole text, 32-bit.
  unsigned int hash() const override { return zTextHash(text_); }
  int compare(ZObject_6_0 const& other) const override {
    auto const* o = dynamic_cast<ZAbstractString_6_0 const*>(&other);
    return o ? compareTo(*o) : ZObject_6_0::compare(other);
  }
  int compareTo(ZAbstractString_6_0 const& o) const {
    int c = text_.compare(o.text_);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  bool equals(ZObject_6_0 const& other) const override {
    auto const* o = dynamic_cast<ZAbstractString_6_0 const*>(&other);
    return o && o->text_ == text_;
  }

 protected:
  ZAbstractString_6_0() = default;
  explicit ZAbstractString_6_0(std::string s) : text_(std::move(s)) {}
  static unsigned int pos(std::string::size_type p) {
    return p == std::string::npos ? notFound : static_cast<unsigned int>(p);
  }
  std::string text_;
};

class ZAbstractMutableString_6_0 : public ZAbstractString_6_0 {
 public:
  void append(char const* s) { if (s) text_ += s; }
  void append(char const* s, unsigned int n) { if (s) text_.append(s, n); }
  void append(char c) { text_ += c; }
  void append(ZAbstractString_6_0 const& s) { text_ += s.str(); }
  void prepend(char const* s) { if (s) text_.insert(0, s); }
  void prepend(ZAbstractString_6_0 const& s) { text_.insert(0, s.str()); }
  void insert(unsigned int at, char const* s) {
    if (s) text_.insert(at < text_.size() ? at : text_.size(), s);
  }
  // Removes count bytes starting at start (clamped to the text).
  void remove(unsigned int start, unsigned int count) {
    if (start < text_.size()) text_.erase(start, count);
  }
  // Keeps the first n bytes.
  void trunc(unsigned int n) { if (n < text_.size()) text_.resize(n); }
  void clear() { text_.clear(); }
  void setChar(unsigned int i, char c) { if (i < text_.size()) text_[i] = c; }
  void assign(char const* s) { text_ = s ? s : ""; }
  void assign(std::string_view s) { text_.assign(s); }

 protected:
  using ZAbstractString_6_0::ZAbstractString_6_0;
};

// Owned UTF-8 text.
class ZUTF8String_6_0 : public ZAbstractMutableString_6_0 {
 public:
  ZUTF8String_6_0() = default;
  ZUTF8String_6_0(char const* s) : ZAbstractMutableString_6_0(s ? s : "") {}
  ZUTF8String_6_0(unsigned char const* s)
      : ZAbstractMutableString_6_0(s ? reinterpret_cast<char const*>(s) : "") {}
  ZUTF8String_6_0(char const* s, unsigned int n) : ZAbstractMutableString_6_0(s ? std::string(s, n) : "") {}
  explicit ZUTF8String_6_0(std::string s) : ZAbstractMutableString_6_0(std::move(s)) {}
  explicit ZUTF8String_6_0(std::string_view s) : ZAbstractMutableString_6_0(std::string(s)) {}
  ZUTF8String_6_0(ZUTF8String_6_0 const&) = default;
  ZUTF8String_6_0(ZUTF8String_6_0&&) noexcept = default;
  ZUTF8String_6_0& operator=(ZUTF8String_6_0 const&) = default;
  ZUTF8String_6_0& operator=(ZUTF8String_6_0&&) noexcept = default;
  ZUTF8String_6_0& operator=(char const* s) { assign(s); return *this; }

  ZObject_6_0* clone() const override { return new ZUTF8String_6_0(*this); }

  // The bytes from start up to (not including) end; end is clamped.
  ZUTF8String_6_0 subString(unsigned int start, unsigned int end = notFound) const {
    if (start >= text_.size() || end <= start) return ZUTF8String_6_0();
    return ZUTF8String_6_0(text_.substr(start, end - start));
  }
  // Replaces every occurrence of from by to.
  void replace(char from, char to) {
    for (auto& c : text_) if (c == from) c = to;
  }
  ZUTF8String_6_0& operator+=(char const* s) { append(s); return *this; }
  ZUTF8String_6_0& operator+=(ZAbstractString_6_0 const& s) { append(s); return *this; }
  ZUTF8String_6_0& operator+=(char c) { append(c); return *this; }

  bool operator==(ZUTF8String_6_0 const& o) const { return text_ == o.text_; }
  bool operator==(char const* s) const { return s && text_ == s; }
  bool operator!=(ZUTF8String_6_0 const& o) const { return !(*this == o); }
  bool operator<(ZUTF8String_6_0 const& o) const { return text_ < o.text_; }
  operator char const*() const { return getChars(); }
};

// Text in the local code set; on this platform the same bytes as UTF-8.
class ZLCString_6_0 : public ZAbstractMutableString_6_0 {
 public:
  ZLCString_6_0() = default;
  ZLCString_6_0(char const* s) : ZAbstractMutableString_6_0(s ? s : "") {}
  ZLCString_6_0& operator=(char const* s) { assign(s); return *this; }
  ZObject_6_0* clone() const override { return new ZLCString_6_0(*this); }
  operator char const*() const { return getChars(); }
};
