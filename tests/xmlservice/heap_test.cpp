// The memory of the XML work: blocks of every size keep their bytes, whichever thread frees
// them; a size that cannot be had is a null, never a wrapped size or a process killed later.
#include "engine/heap.h"

#include <gtest/gtest.h>

#if __has_include(<mimalloc.h>)
#include <mimalloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

namespace heap = xmlservice::heap;

// A block filled with a byte pattern of its own, so that an overlap or a lost byte shows.
struct Filled {
    unsigned char* block;
    std::size_t size;
    unsigned char tag;
};

Filled Make(std::size_t size, unsigned char tag) {
    std::size_t usable = 0;
    auto* block = static_cast<unsigned char*>(heap::Allocate(size, usable));
    EXPECT_NE(block, nullptr) << size;
    EXPECT_GE(usable, size);
    if (block != nullptr) std::memset(block, tag, size);
    return {block, size, tag};
}

bool Intact(const Filled& filled) {
    return std::all_of(filled.block, filled.block + filled.size, [&](unsigned char c) { return c == filled.tag; });
}

class HeapTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { heap::Prepare(); }
};

TEST_F(HeapTest, BlocksOfEverySizeAreAlignedHoldTheirSizeAndKeepTheirBytesWhenResized) {
    const std::size_t sizes[] = {0,    1,     8,     15,    16,     17,     120,    127,     128,
                                 255,  256,   257,   1000,  4096,   16383,  16384,  16385,   100000,
                                 1 << 20, 6u << 20, (8u << 20) - 100, (33u << 20) + 5};
    for (const std::size_t size : sizes) {
        SCOPED_TRACE(size);
        Filled filled = Make(size, 0x5A);
        ASSERT_NE(filled.block, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(filled.block) % (size >= 16 && size % 16 == 0 ? 16 : 8), 0u);
        EXPECT_GE(heap::UsableSize(filled.block), size);
        // Grown, the bytes move along; shrunk, the first bytes stay.
        for (const std::size_t resized : {size * 3 + 40, size / 2 + 1}) {
            auto* moved = static_cast<unsigned char*>(heap::Reallocate(filled.block, resized));
            ASSERT_NE(moved, nullptr);
            const std::size_t kept = std::min(filled.size, resized);
            EXPECT_TRUE(std::all_of(moved, moved + kept, [](unsigned char c) { return c == 0x5A; }));
            EXPECT_GE(heap::UsableSize(moved), resized);
            std::memset(moved, 0x5A, resized);
            filled = {moved, resized, 0x5A};
        }
        EXPECT_GE(heap::Free(filled.block), filled.size);
    }
    EXPECT_EQ(heap::Free(nullptr), 0u);
    EXPECT_EQ(heap::UsableSize(nullptr), 0u);
}

// The budget counts a block by what Allocate says it holds when it is handed out and by what
// Free says when it goes back; the two must agree for every size, or the count drifts with
// every block. Each size is asked twice, on two threads, since the first answer may be worked
// out and the second remembered.
TEST_F(HeapTest, EveryBlockIsCountedTheSameWhenHandedOutAndWhenFreed) {
    for (int round = 0; round < 2; ++round) {
        std::thread([] {
            for (std::size_t size = 0; size <= 5000; ++size) {
                std::size_t usable = 0;
                void* block = heap::Allocate(size, usable);
                ASSERT_NE(block, nullptr) << size;
                EXPECT_GE(usable, size);
                EXPECT_EQ(heap::UsableSize(block), usable) << size;
                EXPECT_EQ(heap::Free(block), usable) << size;
            }
        }).join();
    }
}

TEST_F(HeapTest, SizesNoMachineHasAreRefusedWithANullAndAResizedBlockStaysIntact) {
    const std::size_t impossible[] = {SIZE_MAX, SIZE_MAX - 16, SIZE_MAX / 2 + 1, std::size_t{1} << 40,
                                      std::size_t{1} << 50};
    Filled kept = Make(100, 0x33);
    ASSERT_NE(kept.block, nullptr);
    for (const std::size_t size : impossible) {
        SCOPED_TRACE(size);
        std::size_t usable = 1;
        EXPECT_EQ(heap::Allocate(size, usable), nullptr);
        EXPECT_EQ(usable, 0u);
        EXPECT_EQ(heap::Reallocate(kept.block, size), nullptr);
        EXPECT_TRUE(Intact(kept));
    }
    heap::Free(kept.block);
}

// One thread allocates, several others free what it allocated, each block checked just before
// its free: a block handed out twice, or freed memory reused while still queued, shows as a
// pattern overwritten. Blocks of 16 KiB and more empty whole pages of the allocator at once,
// which is where a race between a remote free and the owner's collection would strike.
TEST_F(HeapTest, BlocksFreedByOtherThreadsAreNeverHandedOutTwice) {
    constexpr int kFreeingThreads = 6;
    constexpr int kBlocks = 60000;
    const std::size_t sizes[] = {16, 120, 1000, 16 * 1024, 40 * 1024, 300 * 1024};
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Filled> queue;
    bool done = false;
    std::atomic<int> overwritten{0};
    std::atomic<int> freed{0};

    std::vector<std::thread> freeing;
    for (int t = 0; t < kFreeingThreads; ++t) {
        freeing.emplace_back([&] {
            for (;;) {
                Filled filled{};
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    ready.wait(lock, [&] { return !queue.empty() || done; });
                    if (queue.empty()) return;
                    filled = queue.front();
                    queue.pop_front();
                }
                if (!Intact(filled)) ++overwritten;
                heap::Free(filled.block);
                ++freed;
            }
        });
    }
    std::vector<Filled> ownFreed;
    for (int i = 0; i < kBlocks; ++i) {
        Filled filled = Make(sizes[i % std::size(sizes)], static_cast<unsigned char>(i * 7 + 1));
        ASSERT_NE(filled.block, nullptr);
        // Some blocks the owner keeps a while and checks itself, so that its own allocations
        // interleave with the others' frees.
        if (i % 5 == 0) {
            ownFreed.push_back(filled);
            if (ownFreed.size() > 64) {
                for (const Filled& own : ownFreed) {
                    if (!Intact(own)) ++overwritten;
                    heap::Free(own.block);
                }
                ownFreed.clear();
            }
            continue;
        }
        {
            const std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(filled);
        }
        ready.notify_one();
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    ready.notify_all();
    for (std::thread& thread : freeing) thread.join();
    for (const Filled& own : ownFreed) {
        if (!Intact(own)) ++overwritten;
        heap::Free(own.block);
    }
    EXPECT_EQ(overwritten.load(), 0);
    EXPECT_EQ(freed.load(), kBlocks - (kBlocks + 4) / 5);
}

// libxml2 and libxslt may free with the C library's free a block taken through the service's
// allocation functions, or the reverse; that is safe only while both are one allocator.
TEST_F(HeapTest, TheProcessMallocIsTheAllocatorOfTheXmlWork) {
    if (!heap::FromMimalloc()) GTEST_SKIP() << "under a sanitizer both are the sanitizer's allocator";
#if __has_include(<mimalloc.h>)
    void* fromMalloc = std::malloc(200);
    ASSERT_NE(fromMalloc, nullptr);
    EXPECT_TRUE(mi_is_in_heap_region(fromMalloc));
    EXPECT_GE(heap::Free(fromMalloc), 200u);
    std::size_t usable = 0;
    void* fromHeap = heap::Allocate(300, usable);
    ASSERT_NE(fromHeap, nullptr);
    std::free(fromHeap);
#endif
}

}  // namespace
