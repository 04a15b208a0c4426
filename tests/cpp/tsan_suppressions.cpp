// Built into the test programs under ThreadSanitizer. oneTBB comes uninstrumented, and so does
// the pool's own file in this build (it tells the sanitizer the order each loop imposes instead):
// the only accesses of oneTBB the sanitizer still sees are the library's calls of intercepted
// functions (memmove on its internal lists, under locks it cannot see), which are ignored here.
// Every access of our code, on host threads and on the pool's workers alike, is still checked.
// Compiled in rather than passed through TSAN_OPTIONS, so that child processes and every CMake
// version see the same rules.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "called_from_lib:libtbb.so.12\n";
}
