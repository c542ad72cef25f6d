#include "engine/heap.h"

#include <pthread.h>
#include <sys/mman.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define BRENDLE_KNOWS_VALGRIND 1
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BRENDLE_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define BRENDLE_UNDER_SANITIZER 1
#endif
#endif

namespace xmlservice::heap {
namespace {

// Memory comes from the system in chunks, and is told apart from the system allocator's by the
// 4 MiB units it covers: every unit of the heap is either a segment of slabs or part of a
// region of large blocks.
constexpr std::size_t kUnit = std::size_t{4} << 20;
constexpr std::size_t kChunk = std::size_t{8} << 20;
constexpr std::size_t kPage = 4096;

// A segment is one unit of 64 slabs of 64 KiB, each holding blocks of one size; the header
// that describes them takes the start of slab 0, which holds blocks in the rest.
constexpr std::size_t kSlabBytes = std::size_t{64} << 10;
constexpr std::size_t kSlabsPerSegment = kUnit / kSlabBytes;
constexpr std::size_t kSmallMost = std::size_t{16} << 10;

// Larger blocks carry a header and lie in spans of whole pages; from a chunk's size on each has a
// mapping of its own, which grows without a copy.
constexpr std::size_t kLargeHeader = 16;
constexpr std::size_t kOwnMappingLeast = kChunk;

// The sizes of small blocks: every 8 bytes up to 128, every 16 up to 256, then four sizes to
// each doubling. The libraries' nodes are 120 bytes and their strings mostly short, and none
// of their blocks needs more alignment than 8 bytes, which every block has (16 from 16 bytes on
// where the size is a multiple of 16).
constexpr int kClassCount = 48;
constexpr std::size_t ClassSize(int sizeClass) noexcept {
    if (sizeClass < 16) return static_cast<std::size_t>(sizeClass + 1) * 8;
    if (sizeClass < 24) return 128 + static_cast<std::size_t>(sizeClass - 15) * 16;
    const int step = sizeClass - 24;
    const std::size_t base = std::size_t{256} << (step / 4);
    return base + static_cast<std::size_t>(step % 4 + 1) * (base / 4);
}
static_assert(ClassSize(15) == 128 && ClassSize(23) == 256 && ClassSize(kClassCount - 1) == kSmallMost);

struct ClassTable {
    // The class of each size, in steps of 8 bytes.
    std::uint8_t ofEighths[kSmallMost / 8 + 1] = {};
    constexpr ClassTable() {
        int sizeClass = 0;
        for (std::size_t eighths = 0; eighths <= kSmallMost / 8; ++eighths) {
            while (ClassSize(sizeClass) < eighths * 8) ++sizeClass;
            ofEighths[eighths] = static_cast<std::uint8_t>(sizeClass);
        }
    }
};
constexpr ClassTable kClasses;

int ClassOf(std::size_t size) noexcept { return kClasses.ofEighths[(size + 7) / 8]; }

// ---------------------------------------------------------------------------------------------
// What each unit of the address space holds, in a two-level table that the owner of a block can
// read without a lock: the units are marked before any block in them is handed out.

enum UnitKind : std::uint8_t { kNotOurs = 0, kSegment = 1, kLargeRegion = 2 };

constexpr unsigned kAddressBits = 48;
constexpr unsigned kUnitBits = 22;
constexpr unsigned kLeafBits = 12;
constexpr std::size_t kLeafUnits = std::size_t{1} << kLeafBits;
constexpr std::size_t kRootEntries = std::size_t{1} << (kAddressBits - kUnitBits - kLeafBits);

std::atomic<std::uint8_t*> gUnitLeaves[kRootEntries];
// Serialises the changes to the table, the chunks and the large blocks' free lists.
std::mutex gRegionMutex;

UnitKind KindOf(const void* address) noexcept {
    const auto unit = reinterpret_cast<std::uintptr_t>(address) >> kUnitBits;
    if ((unit >> kLeafBits) >= kRootEntries) return kNotOurs;
    const std::uint8_t* leaf = gUnitLeaves[unit >> kLeafBits].load(std::memory_order_acquire);
    if (leaf == nullptr) return kNotOurs;
    auto& entry = const_cast<std::uint8_t&>(leaf[unit & (kLeafUnits - 1)]);
    return static_cast<UnitKind>(std::atomic_ref<std::uint8_t>(entry).load(std::memory_order_acquire));
}

// Marks the units of [start, start + length); called with gRegionMutex held.
bool MarkUnits(const char* start, std::size_t length, UnitKind kind) noexcept {
    const auto first = reinterpret_cast<std::uintptr_t>(start) >> kUnitBits;
    const auto last = (reinterpret_cast<std::uintptr_t>(start) + length - 1) >> kUnitBits;
    for (auto unit = first; unit <= last; ++unit) {
        if ((unit >> kLeafBits) >= kRootEntries) return false;
        std::atomic<std::uint8_t*>& root = gUnitLeaves[unit >> kLeafBits];
        std::uint8_t* leaf = root.load(std::memory_order_relaxed);
        if (leaf == nullptr) {
            void* mapped = ::mmap(nullptr, kLeafUnits, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mapped == MAP_FAILED) return false;
            leaf = static_cast<std::uint8_t*>(mapped);
            root.store(leaf, std::memory_order_release);
        }
        std::atomic_ref<std::uint8_t>(leaf[unit & (kLeafUnits - 1)]).store(kind, std::memory_order_release);
    }
    return true;
}

// Reserves `length` bytes (a multiple of kUnit) aligned to a unit. Only the pages touched are
// ever committed; with `hugePages` the system may back them with 2 MiB pages, one fault each.
char* MapUnits(std::size_t length, bool hugePages) noexcept {
    constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    void* raw = ::mmap(nullptr, length + kUnit, PROT_READ | PROT_WRITE, kFlags, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kUnit - 1) & ~(std::uintptr_t{kUnit} - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::uintptr_t tail = start + length + kUnit - (aligned + length);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
    if (hugePages) (void)::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<char*>(aligned);
}

// ---------------------------------------------------------------------------------------------
// Fresh memory costs most at its first touch, when the system clears each page. Once a run has
// taken 64 MiB, a thread of the heap's own maps the next chunk and touches its pages
// while the XML work goes on, so that with a second core free the clearing leaves the work's
// path. It stays one chunk ahead, and stops between two 2 MiB steps when the process ends.

class ChunkPager;
ChunkPager& Pager() noexcept;

class ChunkPager {
public:
    // A new chunk of kChunk bytes aligned to a unit, touched already when the pager had time;
    // null when the system has no memory left. The caller marks its units and chooses its pages.
    char* Take() noexcept {
        char* chunk = nullptr;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            chunk = std::exchange(ready_, nullptr);
            // A run that has needed this many chunks is a large one, likely to need more; a small
            // one never pays for the thread or for a chunk it will not use.
            if (++taken_ >= kChunksBeforePaging && !stopping_ && Start()) {
                wanted_ = true;
                wake_.notify_one();
            }
        }
        return chunk != nullptr ? chunk : MapUnits(kChunk, false);
    }

private:
    static constexpr std::size_t kStep = std::size_t{2} << 20;
    static constexpr std::size_t kChunksBeforePaging = (std::size_t{64} << 20) / kChunk;

    // Starts the thread once; called with the mutex held.
    bool Start() noexcept {
        if (started_) return true;
        pthread_attr_t attributes;
        if (::pthread_attr_init(&attributes) != 0) return false;
        (void)::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE);
        started_ = ::pthread_create(&thread_, &attributes, Loop, this) == 0;
        ::pthread_attr_destroy(&attributes);
        if (started_) {
            static const bool registered = [] {
                std::atexit([] { Pager().Stop(); });
                ::pthread_atfork([] { Pager().mutex_.lock(); }, [] { Pager().mutex_.unlock(); },
                                 [] {
                                     // The child has no pager thread; it starts its own when needed.
                                     Pager().started_ = false;
                                     Pager().wanted_ = false;
                                     Pager().mutex_.unlock();
                                 });
                return true;
            }();
            (void)registered;
        }
        return started_;
    }

