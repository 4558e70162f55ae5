// Consulted only by LeakSanitizer: Qt's offscreen platform plugin (used
// headless and in tests) never frees its screen objects at exit. Compiled in
// only when NORZA_SANITIZE is set, so the shipped program does not carry it.
extern "C" const char* __lsan_default_suppressions() { return "leak:libqoffscreen.so\n"; }
