#pragma once

// Allocation failure on demand, for the paths that must survive std::bad_alloc
// where it hurts most: inside a handler that reports an earlier exception.
// The test executable's operator new (allocation_failure.cpp) fails while a
// thread of the given name is armed; every other thread allocates as usual.

#include <string_view>

namespace test_support {

// Makes the next `count` allocations through operator new on the thread named
// `thread_name` (at most 15 bytes) fail; a negative count fails all of them
// until disarm_allocation_failures(). Replaces an earlier arming.
void fail_allocations(std::string_view thread_name, int count);

// Ends the failures; allocations succeed again everywhere.
void disarm_allocation_failures();

}  // namespace test_support
