#include "support/protocol/FailingAllocator.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool GFailAll = false;
thread_local int GFailIn = -1;  // allocations left before the one that fails; -1: none planned

void* Allocate(std::size_t size) {
  if (GFailAll) throw std::bad_alloc();
  if (GFailIn >= 0 && GFailIn-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace tarvik::test {
void FailAllocations(bool on) noexcept { GFailAll = on; }
void FailAllocationAfter(int count) noexcept { GFailIn = count; }
bool AllocationFailurePending() noexcept { return GFailIn >= 0; }
}  // namespace tarvik::test

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
