#include "link_lock.h"

namespace norza::link {

std::mutex& LinkMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace norza::link
