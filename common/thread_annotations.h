// Clang thread-safety annotations. With clang and -Wthread-safety the
// compiler checks that every field marked GUARDED_BY is touched only with its
// lock held and that functions marked REQUIRES are called with it; other
// compilers see empty macros. The lock types of common/sem.h are capabilities.
//
// Use: mark each field a lock guards, GUARDED_BY(_lock); mark a private
// helper that expects the caller to hold the lock, REQUIRES(_lock); write the
// lock order beside every lock taken while another is held, ACQUIRED_AFTER
// where the compiler can check it.
#ifndef DRV_COMMON_THREAD_ANNOTATIONS_H
#define DRV_COMMON_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define DRV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define DRV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) DRV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY DRV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) DRV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) DRV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) DRV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) DRV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) DRV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) DRV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) DRV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) DRV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) DRV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) DRV_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) DRV_THREAD_ANNOTATION(lock_returned(x))
// For the rare function whose locking the analysis cannot follow (a lock
// handed between threads, a lock taken through a pointer chosen at run time).
// Say why beside every use.
#define NO_THREAD_SAFETY_ANALYSIS DRV_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif
