// Whether the tests (and the programs they run, built alike) carry the address sanitizer: gcc
// says so with __SANITIZE_ADDRESS__, clang only through __has_feature. Under it freed memory is
// held back on purpose and every step is slower, so memory growth says nothing and floods are
// kept smaller.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif
#else
inline constexpr bool kSanitizedBuild = false;
#endif
