// Authorization rules: named policy objects carrying a rule text, a reason
// string and a list of strings ("adilist") for the callers that evaluate
// rules. The library stores, fetches and attaches rules but never evaluates
// the text. daRule adds no member data: everything lives in the unqualified
// attribute set of its HXObject base ("name", "description", "text",
// "reason", "adilist"), and the whole collection is the record form, stored
// as a record of type 0x50F under the rule's daRuleName key. Decoding is the
// inherited attribute decode; daStoreObject::decode builds a daRule for
// records of that type.
//
// Not synchronised: a rule is changed only by the thread holding it; rules
// shared through the cache are read-only.
#pragma once

#include "GxCore/daStoreObject.h"
#include "outside/ZCollections.h"
#include "outside/ZString.h"

class daRule : public daPolicyObject {
 public:
  static constexpr char const* textAttr_ = "text";
  static constexpr char const* reasonAttr_ = "reason";
  static constexpr char const* adiListAttr_ = "adilist";

  // A rule with no attributes.
  daRule() = default;
  daRule(daRule const&) = default;
  // Assigns the whole attribute collection; self-assignment does nothing.
  daRule& operator=(daRule const& other);
  ~daRule() override = default;
  // A new independent copy; the caller owns it.
  ZObject_6_0* clone() const override { return new daRule(*this); }

  ZUTF8String_6_0 const& getName() const override { return daStoreObject::getName(); }
  ZUTF8String_6_0 getDescription() const override { return daStoreObject::getDescription(); }

  // The rule text / reason: value 0 of the attribute, or null when it is
  // absent. The pointer stays valid until the attribute changes.
  ZUTF8String_6_0 const* getText() const { return getStringValue(textAttr_, 0, nullptr); }
  ZUTF8String_6_0 const* getReason() const { return getStringValue(reasonAttr_, 0, nullptr); }
  // Replace value 0 (the attribute then has exactly this one value).
  void setText(ZUTF8String_6_0 const& text) { setStringValue(textAttr_, text, 0, nullptr); }
  void setReason(ZUTF8String_6_0 const& reason) { setStringValue(reasonAttr_, reason, 0, nullptr); }
  // Appends clones of the ADI strings, in order, to list (nothing when there
  // are none). Give an owning list, or the clones leak.
  void getADIList(ZArrayList_6_0& list) const { stringArrayValue(adiListAttr_, list, nullptr); }
  // Replaces the ADI strings by the string elements of list (copies; list
  // keeps its elements). An empty list removes them.
  void setADIList(ZArrayList_6_0 const& list) { setStringArrayValue(adiListAttr_, list, nullptr); }

  // ---- record form -------------------------------------------------------
  using daPolicyObject::decode;
  using daPolicyObject::encode;
  // record is set up for type 0x50F (key null, value 0; whatever it held is
  // not freed) and on success owns the encoded collection (malloc'ed; free
  // with hxAsnFreeObj). status: 0, or the attribute encoding's failure
  // (record then has no bytes).
  void encode(gxobj_t& record, unsigned long& status) override;

  // ---- attribute form ------------------------------------------------------
  // Writes the rule into attrs under qualifier q: first the base copy of the
  // whole unqualified set, then "text" and "reason" appended (an absent one
  // as the empty text), then "adilist" replaced by the ADI strings (removed
  // when there are none). Returns 0.
  unsigned long encode(char const* name, char const* q, HXObject& attrs) override;
};
