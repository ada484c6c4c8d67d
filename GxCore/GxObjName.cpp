#include "GxCore/GxObjName.h"

#include <cstring>

int GxObjectName::compare(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<GxObjectName const*>(&other);
  return o ? name_.compareTo(o->name_) : ZObject_6_0::compare(other);
}

bool GxObjectName::equals(ZObject_6_0 const& other) const {
  auto const* o = dynamic_cast<GxObjectName const*>(&other);
  return o && name_ == o->name_;
}

void GxObjectName::walkDown(GxObjectName& partial) const {
  unsigned int p = partial.getLength();
  unsigned int next = name_.indexOf(separator_, p + 1);
  unsigned int end = next == ZAbstractString_6_0::notFound ? name_.getLength() : next;
  if (end > p) partial.name_.append(name_.getChars() + p, end - p);
}

void GxObjectName::walkUp() {
  unsigned int last = name_.lastIndexOf(separator_);
  if (last == ZAbstractString_6_0::notFound || last == 0) name_ = separatorStr_;
  else name_.trunc(last);
}

GxObjectName GxObjectName::parent() const {
  GxObjectName p(*this);
  p.GxObjectName::walkUp();
  return p;
}

ZUTF8String_6_0 GxObjectName::basename() const {
  unsigned int last = name_.lastIndexOf(separator_);
  if (last == ZAbstractString_6_0::notFound) return name_;
  return name_.subString(last + 1);
}

bool GxObjectName::isAncestor(GxObjectName const& other, unsigned char ifEqual) const {
  unsigned int tl = getLength(), ol = other.getLength();
  if (ol == 1) return true;
  if (tl < ol) return false;
  if (std::memcmp(getChars(), other.getChars(), ol) != 0) return false;
  if (tl == ol) return ifEqual != 0;
  return name_.charAt(ol) == separator_;
}

bool GxObjectName::isDescendent(GxObjectName const& other, unsigned char ifEqual) const {
  unsigned int tl = getLength(), ol = other.getLength();
  if (tl == 1) return true;
  if (tl > ol) return false;
  if (std::memcmp(getChars(), other.getChars(), tl) != 0) return false;
  if (tl == ol) return ifEqual != 0;
  return other.name_.charAt(tl) == separator_;
}

unsigned int GxObjectName::depth() const {
  if (isRoot()) return 0;
  unsigned int n = 0;
  for (char c : name_.view()) n += c == separator_;
  return n;
}

ZUTF8String_6_0 GxObjectName::subString(unsigned int n) const {
  if (n == 0) return ZUTF8String_6_0();
  unsigned int from = 1, hit = ZAbstractString_6_0::notFound;
  for (unsigned int i = 0; i < n; ++i) {
    hit = name_.indexOf(separator_, from);
    if (hit == ZAbstractString_6_0::notFound) break;
    from = hit + 1;
  }
  if (hit == ZAbstractString_6_0::notFound) return name_;
  return name_.subString(0, hit);
}

ZUTF8String_6_0 GxObjectName::elementAt(unsigned int n) const {
  if (n == 0) return ZUTF8String_6_0();
  unsigned int start = 1, hit = ZAbstractString_6_0::notFound;
  for (unsigned int i = 0; i < n; ++i) {
    hit = name_.indexOf(separator_, start);
    if (hit == ZAbstractString_6_0::notFound) break;
    if (i + 1 < n) start = hit + 1;
  }
  // Past the last separator the element runs to the end; asking for more
  // elements than there are keeps returning the last one.
  return name_.subString(start, hit);
}

void GxObjectName::append(char const* text) {
  if (!text || !*text || isRoot(text)) return;
  if (text[0] != separator_) {
    bool endsWithSeparator = !name_.isEmpty() && name_.charAt(name_.getLength() - 1) == separator_;
    if (!endsWithSeparator) name_.append(separator_);
  }
  name_.append(text);
}

void GxObjectName::prepend(char const* text) {
  ZUTF8String_6_0 rest(name_);
  name_ = text;
  append(rest.getChars());
}

ZUTF8String_6_0 GxObjectName::makeRelative(char const* ancestor) const {
  if (isRoot(ancestor)) return name_.subString(1);
  unsigned int skip = (ancestor ? static_cast<unsigned int>(std::strlen(ancestor)) : 0) + 1;
  return name_.subString(skip);
}

void GxObjectName::popAncestor(GxObjectName const& ancestor) {
  if (ancestor.isRoot()) return;
  if (*this == ancestor) {
    name_ = separatorStr_;
    return;
  }
  name_.remove(0, ancestor.getLength());
}

void GxObjectName::pushAncestor(GxObjectName const& ancestor) {
  if (ancestor.isRoot()) return;
  if (isRoot()) {
    name_ = ancestor.name_;
    return;
  }
  name_.prepend(ancestor.name_);
}

unsigned char GxObjectName::valid() { return valid(name_); }

unsigned char GxObjectName::valid(ZUTF8String_6_0& text) {
  if (text.isEmpty() || text.charAt(0) != separator_) return 0;
  auto v = text.view();
  if (v.find('\n') != std::string_view::npos || v.find('\r') != std::string_view::npos) return 0;
  if (v.find("//") != std::string_view::npos) return 0;
  text.replace('\t', ' ');
  unsigned int len = text.getLength();
  while (len > 0 && text.charAt(len - 1) == ' ') --len;
  text.trunc(len);
  if (text.getLength() == 1) return 1;  // the root (trailing spaces are gone)
  if (text.charAt(text.getLength() - 1) == separator_) text.trunc(text.getLength() - 1);
  return 1;
}
