// Whether this program is built with AddressSanitizer or ThreadSanitizer, and
// how much slower that makes it: tests that race a running capture give the
// capture that much longer to outlast what they do beside it.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DUALCAM_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DUALCAM_SANITIZED 1
#endif
#endif

namespace dualcam::testing {

#if defined(DUALCAM_SANITIZED)
inline constexpr int kSanitizerSlowdown = 3;
#else
inline constexpr int kSanitizerSlowdown = 1;
#endif

}  // namespace dualcam::testing
