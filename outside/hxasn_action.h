// Plain structures of the action catalogue (32 action groups of 32 action
// slots each) and their BER codec. The structures are filled and freed with
// malloc/strdup/free by both the codec and GxAction/GxActionGroups
// (GxCore/GxAction.h).
//
// Codec (see outside/hxasn.h for the common rules; texts are OCTET STRING,
// or NULL for a null pointer):
//   action  ::= SEQUENCE { id INTEGER, name, text1, text2,
//                          bitmask INTEGER, flags INTEGER,
//                          reserved1 INTEGER, reserved2 INTEGER }
//   group   ::= SEQUENCE { name, reserved1 INTEGER, reserved2 INTEGER,
//                          actions SEQUENCE OF SEQUENCE { slot INTEGER, action } }
//   groups  ::= SEQUENCE { reserved1 INTEGER, reserved2 INTEGER,
//                          groups SEQUENCE OF SEQUENCE { slot INTEGER, group } }
// Only occupied slots are written, in slot order. Decoding refuses a slot
// outside 0..31 or a slot given twice.
#pragma once

#include <cstdint>

#include "outside/gxobj.h"

constexpr unsigned gxaction_max_groups = 32;
constexpr unsigned gxaction_max_actions = 32;

// One action.
struct gxaction_s_t {
  uint32_t id;        // unique over the catalogue when generated
  char* name;         // one ASCII letter
  char* text1;        // free text carried unchanged, or null
  char* text2;        // free text carried unchanged, or null
  uint32_t bitmask;   // the action's bit in its group's mask: 1 << slot
  uint32_t flags;     // gxaction_flag_protected: deleted only when forced
  uint32_t reserved1;
  uint32_t reserved2;
};
constexpr uint32_t gxaction_flag_protected = 0x1;

// One group: slot s holds the action with bit 1 << s, or null.
struct gxaction_group_s_t {
  char* name;
  gxaction_s_t* actions[gxaction_max_actions];
  uint32_t reserved1;
  uint32_t reserved2;
};

// The catalogue: slot g holds the group whose masks are word g of a
// permission set, or null.
struct gxaction_groups_s_t {
  gxaction_group_s_t* groups[gxaction_max_groups];
  uint32_t reserved1;
  uint32_t reserved2;
};

// Encode: out is overwritten (not freed first); 0 or hx_asn_s_encode_failed.
// Decode: out is overwritten; 0, or hx_asn_s_decode_failed with out zeroed
// and nothing allocated. Free: releases every string, action and group
// reachable from s and zeroes it.
unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxaction_s_t const& in);
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxaction_s_t& out);
void hxAsnFreeObj(gxaction_s_t& s);

unsigned long hxAsnEncodeObj(hx_asn_buffer_t& out, gxaction_groups_s_t const& in);
unsigned long hxAsnDecodeObj(hx_asn_buffer_t const& in, gxaction_groups_s_t& out);
void hxAsnFreeObj(gxaction_groups_s_t& s);
