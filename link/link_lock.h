// The one lock of the link: discovery passes, transfers and the finish share
// process-wide tables, so the public entries take it for their whole run.
#pragma once

#include <mutex>

namespace norza::link {

std::mutex& LinkMutex();

}  // namespace norza::link
