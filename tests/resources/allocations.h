// Bytes asked of operator new by the current thread while a scope is alive:
// a bound on them shows that building a result does not copy it over and
// over. allocations.cpp replaces this test program's global operator new.
#pragma once

#include <cstddef>

namespace norza::test {

// One scope at a time.
class AllocatedBytes {
 public:
  AllocatedBytes();
  ~AllocatedBytes();
  AllocatedBytes(const AllocatedBytes&) = delete;
  AllocatedBytes& operator=(const AllocatedBytes&) = delete;

  size_t total() const { return total_; }

 private:
  size_t total_ = 0;
};

}  // namespace norza::test
