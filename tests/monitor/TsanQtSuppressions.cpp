// Qt is not built with ThreadSanitizer: the Qt Test watchdog thread hands its wait condition over to
// the main thread, which destroys it at the end of the run, through futexes the sanitizer cannot see,
// and that is reported as a race. Only reports that pass through those Qt frames are suppressed; our own code
// uses std::mutex and std::condition_variable, which the sanitizer sees.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
    return "race:QWaitCondition\nrace:QTest::qRun\n";
}
