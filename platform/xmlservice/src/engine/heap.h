// The memory of the XML work. A parsed tree is millions of small blocks; handed out from the
// system's pages one 4 KiB page at a time, the first touch of each page costs a fault that takes
// longer than the work done on it. This heap takes its memory in large regions that the system
// may back with 2 MiB pages, keeps small blocks of one size together in slabs with a free list
// per thread, and keeps what is freed for the next allocation instead of giving it back. A run
// that grows large gets its next region touched ahead by a thread of the heap, off the work's
// own path.
#pragma once

#include <cstddef>

namespace xmlservice::heap {

// A block of at least `size` bytes, aligned to 8 bytes (enough for all that libxml2 and libxslt
// keep), and to 16 when `size` is 16 or more and a multiple of 16; null when the system has no
// memory left.
// Any thread may free it.
void* Allocate(std::size_t size) noexcept;
// Allocate, also telling in `usable` the bytes the block holds.
void* Allocate(std::size_t size, std::size_t& usable) noexcept;
// `block` (null for none) grown or shrunk to `size` bytes, its content kept up to the smaller
// size; null, with `block` untouched, when no memory is left.
void* Reallocate(void* block, std::size_t size) noexcept;
// Frees a block of this heap; null is ignored. The bytes it held.
std::size_t Free(void* block) noexcept;
// The bytes `block` holds, at least what was asked for.
std::size_t UsableSize(const void* block) noexcept;

// False where the system's allocator must see every block: under a sanitizer or valgrind,
// which check the blocks of that allocator only.
bool Suits() noexcept;

}  // namespace xmlservice::heap
