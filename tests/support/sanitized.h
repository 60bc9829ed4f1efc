// Whether this build runs under AddressSanitizer or ThreadSanitizer, whose
// shadow memory does not fit an address-space limit (tests that set one
// skip themselves then).
#ifndef KALMEX_TESTS_SANITIZED_H
#define KALMEX_TESTS_SANITIZED_H

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KALMEX_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KALMEX_TEST_SANITIZED 1
#endif
#endif

#endif
