#include "engine/budget.h"

#include "engine/heap.h"
#include "engine/pager.h"

#include <libxml/xmlmemory.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace xmlservice {
namespace {

// Counted by the blocks' usable sizes rather than through a header of our own, so that the
// blocks are the allocator's own and the count costs no memory. Signed, so that a block the
// count missed (allocated before the budget was installed) cannot wrap it.
std::atomic<std::int64_t> gInUse{0};
std::atomic<std::uint64_t> gBase{kBudgetBase};
std::atomic<std::uint64_t> gLoaded{0};
// MemoryBudget(), kept up to date as the base and the loaded files change: every allocation asks.
std::atomic<std::uint64_t> gBudget{kBudgetBase};
// Told when the budget is exceeded; set once, before the first allocation.
void (*gOnExceeded)() noexcept = nullptr;

std::uint64_t Saturated(std::uint64_t a, std::uint64_t b) noexcept { return a + b < a ? UINT64_MAX : a + b; }

std::uint64_t BudgetFrom(std::uint64_t base, std::uint64_t loaded) noexcept {
    const std::uint64_t scaled = loaded > UINT64_MAX / kBudgetPerLoadedByte ? UINT64_MAX : loaded * kBudgetPerLoadedByte;
    return Saturated(base, scaled);
}

// A thread inside a CountingBatch keeps its changes to the count to itself until they add up
// to this much either way: an atomic read-modify-write on every allocation and every free
// costs more than the rest of the counting. Another thread's check may thus miss this much per
// thread; the thread's own checks miss nothing.
constexpr std::int64_t kUnpublishedMost = 256 * 1024;
thread_local std::int64_t tUnpublished = 0;
thread_local int tBatchDepth = 0;

// Brings gBudget up to date after the base or the loaded files changed; checked again after the
// store, so that of two changes at once the later one stays.
void Recompute() noexcept {
    for (;;) {
        const std::uint64_t budget = MemoryBudget();
        gBudget.store(budget, std::memory_order_relaxed);
        if (MemoryBudget() == budget) return;
    }
}

void Publish() noexcept {
    if (tUnpublished != 0) gInUse.fetch_add(std::exchange(tUnpublished, 0), std::memory_order_relaxed);
}

std::uint64_t InUse() noexcept {
    const std::int64_t inUse = gInUse.load(std::memory_order_relaxed) + tUnpublished;
    return inUse < 0 ? 0 : static_cast<std::uint64_t>(inUse);
}

// True when `more` bytes may be handed out. Past the budget the current call is told, so that
// its transformation stops; the allocations it makes while winding down are still granted up to
// an eighth more, because libxml2 and libxslt are safest when they never see a null. Past that
// margin nothing is granted.
bool Admit(std::size_t more) noexcept {
    const std::uint64_t budget = gBudget.load(std::memory_order_relaxed);
    const std::uint64_t after = Saturated(InUse(), more);
    if (after <= budget) return true;
    if (gOnExceeded != nullptr) gOnExceeded();
    return after <= Saturated(budget, budget / 8);
}

// The bytes of a step of growth that Count published, for the pager; 0 for none.
using GrowthStep = std::size_t;

// Adds `change` to the count. Inside a batch, the bytes of a step of growth when it publishes
// one, so that the allocation that made it can tell the pager where the thread's memory grows.
GrowthStep Count(std::int64_t change) noexcept {
    if (tBatchDepth == 0) {
        gInUse.fetch_add(change, std::memory_order_relaxed);
        return 0;
    }
    tUnpublished += change;
    if (tUnpublished > kUnpublishedMost) {
        const auto step = static_cast<GrowthStep>(tUnpublished);
        Publish();
        return step;
    }
    if (tUnpublished < -kUnpublishedMost) Publish();
    return 0;
}

void* CountedMalloc(std::size_t size) {
    if (!Admit(size)) return nullptr;
    std::size_t usable = 0;
    void* block = heap::Allocate(size, usable);
    if (block == nullptr) return nullptr;
    if (const GrowthStep step = Count(static_cast<std::int64_t>(usable)); step != 0) pager::Grew(block, step);
    return block;
}

void* CountedRealloc(void* block, std::size_t size) {
    if (block == nullptr) return CountedMalloc(size);
    const auto before = static_cast<std::int64_t>(heap::UsableSize(block));
    if (static_cast<std::int64_t>(size) > before && !Admit(size - static_cast<std::size_t>(before))) return nullptr;
    void* moved = heap::Reallocate(block, size);
    if (moved == nullptr) return nullptr;
    if (const GrowthStep step = Count(static_cast<std::int64_t>(heap::UsableSize(moved)) - before); step != 0)
        pager::Grew(moved, step);
    return moved;
}

void CountedFree(void* block) {
    if (block != nullptr) Count(-static_cast<std::int64_t>(heap::Free(block)));
}

char* CountedStrdup(const char* text) {
    if (text == nullptr) return nullptr;
    const std::size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(CountedMalloc(size));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
}

// "1 GiB", "2.5 MiB", "700 bytes".
std::string SizeText(std::uint64_t bytes) {
    static constexpr const char* kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double size = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (size >= 1024 && unit + 1 < std::size(kUnits)) {
        size /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0 || size == static_cast<double>(static_cast<std::uint64_t>(size)))
        std::snprintf(text, sizeof text, "%.0f %s", size, kUnits[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", size, kUnits[unit]);
    return text;
}

}  // namespace

CountingBatch::CountingBatch() noexcept { ++tBatchDepth; }

CountingBatch::~CountingBatch() {
    if (--tBatchDepth == 0) Publish();
}

void InstallBudget(void (*onExceeded)() noexcept) noexcept {
    gOnExceeded = onExceeded;
    heap::Prepare();
    xmlMemSetup(CountedFree, CountedMalloc, CountedRealloc, CountedStrdup);
}

BudgetShare::BudgetShare(std::uint64_t fileBytes) noexcept : fileBytes_(fileBytes) {
    gLoaded.fetch_add(fileBytes_, std::memory_order_relaxed);
    Recompute();
}

BudgetShare::~BudgetShare() {
    gLoaded.fetch_sub(fileBytes_, std::memory_order_relaxed);
    Recompute();
}

BudgetShare& BudgetShare::operator=(BudgetShare&& other) noexcept {
    if (this != &other) {
        gLoaded.fetch_sub(fileBytes_, std::memory_order_relaxed);
        fileBytes_ = std::exchange(other.fileBytes_, 0);
        Recompute();
    }
    return *this;
}

BudgetCharge::~BudgetCharge() { gInUse.fetch_sub(static_cast<std::int64_t>(bytes_), std::memory_order_relaxed); }

bool BudgetCharge::Add(std::uint64_t bytes) noexcept {
    bytes_ += bytes;
    gInUse.fetch_add(static_cast<std::int64_t>(bytes), std::memory_order_relaxed);
    if (InUse() <= MemoryBudget()) return true;
    if (gOnExceeded != nullptr) gOnExceeded();
    return false;
}

std::uint64_t MemoryInUse() noexcept { return InUse(); }

std::uint64_t MemoryBudget() noexcept {
    return BudgetFrom(gBase.load(std::memory_order_relaxed), gLoaded.load(std::memory_order_relaxed));
}

std::string BudgetExceededDescription() {
    return "The memory budget of " + SizeText(MemoryBudget()) + " for the XML work (" +
           SizeText(gBase.load(std::memory_order_relaxed)) + " plus " + std::to_string(kBudgetPerLoadedByte) +
           " times the " + SizeText(gLoaded.load(std::memory_order_relaxed)) + " of the files loaded) is exceeded";
}

void SetBudgetBase(std::uint64_t base) noexcept {
    gBase.store(base, std::memory_order_relaxed);
    Recompute();
}

}  // namespace xmlservice
