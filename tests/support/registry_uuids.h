// The users and groups the registry tests name, by uuid, and the uuid text
// both ways, so that the core's and the tools' registry tests agree on who
// is who.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "outside/hxutil.h"

// `using namespace gxtest::registry_sample;` brings them all.
namespace gxtest::registry_sample {

inline constexpr char const* kAlice = "6f1c0a56-8b1e-4c1e-9d7e-1f2a3b4c5d6e";
inline constexpr char const* kBob = "7a2d1b67-9c2f-4d2f-8e8f-2a3b4c5d6e7f";
inline constexpr char const* kWeb = "0b9f3e2a-1c4d-4e5f-8a9b-7c6d5e4f3a2b";
inline constexpr char const* kOps = "1c0a4f3b-2d5e-4f60-9bac-8d7e6f5a4b3c";

// text as a uuid; a text that is not one fails the test.
inline hx_uuid_t uuid(char const* text) {
  hx_uuid_t u{};
  unsigned long st;
  hx_uuid_from_string(text, u, st);
  EXPECT_EQ(st, 0u) << text;
  return u;
}

inline std::string text(hx_uuid_t const& u) {
  char out[37];
  unsigned long st;
  hx_uuid_to_string(u, out, st);
  return out;
}

}  // namespace gxtest::registry_sample
