// The attribute forms: an attribute object built from the input is read by
// the attribute-form decoders of the POP (current and 5.1.0 forms), extended
// attributes, protected object and authorization server. The ACL and the
// rule have no attribute-form decoder of their own (the attribute object's
// plain copy), so they are not driven here.
//
// Input: byte 0 picks the decoder, byte 1 the qualifier, the rest is either
// an encoded attribute object (what the seed generator writes) or, when it
// does not decode as one, a list of attributes read off the bytes. A decoded
// object is written back in its attribute form and in its record form.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "GxCore/AznLocalSvr.h"
#include "GxCore/GxExtAttr.h"
#include "GxCore/GxPObj.h"
#include "GxCore/GxPop.h"
#include "fuzz_support.h"

namespace {

// Attribute names the decoders read, so that the byte-built form reaches
// them often.
char const* const kNames[] = {
    "popid", "popdesc", "popwmode", "popauditlevel", "popqop", "popdayaccess", "popstartaccess",
    "popendaccess", "poptref", "popauthcount", "popnwaddr", "popnmaddr", "popauthlevel",
    "popauthcount2", "popnwaddr2", "popnmaddr2", "popauthlevel2", "extattrid", "extattrnames",
    "pobjid", "pobjdesc", "pobjpolattach", "pobjtype", "svrid", "svrdesc", "svruser", "svrhost",
    "svrport", "svrmode", "svrver", "svrlisten", "svradmsvc", "name", "description", "a", "b"};

void buildFromBytes(FuzzedDataProvider& in, char const* q, HXObject& attrs) {
  while (in.remaining_bytes() > 0) {
    uint8_t const op = in.ConsumeIntegral<uint8_t>();
    std::string name;
    if (op & 0x80)
      name = in.ConsumeRandomLengthString(32);
    else
      name = kNames[op % (sizeof kNames / sizeof kNames[0])];
    // Now and then a value goes to another qualifier than the one decoded.
    char const* where = (op & 0x40) ? "other" : q;
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
      case 0: attrs.addStringValue(name.c_str(), in.ConsumeRandomLengthString(64).c_str(), where); break;
      case 1: attrs.addIntegerValue(name.c_str(), in.ConsumeIntegral<uint32_t>(), where); break;
      default: attrs.addBooleanValue(name.c_str(), in.ConsumeBool(), where); break;
    }
  }
}

template <class T>
void drive(HXObject& attrs, char const* q, bool form510 = false) {
  T obj;
  unsigned long rc;
  if constexpr (std::is_same_v<T, GxPop>)
    rc = form510 ? obj.decode510("fuzz", q, attrs) : obj.decode("fuzz", q, attrs);
  else
    rc = obj.decode("fuzz", q, attrs);
  if (rc != 0) return;
  HXObject back;
  (void)obj.encode("fuzz", q, back);
  if constexpr (std::is_same_v<T, GxPop>) (void)obj.encode510("fuzz", q, back);
  hx_asn_buffer_t record{0, nullptr};
  unsigned long st = 0;
  obj.encode(record, st);
  hx_asn_buffer_free(record);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gxfuzz::silenceMessages();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  if (size < 2) return 0;
  uint8_t const form = data[0] % gxfuzz::kAttrFormCount;
  char const* q = gxfuzz::qualifierFor(data[1]);

  HXObject attrs;
  std::vector<unsigned char> bytes(data + 2, data + size);
  gxobj_t record{};
  record.length = static_cast<uint32_t>(bytes.size());
  record.data = bytes.empty() ? nullptr : bytes.data();
  unsigned long st = 0;
  attrs.decode(record, st);
  if (st != 0) {
    attrs.clearAttributes();
    FuzzedDataProvider in(data + 2, size - 2);
    buildFromBytes(in, q, attrs);
  }

  switch (form) {
    case gxfuzz::kPop: drive<GxPop>(attrs, q); break;
    case gxfuzz::kPop510: drive<GxPop>(attrs, q, true); break;
    case gxfuzz::kExtAttr: drive<GxExtAttr>(attrs, q); break;
    case gxfuzz::kPObj: drive<GxPObj>(attrs, q); break;
    default: drive<AznLocalSvr>(attrs, q); break;
  }
  return 0;
}
