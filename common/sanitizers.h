// Whether this build runs under AddressSanitizer, whose own memory and
// stacks change what a thread needs and what a process measures.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define QV2_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV2_SANITIZED 1
#endif
#endif
