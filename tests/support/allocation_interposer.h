// The C allocator's entry points, replaced in the program that includes this
// file (in exactly one of its source files, and never in a sanitizer build,
// whose runtime owns these names): each allocation first calls
// CountAllocation(), which that program defines, then the C library's own
// allocator. operator new reaches them through malloc.
#pragma once

#include <cerrno>
#include <cstddef>

// Called on every allocation, from whichever thread allocates; it must not
// allocate.
void CountAllocation();

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t bytes) {
  CountAllocation();
  return __libc_malloc(bytes);
}
void* calloc(std::size_t count, std::size_t bytes) {
  CountAllocation();
  return __libc_calloc(count, bytes);
}
void* realloc(void* block, std::size_t bytes) {
  CountAllocation();
  return __libc_realloc(block, bytes);
}
void* aligned_alloc(std::size_t alignment, std::size_t bytes) {
  CountAllocation();
  return __libc_memalign(alignment, bytes);
}
void* memalign(std::size_t alignment, std::size_t bytes) {
  CountAllocation();
  return __libc_memalign(alignment, bytes);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t bytes) {
  CountAllocation();
  *out = __libc_memalign(alignment, bytes);
  return *out != nullptr ? 0 : ENOMEM;
}
void free(void* block) { __libc_free(block); }
}
