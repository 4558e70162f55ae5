#include "seams.h"

#include <cstdlib>

namespace norza {
namespace {
// From the build (CMake's NORZA_TEST_SEAMS).
constexpr bool kSeamsBuiltIn = NORZA_TEST_SEAMS != 0;
}  // namespace

bool TestSeamsBuiltIn() { return kSeamsBuiltIn; }

const char* SeamVariable(const char* name) {
  if (!kSeamsBuiltIn) return nullptr;
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace norza
