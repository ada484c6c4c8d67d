#include "outside/hxutil.h"

#include <uuid/uuid.h>

#include <cstring>

namespace {

void fromBytes(uuid_t const b, hx_uuid_t& u) {
  u.time_low = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
  u.time_mid = uint16_t((b[4] << 8) | b[5]);
  u.time_hi_and_version = uint16_t((b[6] << 8) | b[7]);
  u.clock_seq_hi_and_reserved = b[8];
  u.clock_seq_low = b[9];
  std::memcpy(u.node, b + 10, 6);
}

void toBytes(hx_uuid_t const& u, uuid_t b) {
  b[0] = uint8_t(u.time_low >> 24); b[1] = uint8_t(u.time_low >> 16);
  b[2] = uint8_t(u.time_low >> 8);  b[3] = uint8_t(u.time_low);
  b[4] = uint8_t(u.time_mid >> 8);  b[5] = uint8_t(u.time_mid);
  b[6] = uint8_t(u.time_hi_and_version >> 8); b[7] = uint8_t(u.time_hi_and_version);
  b[8] = u.clock_seq_hi_and_reserved; b[9] = u.clock_seq_low;
  std::memcpy(b + 10, u.node, 6);
}

}  // namespace

void hx_uuid_from_string(char const* text, hx_uuid_t& uuid, unsigned long& status) {
  status = 0;
  if (!text || !*text) { std::memset(&uuid, 0, sizeof uuid); return; }
  uuid_t b;
  if (std::strlen(text) != 36 || uuid_parse(text, b) != 0) {
    status = hx_uuid_s_invalid_string;
    return;
  }
  fromBytes(b, uuid);
}

void hx_uuid_to_string(hx_uuid_t const& uuid, char out[37], unsigned long& status) {
  status = 0;
  uuid_t b;
  toBytes(uuid, b);
  uuid_unparse_lower(b, out);
}

void hx_uuid_create_nil(hx_uuid_t& uuid, unsigned long& status) {
  status = 0;
  std::memset(&uuid, 0, sizeof uuid);
}

void hx_uuid_create(hx_uuid_t& uuid, unsigned long& status) {
  status = 0;
  uuid_t b;
  uuid_generate_random(b);
  fromBytes(b, uuid);
}

int hx_uuid_equal(hx_uuid_t const& a, hx_uuid_t const& b, unsigned long& status) {
  status = 0;
  return a.time_low == b.time_low && a.time_mid == b.time_mid && a.time_hi_and_version == b.time_hi_and_version &&
         a.clock_seq_hi_and_reserved == b.clock_seq_hi_and_reserved && a.clock_seq_low == b.clock_seq_low &&
         std::memcmp(a.node, b.node, 6) == 0;
}

int hx_uuid_is_nil(hx_uuid_t const& uuid, unsigned long& status) {
  hx_uuid_t nil;
  hx_uuid_create_nil(nil, status);
  return hx_uuid_equal(uuid, nil, status);
}

int gx_mbs_checkchars2(char const* text, char const* allowed) {
  if (!text || !allowed) return 0;
  for (char const* p = text; *p; ++p)
    if (!std::strchr(allowed, *p)) return 0;
  return 1;
}

int utf8_validchars(char const* text, char const* forbidden) {
  if (!text) return 0;
  auto const* p = reinterpret_cast<unsigned char const*>(text);
  while (*p) {
    unsigned char c = *p;
    if (c < 0x80) {
      if (forbidden && std::strchr(forbidden, c)) return 0;
      ++p;
      continue;
    }
    int n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) { n = 1; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { n = 2; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { n = 3; cp = c & 0x07; }
    else return 0;
    for (int i = 1; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return 0;  // also stops at the NUL
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    static constexpr uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    p += n + 1;
  }
  return 1;
}
