// The sanitizer settings of every test binary, in one place: the leak
// checker's suppressions. The test support library's link options pull
// this object into each program that links the library.

// Qt's font configuration library keeps caches for the life of the process.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
