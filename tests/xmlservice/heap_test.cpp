// The heap of the XML work: blocks of every size keep their bytes and never overlap, whichever
// thread frees them, and freed memory is used again.
#include "engine/heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
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
    auto* block = static_cast<unsigned char*>(heap::Allocate(size));
    EXPECT_NE(block, nullptr) << size;
    if (block != nullptr) std::memset(block, tag, size);
    return {block, size, tag};
}

bool Intact(const Filled& filled) {
    return std::all_of(filled.block, filled.block + filled.size, [&](unsigned char c) { return c == filled.tag; });
}

TEST(Heap, BlocksOfEverySizeAreAlignedHoldTheirSizeAndKeepTheirBytesWhenResized) {
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
        heap::Free(filled.block);
    }
    heap::Free(nullptr);
    EXPECT_EQ(heap::UsableSize(nullptr), 0u);
}

TEST(Heap, ManyBlocksFreedAndMadeAgainNeverOverlap) {
    std::mt19937 random(7);
    std::vector<Filled> live;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 40000; ++i) {
            const std::size_t size = random() % 8 == 0 ? random() % 70000 : random() % 300;
            live.push_back(Make(size, static_cast<unsigned char>(random())));
        }
        // Every other block goes, in no particular order; the rest must be untouched.
        std::shuffle(live.begin(), live.end(), random);
        for (std::size_t i = live.size() / 2; i < live.size(); ++i) heap::Free(live[i].block);
        live.resize(live.size() / 2);
        for (const Filled& filled : live) ASSERT_TRUE(Intact(filled)) << filled.size;
    }
    for (const Filled& filled : live) heap::Free(filled.block);
}

TEST(Heap, BlocksFreedByOtherThreadsAndByEndedThreadsAreUsedAgain) {
    // A thread makes blocks and ends; another frees them. Then blocks of this thread are freed
    // by another while this one goes on allocating.
    std::vector<Filled> made;
    std::thread maker([&] {
        for (int i = 0; i < 20000; ++i) made.push_back(Make(16 + i % 200, static_cast<unsigned char>(i)));
    });
    maker.join();
    std::thread freer([&] {
        for (const Filled& filled : made) {
            EXPECT_TRUE(Intact(filled));
            heap::Free(filled.block);
        }
    });
    freer.join();

    std::vector<Filled> handedOver;
    std::vector<Filled> kept;
    for (int i = 0; i < 20000; ++i) handedOver.push_back(Make(16 + i % 200, 0xA5));
    std::thread remote([&] {
        for (const Filled& filled : handedOver) heap::Free(filled.block);
    });
    for (int i = 0; i < 20000; ++i) kept.push_back(Make(16 + i % 200, static_cast<unsigned char>(i * 7)));
    remote.join();
    for (const Filled& filled : kept) {
        EXPECT_TRUE(Intact(filled));
        heap::Free(filled.block);
    }
}

}  // namespace
