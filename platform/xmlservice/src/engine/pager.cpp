#include "engine/pager.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

namespace xmlservice::pager {
namespace {

// The system backs the allocator's memory with pages of this size where it can; faulting in
// from the start of the one that holds a block costs nothing when it is there already.
constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
constexpr std::uintptr_t kStopped = UINTPTR_MAX;

// One paging thread for every two processors: on fewer than two there is no core to spare, and
// beyond that the working threads need the cores more.
std::atomic<int> gPagingThreads{0};
// Set when the system cannot fault pages in on request (before Linux 5.14).
std::atomic<bool> gUnsupported{false};

int MostPagingThreads() noexcept {
    static const int most = static_cast<int>(std::thread::hardware_concurrency() / 2);
    return most;
}

// True when the line of /proc/self/maps `line` is that of the mapping that holds `wanted`;
// `found` tells whether that mapping is private, writable memory of no file.
bool LineHolds(const char* line, std::uintptr_t wanted, Mapping& mapping, bool& found) noexcept {
    unsigned long begin = 0;
    unsigned long end = 0;
    char permissions[5] = {};
    unsigned long inode = 1;
    int named = 0;
    if (std::sscanf(line, "%lx-%lx %4s %*x %*x:%*x %lu %n", &begin, &end, permissions, &inode, &named) < 4) return false;
    if (wanted < begin || wanted >= end) return false;
    // Anonymous memory: no file, or the system's name for the data segment's heap, or a name
    // the allocator gave its memory.
    const char* name = line + named;
    const bool anonymous = inode == 0 && (*name == '\0' || std::strncmp(name, "[heap]", 6) == 0 ||
                                          std::strncmp(name, "[anon:", 6) == 0);
    found = std::strcmp(permissions, "rw-p") == 0 && anonymous;
    if (found) mapping = {begin, end};
    return true;
}

// Faults in the pages from the one that holds `block` up to kPagedAhead further, within its
// mapping, leaving out what an earlier call did. False when the system cannot do it.
bool PageAhead(std::uintptr_t block, Mapping& mapping, std::uintptr_t& pagedTo) noexcept {
    if (block < mapping.begin || block >= mapping.end) {
        pagedTo = 0;
        if (!FindWritableMapping(reinterpret_cast<const void*>(block), mapping)) {
            mapping = {};
            return true;
        }
    }
    const std::uintptr_t page = block & ~(kLargePage - 1);
    const std::uintptr_t from = std::max({pagedTo, page, mapping.begin});
    const std::uintptr_t to = std::min(page + kPagedAhead, mapping.end);
    if (from >= to) return true;
    // Only the page tables change: what the pages hold stays, whoever writes to them meanwhile.
    if (::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) return false;
    // A mapping unmapped or changed meanwhile fails the call or is faulted in for nothing; the
    // next block looks its mapping up again.
    pagedTo = to;
    return true;
}

class PagingThread {
public:
    PagingThread() : thread_([this] { Run(); }) {}
    ~PagingThread() {
        hint_.store(kStopped, std::memory_order_release);
        hint_.notify_one();
        thread_.join();
    }
    PagingThread(const PagingThread&) = delete;
    PagingThread& operator=(const PagingThread&) = delete;

    void Hint(const void* block) noexcept {
        hint_.store(reinterpret_cast<std::uintptr_t>(block), std::memory_order_release);
        hint_.notify_one();
    }

private:
    void Run() noexcept {
        Mapping mapping;
        std::uintptr_t pagedTo = 0;
        std::uintptr_t seen = 0;
        // Once the system refuses, the hints are only waited through until the stop; no other
        // paging thread is started.
        bool supported = true;
        for (;;) {
            hint_.wait(seen, std::memory_order_acquire);
            seen = hint_.load(std::memory_order_acquire);
            if (seen == kStopped) return;
            if (supported && !PageAhead(seen, mapping, pagedTo)) {
                supported = false;
                gUnsupported.store(true, std::memory_order_relaxed);
            }
        }
    }

    std::atomic<std::uintptr_t> hint_{0};
    // Last, so that it starts once the hint exists.
    std::thread thread_;
};

// What the calling thread has grown by in its current parse, and its paging thread.
struct Growth {
    int scopes = 0;
    std::size_t grown = 0;
    std::unique_ptr<PagingThread> paging;

    ~Growth() { Stop(); }
    void Stop() noexcept {
        grown = 0;
        if (paging == nullptr) return;
        paging.reset();
        gPagingThreads.fetch_sub(1, std::memory_order_relaxed);
    }
    void Start() noexcept {
        if (gUnsupported.load(std::memory_order_relaxed)) return;
        if (gPagingThreads.fetch_add(1, std::memory_order_relaxed) >= MostPagingThreads()) {
            gPagingThreads.fetch_sub(1, std::memory_order_relaxed);
            return;
        }
        try {
            paging = std::make_unique<PagingThread>();
        } catch (...) {
            // No thread or no memory for one: the work goes on without.
            gPagingThreads.fetch_sub(1, std::memory_order_relaxed);
        }
    }
};

thread_local Growth tGrowth;

}  // namespace

PagingScope::PagingScope() noexcept { ++tGrowth.scopes; }

PagingScope::~PagingScope() {
    Growth& growth = tGrowth;
    if (--growth.scopes == 0) growth.Stop();
}

void Grew(const void* block, std::size_t stepBytes) noexcept {
    Growth& growth = tGrowth;
    if (growth.scopes == 0) return;
    if (growth.paging == nullptr) {
        const std::size_t before = growth.grown;
        growth.grown += stepBytes;
        // Tried once per piece of work, when its growth passes the mark.
        if (before >= kPagingFrom || growth.grown < kPagingFrom) return;
        growth.Start();
        if (growth.paging == nullptr) return;
    }
    growth.paging->Hint(block);
}

bool Paging() noexcept { return tGrowth.paging != nullptr; }

bool FindWritableMapping(const void* address, Mapping& mapping) noexcept {
    // Read with the system's calls into a buffer of its own: the paging thread allocates
    // nothing, so that the allocator never sets up a heap for it.
    const auto wanted = reinterpret_cast<std::uintptr_t>(address);
    const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) return false;
    char buffer[8192];
    std::size_t held = 0;
    bool skipping = false;  // through the rest of a line longer than the buffer
    bool found = false;
    bool done = false;
    while (!done) {
        const ssize_t got = ::read(maps, buffer + held, sizeof buffer - 1 - held);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        held += static_cast<std::size_t>(got);
        buffer[held] = '\0';
        char* line = buffer;
        while (char* lineEnd = std::strchr(line, '\n')) {
            *lineEnd = '\0';
            if (skipping) {
                skipping = false;
            } else if (LineHolds(line, wanted, mapping, found)) {
                done = true;
                break;
            }
            line = lineEnd + 1;
        }
        if (done) break;
        held = static_cast<std::size_t>(buffer + held - line);
        std::memmove(buffer, line, held);
        if (held == sizeof buffer - 1) {
            held = 0;
            skipping = true;
        }
    }
    ::close(maps);
    return found;
}

}  // namespace xmlservice::pager
