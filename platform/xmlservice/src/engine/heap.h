// The memory of the XML work. A parsed tree is millions of small blocks: handed out from the
// system's pages one 4 KiB page at a time, the first touch of each page costs a fault that takes
// longer than the work done on it. The blocks come from mimalloc, set up here for that work:
// its pages backed by the system's 2 MiB pages, and committed as they are reserved.
//
// Allocating and freeing are inline: the libraries call them tens of millions of times for a
// large document, and the budget asks each time for the bytes a block holds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BRENDLE_HEAP_FROM_MIMALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define BRENDLE_HEAP_FROM_MIMALLOC 0
#endif
#endif
#if !defined(BRENDLE_HEAP_FROM_MIMALLOC)
#define BRENDLE_HEAP_FROM_MIMALLOC 1
#include <mimalloc.h>
#endif

namespace xmlservice::heap {

// Sets the allocator up for the XML work; once, before the first block is handed out.
void Prepare() noexcept;

// A block of at least `size` bytes, aligned for any type, and telling in `usable` the bytes it
// holds; null when no memory is left or the size cannot be had. Any thread may free it.
void* Allocate(std::size_t size, std::size_t& usable) noexcept;
// `block` (null for none) grown or shrunk to `size` bytes, its content kept up to the smaller
// size; null, with `block` untouched, when no memory is left.
void* Reallocate(void* block, std::size_t size) noexcept;
// Frees a block of this heap; null is ignored. The bytes it held.
std::size_t Free(void* block) noexcept;
// The bytes `block` holds, at least what was asked for; 0 for null.
std::size_t UsableSize(const void* block) noexcept;

// Gives the memory of freed blocks back to the system; after a large tree is released.
void GiveBack() noexcept;

// True when the blocks come from mimalloc; false in builds under a sanitizer, where they come
// from the sanitizer's allocator, which checks only the blocks it hands out itself.
constexpr bool FromMimalloc() noexcept { return BRENDLE_HEAP_FROM_MIMALLOC != 0; }

namespace detail {

void* AllocateAny(std::size_t size, std::size_t& usable) noexcept;
std::size_t FreeAny(void* block) noexcept;

#if BRENDLE_HEAP_FROM_MIMALLOC
// Asking mimalloc what a new block holds looks its page up, which costs as much as the
// allocation itself. mimalloc sizes a small block by the number of 8-byte words asked for, so
// the answer for each word count is asked once and remembered. Zero means not asked yet.
inline constexpr std::size_t kRememberedMost = 4096;
extern std::atomic<std::uint32_t> gUsableByWords[kRememberedMost / 8 + 1];
#endif

}  // namespace detail

#if BRENDLE_HEAP_FROM_MIMALLOC

inline void* Allocate(std::size_t size, std::size_t& usable) noexcept {
    // Size 0 wraps around and takes the general path.
    if (size - 1 >= detail::kRememberedMost) return detail::AllocateAny(size, usable);
    void* block = mi_malloc(size);
    if (block == nullptr) {
        usable = 0;
        return nullptr;
    }
    std::atomic<std::uint32_t>& remembered = detail::gUsableByWords[(size + 7) / 8];
    std::uint32_t held = remembered.load(std::memory_order_relaxed);
    if (held == 0) {
        held = static_cast<std::uint32_t>(mi_usable_size(block));
        remembered.store(held, std::memory_order_relaxed);
    }
    usable = held;
    return block;
}

inline std::size_t Free(void* block) noexcept {
    if (block == nullptr) return 0;
    const std::size_t held = mi_usable_size(block);
    mi_free(block);
    return held;
}

#else

inline void* Allocate(std::size_t size, std::size_t& usable) noexcept { return detail::AllocateAny(size, usable); }
inline std::size_t Free(void* block) noexcept { return detail::FreeAny(block); }

#endif

}  // namespace xmlservice::heap