    void Stop() noexcept {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            wake_.notify_one();
            if (!started_) return;
            started_ = false;
        }
        ::pthread_join(thread_, nullptr);
    }

    static void* Loop(void* opaque) noexcept {
        auto& pager = *static_cast<ChunkPager*>(opaque);
        std::unique_lock<std::mutex> lock(pager.mutex_);
        for (;;) {
            pager.wake_.wait(lock, [&] { return pager.wanted_ || pager.stopping_; });
            if (pager.stopping_) return nullptr;
            pager.wanted_ = false;
            if (pager.ready_ != nullptr) continue;
            lock.unlock();
            char* chunk = MapUnits(kChunk, false);
            if (chunk != nullptr) {
                (void)::madvise(chunk, kChunk, MADV_HUGEPAGE);
                for (std::size_t step = 0; step < kChunk && !pager.stopping_.load(std::memory_order_relaxed);
                     step += kStep)
                    for (std::size_t page = step; page < step + kStep; page += kPage)
                        static_cast<volatile char*>(chunk)[page] = 0;
            }
            lock.lock();
            if (chunk != nullptr && pager.ready_ == nullptr && !pager.stopping_)
                pager.ready_ = chunk;
            else if (chunk != nullptr)
                ::munmap(chunk, kChunk);
        }
    }

