// Counts the program's heap allocations (operator new), for the benchmarks.
#pragma once

#include <cstdint>

namespace bench {

// Calls of operator new since the program started.
std::uint64_t heap_allocations();

} // namespace bench
