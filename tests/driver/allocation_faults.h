// Running out of memory on demand, for the driver's tests. The test program replaces the global
// operator new; it fails only where a test asks it to, in the process the test runs in.
#pragma once

#include <cstddef>

// Makes one allocation through a throwing operator new throw std::bad_alloc: the (skip + 1)-th
// from now on that asks for at least `bytes` bytes. The allocations before and after it, and
// those through the nothrow forms, are served as usual.
void FailAllocation(std::size_t bytes, int skip = 0) noexcept;
