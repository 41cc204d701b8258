// Counts the malloc-family calls of the whole process, shared libraries loaded later included:
// the executable's definitions interpose glibc's, and each forwards to glibc's own allocator
// (its __libc_ entry points), so memory from either side frees on the other. Calls made from
// the code of chosen libraries (FFmpeg's, say) are also counted apart, by return address.
// Any thread; no locks (relaxed atomics; the ranges are published once with release). glibc
// only.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <link.h>
#include <malloc.h>
#include <unistd.h>

#include "alloc_counter.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {
std::atomic<std::uint64_t> g_calls{0};
std::atomic<std::uint64_t> g_separated{0};

struct Range {
    std::uintptr_t begin, end;
};
constexpr std::size_t kMaxRanges = 64;
Range g_ranges[kMaxRanges];
std::atomic<std::size_t> g_rangeCount{0};

// caller: the return address of the entry point, inside the code that called it.
void Count(const void* caller) {
    g_calls.fetch_add(1, std::memory_order_relaxed);
    const auto at = reinterpret_cast<std::uintptr_t>(caller);
    const std::size_t n = g_rangeCount.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < n; ++i) {
        if (at >= g_ranges[i].begin && at < g_ranges[i].end) {
            g_separated.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
}

struct Collect {
    std::initializer_list<const char*> names;
    std::size_t count;
};

int AddObject(dl_phdr_info* info, std::size_t, void* data) {
    auto& collect = *static_cast<Collect*>(data);
    bool wanted = false;
    for (const char* name : collect.names)
        wanted = wanted || (info->dlpi_name && std::strstr(info->dlpi_name, name));
    for (int i = 0; wanted && i < info->dlpi_phnum && collect.count < kMaxRanges; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X))
            g_ranges[collect.count++] = {info->dlpi_addr + segment.p_vaddr,
                                         info->dlpi_addr + segment.p_vaddr + segment.p_memsz};
    }
    return 0;
}
}  // namespace

std::uint64_t zyl::bench::MallocCalls() {
    return g_calls.load(std::memory_order_relaxed);
}

std::uint64_t zyl::bench::SeparatedMallocCalls() {
    return g_separated.load(std::memory_order_relaxed);
}

void zyl::bench::SeparateMallocCallsOf(std::initializer_list<const char*> names) {
    if (g_rangeCount.load(std::memory_order_relaxed) != 0)
        return;  // once: a reader may be scanning the ranges
    Collect collect{names, 0};
    dl_iterate_phdr(AddObject, &collect);
    g_rangeCount.store(collect.count, std::memory_order_release);
}

// The build hides symbols by default; these must be seen by the libraries loaded later.
#define ZYL_INTERPOSE __attribute__((visibility("default")))

extern "C" {

ZYL_INTERPOSE void* malloc(std::size_t size) noexcept {
    Count(__builtin_return_address(0));
    return __libc_malloc(size);
}

ZYL_INTERPOSE void* calloc(std::size_t count, std::size_t size) noexcept {
    Count(__builtin_return_address(0));
    return __libc_calloc(count, size);
}

// realloc(p, 0) frees; every other call may take new memory, so it counts.
ZYL_INTERPOSE void* realloc(void* p, std::size_t size) noexcept {
    if (!p || size)
        Count(__builtin_return_address(0));
    return __libc_realloc(p, size);
}

ZYL_INTERPOSE void free(void* p) noexcept {
    __libc_free(p);
}

ZYL_INTERPOSE void* memalign(std::size_t alignment, std::size_t size) noexcept {
    Count(__builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

ZYL_INTERPOSE void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    Count(__builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

ZYL_INTERPOSE int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    Count(__builtin_return_address(0));
    void* p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

ZYL_INTERPOSE void* valloc(std::size_t size) noexcept {
    Count(__builtin_return_address(0));
    return __libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size);
}

}  // extern "C"
