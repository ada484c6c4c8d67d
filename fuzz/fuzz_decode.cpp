// Every record decoder through the decode dispatch. The first input byte
// picks a record type id (an index into the known ids), the rest is the
// record's encoded bytes. A record that decodes is encoded again, and a POP
// also decodes its nested IP-auth list, so a decoder that accepts bytes its
// own encoder or readers cannot handle shows too. ACL and map records are
// also decoded by the general reader alone, which must agree with the
// in-place fast path.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "GxCore/GxPop.h"
#include "GxCore/daStoreObject.h"
#include "fuzz_support.h"
#include "tests/support/codec_compare.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gxfuzz::silenceMessages();
  return 0;
}

namespace {
bool isMap(uint32_t type) {
  for (uint32_t t : {gx_type_map_pobj_to_acl, gx_type_map_acl_to_pobj, gx_type_map_pobj_to_pop, gx_type_map_pop_to_pobj,
                     gx_type_map_pobj_to_rule, gx_type_map_rule_to_pobj})
    if (type == t) return true;
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  if (size < 1) return 0;
  gxobj_t record{};
  record.type = gxfuzz::kTypeIds[data[0] % gxfuzz::kTypeCount];
  record.key = const_cast<char*>("/fuzz/record");
  record.length = static_cast<uint32_t>(size - 1);
  // A copy of exactly the record's bytes, so a read past them is caught.
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[size - 1 ? size - 1 : 1]);
  if (size > 1) std::memcpy(bytes.get(), data + 1, size - 1);
  record.data = size > 1 ? bytes.get() : nullptr;

  bool const agree = record.type == gx_type_acl ? gxtest::decodersAgree<acl_ext_s_t>(record.data, record.length)
                     : isMap(record.type) ? gxtest::decodersAgree<map_acl_to_pobj_s_t>(record.data, record.length)
                         : true;
  if (!agree) std::abort();

  daStoreObject* raw = nullptr;
  unsigned long status = 0;
  daStoreObject::decode(record, &raw, status);
  std::unique_ptr<daStoreObject> obj(raw);  // the rule kind comes back even on failure
  if (status != 0 || !obj) return 0;

  if (auto* pop = dynamic_cast<GxPop*>(obj.get())) {
    unsigned long const loaded = pop->getIPAuthList();
    if (loaded == 0) {
      unsigned long const n = pop->get_auth_count();
      for (unsigned long i = 0; i < n && i < 64; ++i) {
        GxAddress network, netmask;
        pop->get_network_addr(static_cast<int>(i), network);
        pop->get_netmask_addr(static_cast<int>(i), netmask);
        (void)pop->get_auth_level(static_cast<int>(i));
      }
      (void)pop->get_auth_level(GxAddress("10.1.2.3"));
      (void)pop->get_auth_level(GxAddress("fd00::1"));
    }
  }

  hx_asn_buffer_t again{0, nullptr};
  unsigned long encodeStatus = 0;
  obj->encode(again, encodeStatus);
  hx_asn_buffer_free(again);
  return 0;
}
