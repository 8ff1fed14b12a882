// Clang thread-safety annotations; empty under other compilers.
#pragma once

#if defined(__clang__)
#define KESTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KESTREL_THREAD_ANNOTATION(x)
#endif

#define GUARDED_BY(x) KESTREL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KESTREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) KESTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KESTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
