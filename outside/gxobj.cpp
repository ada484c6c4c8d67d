#include "outside/gxobj.h"

#include <cstdlib>

void hx_asn_buffer_free(hx_asn_buffer_t& buffer) {
  std::free(buffer.data);
  buffer = hx_asn_buffer_t{};
}

void hxAsnFreeObj(gxobj_t& record) {
  std::free(record.key);
  std::free(record.data);
  record = gxobj_t{};
}