    friend ChunkPager& Pager() noexcept;

    std::mutex mutex_;
    std::condition_variable wake_;
    pthread_t thread_{};
    bool started_ = false;
    bool wanted_ = false;
    std::size_t taken_ = 0;
    std::atomic<bool> stopping_{false};
    char* ready_ = nullptr;
};

// Never destroyed: the heap serves the libraries until the very end of the process.
ChunkPager& Pager() noexcept {
    static ChunkPager* const pager = new ChunkPager;
    return *pager;
}

// ---------------------------------------------------------------------------------------------
// Small blocks: slabs owned by one thread's heap each. The owner allocates and frees without a
// lock; other threads hand their frees back through the slab's remote list.

struct Heap;

struct Slab {
    // The owner's free blocks, linked through their first word.
    void* free = nullptr;
    // Blocks never handed out yet lie between bump and end.
    char* bump = nullptr;
    char* end = nullptr;
    std::uint32_t blockSize = 0;
    std::uint32_t used = 0;
    int sizeClass = 0;
    // In the owner's list of slabs with free blocks of their class.
    bool listed = false;
    Heap* owner = nullptr;
    // The owner's list this slab is in: its class's partial slabs, or its empty slabs.
    Slab* previous = nullptr;
    Slab* next = nullptr;
    // Blocks freed by other threads, and whether the slab waits in its owner's queue for them.
    std::atomic<void*> remote{nullptr};
    std::atomic<bool> queued{false};
    Slab* nextQueued = nullptr;
};

struct SegmentHeader {
    Slab slabs[kSlabsPerSegment];
};
// Where slab 0's blocks start: past the header, keeping the 16-byte alignment of the blocks.
constexpr std::size_t kHeaderBytes = (sizeof(SegmentHeader) + 63) / 64 * 64;
static_assert(kHeaderBytes + kSmallMost <= kSlabBytes);

struct Heap {
    Slab* current[kClassCount] = {};
    Slab* partial[kClassCount] = {};
    Slab* empty = nullptr;
    // Where fresh slabs come from.
    char* segment = nullptr;
    std::size_t nextSlab = kSlabsPerSegment;
    // Slabs with blocks that other threads freed.
    std::atomic<Slab*> queued{nullptr};
    Heap* nextOrphan = nullptr;
};

char* SegmentOf(const void* block) noexcept {
    return reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(block) & ~(std::uintptr_t{kUnit} - 1));
}
Slab& SlabOf(const void* block) noexcept {
    char* segment = SegmentOf(block);
    const std::size_t index = static_cast<std::size_t>(static_cast<const char*>(block) - segment) / kSlabBytes;
    return reinterpret_cast<SegmentHeader*>(segment)->slabs[index];
}

// Segments are handed to heaps from chunks, all on 2 MiB pages: the thread that parses and
// transforms is the caller's own, and even a short run uses most of its first 2 MiB.
char* gSegmentsNext = nullptr;
char* gSegmentsEnd = nullptr;

