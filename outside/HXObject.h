// Attribute-value object: a named collection of attributes, each a name with
// an ordered list of values (texts, unsigned 32-bit integers or booleans),
// kept in sets selected by a qualifier text (null and "" select the
// unqualified set). Policy objects derive from it; its whole collection
// encodes into a gxobj_t record and back.
//
// Not synchronised: an object is either private to one thread or, once
// shared (cached), only read.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "outside/ZCollections.h"
#include "outside/ZString.h"
#include "outside/gxobj.h"

class HxBerReader;

// Statuses of the attribute object.
constexpr unsigned long hx_obj_s_no_attribute = 0x10652301;   // no such attribute or value index
constexpr unsigned long hx_obj_s_wrong_type = 0x10652302;     // the value has another type
constexpr unsigned long hx_obj_s_bad_record = 0x10652303;     // the record does not decode

class HXObject : public ZObject_6_0 {
 public:
  using Value = std::variant<std::string, uint32_t, bool>;

  explicit HXObject(char const* name = nullptr);
  HXObject(HXObject const&) = default;
  HXObject& operator=(HXObject const&) = default;
  ~HXObject() override = default;
  ZObject_6_0* clone() const override { return new HXObject(*this); }

  // The object's name: value 0 of the unqualified attribute "name" (set by
  // the constructor or by setStringValue("name", ...)); empty when none.
  ZUTF8String_6_0 const& getName() const { return name_; }

  // Appending values (a null text is stored as an empty one; a null name
  // does nothing).
  void addStringValue(char const* name, char const* value, char const* q);
  void addIntegerValue(char const* name, unsigned int value, char const* q);
  void addBooleanValue(char const* name, bool value, char const* q);
  // Replaces value index of the attribute; index == length() appends.
  // Returns 0 or hx_obj_s_no_attribute (index past the end).
  unsigned long setStringValue(char const* name, char const* value, unsigned int index, char const* q);
  unsigned long setStringValue(char const* name, ZUTF8String_6_0 const& value, unsigned int index, char const* q) {
    return setStringValue(name, value.getChars(), index, q);
  }
  unsigned long setIntegerValue(char const* name, unsigned int value, unsigned int index, char const* q);
  unsigned long setBooleanValue(char const* name, bool value, unsigned int index, char const* q);

  // Reading values. getStringValue returns null when there is no such text
  // value; the pointer is valid until the attribute changes.
  ZUTF8String_6_0 const* getStringValue(char const* name, unsigned int index, char const* q) const;
  // The value, or 0 / false with *status hx_obj_s_no_attribute or
  // hx_obj_s_wrong_type when there is none of that type.
  unsigned int integerValue(char const* name, unsigned int index, char const* q,
                            unsigned long* status = nullptr) const;
  bool booleanValue(char const* name, unsigned int index, char const* q, unsigned long* status = nullptr) const;
  // Number of values of the attribute, 0 when absent.
  unsigned int length(char const* name, char const* q) const;
  unsigned long deleteValue(char const* name, unsigned int index, char const* q);
  void deleteAttribute(char const* name, char const* q);
  // Replaces the attribute by the texts of list (ZUTF8String_6_0 elements) /
  // appends clones of the attribute's texts to list.
  void setStringArrayValue(char const* name, ZArrayList_6_0 const& list, char const* q);
  void stringArrayValue(char const* name, ZArrayList_6_0& list, char const* q) const;

  // Names of the attributes of one set, and the qualifiers in use ("" for
  // the unqualified set), in byte order.
  std::vector<std::string> attributeNames(char const* q) const;
  std::vector<std::string> qualifiers() const;
  bool empty() const { return sets_.empty(); }
  void clearAttributes();

  // Sets up an empty record of type id type (key null, value 0).
  static void init_gxobj(gxobj_t& record, uint32_t type);

  // Attribute form of a policy object, written into / read from another
  // attribute object under an attribute name and qualifier. The base
  // versions make target's set q a copy of this object's unqualified set
  // (decode: this object's unqualified set a copy of source's set q; an
  // absent set copies as an empty one) and return 0.
  virtual unsigned long encode(char const* name, char const* q, HXObject& target);
  virtual unsigned long decode(char const* name, char const* q, HXObject& source);
  // The whole collection into record's length and data (type, key and value
  // untouched; data replaced, the old bytes are not freed) / from them.
  // Statuses: 0, hx_asn_s_encode_failed (over gxobj_max_encoded_length),
  // hx_obj_s_bad_record. decode replaces this object's attributes only on
  // success; the record must hold exactly one encoding, nothing after it.
  virtual void encode(gxobj_t& record, unsigned long& status);
  virtual void encode(hx_asn_buffer_t& buffer, unsigned long& status) const;
  virtual void decode(gxobj_t& record, unsigned long& status);

 private:
  // Texts are kept as ZUTF8String_6_0 so that getStringValue can hand out a
  // pointer to the stored value.
  using Stored = std::variant<ZUTF8String_6_0, uint32_t, bool>;
  using Attribute = std::vector<Stored>;
  using Set = std::map<std::string, Attribute, std::less<>>;
  using Sets = std::map<std::string, Set, std::less<>>;
  Attribute* find(char const* name, char const* q);
  Attribute const* find(char const* name, char const* q) const;
  Attribute& make(char const* name, char const* q);
  Stored const* at(char const* name, unsigned int index, char const* q) const;
  unsigned long setValue(char const* name, Stored value, unsigned int index, char const* q);
  // Removes the attribute, and its set when that becomes empty.
  void erase(char const* name, char const* q);
  // Replaces set to by a copy of from's set (or removes it when from has none).
  static void copySet(HXObject const& from, char const* fromQ, HXObject& to, char const* toQ);
  static bool decodeSets(HxBerReader& reader, Sets& sets);
  // Called after a change of attribute name in set q.
  void changed(char const* name, char const* q);
  void syncName();

  // Invariant: no set and no attribute is empty.
  Sets sets_;
  ZUTF8String_6_0 name_;
};
