// Counts the malloc-family calls of the whole process, shared libraries loaded later included:
// the executable's definitions interpose glibc's, and each forwards to glibc's own allocator
// (its __libc_ entry points), so memory from either side frees on the other. Any thread; no
// locks (one relaxed atomic). glibc only.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

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

void Count() {
    g_calls.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

std::uint64_t zyl::bench::MallocCalls() {
    return g_calls.load(std::memory_order_relaxed);
}

// The build hides symbols by default; these must be seen by the libraries loaded later.
#define ZYL_INTERPOSE __attribute__((visibility("default")))

extern "C" {

ZYL_INTERPOSE void* malloc(std::size_t size) noexcept {
    Count();
    return __libc_malloc(size);
}

ZYL_INTERPOSE void* calloc(std::size_t count, std::size_t size) noexcept {
    Count();
    return __libc_calloc(count, size);
}

// realloc(p, 0) frees; every other call may take new memory, so it counts.
ZYL_INTERPOSE void* realloc(void* p, std::size_t size) noexcept {
    if (!p || size)
        Count();
    return __libc_realloc(p, size);
}

ZYL_INTERPOSE void free(void* p) noexcept {
    __libc_free(p);
}

ZYL_INTERPOSE void* memalign(std::size_t alignment, std::size_t size) noexcept {
    Count();
    return __libc_memalign(alignment, size);
}

ZYL_INTERPOSE void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    Count();
    return __libc_memalign(alignment, size);
}

ZYL_INTERPOSE int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    Count();
    void* p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

ZYL_INTERPOSE void* valloc(std::size_t size) noexcept {
    Count();
    return __libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size);
}

}  // extern "C"
