#include "allocations.h"

#include <cstdlib>
#include <new>

namespace {

// Trivial and constant-initialized, so reading it allocates nothing.
thread_local size_t* tCounting = nullptr;

}  // namespace

namespace norza::test {

AllocatedBytes::AllocatedBytes() { tCounting = &total_; }
AllocatedBytes::~AllocatedBytes() { tCounting = nullptr; }

}  // namespace norza::test

// libstdc++'s other forms of new and delete (array, nothrow) end in these;
// the aligned ones pair among themselves.
void* operator new(std::size_t size) {
  if (tCounting) *tCounting += size;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
