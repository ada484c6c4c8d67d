// Attribute-value object: attribute storage, the name kept in step with the
// "name" attribute, and the BER record form of the whole collection:
//
//   Record    ::= SEQUENCE OF SEQUENCE {
//                   qualifier  OCTET STRING,            -- "" for the unqualified set
//                   attributes SEQUENCE OF SEQUENCE {
//                     name   OCTET STRING,
//                     values SEQUENCE OF Value } }
//   Value     ::= CHOICE { text [0] IMPLICIT OCTET STRING,
//                          integer [1] IMPLICIT INTEGER (0..4294967295),
//                          boolean [2] IMPLICIT BOOLEAN }
//
// Sets and attributes are written in byte order of their names. Texts never
// hold a NUL byte (they enter as C strings), and a record that has one does
// not decode. A record naming the same qualifier, or the same attribute
// within one set, twice does not decode either; empty attribute and set
// entries decode to nothing.
#include "outside/HXObject.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "outside/hxasn.h"

namespace {

constexpr ber_tag_t tagText = hx_ber_context(0);
constexpr ber_tag_t tagInteger = hx_ber_context(1);
constexpr ber_tag_t tagBoolean = hx_ber_context(2);

std::string_view qualifier(char const* q) { return q != nullptr ? std::string_view(q) : std::string_view(); }

bool isNameAttribute(char const* name, char const* q) {
  return name != nullptr && std::strcmp(name, "name") == 0 && qualifier(q).empty();
}

// Writes s; a text over the record cap makes the writer fail without it
// being read.
void putText(HxBerWriter& w, std::string_view s, ber_tag_t tag) {
  uint32_t n = s.size() > gxobj_max_encoded_length ? gxobj_max_encoded_length + 1u
                                                   : static_cast<uint32_t>(s.size());
  w.putBytes(s.data(), n, tag);
}

}  // namespace

HXObject::HXObject(char const* name) {
  if (name != nullptr && *name != '\0') addStringValue("name", name, nullptr);
}

// ---- storage ---------------------------------------------------------------

HXObject::Attribute* HXObject::find(char const* name, char const* q) {
  return const_cast<Attribute*>(static_cast<HXObject const*>(this)->find(name, q));
}

HXObject::Attribute const* HXObject::find(char const* name, char const* q) const {
  if (name == nullptr) return nullptr;
  auto set = sets_.find(qualifier(q));
  if (set == sets_.end()) return nullptr;
  auto attr = set->second.find(std::string_view(name));
  return attr == set->second.end() ? nullptr : &attr->second;
}

HXObject::Attribute& HXObject::make(char const* name, char const* q) {
  auto set = sets_.find(qualifier(q));
  if (set == sets_.end()) set = sets_.emplace(std::string(qualifier(q)), Set()).first;
  auto attr = set->second.find(std::string_view(name));
  if (attr == set->second.end()) attr = set->second.emplace(std::string(name), Attribute()).first;
  return attr->second;
}

HXObject::Stored const* HXObject::at(char const* name, unsigned int index, char const* q) const {
  Attribute const* a = find(name, q);
  return a != nullptr && index < a->size() ? &(*a)[index] : nullptr;
}

void HXObject::erase(char const* name, char const* q) {
  if (name == nullptr) return;
  auto set = sets_.find(qualifier(q));
  if (set == sets_.end()) return;
  auto attr = set->second.find(std::string_view(name));
  if (attr != set->second.end()) set->second.erase(attr);
  if (set->second.empty()) sets_.erase(set);
}

void HXObject::changed(char const* name, char const* q) {
  if (isNameAttribute(name, q)) syncName();
}

void HXObject::syncName() {
  Stored const* v = at("name", 0, nullptr);
  auto const* text = v != nullptr ? std::get_if<ZUTF8String_6_0>(v) : nullptr;
  if (text != nullptr)
    name_ = *text;
  else
    name_.clear();
}

// ---- values ----------------------------------------------------------------

void HXObject::addStringValue(char const* name, char const* value, char const* q) {
  if (name == nullptr) return;
  make(name, q).emplace_back(std::in_place_index<0>, value);
  changed(name, q);
}

void HXObject::addIntegerValue(char const* name, unsigned int value, char const* q) {
  if (name == nullptr) return;
  make(name, q).emplace_back(std::in_place_index<1>, value);
  changed(name, q);
}

void HXObject::addBooleanValue(char const* name, bool value, char const* q) {
  if (name == nullptr) return;
  make(name, q).emplace_back(std::in_place_index<2>, value);
  changed(name, q);
}

