// Which sanitizer this build runs under, for tests that do less under the
// (slower) sanitizers or step around what lies outside their model.
#pragma once

#if defined(__has_feature)
#define KESTREL_TEST_HAS_FEATURE(feature) __has_feature(feature)
#else
#define KESTREL_TEST_HAS_FEATURE(feature) 0
#endif

namespace korvane::testing {

#if defined(__SANITIZE_THREAD__) || KESTREL_TEST_HAS_FEATURE(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

#if defined(__SANITIZE_ADDRESS__) || KESTREL_TEST_HAS_FEATURE(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif

inline constexpr bool kSanitized = kThreadSanitizer || kAddressSanitizer;

}  // namespace korvane::testing
