// Counts heap allocations: the benchmarks that link alloc_counter.cpp replace the global
// operator new with one that counts, so a figure can say how many a path makes.
#pragma once

#include <atomic>
#include <cstdint>

namespace zyl::bench {
std::uint64_t Allocations();
}
