// Clang's thread-safety attributes, checked by -Wthread-safety; other
// compilers see nothing.
#ifndef KVX_PLATFORM_THREAD_ANNOTATIONS_H_
#define KVX_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define KVX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KVX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KVX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KVX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KVX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KVX_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) KVX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) KVX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) KVX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KVX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS \
  KVX_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // KVX_PLATFORM_THREAD_ANNOTATIONS_H_
