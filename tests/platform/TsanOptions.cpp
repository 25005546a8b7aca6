// Under ThreadSanitizer, Qt itself is not instrumented: its mutexes are futex based and invisible to the
// sanitizer, so the Qt Test watchdog thread alone reports races on every run. Accesses made inside
// uninstrumented libraries are ignored; everything this project compiles is still checked.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MORVANE_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define MORVANE_UNDER_TSAN 1
#endif

#ifdef MORVANE_UNDER_TSAN
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
#endif
