// The memory budget of the XML work: every allocation of libxml2, libxslt and libexslt is
// counted, and the work stops once it would need more than the budget allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace xmlservice {

// What the budget allows before any file is loaded.
constexpr std::uint64_t kBudgetBase = std::uint64_t{1} << 30;
// Each byte of a file that load reads adds this many bytes to the budget.
constexpr std::uint64_t kBudgetPerLoadedByte = 16;

// Routes the libraries' allocations through the counting allocator (xmlMemSetup). Called once,
// before the libraries are initialised.
void InstallBudget() noexcept;
// Adds a file that load has read to what the budget allows.
void CountLoadedFile(std::uint64_t bytes) noexcept;
// The bytes the libraries hold now.
std::uint64_t MemoryInUse() noexcept;
// The budget now: the base plus kBudgetPerLoadedByte times the bytes of the files loaded.
std::uint64_t MemoryBudget() noexcept;
// The one-line description of a call that went over the budget.
std::string BudgetExceededDescription();

// For the service's own tests: replaces the base and forgets the files loaded so far, once the
// libraries are prepared.
void ResetBudgetForTesting(std::uint64_t base) noexcept;

}  // namespace xmlservice
