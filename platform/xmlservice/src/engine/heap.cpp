#include "engine/heap.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>

namespace xmlservice::heap {
namespace {

// A block larger than the machine's memory can never be had. The allocators would reserve it
// all the same, as the system commits memory only when it is touched, and the process would be
// killed on the first touch instead of seeing a null.
std::size_t gLargestBlock = SIZE_MAX;

void MeasureTheMachine() noexcept {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageBytes = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageBytes > 0) gLargestBlock = static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageBytes);
}

#if !BRENDLE_HEAP_FROM_MIMALLOC

// The sanitizers check the blocks of their own allocator only; mimalloc is not built for them.
void Configure() noexcept {}
void* Take(std::size_t size) noexcept { return std::malloc(size); }
void* Resize(void* block, std::size_t size) noexcept { return std::realloc(block, size); }
void Release(void* block) noexcept { std::free(block); }
std::size_t SizeOf(const void* block) noexcept { return ::malloc_usable_size(const_cast<void*>(block)); }
void Collect() noexcept {}

#else

// mimalloc 2.1 renamed its options on page backing and on giving memory back, and 3.0 commits
// ahead per arena instead of per segment; each name here is the one the release compiled
// against knows. MI_MALLOC_VERSION is 209 for 2.0.9, 30600 for 3.6.0.
#if MI_MALLOC_VERSION >= 300
constexpr mi_option_t kCommitAhead = mi_option_arena_eager_commit;
#else
constexpr mi_option_t kCommitAhead = mi_option_eager_commit;
#endif
#if MI_MALLOC_VERSION >= 210
constexpr mi_option_t kLargePages = mi_option_allow_large_os_pages;
constexpr mi_option_t kGiveBackDelay = mi_option_purge_delay;
#else
constexpr mi_option_t kLargePages = mi_option_large_os_pages;
constexpr mi_option_t kGiveBackDelay = mi_option_decommit_delay;
#endif

void Configure() noexcept {
    // A tree is built from many blocks in a row: its segments are committed when they are
    // reserved, and backed by the system's 2 MiB pages, which cost one fault each instead of
    // 512 faults of 4 KiB. What is freed goes back to the system a little later, so that a
    // large document released leaves no hundreds of megabytes resident, while a run that frees
    // and allocates in turn keeps its pages meanwhile.
    mi_option_set(kCommitAhead, 1);
    mi_option_set(kLargePages, 1);
    mi_option_set(kGiveBackDelay, 100);
    // The allocator never writes to the console: a failure is a null the caller reports.
    mi_option_set(mi_option_show_errors, 0);
    mi_option_set(mi_option_show_stats, 0);
    mi_option_set(mi_option_verbose, 0);
}
void* Take(std::size_t size) noexcept { return mi_malloc(size); }
void* Resize(void* block, std::size_t size) noexcept { return mi_realloc(block, size); }
void Release(void* block) noexcept { mi_free(block); }
std::size_t SizeOf(const void* block) noexcept { return mi_usable_size(block); }
void Collect() noexcept { mi_collect(true); }

#endif

}  // namespace

void Prepare() noexcept {
    MeasureTheMachine();
    Configure();
}

namespace detail {

#if BRENDLE_HEAP_FROM_MIMALLOC
std::atomic<std::uint32_t> gUsableByWords[kRememberedMost / 8 + 1] = {};
#endif

void* AllocateAny(std::size_t size, std::size_t& usable) noexcept {
    void* block = size <= gLargestBlock ? Take(size) : nullptr;
    usable = block != nullptr ? SizeOf(block) : 0;
    return block;
}

std::size_t FreeAny(void* block) noexcept {
    if (block == nullptr) return 0;
    const std::size_t size = SizeOf(block);
    Release(block);
    return size;
}

}  // namespace detail

void* Reallocate(void* block, std::size_t size) noexcept {
    if (size > gLargestBlock) return nullptr;
    // A size of 0 would free the block.
    return Resize(block, size == 0 ? 1 : size);
}

std::size_t UsableSize(const void* block) noexcept { return block != nullptr ? SizeOf(block) : 0; }

void GiveBack() noexcept { Collect(); }

}  // namespace xmlservice::heap
