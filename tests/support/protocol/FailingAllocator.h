#pragma once
// Memory that runs out on demand, for the calling thread only: the test
// program replaces the global operator new.
namespace tarvik::test {

// While on, every allocation of this thread throws std::bad_alloc.
void FailAllocations(bool on) noexcept;
// The allocation after the next `count` ones of this thread fails, once.
void FailAllocationAfter(int count) noexcept;
// Whether the planned failure has not come yet (fewer allocations were made).
bool AllocationFailurePending() noexcept;

}  // namespace tarvik::test
