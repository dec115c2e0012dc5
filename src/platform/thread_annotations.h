// Lock rules the compiler can check: Clang's thread-safety analysis reads
// these; other compilers see nothing.
#pragma once

#if defined(__clang__)
#define KQ_TSA(x) __attribute__((x))
#else
#define KQ_TSA(x)
#endif

#define KQ_CAPABILITY(x) KQ_TSA(capability(x))
#define KQ_SCOPED_CAPABILITY KQ_TSA(scoped_lockable)
#define KQ_GUARDED_BY(x) KQ_TSA(guarded_by(x))
#define KQ_PT_GUARDED_BY(x) KQ_TSA(pt_guarded_by(x))
#define KQ_REQUIRES(...) KQ_TSA(requires_capability(__VA_ARGS__))
#define KQ_EXCLUDES(...) KQ_TSA(locks_excluded(__VA_ARGS__))
#define KQ_ACQUIRE(...) KQ_TSA(acquire_capability(__VA_ARGS__))
#define KQ_RELEASE(...) KQ_TSA(release_capability(__VA_ARGS__))
#define KQ_NO_THREAD_SAFETY_ANALYSIS KQ_TSA(no_thread_safety_analysis)
