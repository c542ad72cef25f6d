// The memory budget of the XML work: every allocation of libxml2, libxslt and libexslt is
// counted, and the work stops once it would need more than the budget allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace xmlservice {

// What the budget allows before any file is loaded.
constexpr std::uint64_t kBudgetBase = std::uint64_t{1} << 30;
// Each byte of the file behind a loaded document adds this many bytes to the budget.
constexpr std::uint64_t kBudgetPerLoadedByte = 16;

// Routes the libraries' allocations through the counting allocator (xmlMemSetup); `onExceeded`
// is called, from inside the allocator, whenever an allocation would go over the budget, so it
// may only set flags. Called once, before the libraries are initialised.
void InstallBudget(void (*onExceeded)() noexcept) noexcept;
// A loaded file's share of the budget, given while a document holds what was parsed from it.
class BudgetShare {
public:
    BudgetShare() noexcept = default;
    // Adds kBudgetPerLoadedByte times `fileBytes` to the budget.
    explicit BudgetShare(std::uint64_t fileBytes) noexcept;
    // Takes the share back.
    ~BudgetShare();
    BudgetShare(BudgetShare&& other) noexcept : fileBytes_(std::exchange(other.fileBytes_, 0)) {}
    BudgetShare& operator=(BudgetShare&& other) noexcept;

    std::uint64_t FileBytes() const noexcept { return fileBytes_; }

private:
    std::uint64_t fileBytes_ = 0;
};

// While one exists on a thread, that thread's allocations are counted without an atomic
// operation each; what it counted is published by the time the outermost one ends. For the
// threads and calls that allocate much.
class CountingBatch {
public:
    CountingBatch() noexcept;
    ~CountingBatch();
    CountingBatch(const CountingBatch&) = delete;
    CountingBatch& operator=(const CountingBatch&) = delete;
};

// Bytes that the XML work holds outside the libraries' memory, such as a serialized result on
// its way into the caller's stream, counted against the budget while the charge lives.
class BudgetCharge {
public:
    BudgetCharge() noexcept = default;
    // Takes the bytes off the count again.
    ~BudgetCharge();
    BudgetCharge(const BudgetCharge&) = delete;
    BudgetCharge& operator=(const BudgetCharge&) = delete;

    // Counts `bytes` more; false, and the budget's handler told, when that goes over the budget.
    bool Add(std::uint64_t bytes) noexcept;

private:
    std::uint64_t bytes_ = 0;
};

// The bytes the libraries hold now.
std::uint64_t MemoryInUse() noexcept;
// The budget now: the base plus kBudgetPerLoadedByte times the bytes of the files whose
// documents are loaded.
std::uint64_t MemoryBudget() noexcept;
// The one-line description of a call that went over the budget.
std::string BudgetExceededDescription();

// Replaces the base of the budget; for tests, which shrink it to reach it quickly.
void SetBudgetBase(std::uint64_t base) noexcept;

}  // namespace xmlservice