char* NewSegment() noexcept {
    const std::lock_guard<std::mutex> lock(gRegionMutex);
    if (gSegmentsNext == gSegmentsEnd) {
        char* chunk = Pager().Take();
        if (chunk == nullptr) return nullptr;
        if (!MarkUnits(chunk, kChunk, kSegment)) {
            ::munmap(chunk, kChunk);
            return nullptr;
        }
        (void)::madvise(chunk, kChunk, MADV_HUGEPAGE);
        gSegmentsNext = chunk;
        gSegmentsEnd = chunk + kChunk;
    }
    char* segment = gSegmentsNext;
    gSegmentsNext += kUnit;
    new (segment) SegmentHeader;
    return segment;
}

void Unlink(Slab*& list, Slab& slab) noexcept {
    if (slab.previous != nullptr) slab.previous->next = slab.next;
    else list = slab.next;
    if (slab.next != nullptr) slab.next->previous = slab.previous;
    slab.previous = slab.next = nullptr;
}

void Link(Slab*& list, Slab& slab) noexcept {
    slab.previous = nullptr;
    slab.next = list;
    if (list != nullptr) list->previous = &slab;
    list = &slab;
}

void Prepare(Slab& slab, int sizeClass) noexcept {
    char* segment = SegmentOf(&slab);
    const auto index = static_cast<std::size_t>(&slab - reinterpret_cast<SegmentHeader*>(segment)->slabs);
    const std::size_t size = ClassSize(sizeClass);
    slab.sizeClass = sizeClass;
    slab.blockSize = static_cast<std::uint32_t>(size);
    slab.free = nullptr;
    slab.used = 0;
    const std::size_t offset = index == 0 ? kHeaderBytes : 0;
    slab.bump = segment + index * kSlabBytes + offset;
    slab.end = slab.bump + (kSlabBytes - offset) / size * size;
}

// After the owner got blocks back into `slab`: a slab other than the current one goes to its
// class's partial slabs, or to the empty slabs once nothing in it is used.
void Settle(Heap& heap, Slab& slab) noexcept {
    if (heap.current[slab.sizeClass] == &slab) return;
    if (slab.used == 0) {
        if (slab.listed) Unlink(heap.partial[slab.sizeClass], slab);
        slab.listed = false;
        Link(heap.empty, slab);
    } else if (!slab.listed) {
        slab.listed = true;
        Link(heap.partial[slab.sizeClass], slab);
    }
}

void FreeOwn(Heap& heap, Slab& slab, void* block) noexcept {
    *static_cast<void**>(block) = slab.free;
    slab.free = block;
    --slab.used;
    Settle(heap, slab);
}

void FreeRemote(Slab& slab, void* block) noexcept {
    void* head = slab.remote.load(std::memory_order_relaxed);
    do {
        *static_cast<void**>(block) = head;
    } while (!slab.remote.compare_exchange_weak(head, block, std::memory_order_release, std::memory_order_relaxed));
    if (slab.queued.exchange(true, std::memory_order_acq_rel)) return;
    Heap& owner = *slab.owner;
    Slab* top = owner.queued.load(std::memory_order_relaxed);
    do {
        slab.nextQueued = top;
    } while (!owner.queued.compare_exchange_weak(top, &slab, std::memory_order_release, std::memory_order_relaxed));
}

// Takes back what other threads freed into the heap's slabs.
void CollectRemote(Heap& heap) noexcept {
    Slab* slab = heap.queued.exchange(nullptr, std::memory_order_acquire);
    while (slab != nullptr) {
        // Read before the slab may be queued again by the next remote free.
        Slab* const next = slab->nextQueued;
        slab->queued.store(false, std::memory_order_seq_cst);
        void* block = slab->remote.exchange(nullptr, std::memory_order_seq_cst);
        while (block != nullptr) {
            void* const following = *static_cast<void**>(block);
            *static_cast<void**>(block) = slab->free;
            slab->free = block;
            --slab->used;
            block = following;
        }
        Settle(heap, *slab);
        slab = next;
    }
}

