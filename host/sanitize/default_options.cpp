// Default sanitizer settings of every program built with the sanitizers (the
// tests, the command-line program, the benchmarks and the fuzz targets).
// Leak detection is off: LeakSanitizer does not work for i386 programs run
// through qemu-i386 and hangs at exit. The host pools' own block counts and
// the tests' descriptor checks stand in for it. Settings in ASAN_OPTIONS /
// UBSAN_OPTIONS still apply on top of these. The quarantine of freed blocks
// is kept small: a long fuzzing run of an i386 program under qemu fails
// inside AddressSanitizer's allocator once its memory nears 400 MB.
extern "C" {

__attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "detect_leaks=0:abort_on_error=1:strict_string_checks=1:"
         "detect_stack_use_after_return=1:quarantine_size_mb=32";
}

__attribute__((used, visibility("default"))) const char* __ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1";
}

}  // extern "C"