// value is built before the attribute is touched, so it may come from this
// very attribute.
unsigned long HXObject::setValue(char const* name, Stored value, unsigned int index, char const* q) {
  if (name == nullptr) return hx_obj_s_no_attribute;
  Attribute* a = find(name, q);
  size_t const length = a != nullptr ? a->size() : 0;
  if (index > length) return hx_obj_s_no_attribute;
  if (a == nullptr) a = &make(name, q);
  if (index == length)
    a->push_back(std::move(value));
  else
    (*a)[index] = std::move(value);
  changed(name, q);
  return 0;
}

unsigned long HXObject::setStringValue(char const* name, char const* value, unsigned int index, char const* q) {
  return setValue(name, Stored(std::in_place_index<0>, value), index, q);
}

unsigned long HXObject::setIntegerValue(char const* name, unsigned int value, unsigned int index, char const* q) {
  return setValue(name, Stored(std::in_place_index<1>, value), index, q);
}

unsigned long HXObject::setBooleanValue(char const* name, bool value, unsigned int index, char const* q) {
  return setValue(name, Stored(std::in_place_index<2>, value), index, q);
}

ZUTF8String_6_0 const* HXObject::getStringValue(char const* name, unsigned int index, char const* q) const {
  Stored const* v = at(name, index, q);
  return v != nullptr ? std::get_if<ZUTF8String_6_0>(v) : nullptr;
}

unsigned int HXObject::integerValue(char const* name, unsigned int index, char const* q,
                                    unsigned long* status) const {
  Stored const* v = at(name, index, q);
  uint32_t const* n = v != nullptr ? std::get_if<uint32_t>(v) : nullptr;
  if (status != nullptr) *status = n != nullptr ? 0 : (v == nullptr ? hx_obj_s_no_attribute : hx_obj_s_wrong_type);
  return n != nullptr ? *n : 0;
}

bool HXObject::booleanValue(char const* name, unsigned int index, char const* q, unsigned long* status) const {
  Stored const* v = at(name, index, q);
  bool const* b = v != nullptr ? std::get_if<bool>(v) : nullptr;
  if (status != nullptr) *status = b != nullptr ? 0 : (v == nullptr ? hx_obj_s_no_attribute : hx_obj_s_wrong_type);
  return b != nullptr && *b;
}

unsigned int HXObject::length(char const* name, char const* q) const {
  Attribute const* a = find(name, q);
  return a != nullptr ? static_cast<unsigned int>(a->size()) : 0;
}

unsigned long HXObject::deleteValue(char const* name, unsigned int index, char const* q) {
  Attribute* a = find(name, q);
  if (a == nullptr || index >= a->size()) return hx_obj_s_no_attribute;
  a->erase(a->begin() + index);
  if (a->empty()) erase(name, q);
  changed(name, q);
  return 0;
}

void HXObject::deleteAttribute(char const* name, char const* q) {
  erase(name, q);
  changed(name, q);
}

void HXObject::setStringArrayValue(char const* name, ZArrayList_6_0 const& list, char const* q) {
  if (name == nullptr) return;
  Attribute values;
  values.reserve(list.size());
  for (unsigned int i = 0; i < list.size(); ++i) {
    // Any foundation string; other elements have no text and are skipped.
    if (auto const* s = dynamic_cast<ZAbstractString_6_0 const*>(list.get(i)))
      values.emplace_back(std::in_place_index<0>, s->getChars());
  }
  if (values.empty())
    erase(name, q);
  else
    make(name, q) = std::move(values);
  changed(name, q);
}

void HXObject::stringArrayValue(char const* name, ZArrayList_6_0& list, char const* q) const {
  Attribute const* a = find(name, q);
  if (a == nullptr) return;
  for (Stored const& v : *a)
    if (auto const* s = std::get_if<ZUTF8String_6_0>(&v)) list.add(*s);
}

std::vector<std::string> HXObject::attributeNames(char const* q) const {
  std::vector<std::string> names;
  auto set = sets_.find(qualifier(q));
  if (set == sets_.end()) return names;
  names.reserve(set->second.size());
  for (auto const& entry : set->second) names.push_back(entry.first);
  return names;
}

std::vector<std::string> HXObject::qualifiers() const {
  std::vector<std::string> result;
  result.reserve(sets_.size());
  for (auto const& entry : sets_) result.push_back(entry.first);
  return result;
}

void HXObject::clearAttributes() {
  sets_.clear();
  name_.clear();
}

