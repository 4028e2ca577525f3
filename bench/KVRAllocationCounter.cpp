#include "KVRAllocationCounter.h"

#include <cstdlib>
#include <new>

namespace {
std::uint64_t allocations = 0;
std::uint64_t bytes = 0;

void* allocate(std::size_t size) {
  ++allocations;
  bytes += size;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

KVRAllocationCount KVRAllocationsSoFar() { return {allocations, bytes}; }

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
