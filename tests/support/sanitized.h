// Whether this build runs under a sanitizer. Sanitizer builds reserve their
// shadow memory up front and abort when an allocation fails, so a test that
// puts a process under an address-space limit tests the sanitizer, not the
// code: such tests run in the plain build only.
#pragma once

namespace gxtest {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

}  // namespace gxtest
