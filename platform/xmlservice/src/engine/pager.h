// Faulting in the pages of a large piece of work ahead of it, on another core. A tree of a
// hundred megabytes grows into a gigabyte of fresh memory, and the system clears every page of
// it on the first touch: done on the working thread, that clearing is a tenth of the run.
//
// Only a parse is paged for: it grows into fresh memory from start to end. A transformation
// frees and allocates in turn, and paging ahead of it would fault in again what the allocator
// gave back to the system meanwhile.
//
// A thread's growth is told here in steps of a quarter of a megabyte, with the last block it
// was handed out. Once it has grown by kPagingFrom inside a PagingScope, a paging thread faults
// in the pages from that block up to kPagedAhead further, within the block's own mapping, and
// goes on as the growth goes on. Faulting in keeps what the pages hold, so the allocator may
// write to them meanwhile; what the work never reaches costs at most kPagedAhead of memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace xmlservice::pager {

inline constexpr std::size_t kPagingFrom = std::size_t{16} << 20;
inline constexpr std::size_t kPagedAhead = std::size_t{8} << 20;

// While one exists on a thread, that thread's growth is paged ahead. When the outermost one
// ends, the thread's paging thread, if it has one, stops before the destructor returns.
class PagingScope {
public:
    PagingScope() noexcept;
    ~PagingScope();
    PagingScope(const PagingScope&) = delete;
    PagingScope& operator=(const PagingScope&) = delete;
};

// The calling thread's memory has grown by another step of `stepBytes`, and `block` is a block
// it was handed out last. Nothing happens outside a PagingScope.
void Grew(const void* block, std::size_t stepBytes) noexcept;

// True while the calling thread has a paging thread.
bool Paging() noexcept;

// The mapping of the process that holds `address`, when it is private, writable memory of its
// own (no file's); the pages faulted in for a block never leave it.
struct Mapping {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
};
bool FindWritableMapping(const void* address, Mapping& mapping) noexcept;

}  // namespace xmlservice::pager
