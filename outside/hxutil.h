// Small outside services: DCE-form UUIDs and character-set checks.
#pragma once

#include <cstdint>

// A UUID in DCE form: the first three fields in host byte order.
struct hx_uuid_t {
  uint32_t time_low;
  uint16_t time_mid;
  uint16_t time_hi_and_version;
  uint8_t clock_seq_hi_and_reserved;
  uint8_t clock_seq_low;
  uint8_t node[6];
};

// Status of a UUID text that does not parse.
constexpr unsigned long hx_uuid_s_invalid_string = 0x14C50001;

// Parses the 36-character text form; a null or empty text gives the nil UUID.
void hx_uuid_from_string(char const* text, hx_uuid_t& uuid, unsigned long& status);
// Writes the 36-character lower-case text form and a NUL into out (37 bytes).
void hx_uuid_to_string(hx_uuid_t const& uuid, char out[37], unsigned long& status);
void hx_uuid_create_nil(hx_uuid_t& uuid, unsigned long& status);
// A new random (version 4) UUID.
void hx_uuid_create(hx_uuid_t& uuid, unsigned long& status);
// Non-zero when a and b are the same UUID.
int hx_uuid_equal(hx_uuid_t const& a, hx_uuid_t const& b, unsigned long& status);
int hx_uuid_is_nil(hx_uuid_t const& uuid, unsigned long& status);

// Non-zero when text is not null and every character of it is among the
// characters of allowed (both taken as bytes).
int gx_mbs_checkchars2(char const* text, char const* allowed);
// Non-zero when text is valid UTF-8 (no overlong forms, surrogates or code
// points past U+10FFFF) and contains none of the characters of forbidden.
int utf8_validchars(char const* text, char const* forbidden);
