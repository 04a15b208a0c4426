// Built into the test programs under ThreadSanitizer. oneTBB comes uninstrumented: the sanitizer
// sees neither its internal synchronisation nor the ordering it gives between a loop's pieces and
// its caller, so reports with a TBB frame are noise. Races between host threads outside the pool
// (shared caches, entries) are still reported. Compiled in rather than passed through
// TSAN_OPTIONS, so that child processes and every CMake version see the same rules.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() { return "race:libtbb.so.12\n"; }