// ---- attribute form --------------------------------------------------------

void HXObject::copySet(HXObject const& from, char const* fromQ, HXObject& to, char const* toQ) {
  auto source = from.sets_.find(qualifier(fromQ));
  // Copied first: from and to may be the same object.
  Set copy = source != from.sets_.end() ? source->second : Set();
  auto dest = to.sets_.find(qualifier(toQ));
  if (copy.empty()) {
    if (dest != to.sets_.end()) to.sets_.erase(dest);
  } else if (dest != to.sets_.end()) {
    dest->second = std::move(copy);
  } else {
    to.sets_.emplace(std::string(qualifier(toQ)), std::move(copy));
  }
  if (qualifier(toQ).empty()) to.syncName();
}

unsigned long HXObject::encode(char const*, char const* q, HXObject& target) {
  copySet(*this, nullptr, target, q);
  return 0;
}

unsigned long HXObject::decode(char const*, char const* q, HXObject& source) {
  copySet(source, q, *this, nullptr);
  return 0;
}

// ---- record form -----------------------------------------------------------

void HXObject::init_gxobj(gxobj_t& record, uint32_t type) { record = gxobj_t{nullptr, 0, type, 0, nullptr}; }

void HXObject::encode(hx_asn_buffer_t& buffer, unsigned long& status) const {
  HxBerWriter w;
  w.beginSequence();
  for (auto const& [q, set] : sets_) {
    w.beginSequence();
    putText(w, q, LBER_OCTETSTRING);
    w.beginSequence();
    for (auto const& [name, values] : set) {
      w.beginSequence();
      putText(w, name, LBER_OCTETSTRING);
      w.beginSequence();
      for (Stored const& v : values) {
        switch (v.index()) {
          case 0: putText(w, std::get<0>(v).view(), tagText); break;
          case 1: w.putInt(std::get<1>(v), tagInteger); break;
          default: w.putBool(std::get<2>(v), tagBoolean); break;
        }
      }
      w.endSequence();
      w.endSequence();
      if (!w.ok()) break;
    }
    w.endSequence();
    w.endSequence();
    if (!w.ok()) break;
  }
  w.endSequence();
  status = w.finish(buffer);
}

void HXObject::encode(gxobj_t& record, unsigned long& status) {
  hx_asn_buffer_t buffer{0, nullptr};
  encode(buffer, status);
  if (status != 0) return;
  record.length = buffer.length;
  record.data = buffer.data;
}

bool HXObject::decodeSets(HxBerReader& r, Sets& sets) {
  if (!r.beginSequence()) return false;
  while (!r.atSequenceEnd()) {
    std::string_view q;
    if (!r.beginSequence() || !r.getText(q) || !r.beginSequence()) return false;
    auto [set, newSet] = sets.try_emplace(std::string(q));
    if (!newSet) return false;
    while (!r.atSequenceEnd()) {
      std::string_view name;
      if (!r.beginSequence() || !r.getText(name) || !r.beginSequence()) return false;
      auto [attr, newAttr] = set->second.try_emplace(std::string(name));
      if (!newAttr) return false;
      Attribute& values = attr->second;
      while (!r.atSequenceEnd()) {
        switch (r.peekTag()) {
          case tagText: {
            std::string_view text;
            if (!r.getText(text, gxobj_max_encoded_length, tagText)) return false;
            values.emplace_back(std::in_place_index<0>, text);
            break;
          }
          case tagInteger: {
            int64_t n = 0;
            if (!r.getInt(n, tagInteger) || n < 0 || n > int64_t{UINT32_MAX}) return false;
            values.emplace_back(std::in_place_index<1>, static_cast<uint32_t>(n));
            break;
          }
          case tagBoolean: {
            bool b = false;
            if (!r.getBool(b, tagBoolean)) return false;
            values.emplace_back(std::in_place_index<2>, b);
            break;
          }
          default:
            return false;
        }
      }
      if (!r.endSequence() || !r.endSequence()) return false;
      if (values.empty()) set->second.erase(attr);
    }
    if (!r.endSequence() || !r.endSequence()) return false;
    if (set->second.empty()) sets.erase(set);
  }
  return r.endSequence() && r.finished();
}

void HXObject::decode(gxobj_t& record, unsigned long& status) {
  HxBerReader reader(record.data, record.length);
  Sets sets;
  if (!decodeSets(reader, sets)) {
    status = hx_obj_s_bad_record;
    return;
  }
  sets_.swap(sets);
  syncName();
  status = 0;
}
