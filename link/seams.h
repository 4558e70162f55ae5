// The environment variables that point a program at stand-ins for the
// machine: fake sysfs and /dev trees, emulated calculators, a faster clock.
// They are built in by default, for the tests and the demo; the shipped
// programs (the Debian package, Updater.exe) are built with
// NORZA_TEST_SEAMS=OFF and read none of them, so a variable left behind in
// an environment can never make an update write somewhere else or say "Done"
// for calculators that were never written.
#pragma once

namespace norza {

// Whether this build honours the variables at all.
bool TestSeamsBuiltIn();

// The variable's value when this build honours it and it is set and not
// empty; otherwise nullptr.
const char* SeamVariable(const char* name);

}  // namespace norza
