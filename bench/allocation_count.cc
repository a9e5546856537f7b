// Counts the heap allocations of the whole process, the loaded module's
// included: malloc and its siblings are defined here, in the executable, so
// the dynamic linker binds every library's calls to them (operator new comes
// through malloc). Each forwards to the C library's own allocator.
#include "bench/allocation_count.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<long> g_allocations{0};

void Count() { g_allocations.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

long AllocationsSoFar() { return g_allocations.load(std::memory_order_relaxed); }

extern "C" {

void* malloc(std::size_t size) noexcept {
  Count();
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
  Count();
  return __libc_calloc(count, size);
}

// A realloc that may move the block counts as an allocation; realloc(p, 0)
// frees.
void* realloc(void* pointer, std::size_t size) noexcept {
  if (size != 0) Count();
  return __libc_realloc(pointer, size);
}

void* memalign(std::size_t alignment, std::size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size) noexcept {
  Count();
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return 12;  // ENOMEM
  *result = block;
  return 0;
}

void free(void* pointer) noexcept { __libc_free(pointer); }

}  // extern "C"
