#include "outside/ZInet.h"

#include <arpa/inet.h>

int zinet_pton_6_0(int family, char const* src, void* dst) {
  if (src == nullptr || dst == nullptr) return -1;
  return inet_pton(family, src, dst);
}

char const* zinet_ntop_6_0(int family, void const* src, char* dst, unsigned int size) {
  if (src == nullptr || dst == nullptr || size == 0) return nullptr;
  return inet_ntop(family, src, dst, static_cast<socklen_t>(size));
}
