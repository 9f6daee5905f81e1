// The sanitizer settings of every test binary, in one place: the leak
// checker's suppressions. The test support library's link options pull
// this object into each program that links the library.

// Qt's font configuration library keeps caches for the life of the process;
// so does the D-Bus library Qt's X11 platform opens its session bus with.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
