// Faulting in ahead of a growing parse: only inside its scope and once it has grown enough, only
// pages of the mapping that holds its last block and no further than the distance ahead, and
// never changing what the pages hold.
#include "engine/pager.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

namespace {

namespace pager = xmlservice::pager;

constexpr std::size_t kMiB = std::size_t{1} << 20;

std::size_t PageBytes() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

// Private anonymous memory of `bytes`, unmapped at the end.
class Region {
public:
    explicit Region(std::size_t bytes, int protection = PROT_READ | PROT_WRITE) : bytes_(bytes) {
        void* mapped = ::mmap(nullptr, bytes, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped != MAP_FAILED) base_ = static_cast<char*>(mapped);
    }
    ~Region() {
        if (base_ != nullptr) ::munmap(base_, bytes_);
    }
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;

    char* At(std::size_t offset) const { return base_ + offset; }
    bool Mapped() const { return base_ != nullptr; }
    std::size_t Bytes() const { return bytes_; }

    // Whether each page from `from` up to `to` is in memory.
    std::vector<bool> Resident(std::size_t from, std::size_t to) const {
        std::vector<unsigned char> pages((to - from + PageBytes() - 1) / PageBytes());
        EXPECT_EQ(::mincore(base_ + from, to - from, pages.data()), 0) << std::strerror(errno);
        std::vector<bool> resident;
        for (const unsigned char page : pages) resident.push_back((page & 1) != 0);
        return resident;
    }
    bool AllResident(std::size_t from, std::size_t to) const {
        for (const bool page : Resident(from, to))
            if (!page) return false;
        return true;
    }
    bool NoneResident(std::size_t from, std::size_t to) const {
        for (const bool page : Resident(from, to))
            if (page) return false;
        return true;
    }

private:
    std::size_t bytes_;
    char* base_ = nullptr;
};

// Waits up to five seconds for the paging thread to have faulted in `from` up to `to`.
bool BecomesResident(const Region& region, std::size_t from, std::size_t to) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!region.AllResident(from, to)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class PagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "no processor to spare for paging";
        Region probe(PageBytes());
        if (::madvise(probe.At(0), PageBytes(), MADV_POPULATE_WRITE) != 0 && errno == EINVAL)
            GTEST_SKIP() << "the system cannot fault pages in on request";
    }
};

TEST_F(PagerTest, PagesAheadOfTheLastBlockWithinItsMappingKeepingWhatTheyHold) {
    // Aligned to the system's large pages, so that the distance ahead is counted from the start.
    Region region(8 * pager::kPagedAhead);
    ASSERT_TRUE(region.Mapped());
    const std::size_t start = (reinterpret_cast<std::uintptr_t>(region.At(0)) + 2 * kMiB - 1) / (2 * kMiB) * (2 * kMiB) -
                              reinterpret_cast<std::uintptr_t>(region.At(0));
    std::memset(region.At(start), 0x5A, 4096);

    pager::Grew(region.At(start), 2 * pager::kPagingFrom);
    EXPECT_FALSE(pager::Paging()) << "paging outside a parse";
    std::optional<pager::PagingScope> parse(std::in_place);
    pager::Grew(region.At(start), pager::kPagingFrom - 1);
    EXPECT_FALSE(pager::Paging()) << "paging before the parse has grown enough";
    pager::Grew(region.At(start), 1);
    ASSERT_TRUE(pager::Paging());

    EXPECT_TRUE(BecomesResident(region, start, start + pager::kPagedAhead));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(region.NoneResident(start + pager::kPagedAhead, start + 2 * pager::kPagedAhead)) << "paged too far";
    for (std::size_t i = 0; i < 4096; ++i) ASSERT_EQ(static_cast<unsigned char>(*region.At(start + i)), 0x5A) << i;

    // The work goes on further: so does the paging, from where it was.
    pager::Grew(region.At(start + 3 * pager::kPagedAhead), 256 * 1024);
    EXPECT_TRUE(BecomesResident(region, start + 3 * pager::kPagedAhead, start + 4 * pager::kPagedAhead));

    {
        // An inner scope's end leaves the paging as it is.
        const pager::PagingScope inner;
    }
    EXPECT_TRUE(pager::Paging());
    parse.reset();
    EXPECT_FALSE(pager::Paging());
}

TEST_F(PagerTest, NeverPagesBeyondTheBlocksMapping) {
    // Three parts: writable, inaccessible, writable. A block near the end of the first part gets
    // only the rest of that part.
    Region region(3 * pager::kPagedAhead);
    ASSERT_TRUE(region.Mapped());
    ASSERT_EQ(::mprotect(region.At(pager::kPagedAhead), pager::kPagedAhead, PROT_NONE), 0);
    const std::size_t block = pager::kPagedAhead - 2 * PageBytes();

    {
        const pager::PagingScope parse;
        pager::Grew(region.At(block), pager::kPagingFrom);
        ASSERT_TRUE(pager::Paging());
        EXPECT_TRUE(BecomesResident(region, block, pager::kPagedAhead));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(region.NoneResident(2 * pager::kPagedAhead, 3 * pager::kPagedAhead));
}

TEST_F(PagerTest, FindsOnlyPrivateWritableAnonymousMappings) {
    Region writable(4 * PageBytes());
    Region readOnly(4 * PageBytes(), PROT_READ);
    ASSERT_TRUE(writable.Mapped() && readOnly.Mapped());
    pager::Mapping mapping;
    ASSERT_TRUE(pager::FindWritableMapping(writable.At(PageBytes() + 10), mapping));
    EXPECT_LE(mapping.begin, reinterpret_cast<std::uintptr_t>(writable.At(0)));
    EXPECT_GE(mapping.end, reinterpret_cast<std::uintptr_t>(writable.At(writable.Bytes())));
    EXPECT_FALSE(pager::FindWritableMapping(readOnly.At(0), mapping));
    // The program's own code is a file's.
    EXPECT_FALSE(pager::FindWritableMapping(reinterpret_cast<const void*>(&PageBytes), mapping));
    EXPECT_FALSE(pager::FindWritableMapping(nullptr, mapping));
}

TEST_F(PagerTest, EachThreadPagesForItsOwnParse) {
    Region region(4 * pager::kPagedAhead);
    Region mine(4 * pager::kPagedAhead);
    ASSERT_TRUE(region.Mapped() && mine.Mapped());
    std::thread worker([&] {
        const pager::PagingScope parse;
        pager::Grew(region.At(0), pager::kPagingFrom);
        EXPECT_TRUE(pager::Paging());
        EXPECT_TRUE(BecomesResident(region, 0, PageBytes()));
    });
    worker.join();
    // Another thread's scope is not this one's.
    pager::Grew(mine.At(0), pager::kPagingFrom);
    EXPECT_FALSE(pager::Paging());
    // With the other thread's paging gone, this one may page.
    const pager::PagingScope parse;
    pager::Grew(mine.At(0), pager::kPagingFrom);
    EXPECT_TRUE(pager::Paging());
    EXPECT_TRUE(BecomesResident(mine, 0, PageBytes()));
}

}  // namespace
