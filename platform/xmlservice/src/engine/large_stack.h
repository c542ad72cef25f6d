// Deep recursion in libxml2 and libxslt stays within the limits they set themselves, but those
// limits allow far more stack than a thread usually has; the XML work runs where there is room.
#pragma once

#include "com/com.h"

#include <cstddef>

namespace xmlservice {

// The stack reserved for the XML work. Only the pages touched are ever committed.
constexpr std::size_t kLargeStackBytes = std::size_t{512} << 20;

// Runs `work(argument)` on a thread with a stack of kLargeStackBytes and waits for it; the error
// information it sets ends up on the calling thread. The thread of the last call is kept for the
// next, its stack's touched pages given back in between. Fails with E_OUTOFMEMORY, and error
// information, when no such thread can be started.
HRESULT RunOnLargeStack(HRESULT (*work)(void*), void* argument) noexcept;

// Runs `work(argument)` on the thread of RunOnLargeStack and waits for it, reporting nothing;
// false, with the work not done, on that thread itself or when no such thread can be started.
bool TryOnLargeStackThread(void (*work)(void*), void* argument) noexcept;

}  // namespace xmlservice
