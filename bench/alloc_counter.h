// Counts heap allocations: the benchmarks that link alloc_counter.cpp replace the global
// operator new with one that counts, so a figure can say how many a path makes. Those that also
// link malloc_counter.cpp count every malloc-family call of the process (libraries such as
// FFmpeg included; operator new goes through malloc, so those are in it too).
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

namespace zyl::bench {
std::uint64_t Allocations();

// malloc_counter.cpp: every malloc-family call; and, from the first SeparateMallocCallsOf on,
// those made directly from the code of the loaded libraries whose file names contain one of
// the texts (called once, after the libraries are loaded).
std::uint64_t MallocCalls();
std::uint64_t SeparatedMallocCalls();
void SeparateMallocCallsOf(std::initializer_list<const char*> names);
}  // namespace zyl::bench
