// The memory of the XML work. A parsed tree is millions of small blocks: handed out from the
// system's pages one 4 KiB page at a time, the first touch of each page costs a fault that takes
// longer than the work done on it. The blocks come from mimalloc, set up here for that work:
// its pages backed by the system's 2 MiB pages, and committed as they are reserved.
#pragma once

#include <cstddef>

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
bool FromMimalloc() noexcept;

}  // namespace xmlservice::heap
