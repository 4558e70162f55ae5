// Consulted only by LeakSanitizer: Qt's offscreen platform plugin (used
// headless and in tests) never frees its screen objects at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libqoffscreen.so\n"; }