void* Take(Slab& slab) noexcept {
    if (void* block = slab.free) {
        slab.free = *static_cast<void**>(block);
        ++slab.used;
        return block;
    }
    if (slab.bump + slab.blockSize <= slab.end) {
        void* block = slab.bump;
        slab.bump += slab.blockSize;
        ++slab.used;
        return block;
    }
    return nullptr;
}

void* AllocateSmallSlowly(Heap& heap, int sizeClass) noexcept {
    CollectRemote(heap);
    if (Slab* current = heap.current[sizeClass])
        if (void* block = Take(*current)) return block;
    // The current slab is full; it rejoins the partial slabs when one of its blocks is freed.
    Slab* slab = heap.partial[sizeClass];
    if (slab != nullptr) {
        Unlink(heap.partial[sizeClass], *slab);
        slab->listed = false;
    } else if ((slab = heap.empty) != nullptr) {
        Unlink(heap.empty, *slab);
        Prepare(*slab, sizeClass);
    } else {
        if (heap.nextSlab == kSlabsPerSegment) {
            char* segment = NewSegment();
            if (segment == nullptr) return nullptr;
            heap.segment = segment;
            heap.nextSlab = 0;
        }
        slab = &reinterpret_cast<SegmentHeader*>(heap.segment)->slabs[heap.nextSlab++];
        slab->owner = &heap;
        Prepare(*slab, sizeClass);
    }
    heap.current[sizeClass] = slab;
    return Take(*slab);
}

// Heaps of threads that ended wait here for a new thread to take them over, with their slabs and
// whatever is freed into them meanwhile.
Heap* gOrphans = nullptr;
std::mutex gOrphansMutex;

thread_local Heap* tHeap = nullptr;
// Set while a thread ends, once its heap is given up: what it still allocates then comes from the
// system's allocator.
thread_local bool tHeapGivenUp = false;

struct HeapReleaser {
    bool armed = false;
    ~HeapReleaser() {
        if (tHeap != nullptr) {
            const std::lock_guard<std::mutex> lock(gOrphansMutex);
            tHeap->nextOrphan = gOrphans;
            gOrphans = tHeap;
        }
        tHeap = nullptr;
        tHeapGivenUp = true;
    }
};
thread_local HeapReleaser tHeapReleaser;

Heap* ThreadHeap() noexcept {
    if (tHeap != nullptr) return tHeap;
    if (tHeapGivenUp) return nullptr;
    Heap* heap = nullptr;
    {
        const std::lock_guard<std::mutex> lock(gOrphansMutex);
        if (gOrphans != nullptr) {
            heap = gOrphans;
            gOrphans = heap->nextOrphan;
        }
    }
    if (heap == nullptr) heap = new (std::nothrow) Heap;
    if (heap == nullptr) return nullptr;
    tHeapReleaser.armed = true;  // gives the thread its releaser
    tHeap = heap;
    return heap;
}

// ---------------------------------------------------------------------------------------------
// Large blocks: spans of pages with a header, kept for reuse in lists by span size; the sizes
// are rounded to four to each doubling, so that a freed span fits the next block of its size.

struct LargeHeader {
    // The span's bytes, header included; a span of kOwnMappingLeast or more is a mapping of its own.
    std::size_t span;
    // The bytes the block may hold.
    std::size_t usable;
};
static_assert(sizeof(LargeHeader) == kLargeHeader);

LargeHeader& HeaderOf(const void* block) noexcept {
    return *reinterpret_cast<LargeHeader*>(const_cast<char*>(static_cast<const char*>(block)) - kLargeHeader);
}

constexpr std::size_t RoundUp(std::size_t value, std::size_t step) noexcept { return (value + step - 1) / step * step; }

constexpr std::size_t SpanFor(std::size_t size) noexcept {
    const std::size_t pages = RoundUp(size + kLargeHeader, kPage) / kPage;
    if (pages <= 16) return pages * kPage;
    const int highest = static_cast<int>(std::bit_width(pages - 1)) - 1;
    const std::size_t step = std::size_t{1} << (highest - 2);
    return RoundUp(pages, step) * kPage;
}

constexpr int kLargeBins = 64;
constexpr int BinOf(std::size_t span) noexcept {
    const std::size_t pages = span / kPage;
    if (pages <= 16) return static_cast<int>(pages);
    const int highest = static_cast<int>(std::bit_width(pages - 1)) - 1;
    const std::size_t step = std::size_t{1} << (highest - 2);
    return 17 + 4 * (highest - 4) + static_cast<int>(pages / step - 5);
}

