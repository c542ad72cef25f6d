// The one-time setup of libxml2, libxslt and libexslt for the service.
#pragma once

#include <cstdint>

namespace xmlservice {

// Sets the libraries up once per process: the memory budget, the message handlers, the access
// policy, EXSLT and the platform's node-set function. What they set up is given back at exit.
void PrepareLibraries() noexcept;

// For the service's own tests: prepares the libraries, then replaces the budget's base.
void SetBudgetBaseForTesting(std::uint64_t base) noexcept;

}  // namespace xmlservice
