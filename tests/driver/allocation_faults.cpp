#include "allocation_faults.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// The least size of the allocation to fail; 0 when none is to fail.
std::atomic<std::size_t> gFailingSize{0};
// How many allocations of that size go through before the one that fails.
std::atomic<int> gSkips{0};

void* Allocate(std::size_t size) {
    const std::size_t failing = gFailingSize.load();
    if (failing != 0 && size >= failing && gSkips.fetch_sub(1) <= 0) {
        gFailingSize = 0;
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}

}  // namespace

void FailAllocation(std::size_t bytes, int skip) noexcept {
    gSkips = skip;
    gFailingSize = bytes == 0 ? 1 : bytes;
}

// Every form of the global operator new and delete is replaced, so that each block is freed by
// the allocator that made it (the address sanitizer checks that).
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
