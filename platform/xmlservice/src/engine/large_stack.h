// Deep recursion in libxml2 and libxslt stays within the limits they set themselves, but those
// limits allow far more stack than a thread usually has; the XML work runs where there is room.
#pragma once

#include "com/com.h"

#include <cstddef>

namespace xmlservice {

// The stack reserved for the XML work. Only the pages touched are ever committed.
constexpr std::size_t kLargeStackBytes = std::size_t{512} << 20;

// Runs `work(argument)` on a stack of kLargeStackBytes, on the calling thread, and returns what
// it returns. The stack of the last call is kept for the next, the pages of a deep call given
// back in between. Fails with E_OUTOFMEMORY, and error information, when no such stack can be
// made.
HRESULT RunOnLargeStack(HRESULT (*work)(void*), void* argument) noexcept;

}  // namespace xmlservice
