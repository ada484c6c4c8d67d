// GxObjectName: the hierarchical, slash-separated name of every stored object
// and every protected object ("/a/b/c"). A thin value class over one text:
// tree queries (root, parent, ancestry, depth, elements), building by
// appending and prepending, validation with normalisation, and the hash,
// ordering and equality the foundation containers use.
//
// Names are not normalised on construction; valid() checks and normalises.
// A well-formed name begins with "/", has no empty element, no line feed or
// carriage return, and no trailing "/" unless it is the root "/".
// Not synchronised: a name is a value owned by one thread at a time.
#pragma once

#include "outside/ZString.h"

class GxObjectName : public ZObject_6_0 {
 public:
  static constexpr char separator_ = '/';
  static constexpr char const* separatorStr_ = "/";
  static char getSeparator() { return separator_; }
  static char const* getSeparatorString() { return separatorStr_; }

  GxObjectName() = default;
  GxObjectName(char const* text) : name_(text) {}
  GxObjectName(unsigned char const* text) : name_(text) {}
  GxObjectName(ZUTF8String_6_0 const& text) : name_(text) {}
  GxObjectName(GxObjectName const&) = default;
  GxObjectName& operator=(GxObjectName const&) = default;
  GxObjectName& operator=(char const* text) { name_ = text; return *this; }
  GxObjectName& operator=(ZUTF8String_6_0 const& text) { name_ = text; return *this; }
  ~GxObjectName() override = default;

  // Hash of the last quarter of the text (see hashText).
  unsigned int hash() const override { return hashText(name_.getChars(), name_.getLength()); }
  int compare(ZObject_6_0 const& other) const override;
  ZObject_6_0* clone() const override { return new GxObjectName(*this); }
  bool equals(ZObject_6_0 const& other) const override;

  // Extends partial (empty, or a proper ancestor of this name) by one
  // element of this name: "" -> "/a", "/a" -> "/a/b", "/" -> "/a".
  virtual void walkDown(GxObjectName& partial) const;
  // Turns this name into its parent in place; the root stays the root.
  virtual void walkUp();

  void clear() { name_.clear(); }
  ZUTF8String_6_0 const& value() const { return name_; }
  char const* getChars() const { return name_.getChars(); }
  unsigned int getLength() const { return name_.getLength(); }
  operator char const*() const { return name_.getChars(); }

  bool isRoot() const { return name_ == separatorStr_; }
  static bool isRoot(char const* text) { return text && text[0] == separator_ && text[1] == '\0'; }
  GxObjectName parent() const;
  // The last element; empty for the root.
  ZUTF8String_6_0 basename() const;
  // True when other is an ancestor of this name; ifEqual is the answer when
  // the two are equal. The root is an ancestor of every name.
  bool isAncestor(GxObjectName const& other, unsigned char ifEqual) const;
  // True when other is a descendant of this name; ifEqual as above.
  bool isDescendent(GxObjectName const& other, unsigned char ifEqual) const;
  // 0 for the root, otherwise the number of separators.
  unsigned int depth() const;
  // The name made of the first n elements ("" for 0, the whole name past
  // the last element).
  ZUTF8String_6_0 subString(unsigned int n) const;
  // Element n counting from 1 ("" for 0, the last element past the end).
  ZUTF8String_6_0 elementAt(unsigned int n) const;
  unsigned int index(ZUTF8String_6_0 const& text, unsigned int from) const { return name_.indexOf(text, from); }

  // Appends one or more elements; a null, empty or "/" text adds nothing.
  void append(char const* text);
  void append(unsigned char const* text) { append(reinterpret_cast<char const*>(text)); }
  void append(ZUTF8String_6_0 const& text) { append(text.getChars()); }
  void append(GxObjectName const& other) { append(other.getChars()); }
  void prepend(char const* text);
  void prepend(GxObjectName const& other) { prepend(other.getChars()); }

  // The rest of this name below ancestor, without a leading separator. The
  // ancestor is not checked.
  ZUTF8String_6_0 makeRelative(char const* ancestor) const;
  ZUTF8String_6_0 makeRelative(GxObjectName const& ancestor) const { return makeRelative(ancestor.getChars()); }
  // Removes a leading ancestor (not checked) / puts one in front.
  void popAncestor(GxObjectName const& ancestor);
  void pushAncestor(GxObjectName const& ancestor);

  // Checks and normalises (tabs become spaces, trailing spaces and one
  // trailing separator go); 1 when valid, 0 otherwise.
  unsigned char valid();
  static unsigned char valid(ZUTF8String_6_0& text);

  bool operator==(GxObjectName const& o) const { return name_ == o.name_; }
  bool operator==(char const* text) const { return name_ == text; }
  bool operator==(unsigned char const* text) const { return name_ == reinterpret_cast<char const*>(text); }
  bool operator!=(GxObjectName const& o) const { return !(*this == o); }
  bool operator!=(char const* text) const { return !(*this == text); }
  bool operator!=(unsigned char const* text) const { return !(*this == text); }
  // True when other orders before this name.
  bool isLessThan(GxObjectName const& other) const { return other.name_ < name_; }

  // Bernstein hash (h = h * 33 ^ c from 5381, 32-bit) over the last quarter
  // of the text (from position len - len / 4); fewer than 4 bytes hash none.
  static unsigned int hashText(char const* text, unsigned int len) {
    return zTextHash(std::string_view(text + (len - len / 4), len / 4));
  }

 protected:
  ZUTF8String_6_0 name_;
};