// Each span size has a list of its own: a reused span is exactly as large as a new one.
constexpr bool BinsAreDistinct() {
    int lastBin = -1;
    std::size_t lastSpan = 0;
    for (std::size_t size = kSmallMost + 1; SpanFor(size) < kOwnMappingLeast; size += kPage / 2) {
        const std::size_t span = SpanFor(size);
        if (span == lastSpan) continue;
        const int bin = BinOf(span);
        if (bin <= lastBin || bin >= kLargeBins) return false;
        lastBin = bin;
        lastSpan = span;
    }
    return true;
}
static_assert(BinsAreDistinct());

char* gLargeFree[kLargeBins] = {};
char* gLargeNext = nullptr;
char* gLargeEnd = nullptr;

void* AllocateOwnMapping(std::size_t size) noexcept {
    if (size > (std::size_t{1} << 46)) return nullptr;
    const std::size_t length = RoundUp(size + kLargeHeader, kUnit);
    char* mapping = MapUnits(length, true);
    if (mapping == nullptr) return nullptr;
    {
        const std::lock_guard<std::mutex> lock(gRegionMutex);
        if (!MarkUnits(mapping, length, kLargeRegion)) {
            ::munmap(mapping, length);
            return nullptr;
        }
    }
    new (mapping) LargeHeader{length, RoundUp(size + kLargeHeader, kPage) - kLargeHeader};
    return mapping + kLargeHeader;
}

void FreeOwnMapping(void* block) noexcept {
    char* mapping = static_cast<char*>(block) - kLargeHeader;
    const std::size_t length = HeaderOf(block).span;
    {
        const std::lock_guard<std::mutex> lock(gRegionMutex);
        (void)MarkUnits(mapping, length, kNotOurs);
    }
    ::munmap(mapping, length);
}

void* AllocateLarge(std::size_t size) noexcept {
    const std::size_t span = SpanFor(size);
    if (span >= kOwnMappingLeast) return AllocateOwnMapping(size);
    char* start = nullptr;
    {
        const std::lock_guard<std::mutex> lock(gRegionMutex);
        char*& list = gLargeFree[BinOf(span)];
        if (list != nullptr) {
            start = list;
            list = *reinterpret_cast<char**>(start);
        } else {
            if (gLargeNext == nullptr || static_cast<std::size_t>(gLargeEnd - gLargeNext) < span) {
                // The first unit keeps small pages: a short run puts a few blocks there, and a
                // 2 MiB page would be cleared for them.
                const bool first = gLargeNext == nullptr;
                char* chunk = Pager().Take();
                if (chunk == nullptr) return nullptr;
                if (!MarkUnits(chunk, kChunk, kLargeRegion)) {
                    ::munmap(chunk, kChunk);
                    return nullptr;
                }
                (void)::madvise(first ? chunk + kUnit : chunk, first ? kChunk - kUnit : kChunk, MADV_HUGEPAGE);
                gLargeNext = chunk;
                gLargeEnd = chunk + kChunk;
            }
            start = gLargeNext;
            gLargeNext += span;
        }
    }
    new (start) LargeHeader{span, span - kLargeHeader};
    return start + kLargeHeader;
}

void FreeLarge(void* block) noexcept {
    const std::size_t span = HeaderOf(block).span;
    if (span >= kOwnMappingLeast) {
        FreeOwnMapping(block);
        return;
    }
    char* start = static_cast<char*>(block) - kLargeHeader;
    const std::lock_guard<std::mutex> lock(gRegionMutex);
    char*& list = gLargeFree[BinOf(span)];
    *reinterpret_cast<char**>(start) = list;
    list = start;
}

