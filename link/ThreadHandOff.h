#pragma once
// Qt hands a queued call over to the receiving thread under the lock of its
// event queue. Qt is not built for ThreadSanitizer, so that lock is invisible
// to it and whatever the sending thread wrote before queuing the call looks
// unsynchronized when the call reads it. These two mark the same hand-over
// for ThreadSanitizer: HandOffPublished on the sending thread before the call
// is queued, HandOffReceived first in the queued call, with the same token.
// In other builds they are nothing.
#if defined(__SANITIZE_THREAD__)
#define LINVARO_THREAD_SANITIZER_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LINVARO_THREAD_SANITIZER_BUILD 1
#endif
#endif

#ifdef LINVARO_THREAD_SANITIZER_BUILD
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
inline void HandOffPublished(void* token) { __tsan_release(token); }
inline void HandOffReceived(void* token) { __tsan_acquire(token); }
#else
inline void HandOffPublished(void*) {}
inline void HandOffReceived(void*) {}
#endif
