// Built into every test program of a ThreadSanitizer build. Qt is not instrumented: its mutexes and wait
// conditions hand over through futexes the sanitizer cannot see, so accesses inside Qt's libraries are
// ignored, and the Qt Test watchdog's wait condition, destroyed by the main thread at the end of a run,
// is not reported. Everything this project compiles is still checked; its own code locks with
// std::mutex and std::condition_variable, which the sanitizer sees.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}

extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
    return "race:QWaitCondition\nrace:QTest::qRun\n";
}