// Grows a block with a mapping of its own by moving its pages to a larger mapping: no copy, and
// never the old and the new block beside each other in memory.
void* GrowOwnMapping(void* block, std::size_t size) noexcept {
    LargeHeader& header = HeaderOf(block);
    if (size + kLargeHeader <= header.span) {
        header.usable = RoundUp(size + kLargeHeader, kPage) - kLargeHeader;
        return block;
    }
    if (size > (std::size_t{1} << 46)) return nullptr;
    char* mapping = static_cast<char*>(block) - kLargeHeader;
    const std::size_t oldLength = header.span;
    const std::size_t length = RoundUp(size + kLargeHeader, kUnit);
    char* target = MapUnits(length, true);
    if (target == nullptr) return nullptr;
    void* moved = ::mremap(mapping, oldLength, length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
    if (moved == MAP_FAILED) {
        ::munmap(target, length);
        return nullptr;
    }
    (void)::madvise(target, length, MADV_HUGEPAGE);
    {
        const std::lock_guard<std::mutex> lock(gRegionMutex);
        (void)MarkUnits(mapping, oldLength, kNotOurs);
        if (!MarkUnits(target, length, kLargeRegion)) {
            // The table cannot say the block is ours; it cannot be kept.
            ::munmap(target, length);
            return nullptr;
        }
    }
    auto* moved_header = reinterpret_cast<LargeHeader*>(target);
    moved_header->span = length;
    moved_header->usable = RoundUp(size + kLargeHeader, kPage) - kLargeHeader;
    return target + kLargeHeader;
}

bool Decided() noexcept {
#if defined(BRENDLE_UNDER_SANITIZER)
    return false;
#elif defined(BRENDLE_KNOWS_VALGRIND)
    return RUNNING_ON_VALGRIND == 0;
#else
    return true;
#endif
}

}  // namespace

bool Suits() noexcept {
    static const bool suits = Decided();
    return suits;
}

void* Allocate(std::size_t size, std::size_t& usable) noexcept {
    if (size <= kSmallMost) {
        const int sizeClass = ClassOf(size);
        Heap* heap = ThreadHeap();
        if (heap == nullptr) {
            void* block = std::malloc(size);
            usable = block != nullptr ? ::malloc_usable_size(block) : 0;
            return block;
        }
        usable = ClassSize(sizeClass);
        if (Slab* slab = heap->current[sizeClass])
            if (void* block = Take(*slab)) return block;
        return AllocateSmallSlowly(*heap, sizeClass);
    }
    void* block = AllocateLarge(size);
    usable = block != nullptr ? HeaderOf(block).usable : 0;
    return block;
}

void* Allocate(std::size_t size) noexcept {
    std::size_t usable = 0;
    return Allocate(size, usable);
}

std::size_t Free(void* block) noexcept {
    if (block == nullptr) return 0;
    switch (KindOf(block)) {
    case kSegment: {
        Slab& slab = SlabOf(block);
        const std::size_t size = slab.blockSize;
        if (slab.owner == tHeap)
            FreeOwn(*tHeap, slab, block);
        else
            FreeRemote(slab, block);
        return size;
    }
    case kLargeRegion: {
        const std::size_t size = HeaderOf(block).usable;
        FreeLarge(block);
        return size;
    }
    case kNotOurs:
        break;
    }
    const std::size_t size = ::malloc_usable_size(block);
    std::free(block);
    return size;
}

std::size_t UsableSize(const void* block) noexcept {
    if (block == nullptr) return 0;
    switch (KindOf(block)) {
    case kSegment: return SlabOf(block).blockSize;
    case kLargeRegion: return HeaderOf(block).usable;
    case kNotOurs: break;
    }
    return ::malloc_usable_size(const_cast<void*>(block));
}

void* Reallocate(void* block, std::size_t size) noexcept {
    if (block == nullptr) return Allocate(size);
    const UnitKind kind = KindOf(block);
    if (kind == kNotOurs) return std::realloc(block, size == 0 ? 1 : size);
    const std::size_t usable = UsableSize(block);
    if (kind == kLargeRegion && HeaderOf(block).span >= kOwnMappingLeast && size > kSmallMost)
        return GrowOwnMapping(block, size);
    // A block that still fits, and is not mostly wasted, stays where it is.
    if (size <= usable && (usable <= kSmallMost || size >= usable / 2)) return block;
    void* moved = Allocate(size);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, block, std::min(size, usable));
    (void)Free(block);
    return moved;
}

}  // namespace xmlservice::heap
