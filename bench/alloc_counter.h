// Counts heap allocations: the benchmarks that link alloc_counter.cpp replace the global
// operator new with one that counts, so a figure can say how many a path makes. Those that also
// link malloc_counter.cpp count every malloc-family call of the process (libraries such as
// FFmpeg included; operator new goes through malloc, so those are in it too).
#pragma once

#include <atomic>
#include <cstdint>

namespace zyl::bench {
std::uint64_t Allocations();
std::uint64_t MallocCalls();
}  // namespace zyl::bench
